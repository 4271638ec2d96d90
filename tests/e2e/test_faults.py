"""Cases that need more than one updater or a real terminal: the key press
read from the terminal, Ctrl-C, the port's calls in their order, signals, and
four updaters on four devices at once. (A silent device, waited for in a read
at no cost: the fault campaign.)"""
import os
import re
import select
import shutil
import signal
import tempfile
import termios

import pytest

from support import texts as t
from support.harness import blocked_in
from support.lines import check

NOBODY = 65534  # an ordinary user: the exclusive-use flag keeps such users out


def open_terminal():
    master, slave = os.openpty()
    return master, slave, termios.tcgetattr(slave)


def ctrl_c(run, slave, before):
    """Ctrl-C ends the updater by the signal and leaves the terminal as it was."""
    run.signal(signal.SIGINT)
    status = run.finish().status
    check(status == -signal.SIGINT, "status %d, want death by SIGINT" % status)
    check(termios.tcgetattr(slave) == before, "terminal left changed after Ctrl-C")


# The port's calls in their order, as strace shows them in the thread that
# makes them (under Wine, the program's own): on Linux the kernel raises DTR
# and RTS inside open(), and the first call on the locked port lowers them.
# Then the port drops what came in unread right before the offer and before
# the chunk (Wine's PurgeComm is tcflush), and is drained before its close
# (TIOCOUTQ, then tcdrain: Wine's FlushFileBuffers): a pseudo-terminal's queue
# reads 0 whatever the far end has read, so the order is the proof. Not under
# the sanitizer, whose leak check refuses to run under strace. Only the calls
# traced stop the program (seccomp), or Wine and its server outrun the deadline.
@pytest.mark.unsanitized
def test_port_calls_in_their_order(s):
    trace = os.path.join(s.tmp, "trace")
    emu = s.emulator("2", expect=True, variant="-n1")
    s.updater("2", ["-2"], variant="-n1", wrapper=["strace", "-f", "--seccomp-bpf", "-o", trace,
                                                   "-e", "trace=flock,ioctl,write,close"]).finish()
    emu.exact()
    with open(trace) as f:
        calls = f.read()

    def on_port(start):  # the calls on the port its first call names, from there on
        pid, fd = start.groups()
        return re.findall(r"^%s +(\w+\(%s[,)].*)" % (pid, fd), calls[start.start():], re.M)

    if not s.wine:
        locked = re.search(r"^(\d+) +flock\((\d+), LOCK_EX\|LOCK_NB\) += 0$", calls, re.M)
        after = on_port(locked)[1:] if locked else []
        check(after and after[0].startswith("ioctl(%s, TIOCMBIC, [TIOCM_DTR|TIOCM_RTS])"
                                            % locked.group(2)),
              "the first calls on the locked port:\n%s" % "\n".join(after[:4] or [calls]))
    # From the settings' own purge of the output to the close: P a drop of
    # the input, W a write, Q a look at the output queue, D a drain, C the close.
    purged = re.search(r"^(\d+) +ioctl\((\d+), TCFLSH, TCOFLUSH", calls, re.M)
    kinds = (("TCFLSH, TCIFLUSH", "P"), ("write(", "W"), ("TIOCOUTQ", "Q"), ("TCSBRK, 1", "D"),
             ("close(", "C"))
    seen = "".join(next((k for text, k in kinds if text in call), "")
                   for call in (on_port(purged) if purged else []))
    seen = seen[:seen.find("C") + 1]
    last = seen.rfind("W") + 1
    check(re.fullmatch("PW{3}PW+", seen[:last].replace("Q", "")) and seen[last:] == "QDC",
          "the port's drops, writes and drain: %r\n%s" % (seen, calls[-2000:]))


# Exclusive use of a terminal is the POSIX layer's own: Linux only.
@pytest.mark.linux
def test_signals_leave_the_port_free_for_an_ordinary_user(s, request):
    """An ordinary user's updater ended by each signal; each time, the same
    user's next updater opens the port, which outlives them all."""
    check(os.geteuid() == 0, "needs root, to run the updaters as an ordinary user")
    # pytest keeps its folders to root: the port's link, which the ordinary
    # user must reach, is in a folder of the case's own under /tmp.
    reach = tempfile.mkdtemp(prefix="trelvane-user-", dir="/tmp")
    request.addfinalizer(lambda: shutil.rmtree(reach))
    os.chmod(reach, 0o755)
    port_master, port_slave = os.openpty()
    link, port = os.path.join(reach, "com2"), os.ttyname(port_slave)
    os.close(port_slave)
    os.chown(port, NOBODY, NOBODY)
    s.make_link(link, port)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE, None):
        # SIGPIPE: the reader of its console goes away while it listens, and
        # the device's announce (code byte 0xFF) gives it something to say.
        reader, out = os.pipe() if sig == signal.SIGPIPE else (None, None)
        run = s.updater("2", ["-2"], link=link, user=NOBODY, out=out)
        if out is not None:
            os.close(out)
        s.wait_for("the updater to listen after the last one's death",
                   lambda: blocked_in(run.pid) or not run.running())
        check(run.running(), "after the updaters before it (%s): %r" % (sig, run.console()))
        if reader is None:
            run.signal(sig or signal.SIGKILL)
        else:
            os.close(reader)
            os.write(port_master, b"\xff\x00\x00\x00\x00")
        status = run.finish().status
        check(sig is None or status == -sig, "status %d, want death by %s" % (status, sig))
    os.close(port_master)


class Screen:
    """What a terminal shows, read from its master side as it comes: its text
    without the console's control sequences and spacing, which Wine's console
    draws with cursor moves."""

    def __init__(self, master):
        self.master, self.shown = master, b""

    def text(self):
        try:
            while select.select([self.master], [], [], 0)[0]:
                chunk = os.read(self.master, 65536)
                if not chunk:
                    break
                self.shown += chunk
        except OSError:
            pass
        return squeezed(re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", self.shown).decode("latin-1"))


def squeezed(text):
    return re.sub(r"\s+", "", text)


def key_reader(s, run):
    """The process that reads the key: under Wine on a terminal, start.exe
    runs the program in a process of its own, in the updater's group (0:
    not there yet)."""
    if not s.wine:
        return run.pid
    for pid in [p for p in os.listdir("/proc") if p.isdigit()]:
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                name = f.read().split(b"\0")[0]
            if os.getpgid(int(pid)) == run.pid and name.endswith(b"\\" + s.program().encode()):
                return int(pid)
        except OSError:
            pass
    return 0


@pytest.mark.timeout(45)
@pytest.mark.parametrize("end", ["key", pytest.param("ctrl_c", marks=pytest.mark.linux)])
def test_key_press_takes_only_a_key_pressed_after_the_question(s, end):
    """Keys typed with the port's answer and during the transfer do not end
    the run; an arrow key pressed after the question does, whole, unechoed.
    Ctrl-C there ends the run by its signal, the terminal as it was."""
    master, slave, before = open_terminal()
    screen = Screen(master)
    emu = s.emulator("6", expect=True)
    run = s.updater("6", [], terminal=slave, out=slave)
    s.wait_for("the prompt", lambda: screen.text().endswith(squeezed(s.texts().asked())))
    if s.wine:
        # Wine's console reads the terminal raw, Enter as a carriage return;
        # typed while the terminal is still cooked, Enter would arrive as a
        # line feed, which that console takes for Ctrl-J.
        s.wait_for("Wine's console to take the terminal",
                   lambda: not termios.tcgetattr(slave)[3] & termios.ICANON)
    os.write(master, b"6\rxyz")  # Enter, as a terminal sends it, and keys typed on
    # Typed while the device is being talked to, two pauses of a second
    # before the question can appear.
    s.wait_for("the instruction", lambda: squeezed(s.texts().select()) in screen.text())
    os.write(master, b"abc")
    question = squeezed(t.PRESS)
    s.wait_for("the question", lambda: screen.text().endswith(question))
    s.wait_for("the key wait", lambda: blocked_in(key_reader(s, run)))
    check(run.running(), "a key typed before the question ended the run")
    if end == "ctrl_c":
        ctrl_c(run, slave, before)
    else:
        os.write(master, b"\x1b[A")
        status = run.finish().status
        shown = screen.text()
        check(status == 255, "status %d" % status)
        check(shown.endswith(question), "something was shown after the question: %r" % shown[-80:])
        check(termios.tcgetattr(slave) == before, "terminal settings not restored")
        # What the next program would read: a cooked terminal hides an
        # unfinished line from the byte count, so look at it raw.
        raw = list(before)
        raw[3] &= ~termios.ICANON
        raw[6] = list(before[6])
        raw[6][termios.VMIN], raw[6][termios.VTIME] = 0, 0
        termios.tcsetattr(slave, termios.TCSANOW, raw)
        left = os.read(slave, 100)
        check(not left, "%r of the arrow key left for the next program" % left)
    emu.exact()


@pytest.mark.timeout(45)
def test_four_updaters_on_four_devices(s):
    runs = {port: (s.emulator(port, expect=True), s.updater(port, ["-" + port])) for port in "2345"}
    for port, (emu, run) in runs.items():
        r = run.finish()
        check(r.status == 255 and r.console == s.texts().full_run(port),
              "COM%s: status %d, console %r" % (port, r.status, r.console[-200:]))
        emu.exact()
