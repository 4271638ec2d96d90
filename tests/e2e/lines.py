"""Waiting for a line of output: a process's stream read by a thread, each
line kept with the time it came (time.monotonic_ns()), and waits on a
condition for the first line that passes a test, each bounded by a
deadline. The one way every runner waits for what a program says."""
import threading
import time


class Failed(Exception):
    """A case's failure, with what went wrong."""


class Timeout(Failed):
    """A wait past its deadline."""


class Lines:
    """Lines read from a binary or text stream by a thread of their own."""

    def __init__(self, stream, strip_cr=False):
        self.lines = []  # (monotonic ns, text without its line end)
        self.cond = threading.Condition()
        self.closed = False
        self.strip_cr = strip_cr
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in stream:
            text = (raw.decode("latin-1") if isinstance(raw, bytes) else raw).rstrip("\n")
            if self.strip_cr:
                text = text.rstrip("\r")
            with self.cond:
                self.lines.append((time.monotonic_ns(), text))
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def wait(self, test, deadline, start=0, what="a line"):
        """The first line from index start on that passes test, as (index,
        time, text), waiting until deadline (time.monotonic()). Raises
        Timeout, with the last lines seen, past it or once the stream has
        ended without one."""
        with self.cond:
            i = start
            while True:
                while i < len(self.lines):
                    t, text = self.lines[i]
                    if test(text):
                        return i, t, text
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise Timeout("%s %s; last seen: %r" % (
                        "stream ended before" if self.closed else "no", what,
                        [line[:100] for line in self.tail(3)]))
                self.cond.wait(min(left, 0.5))

    def find(self, test):
        """The time of the first line that passes test, or None: no wait."""
        with self.cond:
            return next((t for t, text in self.lines if test(text)), None)

    def join(self, limit):
        self._thread.join(limit)

    def tail(self, n):
        with self.cond:
            return [text for _, text in self.lines[-n:]]

    def text(self):
        """Every line so far, each with its line end."""
        with self.cond:
            return "".join(text + "\n" for _, text in self.lines)
