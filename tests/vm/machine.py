"""The virtual machine: QEMU (no KVM: a nested guest hangs at boot) with the
guest's console on its standard streams, and its QMP socket to plug and pull
serial lines. Every wait has a deadline and raises Timeout with what was
last seen."""
import glob
import json
import os
import select
import shutil
import socket
import subprocess
import time

from initramfs import busybox
from support.lines import Lines, Timeout, stop

# The guest's console: a serial port, or a virtio console (a machine whose
# one UART is the line under test).
CONSOLE = {"ttyS0": ["-serial", "chardev:con"],
           "hvc0": ["-device", "virtio-serial-device", "-device", "virtconsole,chardev=con"]}


class Qmp:
    def __init__(self, listener, deadline):
        listener.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            self.sock = listener.accept()[0]
        except TimeoutError:
            raise Timeout("QEMU did not connect to QMP")
        listener.close()
        self.buf, self.events, self.reply = b"", [], None
        self._read(lambda: self.reply, deadline, "no QMP greeting")
        self.run("qmp_capabilities")

    def _read(self, found, deadline, what):
        """Reads QEMU's messages until found() holds, keeping the events;
        any other message is the reply."""
        while not found():
            while b"\n" not in self.buf:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                    raise Timeout(what)
                data = self.sock.recv(65536)
                if not data:
                    raise Timeout("QMP closed")
                self.buf += data
            line, self.buf = self.buf.split(b"\n", 1)
            msg = json.loads(line)
            if "event" in msg:
                self.events.append(msg)
            else:
                self.reply = msg

    def run(self, command, **arguments):
        self.reply = None
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode())
        self._read(lambda: self.reply, time.monotonic() + 20, "QEMU did not answer on QMP")
        if "error" in self.reply:
            raise RuntimeError("QMP %s: %s" % (command, self.reply["error"].get("desc")))

    def wait_event(self, name, device, deadline):
        self._read(lambda: any(e["event"] == name and e.get("data", {}).get("device") == device
                               for e in self.events),
                   deadline, "no QMP event %s for %s" % (name, device))


class Machine:
    """QEMU as a machine's row describes it (see machines.py), with the
    kernel, the initramfs, and the guest's console on our pipes. Its UART's
    host side, if it has one, is the chardev "uart": one that can be moved to
    another line, or a socket each case's device joins anew."""

    def __init__(self, row, kernel, initrd, tmp):
        qmp = socket.socket(socket.AF_UNIX)  # QEMU connects to it as it starts
        qmp.bind(os.path.join(tmp, "qmp.sock"))
        qmp.listen(1)
        self.uart_path = os.path.join(tmp, "uart.sock")
        environment = " ".join("%s=%s" % item for item in row.environment.items())
        cmd = list(row.qemu) + [
            "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
            "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=%s quiet loglevel=1 panic=-1 %s" % (row.console, environment),
            "-chardev", "stdio,id=con,signal=off"]
        cmd += CONSOLE[row.console] + (row.uart.qemu(self) if row.uart else [])
        cmd += row.adapter.qemu if row.adapter else []
        cmd += ["-qmp", "unix:" + qmp.getsockname()]
        self.started = time.monotonic()
        # A process group of its own, to end it whole; not a session of its
        # own: QEMU opens the lines' terminals without O_NOCTTY, and as a
        # session leader it would take one as its controlling terminal and
        # die of the SIGHUP when that device's emulator ends.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, process_group=0)
        self.console = Lines(self.proc.stdout, strip_cr=True)
        self.qmp = Qmp(qmp, time.monotonic() + 20)

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def expect(self, prefix, deadline, start=0):
        """The guest's first answer line starting with prefix: (index, time
        in ns, text)."""
        return self.console.wait(lambda s: s.startswith(prefix), deadline, start,
                                 what="guest line %r" % prefix)

    def mark(self):
        return len(self.console.lines)

    def close(self):
        stop(self.proc, group=True)


def kernel(row):
    """(kernel image, version) of a machine, or why it cannot boot here."""
    for tool in (row.qemu[0],) + (row.uart.needs if row.uart else ()):
        if not shutil.which(tool):
            return "%s is not installed" % tool
    if not os.path.exists(busybox(row.root)):
        return "no static busybox at " + busybox(row.root)
    for image in sorted(glob.glob(os.path.join(row.root, "boot", "vmlinuz-*")), reverse=True):
        version = os.path.basename(image)[len("vmlinuz-"):]
        if os.access(image, os.R_OK) and os.path.isdir(
                os.path.join(row.root, "lib", "modules", version)):
            return image, version
    return "no readable kernel in %s/boot with its modules" % row.root.rstrip("/")
