"""How an updater program starts, for the release's qualification and the
end-to-end cases alike: where it looks for a COM port, and its command and
environment, natively or under Wine; and the Wine prefix a Windows program
runs in, made where it is missing (./make-release.sh makes it while the
programs build: tools/release/wineprefix.py BUILD makes BUILD/wineprefix)."""
import fcntl
import os
import subprocess
import sys

import oracle

WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def env(prefix):
    """What Wine needs in the environment to run a program in prefix."""
    return dict(WINE_ENV, WINEPREFIX=prefix)


def com_link(prefix, folder, port):
    """Where an updater looks for COM<port>: under Wine (prefix given), in
    the prefix's dosdevices; natively, where TRELVANE_COM<port> names it, a
    link in folder."""
    if prefix:
        return os.path.join(prefix, "dosdevices", "com" + port.lower())
    return os.path.join(folder, "com" + port)


def link(path, target):
    """Points path at target, in place of whatever was there (Wine's own
    link to a real port, an earlier run's)."""
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)


def command(facts, program, prefix, port, link, named=None, launch=(), wrapper=()):
    """The command and environment that start the build's updater `program`
    on COM<port> as a shell would (tools/host/launch.cpp, with its options
    launch), under wrapper and the build's launcher (qemu-user), or under
    Wine in prefix. Natively TRELVANE_COM<port> names the port's link; under
    Wine the prefix's link is the port, or the one of COM<named> where the
    variable names that (a bench's COM17)."""
    environment = dict(os.environ)
    cmd = [program]
    if prefix:
        environment.update(env(prefix))
        if named:
            environment["TRELVANE_COM" + port] = "COM" + named
        cmd = ["wine", program]
    else:
        environment["TRELVANE_COM" + port] = link
    launcher = [os.path.join(facts["tools"], "trelvane-launch")] + list(launch)
    return launcher + list(wrapper) + list(facts["launcher"]) + cmd, environment


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
