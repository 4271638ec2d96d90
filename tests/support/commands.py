"""The checks' way to run a tool, and to compare and change bytes."""
import subprocess

from oracle import first_difference
from support.lines import check


def run(cmd, **kw):
    """cmd's return code and all it printed; a tool not installed gives 127
    and its name, not a traceback."""
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              errors="replace", **kw)
    except FileNotFoundError:
        return 127, "%s is not installed (./run-tests.sh installs it)" % cmd[0]
    return done.returncode, done.stdout


def ran(cmd, **kw):
    """What cmd printed; the check fails, naming cmd, unless it succeeds."""
    code, out = run(cmd, **kw)
    check(code == 0, "%s failed (status %d):\n%s" % (" ".join(cmd), code, out))
    return out


def same_bytes(got, want, what):
    """got must be want; else the check fails with what, both sizes and where they part."""
    check(got == want, "%s: %d and %d bytes, first difference at byte %d"
          % (what, len(got), len(want), first_difference(got, want)))


def flipped(data):
    """data with its middle byte changed, as whoever tampers with a file would."""
    changed = bytearray(data)
    changed[len(changed) // 2] ^= 0x01
    return bytes(changed)
