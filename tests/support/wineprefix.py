"""A build's Wine prefix, in which its Windows program runs: made once,
where it is missing, for the end-to-end cases (tests/conftest.py) and the
release's qualification, whose prefixes ./make-release.sh makes while the
programs build:

  PYTHONPATH=tests python3 -m support.wineprefix BUILD   # BUILD/wineprefix"""
import fcntl
import os
import subprocess
import sys

from support import texts
from support.harness import WINE_ENV


def made(prefix, arch):
    """Makes the prefix for arch (win64, win32) unless it is there, under a
    lock that whoever comes second waits for; what went wrong, or None."""
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, **WINE_ENV)
            for step in (["wineboot", "-i"], ["wineserver", "-w"]):
                subprocess.run(step, env=env, timeout=300, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    if not os.path.isdir(os.path.join(prefix, "dosdevices")):
        return "wineboot made no Wine prefix at " + prefix
    return None


if __name__ == "__main__":  # a Linux program's build needs none
    arch = texts.facts(sys.argv[1])["wine"]
    sys.exit(arch and made(os.path.join(os.path.abspath(sys.argv[1]), "wineprefix"), arch) or None)
