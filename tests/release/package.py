#!/usr/bin/env python3
"""Makes the release archive of a built tree with CPack, in a scratch folder,
and checks it: named after the build's version, it holds exactly the program
as built, the README and the program's SHA-256 in sha256sum's format; a
Windows program's version resource carries the same version."""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile


def members(path):
    """{name: bytes} of the archive's files."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    with tarfile.open(path) as t:
        return {m.name: t.extractfile(m).read() for m in t.getmembers() if m.isfile()}


def resource_version(program):
    """The file version of the fixed version block (FILEVERSION), as 4 numbers."""
    at = program.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", program, at + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check(args, folder):
    with open(os.path.join(args.build, "trelvane-version.txt")) as f:
        version = f.read().strip()
    failures = []
    if not args.archive.startswith("trelvane-update-%s-" % version):
        failures.append("archive %s is not named after version %s" % (args.archive, version))

    done = subprocess.run([args.cpack, "--config", os.path.join(args.build, "CPackConfig.cmake"),
                           "-B", folder], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    archives = [n for n in os.listdir(folder) if n.startswith(args.archive + ".")]
    if done.returncode != 0 or len(archives) != 1:
        return failures + ["cpack made no %s.*:\n%s" % (args.archive, done.stdout)]
    files = members(os.path.join(folder, archives[0]))
    name = os.path.basename(args.program)
    top = args.archive + "/"
    expected = {top + name, top + "README.md", top + name + ".sha256"}
    if set(files) != expected:
        return failures + ["archive holds %s, not %s" % (sorted(files), sorted(expected))]

    with open(args.program, "rb") as f:
        program = f.read()
    if files[top + name] != program:
        failures.append("the archive's %s is not the program built in %s" % (name, args.build))
    with open(args.readme, "rb") as f:
        if files[top + "README.md"] != f.read():
            failures.append("the archive's README.md is not %s" % args.readme)
    line = "%s  %s\n" % (hashlib.sha256(files[top + name]).hexdigest(), name)
    if files[top + name + ".sha256"].decode(errors="replace") != line:
        failures.append("%s.sha256 holds %r, expected %r"
                        % (name, files[top + name + ".sha256"], line))
    if name.endswith(".exe"):
        parts = [int(p) for p in version.split(".")]
        want = tuple(parts + [0] * (4 - len(parts)))
        got = resource_version(program)
        if got != want:
            failures.append("version resource says %s, the build %s" % (got, version))
        if ("\0".join(version) + "\0").encode() not in program:  # UTF-16 string
            failures.append("no version string %s in the version resource" % version)
    if not failures:
        print("%s: %s" % (archives[0], ", ".join(sorted(files))))
        print(line, end="")
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--cpack", default="cpack")
    ap.add_argument("--program", required=True, help="the built program")
    ap.add_argument("--archive", required=True, help="the archive's name without extension")
    ap.add_argument("--readme", required=True)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="trelvane-package-")
    try:
        failures = check(args, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
