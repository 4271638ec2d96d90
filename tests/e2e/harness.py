"""The one harness of every end-to-end case and of the benchmark: the device
emulator on a pseudo-terminal, the updater (Linux, or the Windows program
under Wine) with its COM port mapped to it, and what a run leaves: exit
status, console, CPU, memory and times (os.wait4). Everything a session
starts is ended and removed on every way out, and every wait is bounded by
the case's own deadline, which fails the case with the last console line
and the emulator's last step.
"""
import argparse
import atexit
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IMAGE = os.path.join(SOURCE, "image", "trelvane.bin")
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def version():
    """The updater's version, as the build states it once."""
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(\w+\s+VERSION\s+([0-9.]+)", f.read()).group(1)


def arguments(*extra):
    """The command line every case runner takes: --list, or --build DIR
    --tools DIR [--wine PREFIX] CASE, plus the runner's own options."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--list", action="store_true")
    for option in ("--build", "--tools", "--wine") + extra:
        if option.endswith("!"):
            ap.add_argument(option[:-1], action="store_true")
        else:
            ap.add_argument(option)
    ap.add_argument("case", nargs="?")
    return ap.parse_args()


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


SYSCALL = {"read": "0", "write": "1"}


def blocked_in(pid, call="read"):
    """True while the process sleeps inside the system call `call`, as a
    waiting program should."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/syscall" % pid) as f:
            now = f.read().split()[0]
    except OSError:
        return False
    return state == "S" and now == SYSCALL[call]


class Result:
    """What a finished updater left."""

    def __init__(self, status, console, usage, wall_ns, ended_ns):
        self.status = status      # exit status, or -N after death by signal N
        self.console = console
        self.cpu = usage.ru_utime + usage.ru_stime
        self.user, self.sys = usage.ru_utime, usage.ru_stime
        self.wall = wall_ns / 1e9
        self.ended_ns = ended_ns  # time.monotonic_ns() at the exit


class Emulator:
    """trelvane-emu at `link`; its lines are collected, with their times, as
    they come."""

    def __init__(self, session, link, options=(), expect=False, wrapper=()):
        self.session = session
        self.link = link
        if os.path.islink(link) and not os.readlink(link).startswith("/dev/pts/"):
            os.unlink(link)  # Wine's own link to a real port
        cmd = list(wrapper) + [os.path.join(session.tools, "trelvane-emu"), "--link", link]
        cmd += list(options) + (["--expect", expect if isinstance(expect, str) else IMAGE]
                                if expect else [])
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, start_new_session=True)
        session.started.append(self)
        self.lines = []  # (monotonic ns, text)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if self.wait_line("emu: device at", limit=10) is None:
            session.fail("emulator did not start: %r" % self.proc.stderr.read())

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append((time.monotonic_ns(), line))

    def text(self):
        return "".join(line for _, line in self.lines)

    def last_step(self):
        return self.lines[-1][1].rstrip() if self.lines else "(nothing yet)"

    def time_of(self, prefix):
        return next((t for t, line in self.lines if line.startswith(prefix)), None)

    def wait_line(self, prefix, limit=None):
        """Time of the first line starting with prefix, waiting for it."""
        found = self.session.wait_for("emulator line %r" % prefix,
                                      lambda: self.time_of(prefix) or self.proc.poll() is not None,
                                      limit, quiet=limit is not None)
        return self.time_of(prefix) if found else None

    def finish(self, limit=20):
        """Exit status and every line, once the emulator has ended."""
        self.session.wait_for("the emulator to end", lambda: self.proc.poll() is not None, limit)
        self._reader.join(5)
        return self.proc.returncode, self.text()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()  # removes its link on the way out
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Updater:
    """One updater on COM<port>, natively or under Wine, in a session of its
    own: without a terminal its key press returns at once."""

    def __init__(self, session, port, args=(), variant="", answer=None, terminal=None,
                 on_screen=False, user=None, wrapper=(), stdin_closed=False, link=None):
        self.session = session
        self.link = link or session.link(port)
        env = dict(os.environ)
        if session.wine:
            env.update(WINE_ENV, WINEPREFIX=session.wine)
            cmd = list(wrapper) + ["wine", os.path.join(session.build, "trelvane-update%s.exe" % variant)]
        else:
            env["TRELVANE_COM" + port] = self.link
            cmd = list(wrapper) + [os.path.join(session.build, "trelvane-update" + variant)]
        self.program = os.path.basename(cmd[-1])
        cmd += list(args)
        self.out_path = os.path.join(session.tmp, "console-%d" % len(session.started))
        out = terminal if on_screen else open(self.out_path, "wb")

        def child():
            os.setsid()
            if terminal is not None:
                import fcntl
                import termios
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)  # the terminal becomes the controlling one
            if user is not None:
                os.setgroups([])
                os.setgid(user)
                os.setuid(user)
            if stdin_closed:
                os.close(0)

        stdin = terminal if terminal is not None else (
            subprocess.PIPE if answer is not None else subprocess.DEVNULL)
        self.started_ns = time.monotonic_ns()
        # Never waited for through Popen: the thread below takes the exit
        # with its resource usage.
        self.proc = subprocess.Popen(cmd, stdin=stdin, stdout=out, stderr=subprocess.DEVNULL,
                                     env=env, cwd=session.tmp if user is None else "/",
                                     preexec_fn=child)
        session.started.append(self)
        self.result = None
        self._waiter = threading.Thread(target=self._wait, daemon=True)
        self._waiter.start()
        if answer is not None:
            self.proc.stdin.write(answer.encode())
            self.proc.stdin.close()

    def _wait(self):
        _, status, usage = os.wait4(self.proc.pid, 0)
        ended = time.monotonic_ns()
        code = -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
        self.result = (code, usage, ended)

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
        """The finished run; past the limit or the case's deadline the case
        fails with where the updater and the device had got to."""
        self.session.wait_for("the updater to finish", lambda: not self.running(), limit)
        code, usage, ended = self.result
        return Result(code, self.console(), usage, ended - self.started_ns, ended)

    def stop(self):
        if self.running():
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self._waiter.join(5)


class Session:
    """The processes and files of one case, and its deadline."""

    def __init__(self, build, tools, wine=None, deadline=45):
        self.build = os.path.abspath(build)
        self.tools = os.path.abspath(tools)
        self.wine = os.path.abspath(wine) if wine else None
        self.tmp = tempfile.mkdtemp(prefix="trelvane-")
        self.started = []
        self.made = []  # links and files this session put in place
        self.deadline_s = deadline
        self.deadline = time.monotonic() + deadline
        atexit.register(self.close)
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda s, _: sys.exit(128 + s))

    def link(self, port):
        """Where COM<port> is looked for."""
        if self.wine:
            return os.path.join(self.wine, "dosdevices", "com" + port.lower())
        return os.path.join(self.tmp, "com" + port)

    def emulator(self, port_or_link, options=(), expect=False, **kw):
        link = port_or_link if os.sep in port_or_link else self.link(port_or_link)
        return Emulator(self, link, options, expect, **kw)

    def updater(self, port, args=(), **kw):
        return Updater(self, port, args, **kw)

    def no_device(self, port, plain_file=False):
        """COM<port> names nothing, or a plain file."""
        link = self.link(port)
        if os.path.lexists(link):
            os.unlink(link)
        target = os.path.join(self.tmp, "plain-file" if plain_file else "no-such-device")
        if plain_file:
            open(target, "w").close()
        os.symlink(target, link)
        self.made.append(link)

    def where(self):
        """The last console line and the emulator's last step."""
        upd = next((p for p in reversed(self.started) if isinstance(p, Updater)), None)
        emu = next((p for p in reversed(self.started) if isinstance(p, Emulator)), None)
        lines = upd.console().replace("\r", "\n").rstrip("\n").split("\n") if upd else [""]
        return "last console line %r; emulator's last step: %s" % (
            lines[-1], emu.last_step() if emu else "(no emulator)")

    def fail(self, msg):
        """Ends the case; a runner of many cases in one process makes it
        raise instead."""
        fail(msg)

    def wait_for(self, what, check, limit=None, quiet=False):
        """Polls check() until it holds. Past limit (quiet: returns False) or
        past the case's deadline, the case fails."""
        end = min(self.deadline, time.monotonic() + limit) if limit else self.deadline
        while not check():
            if time.monotonic() >= end:
                if quiet and end < self.deadline:
                    return False
                over = ("over the case's %d s deadline" % self.deadline_s if end >= self.deadline
                        else "not within %g s" % limit)
                self.fail("%s: %s; %s" % (what, over, self.where()))
            time.sleep(0.01)
        return True

    def close(self):
        for p in reversed(self.started):
            p.stop()
        self.started = []
        for link in self.made:
            if os.path.lexists(link):
                os.unlink(link)
        self.made = []
        shutil.rmtree(self.tmp, ignore_errors=True)
