"""The virtual machines, one row each, the kinds of line a case's device
joins them by, and the session a booted machine's cases run in. A machine
differs from another only in its row: the QEMU command, where its kernel
and busybox come from, its console, the modules /init loads, the updater
it gets, how its ports are named, and its cases.
"""
import os
import subprocess
import time
from types import SimpleNamespace

import harness
import texts
from harness import check
from lines import Timeout

CASE_SECONDS = 40


class Hotswap:
    """A 16550 UART (the guest's ttyS1, COM2 by the default names) whose
    host side QEMU moves to each case's emulator."""
    needs = ()

    def qemu(self, m):
        return ["-chardev", "null,id=uart", "-serial", "chardev:uart"]

    def device(self, g, options, expect):
        e = g.device(options, expect)
        g.m.uart_to(e.link)
        return e


class Bridged:
    """A UART whose QEMU model cannot change its host side while it runs
    (the PL011 in QEMU 7.2: "does not support chardev hotswap"): a socket
    that socat joins, for each case anew, to a pseudo-terminal the emulator
    plays the device on, as on a real port. QEMU takes one connection at a
    time: the case's earlier device goes first."""
    needs = ("socat",)

    def qemu(self, m):
        return ["-chardev", "socket,id=uart,path=%s,server=on,wait=off" % m.uart_path,
                "-serial", "chardev:uart"]

    def device(self, g, options, expect):
        if g.bridge:
            g.bridge.stop()
        g.lines += 1
        link = os.path.join(g.tmp, "line%d" % g.lines)
        g.bridge = Socat(g, "UNIX-CONNECT:" + g.m.uart_path, "PTY,rawer,wait-slave,link=" + link)
        g.wait_for("socat's pseudo-terminal", lambda: os.path.exists(link), 10)
        return harness.Emulator(g, link, options, expect, on_port=True)


class Socat:
    """socat joining two addresses, ended with the case."""

    def __init__(self, g, *addresses):
        self.proc = subprocess.Popen(["socat"] + list(addresses), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, start_new_session=True)
        g.started.append(self)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()


class NoUart:
    needs = ()

    def qemu(self, m):
        return []


class Ftdi:
    """An FTDI USB serial adapter (ttyUSB0) on QEMU's xHCI, plugged and
    pulled through QMP, its line a host emulator's."""
    qemu = ["-device", "qemu-xhci,id=xhci"]
    device_path = "/dev/ttyUSB0"

    def plug(self, g, options):
        e = g.device(options)
        return e, g.m.plug_adapter(e.link)

    def unplug(self, g, ident):
        return g.m.pull_adapter(ident, g.deadline)


class Gadget:
    """The USB class driver for serial devices (cdc_acm, ttyACM0) on the
    guest's own USB device controller (dummy_hcd) with the serial gadget's
    ACM function (g_serial, ttyGS0) as the device: the emulator runs in the
    guest on ttyGS0. Pulled and plugged by disabling the root hub's port."""
    qemu = []
    device_path = "/dev/ttyACM0"
    PORT = "/sys/devices/platform/dummy_hcd.0/usb*/*-0:1.0/usb*-port1/disable"

    def switch(self, g, disabled):
        g.m.send("for f in %s; do echo %d >$f; done" % (self.PORT, disabled))

    def plug(self, g, options):
        self.switch(g, 0)
        return GuestEmulator(g, "/dev/ttyGS0", options), None

    def unplug(self, g, ident):
        pulled = time.monotonic()
        self.switch(g, 1)
        return pulled


class NoAdapter:
    qemu = []


class GuestEmulator(harness.Emulator):
    """trelvane-emu in the guest on a port of its own, its lines read from
    the guest's console (through the emu command of /init)."""
    IMAGE = "/image.bin"

    def __init__(self, g, port, options, expect=True):
        self.session, self.m, self.on_port = g, g.m, True
        self.image = g.images[""] if expect else None
        g.lines += 1
        self.tag = "emu%d" % g.lines
        self.prefix = "@@EMU %s " % self.tag
        self.mark = g.m.mark()
        args = ["--port", port] + g.image().announce() + list(options)
        args += ["--expect", self.IMAGE] if expect else []
        g.m.send("emu %s %s" % (self.tag, " ".join(args)))
        g.started.append(self)
        self.wait_line("emu: device ", limit=10)

    def said(self):
        """Its lines so far: (time in ns, text)."""
        with self.m.console.cond:
            return [(t, text[len(self.prefix):]) for t, text in self.m.console.lines[self.mark:]
                    if text.startswith(self.prefix)]

    def text(self):
        return "".join(text + "\n" for _, text in self.said())

    def last_step(self):
        return (self.said()[-1:] or [(0, "(nothing yet)")])[0][1]

    def time_of(self, prefix):
        return next((t for t, text in self.said() if text.startswith(prefix)), None)

    def status(self):
        line = next((text for _, text in self.said() if text.startswith("@@STATUS ")), None)
        return int(line.split()[1]) if line else None

    def wait_line(self, prefix, limit=None):
        """Time of its first line starting with prefix; the case fails past
        limit or its deadline, or once the emulator has ended without it."""
        self.session.wait_for("emulator line %r" % prefix,
                              lambda: self.time_of(prefix) or self.status() is not None, limit)
        check(self.time_of(prefix), "the emulator ended before %r:\n%s" % (prefix, self.text()))
        return self.time_of(prefix)

    def finish(self, limit=20):
        self.session.wait_for("the emulator to end", lambda: self.status() is not None, limit)
        return self.status(), self.text()

    def stop(self):
        if self.status() is None:
            self.m.send("stop %s TERM" % self.tag)
            end = time.monotonic() + 10
            while self.status() is None and time.monotonic() < end:
                time.sleep(0.05)


class GuestSession(harness.Session):
    """The booted guest, and the emulators and updaters of the case under
    way; closing it after a case ends them, so that the next case starts
    clean."""

    def __init__(self, build, tools, row, figures):
        super().__init__(build, tools, deadline=CASE_SECONDS)
        self.row, self.m, self.bridge, self.figures = row, None, None, figures
        self.tags, self.adapters = {}, []
        self.lines = 0

    def where(self):
        emu = self.started[-1] if self.started else None
        return "guest console ends %r; device's last line: %s" % (
            [line[:100] for line in self.m.console.tail(3)] if self.m else [],
            emu.last_step() if emu else "(no device)")

    def figure(self, text):
        """A measured figure of the machine, for the suite's summary."""
        self.figures.append("%s: %s" % (self.row.name, text))

    def device(self, options, expect=True):
        self.lines += 1
        link = os.path.join(self.tmp, "line%d" % self.lines)
        return harness.Emulator(self, link, options, expect)

    def start(self, tag, port, launcher=""):
        """Starts an updater on COMport in the guest; returns where its answers begin."""
        mark = self.m.mark()
        self.tags[tag] = mark
        self.m.send("start %s %s trelvane-update -%s" % (tag, launcher, port))
        return mark

    def ended(self, tag, mark, limit=CASE_SECONDS):
        """The time the updater ended (time.monotonic())."""
        return self.m.expect("@@END %s " % tag, min(self.deadline, time.monotonic() + limit),
                             mark)[1] / 1e9

    def console(self, tag, mark, limit=CASE_SECONDS):
        """(status, console text) of an updater, once it has ended."""
        _, _, line = self.m.expect("@@EXIT %s " % tag,
                                   min(self.deadline, time.monotonic() + limit), mark)
        parts = line.split()
        text = bytes.fromhex(parts[3] if len(parts) > 3 else "").decode("latin-1")
        return int(parts[2]), text

    def wait_seen(self, tag, text, mark):
        """Waits until the updater's console shows text."""
        self.m.send("seen %s %r" % (tag, text.strip()))
        self.m.expect("@@SEEN %s" % tag, self.deadline, mark)

    def cpu(self, tag):
        """The CPU time a running updater has used, in clock ticks."""
        mark = self.m.mark()
        self.m.send("cpu " + tag)
        ticks = self.m.expect("@@CPU %s " % tag, self.deadline, mark)[2].split()[2]
        return sum(int(n) for n in ticks.split("+"))

    def uart_device(self, options, expect=True):
        return self.row.uart.device(self, options, expect)

    def close(self):
        # Every updater of the case is gone before the next case starts.
        for tag, mark in self.tags.items():
            self.m.send("stop %s KILL 2>/dev/null" % tag)
            try:
                self.m.expect("@@END %s " % tag, time.monotonic() + 10, mark)
            except Timeout:
                print("   updater %s did not end when killed" % tag)
        self.tags = {}
        for ident in self.adapters:
            try:
                self.row.adapter.unplug(self, ident)
            except (Timeout, RuntimeError):
                pass
        self.adapters = []
        for p in self.started:
            p.stop()
        self.started, self.bridge = [], None


def machine(**row):
    """A row: root is where the kernel and busybox are (/, or the folder
    the Debian packages of `arch` are unpacked into); program the build
    folder of the updater the guest gets (None: the runner's own); the
    guest's environment names its ports; devices must be there before the
    cases start."""
    defaults = dict(arch=None, kernel=None, root="/", program=None, console="ttyS0",
                    environment={}, devices=(), uart=NoUart(), adapter=NoAdapter())
    return SimpleNamespace(**dict(defaults, **row))


UART_CASES = ("uart_complete_at_line_speed", "uart_silent_costs_no_cpu",
              "uart_after_sigterm_completes")
PULLS = ("adapter_pulled_while_listening", "adapter_pulled_while_writing_a_block",
         "adapter_pulled_while_waiting_for_sync")
AMD64 = ["qemu-system-x86_64"]
USB = ("usb-common", "usbcore")


def machines(build):
    """The table. build: the folder of the runner's updater; the released
    programs' folders are beside it, the ARM packages in vm/ beside it."""
    builds = os.path.dirname(os.path.abspath(build))
    # The Debian architecture of each released program's folder.
    arch_of = {p["folder"]: p["arch"] for p in texts.facts(build)["platforms"]}

    def pl011(name, kernel, qemu, program):
        arch = arch_of[program]
        return machine(name=name, arch=arch, kernel=kernel, root=os.path.join(builds, "vm", arch),
                       qemu=qemu, program=program, console="hvc0",
                       modules=("virtio_mmio", "virtio_console"),
                       environment={"TRELVANE_CONSOLE": "hvc0", "TRELVANE_COM2": "/dev/ttyAMA0"},
                       devices=("/dev/ttyAMA0",), uart=Bridged(), cases=UART_CASES)

    rows = [
        # The announces case comes first: only the first open after boot
        # finds the UART in the kernel's cooked settings, where it echoes.
        machine(name="amd64-16550-ftdi", qemu=AMD64,
                modules=USB + ("xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"),
                environment={"TRELVANE_COM3": Ftdi.device_path}, uart=Hotswap(), adapter=Ftdi(),
                cases=("announces_before_the_port_opens", "uart_complete", "adapter_complete")
                + PULLS + ("uart_silent_costs_no_cpu", "uart_completes_under_nohup",
                           "second_updater_on_a_held_uart",
                           "uart_after_sigterm_completes", "uart_without_carrier_completes")),
        # Two module dependencies modinfo does not name (u_serial and
        # usb_f_acm for g_serial), without which g_serial's insmod succeeds
        # and makes no port.
        machine(name="amd64-cdc-acm", qemu=AMD64, program="linux-x86_64",
                modules=USB + ("udc-core", "configfs", "libcomposite", "u_serial", "usb_f_acm",
                               "dummy_hcd", "cdc-acm", "g_serial"),
                environment={"TRELVANE_COM3": Gadget.device_path},
                devices=("/dev/ttyGS0", Gadget.device_path), adapter=Gadget(),
                cases=("adapter_complete",) + PULLS + ("adapter_silent_costs_no_cpu",
                                                       "second_updater_on_a_held_adapter",
                                                       "adapter_complete")),
        pl011("arm64-pl011", "linux-image-arm64",
              ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a53"], "linux-aarch64"),
        pl011("armhf-pl011", "linux-image-armmp",
              ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15"], "linux-armhf"),
    ]
    for row in rows:
        row.program = os.path.join(builds, row.program) if row.program else os.path.abspath(build)
    return rows


if __name__ == "__main__":
    # The foreign architectures' packages the machines boot from, one
    # architecture a line: ARCH PACKAGE... (./run-tests.sh downloads them).
    for row in machines("build/native"):
        if row.arch:
            print(row.arch, row.kernel, "busybox-static")
