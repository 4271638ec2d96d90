"""The suite's oracle: the build's facts, the updater's texts and an image's
figures are tools/release/oracle.py's, which the release's qualification judges by
too; here, the points of an image's stream where the cases hang the line up."""
from oracle import *  # noqa: F401,F403 (the cases name its texts and figures as texts.X)
import oracle

# The most a line takes in that nobody reads, measured by writing into a raw
# pseudo-terminal whose other side never reads until the write would block:
# 20480 to 20912 bytes in writes of 1 to 7 bytes, 11776 to 14087 in blocks
# and the updater's pieces; the same through WriteFile under Wine.
LINE_BUFFERS = 20912


class Image(oracle.Image):
    """An image's figures, and the points of its stream the cases name."""

    def device(self, kind="any", refused=False):
        """The oracle's device; the case is skipped where none can exist."""
        try:
            return super().device(kind, refused)
        except oracle.NoDevice as why:
            import pytest  # here, not above: the benchmark runs without it
            pytest.skip(str(why))

    def block_middle(self, i):
        """The middle of block i (from 1) on the line; None past the last."""
        if not 1 <= i <= 2 * self.chunks + 2 or self.chunks < 1:
            return None
        if i <= 4:
            return BEFORE_CHUNKS + (i - 1) * BLOCK + BLOCK // 2
        chunk, place = (i - 5) // 2 + 2, (i - 5) % 2
        return self.chunk_end(chunk - 1) + 1 + place * BLOCK + BLOCK // 2

    def unseen_hangup(self, at, reads=True):
        """Why the updater misses a device that stops reading after `at` bytes
        and hangs up: past its last wait (reads False: none), what it still
        writes fits in the line's buffers; None where it sees the line go."""
        last = self.chunk_end(self.chunks - 1) if self.chunks > 1 else 2 * HEADER
        if (reads and at <= last) or self.sent - at > LINE_BUFFERS:
            return None
        return "the %d bytes left to write after byte %d fit the line's buffers" % (self.sent - at, at)

    def writing_point(self):
        """A point early in block 1 where a device that stops reading, its
        sync bytes sent as each chunk begins (--prompt-sync), leaves the
        updater blocked in a write; None where the rest fits the line."""
        at = self.block_middle(1)
        return None if at is None or self.unseen_hangup(at, reads=False) else at
