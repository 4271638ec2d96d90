#!/usr/bin/env python3
"""Makes the release archive of a built tree with CPack, in a scratch folder,
and checks it: named after the updater's version and the software version
of the image, it holds exactly the program as built (stripped, carrying the
image, linked statically), the README and the SHA-256 of the program and of
the image in sha256sum's format; a Windows program's version resource
carries both versions."""
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


def software_version(image):
    """The version the image carries, as the updater prints it: header
    bytes 3 and 4."""
    return "%u.%02u" % (image[3], image[4])


def check(args, folder):
    version = args.version
    with open(args.image, "rb") as f:
        image = f.read()
    software = software_version(image)
    failures = []
    if not args.archive.startswith("trelvane-update-%s-sw%s-" % (version, software)):
        failures.append("archive %s is not named after version %s and software v%s"
                        % (args.archive, version, software))

    done = subprocess.run([args.cpack, "--config", os.path.join(args.build, "CPackConfig.cmake"),
                           "-B", folder], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    archives = [n for n in os.listdir(folder) if n.startswith(args.archive + ".")]
    if done.returncode != 0 or len(archives) != 1:
        return failures + ["cpack made no %s.*:\n%s" % (args.archive, done.stdout)]
    files = members(os.path.join(folder, archives[0]))
    name = os.path.basename(args.program)
    top = args.archive + "/"
    expected = {top + name, top + "README.md", top + "SHA256SUMS"}
    if set(files) != expected:
        return failures + ["archive holds %s, not %s" % (sorted(files), sorted(expected))]

    with open(args.program, "rb") as f:
        program = f.read()
    if files[top + name] != program:
        failures.append("the archive's %s is not the program built in %s" % (name, args.build))
    with open(args.readme, "rb") as f:
        if files[top + "README.md"] != f.read():
            failures.append("the archive's README.md is not %s" % args.readme)
    sums = "%s  %s\n%s  %s\n" % (hashlib.sha256(files[top + name]).hexdigest(), name,
                                 hashlib.sha256(image).hexdigest(), os.path.basename(args.image))
    if files[top + "SHA256SUMS"].decode(errors="replace") != sums:
        failures.append("SHA256SUMS holds %r, expected %r" % (files[top + "SHA256SUMS"], sums))
    if image not in program:
        failures.append("the program does not carry %s" % args.image)
    for section in (b".debug_", b".symtab"):
        if section in program:
            failures.append("the program is not stripped: it has %s sections" % section.decode())
    if not name.endswith(".exe") and b".interp" in program:
        failures.append("the program names a dynamic loader: it is not linked statically")
    if name.endswith(".exe"):
        parts = [int(p) for p in version.split(".")]
        want = tuple(parts + [0] * (4 - len(parts)))
        got = resource_version(program)
        if got != want:
            failures.append("version resource says %s, the build %s" % (got, version))
        for text in (version, "installs Trelvane software v" + software):
            if ("\0".join(text) + "\0").encode() not in program:  # UTF-16 string
                failures.append("no %r in the version resource" % text)
    if not failures:
        print("%s: %s, %d bytes" % (archives[0], ", ".join(sorted(files)),
                                    os.path.getsize(os.path.join(folder, archives[0]))))
        print(sums, end="")
    return failures


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--cpack", default="cpack")
    ap.add_argument("--program", required=True, help="the built program")
    ap.add_argument("--archive", required=True, help="the archive's name without extension")
    ap.add_argument("--readme", required=True)
    ap.add_argument("--version", required=True, help="the updater's version")
    ap.add_argument("--image", required=True, help="the image built into the program")
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
