#!/usr/bin/env python3
"""Qualifies a released program before the release lists it. The program
as its archive holds it (signed, where it is signed), which must be the
same bytes as its Debian package's, installs the build's image once against
the device emulator: the end-to-end case complete_from_argument, which
checks every figure of the console and the device's verdict (exact). A
Windows program runs under Wine, in WINE_PREFIX (made if missing), another
processor's under the build's launcher (qemu-user).

  tools/qualify.py BUILD RELEASE_FOLDER WINE_PREFIX

BUILD is the program's release build, configured with its tests' facts.
Prints one line; on a failure, also what went wrong, and exits 1.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import released

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CASE = "complete_from_argument"
sys.path.insert(0, os.path.join(SOURCE, "tests"))
from support import texts  # noqa: E402 (the suite's oracle of the image's figures)


def qualify(build, release, prefix):
    """What went wrong, or None; and the line that names the program."""
    with open(os.path.join(build, "trelvane-tests.json")) as f:
        facts = json.load(f)
    image = texts.Image.read(facts["image"])
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
    cmd = ["pytest-3", os.path.join(SOURCE, "tests", "e2e", "test_runs.py"), "--build", build,
           "--program", path, "-k", CASE, "-q", "-rs"]
    cmd += ["--wine", prefix] if facts["wine"] else []
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              cwd=folder)
    finally:
        shutil.rmtree(folder)
    if done.returncode != 0 or "1 passed" not in done.stdout:
        return "its installation against the emulator failed:\n" + done.stdout[-3000:], label
    return None, "%s: installed software v%s exactly (%d bytes in %d blocks, %d on the line)" % (
        label, texts.version_text(image.version), image.length, image.blocks, image.sent)


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
