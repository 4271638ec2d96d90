"""The suite's ground rules: every failure is a Failed raised by check(); a
wait for what a program says is a wait on its Lines (each line kept with the
time.monotonic_ns() it came), bounded by a deadline; a child is ended by stop()."""
import os
import signal
import threading
import time

import oracle


class Failed(Exception):
    """A case's failure, with what went wrong."""


class Timeout(Failed):
    """A wait past its deadline."""


def fail(msg):
    raise Failed(msg)


def check(ok, msg):
    if not ok:
        raise Failed(msg)


def same(got, want, what="console text"):
    """got must be want; else the case fails showing where they part."""
    parted = oracle.parted(got, want)
    check(parted is None, "%s %s" % (what, parted))


def stop(proc, group=False, ended=None, limit=5):
    """Ends a child that may still run: SIGTERM (to its process group, with
    group), then SIGKILL, each given limit seconds. ended() says when it is
    gone (for a child another thread waits for; default proc.poll())."""
    ended = ended or (lambda: proc.poll() is not None)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if ended():
            return
        try:
            os.killpg(proc.pid, sig) if group else proc.send_signal(sig)
        except ProcessLookupError:
            return
        end = time.monotonic() + limit
        while not ended() and time.monotonic() < end:
            time.sleep(0.01)
    check(ended(), "process %d did not end within %g s of SIGKILL" % (proc.pid, limit))


class Lines:
    """Lines read from a stream by a thread of their own; or (view) another's
    lines from index start on that start with prefix, without it."""

    def __init__(self, stream=None, strip_cr=False, of=None, prefix="", start=0):
        self.of, self.prefix, self.start = of, prefix, start
        if of is not None:
            self.cond = of.cond
            return
        self._lines = []  # (monotonic ns, text without its line end)
        self.cond, self.closed, self.strip_cr = threading.Condition(), False, strip_cr
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def view(self, prefix, start=0):
        return Lines(of=self, prefix=prefix, start=start)

    @property
    def lines(self):
        if self.of is None:
            return self._lines
        n = len(self.prefix)
        return [(t, text[n:]) for t, text in self.of.lines[self.start:] if text.startswith(self.prefix)]

    def ended(self):
        return self.closed if self.of is None else self.of.ended()

    def _read(self, stream):
        for raw in stream:
            text = raw.decode("latin-1") if isinstance(raw, bytes) else raw
            text = text.rstrip("\r\n" if self.strip_cr else "\n")
            with self.cond:
                self._lines.append((time.monotonic_ns(), text))
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def wait(self, test, deadline, start=0, what="a line"):
        """(index, time, text) of the first line from index start on that
        passes test; Timeout, with the last lines seen, past deadline
        (time.monotonic()) or once the stream has ended without one."""
        with self.cond:
            i = start
            while True:
                lines = self.lines
                while i < len(lines):
                    t, text = lines[i]
                    if test(text):
                        return i, t, text
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0 or self.ended():
                    raise Timeout("%s %s; last seen: %r" % (
                        "stream ended before" if self.ended() else "no", what,
                        [line[:100] for line in self.tail(3)]))
                self.cond.wait(min(left, 0.5))

    def find(self, test):
        """The time of the first line that passes test, or None: no wait."""
        with self.cond:
            return next((t for t, text in self.lines if test(text)), None)

    def join(self, limit):
        if self.of is None:
            self._thread.join(limit)

    def tail(self, n):
        with self.cond:
            return [text for _, text in self.lines[-n:]]

    def text(self):
        """Every line so far, each with its line end."""
        with self.cond:
            return "".join(text + "\n" for _, text in self.lines)
