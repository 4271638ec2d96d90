"""The virtual machines, one row each (a machine differs from another only
in its row), the kinds of line a case's device joins them by, and the
session a booted machine's cases run in.
"""
import contextlib
import functools
import itertools
import os
import subprocess
import time
from types import SimpleNamespace

from support import harness, texts
from support.lines import Timeout, check, stop

CASE_SECONDS = 40


class Hotswap:
    """A 16550 UART (the guest's ttyS1, COM2 by the default names) whose
    host side QEMU moves to each case's emulator."""
    needs = ()

    def qemu(self, m):
        return ["-chardev", "null,id=uart", "-serial", "chardev:uart"]

    def device(self, g, options, expect):
        e = g.device(options, expect)
        g.m.qmp.run("chardev-change", id="uart", backend=serial(e.link))
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
        link = os.path.join(g.tmp, "line%d" % g.count())
        proc = subprocess.Popen(["socat", "UNIX-CONNECT:" + g.m.uart_path,
                                 "PTY,rawer,wait-slave,link=" + link],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                start_new_session=True)
        g.bridge = SimpleNamespace(stop=lambda: stop(proc))  # ended with the case
        g.started.append(g.bridge)
        g.wait_for("socat's pseudo-terminal", lambda: os.path.exists(link), 10)
        return harness.Emulator(g, link, options, expect, on_port=True)


def serial(link):
    """A QEMU chardev backend: the serial line at link."""
    return {"type": "serial", "data": {"device": link}}


class Ftdi:
    """An FTDI USB serial adapter (ttyUSB0) on QEMU's xHCI, plugged and
    pulled through QMP, its line a host emulator's."""
    qemu = ["-device", "qemu-xhci,id=xhci"]
    device_path = "/dev/ttyUSB0"

    def plug(self, g, options):
        """A new emulator and the adapter on its line (by its QMP id)."""
        e, ident = g.device(options), "adapter%d" % g.count()
        g.m.qmp.run("chardev-add", id=ident + "-line", backend=serial(e.link))
        g.m.qmp.run("device_add", driver="usb-serial", id=ident, chardev=ident + "-line",
                    bus="xhci.0")
        return e, ident

    def unplug(self, g, ident):
        pulled = time.monotonic()
        g.m.qmp.run("device_del", id=ident)
        g.m.qmp.wait_event("DEVICE_DELETED", ident, g.deadline)
        g.m.qmp.run("chardev-remove", id=ident + "-line")
        return pulled


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


class GuestEmulator(harness.Device):
    """trelvane-emu in the guest on a port of its own, started by the emu
    command of /init: its lines are the guest console's that carry its tag,
    and the last of them says its status."""
    IMAGE = "/image.bin"
    ENDED = "@@STATUS "

    def __init__(self, g, port, options, expect=True):
        self.session, self.m, self.on_port = g, g.m, True
        self.tag = "emu%d" % g.count()
        self.lines = g.m.console.view("@@EMU %s " % self.tag, g.m.mark())
        args, image = self.options(options, expect, "", "any", False)
        args = ["--port", port] + args + (["--expect", self.IMAGE] if image else [])
        g.m.send("emu %s %s" % (self.tag, " ".join(args)))
        g.started.append(self)
        self.wait_line("emu: device ", limit=10)

    def status(self):
        ended = [text for _, text in self.lines.lines if text.startswith(self.ENDED)]
        return int(ended[0].split()[1]) if ended else None

    def stop(self):
        if self.status() is None:
            self.m.send("stop %s TERM" % self.tag)
            try:
                self.lines.wait(lambda text: text.startswith(self.ENDED), time.monotonic() + 10)
            except Timeout:
                print("   emulator %s did not end when stopped" % self.tag)


class GuestSession(harness.Session):
    """The booted guest, and the emulators and updaters of the case under
    way, which closing it after the case ends."""

    def __init__(self, facts, tmp, row, figures):
        super().__init__(facts, tmp, deadline=CASE_SECONDS)
        self.row, self.m, self.bridge, self.figures = row, None, None, figures
        self.tags, self.adapters = {}, []
        self.count = itertools.count(1).__next__  # a new number, for a tag or a line

    def where(self):
        emu = next((p for p in reversed(self.started) if isinstance(p, harness.Device)), None)
        return "guest console ends %r; device's last line: %s" % (
            [line[:100] for line in self.m.console.tail(3)] if self.m else [],
            emu.last_step() if emu else "(no device)")

    def figure(self, text):
        """A measured figure of the machine, for the suite's summary."""
        self.figures.append("%s: %s" % (self.row.name, text))

    def device(self, options, expect=True):
        return harness.Emulator(self, os.path.join(self.tmp, "line%d" % self.count()), options,
                                expect)

    def start(self, tag, port, launcher=""):
        """Starts an updater on COMport in the guest; returns where its answers begin."""
        mark = self.m.mark()
        self.tags[tag] = mark
        self.m.send("start %s %s trelvane-update -%s" % (tag, launcher, port))
        return mark

    def within(self, limit):
        return min(self.deadline, time.monotonic() + limit) if limit else self.deadline

    def ended(self, tag, mark, limit=None):
        """The time the updater ended (time.monotonic())."""
        return self.m.expect("@@END %s " % tag, self.within(limit), mark)[1] / 1e9

    def console(self, tag, mark, limit=None):
        """(status, console text) of an updater, once it has ended."""
        parts = self.m.expect("@@EXIT %s " % tag, self.within(limit), mark)[2].split() + [""]
        return int(parts[2]), bytes.fromhex(parts[3]).decode("latin-1")  # no HEX: no text

    def ask(self, command, answer):
        """Types a command for /init; the text of its answer, the line starting with answer."""
        mark = self.m.mark()
        self.m.send(command)
        return self.m.expect(answer, self.deadline, mark)[2]

    def wait_seen(self, tag, text):
        """Waits until the updater's console shows text."""
        self.ask("seen %s %r" % (tag, text.strip()), "@@SEEN %s" % tag)

    def cpu(self, tag):
        """The CPU time a running updater has used, in clock ticks."""
        ticks = self.ask("cpu " + tag, "@@CPU %s " % tag).split()[2]
        return sum(int(n) for n in ticks.split("+"))

    def modem(self, port):
        """The modem lines COMport's UART drives now: a list of "RTS", "DTR"."""
        lines = self.ask("modem " + port, "@@MODEM %s " % port).split()[2:]
        check(lines != ["?"], "the guest's driver shows no COM%s" % port)
        return [x for x in lines if x != "-"]

    def close(self):
        """Every updater, adapter and device of the case gone, for the next."""
        for tag, mark in self.tags.items() if self.m else ():
            self.m.send("stop %s KILL 2>/dev/null" % tag)
            try:
                self.m.expect("@@END %s " % tag, time.monotonic() + 10, mark)
            except Timeout:
                print("   updater %s did not end when killed" % tag)
        self.tags = {}
        for ident in self.adapters:
            with contextlib.suppress(Timeout, RuntimeError):
                self.row.adapter.unplug(self, ident)
        self.adapters = []
        super().close()
        self.bridge = None


def machine(**row):
    """A row: root is where the kernel and busybox are (/, or the folder
    the Debian packages of `arch` are unpacked into); program the build
    folder of the updater the guest gets (None: the runner's own); the
    guest's environment names its ports; devices must be there before the
    cases start; can: the kinds of case it runs, the marks of test_vm.py
    (CAPABILITIES)."""
    defaults = dict(arch=None, kernel=None, root="/", program=None, console="ttyS0",
                    environment={}, devices=(), uart=None, adapter=None)
    return SimpleNamespace(**dict(defaults, **row))


# What a machine can do, each a mark a case may carry, and its line's COM
# port: a UART, the 16550 whose line QEMU moves to each case's device (modem
# control, echo before the open), a UART paced at the line's rate (COM2); a
# USB adapter plugged and pulled, and the USB serial gadget (COM3).
CAPABILITIES = dict(uart="2", uart_16550="2", paced_uart="2", adapter="3", usb_gadget="3")
AMD64 = ["qemu-system-x86_64"]
USB = ("usb-common", "usbcore")


@functools.lru_cache()  # the same row objects for every case: one boot serves a row's cases
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
                       devices=("/dev/ttyAMA0",), uart=Bridged(), can={"uart", "paced_uart"})

    rows = [
        machine(name="amd64-16550-ftdi", qemu=AMD64,
                modules=USB + ("xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"),
                environment={"TRELVANE_COM3": Ftdi.device_path}, uart=Hotswap(), adapter=Ftdi(),
                can={"uart", "uart_16550", "adapter"}),
        # Two module dependencies modinfo does not name (u_serial and
        # usb_f_acm for g_serial), without which g_serial's insmod succeeds
        # and makes no port.
        machine(name="amd64-cdc-acm", qemu=AMD64, program="linux-x86_64",
                modules=USB + ("udc-core", "configfs", "libcomposite", "u_serial", "usb_f_acm",
                               "dummy_hcd", "cdc-acm", "g_serial"),
                environment={"TRELVANE_COM3": Gadget.device_path},
                devices=("/dev/ttyGS0", Gadget.device_path), adapter=Gadget(),
                can={"adapter", "usb_gadget"}),
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
