#!/usr/bin/env python3
"""The device emulator's own promises, which every other case leans on:
--help, what --link may replace, the device's pauses checked from its ready
message, --stop-at holding the line, and --announce-every leaving the bytes
before the offer out of the verdict. Command line: harness.arguments.
"""
import os
import select
import signal
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import Case, blocked_in, check, fail  # noqa: E402


def emu_cmd(s, *args):
    return [os.path.join(s.tools, "trelvane-emu")] + list(args)


class FakeUpdater:
    """Plays the updater's side by hand on the emulator's line, with the
    pauses around the loader it is told to make."""

    def __init__(self, s, link, image):
        with open(image.path, "rb") as f:
            data = f.read()
        self.header, self.loader = data[:5], data[5:261]
        self.s = s
        self.fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        t = termios.tcgetattr(self.fd)
        t[0], t[1], t[3] = 0, 0, 0  # no input, output or line processing
        t[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        t[4] = t[5] = termios.B115200
        t[6][termios.VMIN], t[6][termios.VTIME] = 1, 0
        termios.tcsetattr(self.fd, termios.TCSANOW, t)

    def read(self, n):
        data = b""
        while len(data) < n:
            if not select.select([self.fd], [], [], 10)[0]:
                fail("the emulator sent %r, then nothing for 10 s" % data)
            data += os.read(self.fd, n - len(data))
        return data

    def message(self, code=None):
        """The next message's 4 bytes (the next with this code, if given)."""
        while self.read(1)[0] < 0xF0 if code is None else self.read(1)[0] != code:
            pass
        return self.read(4)

    def install(self, first_pause, second_pause, before_offer=b""):
        """The exchange of an image without chunks."""
        announce = bytes([0xFF]) + self.message(0xFF)
        os.write(self.fd, before_offer.replace(b"ANNOUNCE", announce) + self.header)
        self.message()
        self.message()
        os.write(self.fd, b"\xfc" + self.header[1:])
        self.message(0xFB)
        time.sleep(first_pause)
        os.write(self.fd, self.loader)
        time.sleep(second_pause)
        os.write(self.fd, b"\xa5\xa5\xa5")
        os.close(self.fd)


def case_help_on_standard_output(s):
    run = subprocess.run(emu_cmd(s, "--help"), capture_output=True, text=True, timeout=10)
    if run.returncode != 0 or run.stderr or not run.stdout.startswith("usage: trelvane-emu"):
        fail("--help: status %d, stdout %r, stderr %r" % (run.returncode, run.stdout[:80], run.stderr))
    for option in ("--link", "--expect", "--hangup-after", "--stop-at", "--announce-every",
                   "--linger"):
        check("  %s " % option in run.stdout, "--help does not show " + option)
    run = subprocess.run(emu_cmd(s, "--link", os.path.join(s.tmp, "x"), "--bogus"),
                         capture_output=True, text=True, timeout=10)
    if run.returncode != 2 or run.stdout or "unknown argument --bogus" not in run.stderr:
        fail("a bad option: status %d, stdout %r, stderr %r" % (run.returncode, run.stdout, run.stderr))


def case_link_replaces_only_its_own(s):
    master, slave = os.openpty()
    live_pts = os.ttyname(slave)
    plain = os.path.join(s.tmp, "plain")
    open(plain, "w").close()
    refused = {
        "a regular file": lambda p: open(p, "w").close(),
        "a directory": os.mkdir,
        "a link to a real device": lambda p: os.symlink("/dev/null", p),
        "a link to a file": lambda p: os.symlink(plain, p),
    }
    for what, make in refused.items():
        path = os.path.join(s.tmp, "refused")
        make(path)
        before = os.lstat(path)
        try:
            run = subprocess.run(emu_cmd(s, "--link", path), capture_output=True, text=True,
                                 timeout=5)
        except subprocess.TimeoutExpired:
            fail("%s: the emulator took its place and ran" % what)
        after = os.lstat(path)
        if run.returncode != 2 or "will not replace " + path not in run.stderr:
            fail("%s: status %d, stderr %r" % (what, run.returncode, run.stderr))
        if (after.st_ino, after.st_mode) != (before.st_ino, before.st_mode):
            fail("%s was replaced all the same" % what)
        if os.path.isdir(path) and not os.path.islink(path):
            os.rmdir(path)
        else:
            os.unlink(path)
    taken = {
        "nothing": lambda p: None,
        "a dangling link": lambda p: os.symlink(os.path.join(s.tmp, "gone"), p),
        "a link into /dev/pts/": lambda p: os.symlink(live_pts, p),
    }
    for what, make in taken.items():
        path = os.path.join(s.tmp, "taken")
        make(path)
        emu = subprocess.Popen(emu_cmd(s, "--link", path), stdout=subprocess.PIPE, text=True)
        first = emu.stdout.readline()
        target = os.readlink(path) if os.path.islink(path) else None
        emu.terminate()
        status = emu.wait(10)
        if first != "emu: device at %s -> %s\n" % (path, target) or target == live_pts:
            fail("%s: first line %r, link to %r" % (what, first, target))
        if status != 1 or os.path.lexists(path):
            fail("%s: after SIGTERM status %d, link left: %s" % (what, status, os.path.lexists(path)))
    os.close(master)
    os.close(slave)


# Pauses the fake updater makes before and after the loader; the emulator's
# status; the line it must print (None: no timing line at all).
PAUSES = (
    (1.0, 1.0, 0, None),
    (0.0, 1.0, 1, "emu: loader came "),
    (1.0, 0.0, 1, "emu: final bytes came "),
)


def case_pauses_checked_from_ready(s):
    image = texts.images(s.build)["-n0"]
    for first, second, want_status, want_line in PAUSES:
        emu = s.emulator(os.path.join(s.tmp, "com-pauses"), expect=image)
        FakeUpdater(s, emu.link, image).install(first, second)
        out = emu.exact(status=want_status)
        timing = [line for line in out.splitlines() if " after ready, at least " in line]
        if (want_line is None and timing) or (want_line and not any(
                line.startswith(want_line) and line.endswith(" ms early)") for line in timing)):
            fail("pauses %g/%g s: timing lines %r, want %r" % (first, second, timing, want_line))


# Where the emulator stops reading, with what else it is told; where that
# leaves our updater; how the hold ends.
STOPS = (
    (0, (), "read", signal.SIGTERM),
    (16656, (), "read", signal.SIGINT),
    (20000, ("--early-sync",), "write", "close"),
)


def case_stop_at_holds_the_line(s):
    for n, options, call, end in STOPS:
        emu = s.emulator("2", ["--stop-at", str(n)] + list(options), expect=True)
        upd = s.updater("2", ["-2"])
        emu.wait_line("emu: stopped reading at %d bytes" % n)
        s.wait_for("the updater blocked in %s" % call, lambda: blocked_in(upd.pid, call))
        if emu.proc.poll() is not None:
            fail("stop at %d: the emulator did not hold the line: %s" % (n, emu.text()))
        if end == "close":
            upd.stop()
        else:
            emu.proc.send_signal(end)
        status, out = emu.finish()
        if status != 3 or "emu: received %d bytes\n" % n not in out or "emu: expect: short" not in out:
            fail("stop at %d, ended by %s: status %d\n%s" % (n, end, status, out))
        check(not (n == 0 and "announce" in out), "stop at 0 still announced:\n" + out)
        if end == "close" and "emu: line closed by updater\n" not in out:
            fail("stop at %d: the updater's close was not noticed:\n%s" % (n, out))
        upd.stop()


def case_bytes_before_the_offer_left_out(s):
    """A line that echoes the announce back, and more, before the offer."""
    image = texts.images(s.build)["-n0"]
    emu = s.emulator(os.path.join(s.tmp, "com-echo"), ["--announce-every", "100"], expect=image)
    time.sleep(0.3)  # the first announces go to nobody
    FakeUpdater(s, emu.link, image).install(1.0, 1.0, before_offer=b"ANNOUNCE\r\n")
    out = emu.exact()
    sent = [line for line in out.splitlines() if line.startswith("emu: sent ")
            and line.endswith(" announces")]
    check("emu: 7 bytes before the offer\n" in out and len(sent) == 1
          and int(sent[0].split()[2]) >= 1, "the bytes before the offer:\n" + out)


CASES = [Case(f.__name__[len("case_"):], f, wine=False) for f in (
    case_help_on_standard_output, case_link_replaces_only_its_own, case_pauses_checked_from_ready,
    case_stop_at_holds_the_line, case_bytes_before_the_offer_left_out)]

if __name__ == "__main__":
    sys.exit(harness.main(CASES))
