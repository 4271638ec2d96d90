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

from support.lines import Lines, Timeout, stop

# The guest's console: a serial port, or a virtio console (a machine whose
# one UART is the line under test).
CONSOLE = {"ttyS0": ["-serial", "chardev:con"],
           "hvc0": ["-device", "virtio-serial-device", "-device", "virtconsole,chardev=con"]}


class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise Timeout("no QMP socket at " + path)
                time.sleep(0.05)
        self.buf = b""
        self.events = []
        self._message(deadline)  # greeting
        self.run("qmp_capabilities")

    def _message(self, deadline):
        """The next message from QEMU, or None at the deadline."""
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data = self.sock.recv(65536)
            if not data:
                raise Timeout("QMP closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def _reply(self):
        deadline = time.monotonic() + 20
        while True:
            msg = self._message(deadline)
            if msg is None:
                raise Timeout("QEMU did not answer on QMP")
            if "event" in msg:
                self.events.append(msg)
            else:
                return msg

    def run(self, command, **arguments):
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode())
        reply = self._reply()
        if "error" in reply:
            raise RuntimeError("QMP %s: %s" % (command, reply["error"].get("desc")))
        return reply.get("return")

    def wait_event(self, name, device, deadline):
        while not any(e["event"] == name and e.get("data", {}).get("device") == device
                      for e in self.events):
            msg = self._message(deadline)
            if msg is None:
                raise Timeout("no QMP event %s for %s" % (name, device))
            if "event" in msg:
                self.events.append(msg)


class Machine:
    """QEMU as a machine's row describes it (see machines.py), with the
    kernel, the initramfs, and the guest's console on our pipes. Its UART's
    host side, if it has one, is the chardev "uart": one that can be moved to
    another line, or a socket each case's device joins anew."""

    def __init__(self, row, kernel, initrd, tmp):
        self.qmp_path = os.path.join(tmp, "qmp.sock")
        self.uart_path = os.path.join(tmp, "uart.sock")
        environment = " ".join("%s=%s" % item for item in row.environment.items())
        cmd = list(row.qemu) + [
            "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
            "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=%s quiet loglevel=1 panic=-1 %s" % (row.console, environment),
            "-chardev", "stdio,id=con,signal=off"]
        cmd += CONSOLE[row.console] + row.uart.qemu(self) + row.adapter.qemu
        cmd += ["-qmp", "unix:%s,server=on,wait=off" % self.qmp_path]
        self.started = time.monotonic()
        # A process group of its own, to end it whole; not a session of its
        # own: QEMU opens the lines' terminals without O_NOCTTY, and as a
        # session leader it would take one as its controlling terminal and
        # die of the SIGHUP when that device's emulator ends.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, process_group=0)
        self.console = Lines(self.proc.stdout, strip_cr=True)
        self.qmp = Qmp(self.qmp_path, time.monotonic() + 20)
        self.plugged = 0

    def boot(self, deadline):
        """Seconds from QEMU's start to the guest's shell."""
        _, t, _ = self.expect("@@READY", deadline)
        return t / 1e9 - self.started

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

    def uart_to(self, link):
        """Moves the guest's UART to the serial line at link."""
        self.qmp.run("chardev-change", id="uart",
                     backend={"type": "serial", "data": {"device": link}})

    def plug_adapter(self, link):
        """Plugs a new FTDI adapter whose line is link; returns its id."""
        self.plugged += 1
        ident = "adapter%d" % self.plugged
        self.qmp.run("chardev-add", id=ident + "-line",
                     backend={"type": "serial", "data": {"device": link}})
        self.qmp.run("device_add", driver="usb-serial", id=ident, chardev=ident + "-line",
                     bus="xhci.0")
        return ident

    def pull_adapter(self, ident, deadline):
        """Pulls the adapter out; returns the time it was pulled (the moment
        the request went out: a time to the updater's exit counts from here)."""
        pulled = time.monotonic()
        self.qmp.run("device_del", id=ident)
        self.qmp.wait_event("DEVICE_DELETED", ident, deadline)
        self.qmp.run("chardev-remove", id=ident + "-line")
        return pulled

    def close(self):
        stop(self.proc, group=True)


def kernel(row):
    """(qemu, kernel image, version) of a machine, or a reason why there is none."""
    qemu = shutil.which(row.qemu[0])
    if not qemu:
        return "%s is not installed" % row.qemu[0]
    for image in sorted(glob.glob(os.path.join(row.root, "boot", "vmlinuz-*")), reverse=True):
        version = os.path.basename(image)[len("vmlinuz-"):]
        if os.access(image, os.R_OK) and os.path.isdir(
                os.path.join(row.root, "lib", "modules", version)):
            return qemu, image, version
    return "no readable kernel in %s/boot with its modules" % row.root.rstrip("/")
