#!/usr/bin/env python3
"""The Linux updater on a real kernel's serial drivers: a 16550 UART (COM2,
the guest's ttyS1) and an FTDI USB serial adapter (COM3, ttyUSB0), in a QEMU
guest, with trelvane-emu at the far end of each line. Checks the exact
console text, the exit status and the device's verdict, and pulls the
adapter out at three points of a run.

  run.py BUILD [--tools DIR] [--only CASE,...]

BUILD holds trelvane-update; DIR (default BUILD) holds trelvane-emu.
"""
import argparse
import glob
import os
import re
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import e2e  # noqa: E402  the console texts
import initramfs  # noqa: E402
from machine import Emulator, Machine, Timeout  # noqa: E402

UART, ADAPTER = "2", "3"
ADAPTER_DEVICE = "/dev/ttyUSB0"
_, CHUNKS, SIZE = e2e.VARIANTS[""]
IMAGE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "image", "trelvane.bin")
LOST = "\nLost connection on COM%s\n" + e2e.PRESS
BUSY = "Couldn't open COM%s\n" + e2e.PRESS
SELECT = e2e.select("Update", "1.70", "1.73")
LINE_RAW = "emu: line set to 115200 8N1 raw"
# A device that cannot know when the port opens: it repeats its announce
# until the offer comes. The virtual machine keeps the line open after the
# updater lets go, so the device waits only briefly for that.
DEVICE = ["--announce-every", "500", "--linger", "300"]
CASE_SECONDS = 60
BOOT_SECONDS = 120
PULL_SECONDS = 20  # a generous bound: a healthy updater ends well within 2 s


def head(port):
    return e2e.BANNER + e2e.loaded(SIZE) + e2e.listening(port)


# The loader line and the progress of the first chunk (4 blocks).
FIRST_CHUNK = "\r".join(e2e.transfer(CHUNKS).split("\r")[:5])


class Failed(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failed(what)


class Bench:
    """The booted guest, and the emulators of the case under way."""

    def __init__(self, machine, tools, tmp):
        self.m = machine
        self.tools = tools
        self.tmp = tmp
        self.emus = []
        self.tags = []
        self.adapters = []
        self.lines = 0
        self.deadline = 0
        self.figures = []

    def begin(self):
        self.deadline = time.monotonic() + CASE_SECONDS
        self.emus, self.tags = [], []

    def emulator(self, options, expect=True):
        self.lines += 1
        link = os.path.join(self.tmp, "line%d" % self.lines)
        e = Emulator(self.tools, link, options, IMAGE if expect else None)
        self.emus.append(e)
        return e

    def start(self, tag, port):
        """Starts an updater on COMport in the guest; returns where its answers begin."""
        mark = self.m.mark()
        self.tags.append(tag)
        self.m.send("start %s trelvane-update -%s" % (tag, port))
        return mark

    def ended(self, tag, mark):
        """(status, time) of the updater's end."""
        _, t, line = self.m.expect("@@END %s " % tag, self.deadline, mark)
        return int(line.split()[2]), t

    def console(self, tag, mark):
        """(status, console text) of an updater, once it has ended."""
        _, _, line = self.m.expect("@@EXIT %s " % tag, self.deadline, mark)
        parts = line.split()
        text = bytes.fromhex(parts[3] if len(parts) > 3 else "").decode("latin-1")
        return int(parts[2]), text

    def run(self, tag, port):
        mark = self.start(tag, port)
        return self.console(tag, mark)

    def exact(self, emu):
        """The device's verdict: all of the image's bytes, exactly, on a line
        set to 115200 8N1 raw."""
        status, out = emu.finish(self.deadline)
        check(LINE_RAW in out, "the device never saw the line set to 115200 8N1 raw:\n" + out)
        check("emu: expect: exact (%d bytes)" % e2e.SENT[CHUNKS] in out,
              "the device did not get exactly the image's bytes:\n" + out[-600:])
        check(status == 0, "device exit status %d" % status)
        return out

    def note(self, text):
        self.figures.append(text)
        print("   " + text)

    def cleanup(self):
        for tag in self.tags:
            self.m.send("stop %s KILL 2>/dev/null" % tag)
        for ident in self.adapters:
            try:
                self.m.pull_adapter(ident, time.monotonic() + 10)
            except (Timeout, RuntimeError):
                pass
        self.adapters = []
        for e in self.emus:
            e.kill()


def same(got, want, what):
    check(got == want, "%s: %s" % (what, e2e.first_difference(got, want)))


def ends_lost(text, start, port):
    check(text.startswith(start) and text.endswith(LOST % port) and text.count(LOST % port) == 1,
          "console should start with %r and end with %r once, got ...%r"
          % (start[-60:], LOST % port, text[-200:]))


def case_uart_complete(b):
    e = b.emulator(DEVICE)
    b.m.uart_to(e.link)
    status, text = b.run("uart", UART)
    same(text, e2e.full_run(UART), "console")
    check(status == 255, "exit status %d, want 255" % status)
    b.exact(e)


def plug(b, options, expect=True):
    e = b.emulator(options, expect)
    ident = b.m.plug_adapter(e.link)
    b.adapters.append(ident)
    mark = b.m.mark()
    b.m.send("present %s yes" % ADAPTER_DEVICE)
    b.m.expect("@@PRESENT %s yes" % ADAPTER_DEVICE, b.deadline, mark)
    return e, ident


def unplug(b, ident):
    """Pulls the adapter; returns the time it was pulled, once the guest has no device."""
    mark = b.m.mark()
    b.adapters.remove(ident)
    pulled = b.m.pull_adapter(ident, b.deadline)
    b.m.send("present %s no" % ADAPTER_DEVICE)
    b.m.expect("@@PRESENT %s no" % ADAPTER_DEVICE, b.deadline, mark)
    return pulled


def case_adapter_complete(b):
    e, ident = plug(b, DEVICE)
    status, text = b.run("usb", ADAPTER)
    same(text, e2e.full_run(ADAPTER), "console")
    check(status == 255, "exit status %d, want 255" % status)
    b.exact(e)
    unplug(b, ident)


def pulled(b, tag, options, trigger, want_start, exact_end=False):
    """Pulls the adapter once trigger(emulator, mark) returns; the updater must
    say it lost the line and end with -1."""
    e, ident = plug(b, options, expect=False)
    mark = b.start(tag, ADAPTER)
    trigger(e, mark)
    t = unplug(b, ident)
    b.deadline = min(b.deadline, t + PULL_SECONDS)
    status, ended = b.ended(tag, mark)
    status, text = b.console(tag, mark)
    b.note("pull to exit: %.2f s" % (ended - t))
    if exact_end:
        same(text, want_start + LOST % ADAPTER, "console")
    else:
        ends_lost(text, want_start, ADAPTER)
    check(status == 255, "exit status %d, want 255" % status)
    e.finish(b.deadline, stop=True)


def case_adapter_pulled_while_listening(b):
    def listening(e, mark):
        b.m.send("seen pull1 %r" % e2e.listening(ADAPTER).strip())
        b.m.expect("@@SEEN pull1", b.deadline, mark)
    pulled(b, "pull1", ["--silent"], listening, head(ADAPTER), exact_end=True)


def stopped_at(n):
    def trigger(e, mark):
        e.wait("emu: stopped reading at %d bytes" % n, time.monotonic() + CASE_SECONDS)
    return trigger


def case_adapter_pulled_while_writing_a_block(b):
    # The device stops reading inside chunk 6: the updater is blocked writing.
    pulled(b, "pull2", DEVICE + ["--stop-at", "100000"], stopped_at(100000),
           head(ADAPTER) + SELECT + FIRST_CHUNK)


def case_adapter_pulled_while_waiting_for_sync(b):
    # All of chunk 1 is in; the device never sends its sync byte.
    pulled(b, "pull3", DEVICE + ["--stop-at", "16656"], stopped_at(16656),
           head(ADAPTER) + SELECT + FIRST_CHUNK, exact_end=True)


def holder(b, tag):
    """An updater on the UART that is in the middle of its transfer, at the
    line's real pace, so that it holds the port for a good while."""
    e = b.emulator(["--baud", "115200"] + DEVICE, expect=False)
    b.m.uart_to(e.link)
    mark = b.start(tag, UART)
    e.wait("emu: got chunk 1 ", b.deadline)
    return e, mark


def terminate(b, tag, mark):
    b.m.send("stop %s TERM" % tag)
    status, text = b.console(tag, mark)
    check(status == 128 + signal.SIGTERM, "first updater: status %d, want death by SIGTERM"
          % status)
    check(text.startswith(head(UART) + SELECT + FIRST_CHUNK),
          "first updater's console: %r" % text[-200:])


def case_second_updater_on_a_held_uart(b):
    e, mark = holder(b, "hold")
    status, text = b.run("second", UART)
    same(text, e2e.BANNER + BUSY % UART, "second updater's console")
    check(status == 1, "second updater: exit status %d, want 1" % status)
    terminate(b, "hold", mark)
    e.finish(b.deadline, stop=True)


def case_uart_after_sigterm_completes(b):
    e, mark = holder(b, "killed")
    terminate(b, "killed", mark)
    e.finish(b.deadline, stop=True)
    case_uart_complete(b)


def case_announces_before_the_port_opens(b):
    e = b.emulator(DEVICE)
    b.m.uart_to(e.link)
    time.sleep(1.2)  # two more announces wait on the line
    status, text = b.run("early", UART)
    same(text, e2e.full_run(UART), "console")
    check(status == 255, "exit status %d, want 255" % status)
    out = b.exact(e)
    found = re.search(r"emu: (\d+) bytes before the offer", out)
    check(found, "the device did not count the bytes before the offer:\n" + out)
    announces = re.search(r"emu: sent (\d+) announces", out)
    # Reported, not judged: bytes that arrive between the open and the
    # updater's settings are echoed by the line discipline before any call
    # can stop it.
    b.note("bytes the device got before the offer: %s (after %s announces)"
           % (found.group(1), announces.group(1) if announces else "?"))


# The announces case comes first: only the first open after boot finds the
# UART in the kernel's cooked settings, where it echoes what comes in.
CASES = [
    ("announces_before_the_port_opens", case_announces_before_the_port_opens),
    ("uart_complete", case_uart_complete),
    ("adapter_complete", case_adapter_complete),
    ("adapter_pulled_while_listening", case_adapter_pulled_while_listening),
    ("adapter_pulled_while_writing_a_block", case_adapter_pulled_while_writing_a_block),
    ("adapter_pulled_while_waiting_for_sync", case_adapter_pulled_while_waiting_for_sync),
    ("second_updater_on_a_held_uart", case_second_updater_on_a_held_uart),
    ("uart_after_sigterm_completes", case_uart_after_sigterm_completes),
]


def kernel():
    """(qemu, kernel image, version), or a reason why there is none."""
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        return "qemu-system-x86_64 is not installed"
    for image in sorted(glob.glob("/boot/vmlinuz-*"), reverse=True):
        version = image[len("/boot/vmlinuz-"):]
        if os.access(image, os.R_OK) and os.path.isdir("/lib/modules/" + version):
            return qemu, image, version
    return "no readable kernel in /boot with its modules in /lib/modules"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--tools")
    ap.add_argument("--only")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    tools = os.path.abspath(a.tools or a.build)
    chosen = [c for c in CASES if not a.only or c[0] in a.only.split(",")]
    found = kernel()
    if isinstance(found, str):
        print("SKIPPED: " + found)
        return 0
    if not os.path.exists(initramfs.BUSYBOX):
        print("SKIPPED: no static busybox at " + initramfs.BUSYBOX)
        return 0
    qemu, image, version = found
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    tmp = tempfile.mkdtemp(prefix="trelvane-vm-")
    lines = os.path.join(tmp, "lines")
    os.mkdir(lines)
    m = None
    passed = failed = 0
    started = time.monotonic()
    try:
        initrd = os.path.join(tmp, "initrd.cpio")
        initramfs.build(version, initrd, [os.path.join(build, "trelvane-update")])
        m = Machine(qemu, image, initrd, tmp, "TRELVANE_COM%s=%s" % (ADAPTER, ADAPTER_DEVICE))
        try:
            print("booted %s in %.1f s" % (version, m.boot(time.monotonic() + BOOT_SECONDS)))
        except Timeout as why:
            print("FAIL boot: %s" % why)
            return 1
        b = Bench(m, tools, lines)
        for name, case in chosen:
            b.begin()
            t0 = time.monotonic()
            try:
                case(b)
                passed += 1
                print("PASS %s (%.1f s)" % (name, time.monotonic() - t0))
            except (Failed, Timeout, RuntimeError) as why:
                failed += 1
                print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - t0, why))
                print("   guest console ends: %r" % m.console.tail(3))
                for e in b.emus:
                    print("   device's last line: %r" % e.out.tail(1))
            finally:
                b.cleanup()
    finally:
        if m:
            m.close()
        shutil.rmtree(tmp, ignore_errors=True)
    print("vm: %.1f s in all" % (time.monotonic() - started))
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or passed < len(chosen) else 0


if __name__ == "__main__":
    sys.exit(main())
