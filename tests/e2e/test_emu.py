"""The device emulator's own promises, which every other case leans on:
--help and its refusals, the device's pauses checked from its ready message, the updater's
go-ahead and sync byte only after the device's, --stop-at holding the line, and
--announce-every leaving the bytes before the offer out of the verdict."""
import os
import select
import signal
import subprocess
import termios
import time

import pytest

from support import texts as t
from support.harness import blocked_in
from support.lines import check, fail

pytestmark = pytest.mark.native

class FakeUpdater:
    """Plays the updater's side by hand on the emulator's line, with the
    pauses around the loader it is told to make."""

    def __init__(self, link, image):
        with open(image, "rb") as f:
            data = f.read()
        self.header, self.loader, self.chunks = data[:5], data[5:261], data[261:]
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

    def write(self, data):
        while data:
            select.select([], [self.fd], [], 10)
            data = data[os.write(self.fd, data):]

    def message(self, code=None):
        """The next message's 4 bytes (the next with this code, if given)."""
        while self.read(1)[0] < 0xF0 if code is None else self.read(1)[0] != code:
            pass
        return self.read(4)

    def install(self, first_pause, second_pause, early=None):
        """The exchange of an image of no chunks, or of two, with the
        updater's go-ahead after the device's second reply and its sync byte
        after the device's, or one of them (early) sent before; "echo": the
        go-ahead, on a line that echoed the announce, and more, before the offer."""
        announce = bytes([0xFF]) + self.message(0xFF)
        os.write(self.fd, (announce + b"\r\n" if early == "echo" else b"") + self.header)
        for _ in range(2 if early in (None, "sync") else 1):
            self.message()
        os.write(self.fd, b"\xfc" + self.header[1:])
        self.message(0xFB)
        time.sleep(first_pause)
        os.write(self.fd, self.loader)
        time.sleep(second_pause)
        if self.chunks[t.FIRST_CHUNK:]:
            self.write(self.chunks[:t.FIRST_CHUNK])
            if early != "sync":
                self.read(1)
            os.write(self.fd, b"\xa5")
            self.write(self.chunks[t.FIRST_CHUNK:])
        os.write(self.fd, b"\xa5\xa5\xa5")
        os.close(self.fd)


def test_help_and_refusals(s):
    """--help answers on standard output and succeeds (why None). A bad option,
    or bytes a device cannot announce, fail with the usage status, never a
    verdict's, named on standard error, with nothing on standard output."""
    for args, why in ((["--help"], None), (["--bogus"], "unknown argument --bogus"),
                      (["--hw", "3,128"], "--hw wants"),
                      (["--version", "128.0"], "--version wants"),
                      (["--fault", "loader:again"], "--fault wants"),
                      (["--fault", "sync:split=2,600"], "--fault wants")):
        run = subprocess.run([os.path.join(s.tools, "trelvane-emu")] + args, capture_output=True,
                             text=True, timeout=10)
        want = (0, True, False) if why is None else (64, False, True)
        check((run.returncode, bool(run.stdout), bool(run.stderr)) == want
              and (why or "") in run.stderr, "%s: %r" % (args, run))


# The image, pauses the fake updater makes around the loader, which of its
# steps it takes before the device's, the emulator's options; its status and
# the line it must print (None: no line of an early step at all; that a
# right run is judged exact and timely, every whole run shows). A device
# that announced once, before the line was open, has no later announce on
# its way; a stray message, void or not, counts as a reply; a stray ready
# message after the replies may be taken for ready, the pauses counted from
# it (the device's own comes 50 ms later).
GO_AHEAD_EARLY = "emu: got FC with 1 of the device's messages sent since the offer"
PAUSES = (
    ("-n0", 0.0, 1.0, None, (), 1, "emu: loader came "),
    ("-n0", 1.0, 0.0, None, (), 1, "emu: final bytes came "),
    ("-n2", 1.0, 1.0, "sync", (), 1, "emu: got A5 after chunk 1 with nothing sent since it began"),
    ("-n0", 1.0, 1.0, "go_ahead", (), 1, GO_AHEAD_EARLY),
    ("-n0", 1.0, 1.0, "echo", ("--announce-every", "5000"), 1, GO_AHEAD_EARLY),
    ("-n0", 1.0, 1.0, "go_ahead", ("--fault", "reply1:bytes=F380808080"), 0, None),
    ("-n0", 1.0, 1.0, None, ("--fault", "reply2:bytes=FB00000000", "--fault", "ready:delay=50"),
     0, None),
)


def early_steps(out):
    return [x for x in out.splitlines() if " after ready, at least " in x or " sent since " in x]


@pytest.mark.parametrize("variant, first, second, early, options, want_status, want_line", PAUSES,
                         ids=["loader_too_soon", "final_bytes_too_soon", "sync_byte_before_the_devices",
                              "go_ahead_before_the_second_reply", "bytes_before_the_offer_left_out",
                              "go_ahead_after_a_stray_message", "pauses_from_a_stray_ready"])
def test_early_steps_refused(s, variant, first, second, early, options, want_status, want_line):
    image = s.images[variant]
    emu = s.emulator(os.path.join(s.tmp, "com-pauses"), options, expect=image, device=None)
    FakeUpdater(emu.link, image).install(first, second, early=early)
    early = early_steps(emu.exact(status=want_status))
    check(any(line.startswith(want_line) for line in early) if want_line else not early,
          "early steps %r, want %r" % (early, want_line))


# Where the emulator stops reading in the built-in image's stream, and the
# signal that ends the hold while our updater waits to read. (A hold the
# updater's close ends, at any byte: the fault campaign.)
STOPS = ((lambda im: 0, signal.SIGTERM),
         (lambda im: im.chunk_end(1) if im.chunks > 1 else None, signal.SIGINT))


@pytest.mark.parametrize("point, sig", STOPS, ids=["at_0_sigterm", "after_chunk_1_sigint"])
def test_stop_at_holds_the_line(s, point, sig):
    n = point(s.image())
    if n is None:
        pytest.skip("an image of %d chunks has no such point" % s.image().chunks)
    emu = s.emulator("2", ["--stop-at", "%d,hold" % n], expect=True)
    upd = s.updater("2", ["-2"])
    emu.wait_line("emu: stopped reading at %d bytes" % n)
    s.wait_for("the updater blocked in read", lambda: blocked_in(upd.pid))
    check(emu.proc.poll() is None, "stop at %d: the emulator did not hold the line: %s"
          % (n, emu.text()))
    emu.proc.send_signal(sig)
    status, out = emu.finish()
    check(status == 3 and "emu: received %d bytes\n" % n in out and "emu: expect: short" in out,
          "stop at %d, ended by %s: status %d\n%s" % (n, sig, status, out))
    check(not (n == 0 and "announce" in out), "stop at 0 still announced:\n" + out)
    upd.stop()

