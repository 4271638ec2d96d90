#!/usr/bin/env python3
"""Qualifies a released program before the release lists it. The program
as its archive holds it (signed, where it is signed), which must be the
same bytes as its Debian package's, installs the build's image once on
COM3 against the device emulator, as a device that fits the image
(oracle.Image.announce): its console must be every figure of a complete run
and the device's verdict exact (tools/release/oracle.py judges both, as it does the
test suite's runs). A Windows program runs under Wine, in WINE_PREFIX (made
if missing), another processor's under the build's launcher (qemu-user).

  tools/release/qualify.py BUILD RELEASE_FOLDER WINE_PREFIX

BUILD is the program's release build, configured with its tests' facts.
Prints one line; on a failure, also what went wrong, and exits 1.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import oracle
import released
import wineprefix

PORT = "3"
# A complete run takes seconds, under Wine or qemu-user too; the emulator's
# pauses and Wine's start are the most of it.
LIMIT = 120


def installed(facts, image, program, prefix, folder):
    """Runs program -3 against the emulator: what went wrong, or None."""
    emu = subprocess.Popen([os.path.join(facts["tools"], "trelvane-emu")] + image.announce()
                           + ["--expect", facts["image"]], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
    try:
        line = emu.stdout.readline()
        if not line.startswith(oracle.DEVICE_AT):
            return "the emulator did not start: " + line + emu.stdout.read()
        port, prefix = line[len(oracle.DEVICE_AT):].strip(), facts["wine"] and prefix
        if prefix:
            wineprefix.made(prefix, facts["wine"])
        link = wineprefix.com_link(prefix, folder, PORT)
        wineprefix.link(link, port)
        # Started as the suite starts it; the console and the errors go to
        # files, which a lingering wineserver cannot hold open.
        cmd, env = wineprefix.command(facts, program, prefix, PORT, link)
        with open(os.path.join(folder, "console"), "w+b") as out, \
                open(os.path.join(folder, "errors"), "w+b") as err:
            status = subprocess.run(cmd + ["-" + PORT], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, env=env, cwd=folder, timeout=LIMIT).returncode
            console, errors = (f.seek(0) or f.read().decode("latin-1") for f in (out, err))
        verdict = emu.communicate(timeout=20)[0]
    except subprocess.TimeoutExpired as late:
        return "no end within %g s: %s" % (late.timeout, " ".join(late.cmd))
    finally:
        emu.kill()
        emu.wait()
    console = console.replace("\r\n", "\n") if facts["wine"] else console
    want = oracle.Texts(facts["version"], image, os.path.basename(program)).full_run(PORT)
    if status != 255 or console != want:
        return "exit status %d (want 255); the console %s%s" % (
            status, oracle.parted(console, want) or "is right",
            "; its errors end %r" % errors[-300:] if errors else "")
    if emu.returncode != 0 or oracle.LINE_RAW not in verdict or oracle.EXACT not in verdict:
        return "the device's verdict is not an exact run (status %d):\n%s" % (
            emu.returncode, verdict[-600:])
    return None


def qualify(build, release, prefix):
    """What went wrong, or None; and the line that names the program."""
    facts = oracle.facts(build)
    image = oracle.Image.read(facts["image"])
    name = os.path.basename(facts["program"])
    archives = [n for n in os.listdir(release) if n.startswith(facts["archive"] + ".")]
    label = archives[0] if len(archives) == 1 else facts["archive"]
    if len(archives) != 1:
        return "no single archive %s.* in %s" % (facts["archive"], release), label
    program = released.program(os.path.join(release, archives[0]), facts["archive"], name)
    if program is None:
        return "the archive holds no %s" % name, label
    if facts["deb"]:
        debs = [n for n in os.listdir(release) if n.endswith("_%s.deb" % facts["deb"])]
        packaged = released.program(os.path.join(release, debs[0]), None, name) if debs else None
        if packaged != program:
            return "the Debian package's program is not the archive's", label
    folder = tempfile.mkdtemp(prefix="trelvane-qualify-")
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(program)
    os.chmod(path, 0o755)
    try:
        why = installed(facts, image, path, prefix, folder)
    finally:
        shutil.rmtree(folder)
    if why:
        return "its installation against the emulator failed: " + why, label
    return None, "%s: installed software v%s exactly (%d bytes in %d blocks, %d on the line)" % (
        label, oracle.version_text(image.version), image.length, image.blocks, image.sent)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    why, line = qualify(*(os.path.abspath(a) for a in sys.argv[1:]))
    if why:
        print("NOT qualified: %s: %s" % (line, why))
        sys.exit(1)
    print("qualified " + line)


if __name__ == "__main__":
    main()
