"""The Wine prefix a Windows program runs in, made where it is missing, for
the release's qualification (./make-release.sh makes it while the programs
build: tools/wineprefix.py BUILD makes BUILD/wineprefix) and the end-to-end
cases; and how a program runs there."""
import fcntl
import os
import subprocess
import sys

import oracle

WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def env(prefix):
    """What Wine needs in the environment to run a program in prefix."""
    return dict(WINE_ENV, WINEPREFIX=prefix)


def com_link(prefix, port):
    """Where a program in prefix looks for COM<port>."""
    return os.path.join(prefix, "dosdevices", "com" + port.lower())


def made(prefix, arch):
    """Makes the prefix for arch (win64, win32) unless it is there, under a
    lock that whoever comes second waits for."""
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            for step in (["wineboot", "-i"], ["wineserver", "-w"]):
                subprocess.run(step, env=dict(os.environ, WINEARCH=arch, **env(prefix)),
                               timeout=300, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.isdir(os.path.join(prefix, "dosdevices")):
        raise RuntimeError("wineboot made no prefix at " + prefix)


if __name__ == "__main__":
    build = oracle.facts(sys.argv[1])
    if build["wine"]:  # a Linux program runs without
        made(os.path.join(build["build"], "wineprefix"), build["wine"])
