"""The Wine prefix a Windows program runs in, made where it is missing, for
the end-to-end cases and the release's qualification (./make-release.sh,
while the programs build): PYTHONPATH=tests python3 -m support.wineprefix
BUILD makes BUILD/wineprefix."""
import fcntl
import os
import subprocess
import sys

from support import texts
from support.harness import WINE_ENV
from support.lines import check


def made(prefix, arch):
    """Makes the prefix for arch (win64, win32) unless it is there, under a
    lock that whoever comes second waits for."""
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, **WINE_ENV)
            for step in (["wineboot", "-i"], ["wineserver", "-w"]):
                subprocess.run(step, env=env, timeout=300, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    check(os.path.isdir(os.path.join(prefix, "dosdevices")), "wineboot made no prefix at " + prefix)


if __name__ == "__main__":
    build = texts.facts(sys.argv[1])
    if build["wine"]:  # a Linux program runs without
        made(os.path.join(build["build"], "wineprefix"), build["wine"])
