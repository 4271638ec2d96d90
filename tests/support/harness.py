"""The harness of the end-to-end, virtual machine and benchmark cases: the
device emulator on a pseudo-terminal, the updater (natively or under Wine)
with its COM port linked to it as the qualification links it
(tools/release/wineprefix.py), and what a run leaves (os.wait4). What a
session starts is ended and its links removed on every way out; a wait past
the case's deadline fails it with the last console line and the emulator's
last step."""
import atexit
import os
import subprocess
import threading
import time
import weakref

import wineprefix
from oracle import DEVICE_AT, EXACT, LINE_RAW
from support import texts
from support.lines import Lines, Timeout, check, fail, stop

# The numbers /proc/PID/syscall gives read and write, by the host's processor.
SYSCALL = {"x86_64": {"read": "0", "write": "1"}, "aarch64": {"read": "63", "write": "64"},
           "armv7l": {"read": "3", "write": "4"}}[os.uname().machine]


def blocked_in(pid, call="read"):
    """True while the process sleeps in the system call `call` (or any of "read write")."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/syscall" % pid) as f:
            now = f.read().split()[0]
    except OSError:
        return False
    return state == "S" and now in [SYSCALL[c] for c in call.split()]


class Result:
    """What a finished updater left: status (-N after death by signal N),
    console, CPU seconds, wall seconds, and time.monotonic_ns() at its exit."""

    def __init__(self, status, console, usage, wall_ns, ended_ns):
        self.status, self.console, self.ended_ns = status, console, ended_ns
        self.user, self.sys, self.wall = usage.ru_utime, usage.ru_stime, wall_ns / 1e9
        self.cpu = self.user + self.sys


class Device:
    """The emulator's lines (a Lines) and its exit status (None while it runs)."""
    ENDED = None  # the line that says it has ended, where its stream goes on

    def text(self):
        return self.lines.text()

    def last_step(self):
        return (self.lines.tail(1) or ["(nothing yet)"])[0]

    def time_of(self, prefix):
        return self.lines.find(lambda text: text.startswith(prefix))

    def wait_line(self, prefix, limit=None):
        """Time of the first line starting with prefix; the case fails past
        limit or its deadline, or once the emulator has ended without it."""
        end = min(self.session.deadline, time.monotonic() + (limit or self.session.deadline_s))
        try:
            _, at, text = self.lines.wait(lambda x: x.startswith((prefix, self.ENDED or prefix)),
                                          end, what="emulator line %r" % prefix)
        except Timeout as why:
            fail("%s; %s" % (why, self.session.where()))
        check(text.startswith(prefix), "the emulator ended before %r:\n%s" % (prefix, self.text()))
        return at

    def finish(self, limit=20):
        """Exit status and every line, once the emulator has ended."""
        self.session.wait_for("the emulator to end", lambda: self.status() is not None, limit)
        self.lines.join(5)
        return self.status(), self.text()

    def exact(self, status=0):
        """A complete run's verdict: status (0: all well), the line set to
        115200 8N1 raw, exactly the image's bytes."""
        code, out = self.finish()
        check(code == status and (self.on_port or LINE_RAW in out) and EXACT in out,
              "the device's verdict is not an exact run (status %d, want %d):\n%s"
              % (code, status, out[-600:]))
        return out

    def options(self, options, expect, variant, device, refused):
        """The arguments of a device fitting program `variant`'s image (None: the
        emulator's own) and options; the image to receive (True: that one)."""
        image = self.session.images[variant] if expect is True else expect
        args = self.session.image(variant).announce(device, refused) if device else []
        return args + list(options), image


class Emulator(Device):
    """trelvane-emu on a pseudo-terminal linked at `link`, or (on_port) on the
    existing port `link`, where the updater's settings cannot be seen."""

    def __init__(self, session, link, options=(), expect=None, on_port=False, variant="",
                 device="any", refused=False):
        self.session, self.link, self.on_port = session, link, on_port
        args, image = self.options(options, expect, variant, device, refused)
        cmd = [os.path.join(session.tools, "trelvane-emu")] + ["--port", link] * on_port + args
        self.proc = subprocess.Popen(cmd + ["--expect", image] * bool(image), text=True,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        session.started.append(self)
        self.lines = Lines(self.proc.stdout)
        try:
            line = self.lines.wait(lambda text: text.startswith(DEVICE_AT),
                                   time.monotonic() + 10, what="device line")[2]
        except Timeout:
            fail("emulator did not start: %r" % self.proc.stderr.read())
        if not on_port:
            session.make_link(link, line[len(DEVICE_AT):])

    def status(self):
        return self.proc.poll()

    def stop(self):
        stop(self.proc)


class Updater:
    """One updater on COM<port> in a session of its own (without a terminal
    its key press returns at once); its console to a file (console()) or `out`."""

    def __init__(self, session, port, args=(), variant="", answer=None, terminal=None,
                 out=None, user=None, wrapper=(), stdin_closed=False, link=None, named=None):
        self.session = session
        launch = ["--terminal"] * (terminal is not None) + ["--no-stdin"] * stdin_closed
        cmd, env = wineprefix.command(
            session.facts, os.path.join(session.build, session.program(variant)), session.wine,
            port, link or session.link(named or port), named, launch, wrapper)
        self.out_path = os.path.join(session.tmp, "console-%d" % len(session.started))
        # Its errors (Wine's own, a launcher's) are kept for where() to show.
        self.err_path = self.out_path + ".err"
        files = [open(self.err_path, "wb")] + ([open(self.out_path, "wb")] if out is None else [])
        stdin = terminal if terminal is not None else (
            subprocess.PIPE if answer is not None else subprocess.DEVNULL)
        self.started_ns = time.monotonic_ns()
        # Never waited for through Popen: _wait takes the exit with its usage.
        as_user = {} if user is None else dict(user=user, group=user, extra_groups=[])
        try:
            self.proc = subprocess.Popen(
                cmd + list(args), stdin=stdin, stdout=files[-1] if out is None else out,
                stderr=files[0], env=env, cwd=session.tmp if user is None else "/",
                start_new_session=True, **as_user)
        finally:
            for f in files:  # the child has its own
                f.close()
        session.started.append(self)
        self.result = None
        threading.Thread(target=self._wait, daemon=True).start()
        if answer is not None:
            try:
                self.proc.stdin.write(answer.encode())
                self.proc.stdin.close()
            except BrokenPipeError:
                pass  # an updater that never read its answer: what it showed tells

    def _wait(self):
        _, status, usage = os.wait4(self.proc.pid, 0)
        self.result = (os.waitstatus_to_exitcode(status), usage, time.monotonic_ns())

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.result is None

    def console(self):
        try:
            with open(self.out_path, "rb") as f:
                text = f.read().decode("latin-1")
        except OSError:
            return ""
        return text.replace("\r\n", "\n") if self.session.wine else text

    def signal(self, sig):
        os.killpg(self.proc.pid, sig)

    def finish(self, limit=None):
        """The finished run; past limit or the deadline the case fails."""
        self.session.wait_for("the updater to finish", lambda: not self.running(), limit)
        code, usage, ended = self.result
        return Result(code, self.console(), usage, ended - self.started_ns, ended)

    def stop(self):
        stop(self.proc, group=True, ended=lambda: not self.running())


# Every live session, closed again on the way out (one exit handler for all).
OPEN = weakref.WeakSet()
atexit.register(lambda: [session.close() for session in list(OPEN)])


class Session:
    """One case's processes, links (in folder tmp) and deadline, for the build
    of these facts (texts.facts); images by program suffix, "" the built-in."""

    def __init__(self, facts, tmp, wine=None, deadline=30):
        self.facts, self.wine = facts, wine
        self.build, self.tools, self.tmp = facts["build"], facts["tools"], tmp
        self.images = {"": facts["image"]}
        self.images.update(("-" + name, image["file"]) for name, image in facts["images"].items())
        self._image, self.started, self.made = {}, [], []  # made: the links it put in place
        self.set_deadline(deadline)
        OPEN.add(self)

    def set_deadline(self, seconds):
        self.deadline_s, self.deadline = seconds, time.monotonic() + seconds

    def image(self, variant=""):
        """The figures of the image program `variant` carries, from its file."""
        if variant not in self._image:
            self._image[variant] = texts.Image.read(self.images[variant])
        return self._image[variant]

    def program(self, variant=""):
        return "trelvane-update%s%s" % (variant, ".exe" if self.wine else "")

    def texts(self, variant=""):
        """The console texts of the program `variant`."""
        return texts.Texts(self.facts["version"], self.image(variant), self.program(variant))

    def link(self, port):
        """Where COM<port> is looked for."""
        return wineprefix.com_link(self.wine, self.tmp, port)

    def make_link(self, link, target):
        """Points link at target, removed again when the session closes."""
        wineprefix.link(link, target)
        self.made.append(link)

    def emulator(self, port_or_link, options=(), expect=False, **kw):
        link = port_or_link if os.sep in port_or_link else self.link(port_or_link)
        return Emulator(self, link, options, expect, **kw)

    def updater(self, port, args=(), **kw):
        return Updater(self, port, args, **kw)

    def no_device(self, port, plain_file=False):
        """COM<port> names nothing, or a plain file."""
        target = os.path.join(self.tmp, "plain-file" if plain_file else "no-such-device")
        if plain_file:
            open(target, "w").close()
        self.make_link(self.link(port), target)

    def where(self):
        """The last console line and the emulator's last step."""
        upd = next((p for p in reversed(self.started) if isinstance(p, Updater)), None)
        emu = next((p for p in reversed(self.started) if isinstance(p, Device)), None)
        lines = upd.console().replace("\r", "\n").rstrip("\n").split("\n") if upd else [""]
        errors = ""
        if upd and os.path.exists(upd.err_path):
            with open(upd.err_path, "rb") as f:
                errors = f.read().decode("latin-1").strip()
        return "last console line %r; emulator's last step: %s%s" % (
            lines[-1], emu.last_step() if emu else "(no emulator)",
            "; the updater's errors end %r" % errors[-300:] if errors else "")

    def wait_for(self, what, holds, limit=None):
        """Polls holds(); past limit or the case's deadline the case fails."""
        end = min(self.deadline, time.monotonic() + limit) if limit else self.deadline
        while not holds():
            if time.monotonic() >= end:
                fail("%s: %s; %s" % (what, "over the case's %g s deadline" % self.deadline_s
                                     if end >= self.deadline else "not within %g s" % limit,
                                     self.where()))
            time.sleep(0.01)

    def close(self):
        for p in reversed(self.started):
            p.stop()
        self.started = []
        for link in self.made:
            if os.path.lexists(link):
                os.unlink(link)
        self.made = []

