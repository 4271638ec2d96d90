#!/usr/bin/env python3
"""Makes the release archive of a built tree with CPack, in a scratch folder,
and checks it: named after the updater's version and the software version
of the image, it holds exactly the program as built (stripped, carrying the
image, linked statically), the README, on Linux the manual page, and the
SHA-256 of the program and of the image in sha256sum's format; a Windows
program's version resource carries both versions. Given the run's own keys,
a Windows archive holds the program signed, and the release's checksum list
is signed. A Linux build's Debian package and manual page are checked too
(debian.py, manpage.py)."""
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

import debian
import manpage
import signing


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


def cpack(args, folder, env):
    """CPack's packages of the build, made into folder: their names, and
    CPack's output."""
    done = subprocess.run([args.cpack, "--config", os.path.join(args.build, "CPackConfig.cmake"),
                           "-B", folder], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, env=env)
    made = sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))
    return (made if done.returncode == 0 else []), done.stdout


def check_archive(args, folder, env):
    """The archive CPack makes into folder: its failures, and the program it
    holds, written beside it."""
    version = args.version
    with open(args.image, "rb") as f:
        image = f.read()
    software = software_version(image)
    failures = []
    if not args.archive.startswith("trelvane-update-%s-sw%s-" % (version, software)):
        failures.append("archive %s is not named after version %s and software v%s"
                        % (args.archive, version, software))

    made, out = cpack(args, folder, env)
    archives = [n for n in made if n.startswith(args.archive + ".")]
    if len(archives) != 1:
        return failures + ["cpack made no %s.*:\n%s" % (args.archive, out)], None
    files = members(os.path.join(folder, archives[0]))
    name = os.path.basename(args.program)
    top = args.archive + "/"
    expected = {top + name, top + "README.md", top + "SHA256SUMS"}
    if args.manpage:
        expected.add(top + os.path.basename(args.manpage))
    if set(files) != expected:
        return failures + ["archive holds %s, not %s" % (sorted(files), sorted(expected))], None
    held = os.path.join(folder, name)
    with open(held, "wb") as f:
        f.write(files[top + name])

    with open(args.program, "rb") as f:
        program = f.read()
    if "TRELVANE_SIGN_PKCS12" not in env and files[top + name] != program:
        failures.append("the archive's %s is not the program built in %s" % (name, args.build))
    for doc in filter(None, (args.readme, args.manpage)):
        with open(doc, "rb") as f:
            if files[top + os.path.basename(doc)] != f.read():
                failures.append("the archive's %s is not %s" % (os.path.basename(doc), doc))
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
    return failures, held


def step(what, failures):
    """failures, after saying what passed."""
    if not failures:
        print("ok: " + what)
    return failures


def check(args, folder):
    """The unsigned archive; a Windows program signed with the run's keys;
    a Linux build's manual page and Debian package; the checksum list over
    the packages, signed."""
    unsigned = os.path.join(folder, "unsigned")
    os.mkdir(unsigned)
    failures, _ = check_archive(args, unsigned, signing.unsigned_env())
    keys = signing.Keys(os.path.join(folder, "keys"))
    release = unsigned
    if args.program.endswith(".exe"):
        release = os.path.join(folder, "signed")
        os.mkdir(release)
        signed_failures, held = check_archive(args, release, keys.env())
        failures += signed_failures
        if held:
            failures += step("the archive's program is signed (PKCS#12), verifies against the "
                             "run's own authority, is the built program without its signature, "
                             "and not once changed",
                             signing.check_signed_program(keys, held, args.program))
            failures += step("the same with the key as PEM files",
                             signing.check_signed_copy(keys, args.cmake, args.source,
                                                       args.program, folder))
    if args.manpage:
        failures += step("mandoc -Tlint passes the manual page, whose quotes are the program's "
                         "messages, every one", manpage.check_lint(args.manpage)
                         + manpage.check_messages(args.manpage, args.source))
    if args.deb:
        with open(args.image, "rb") as f:
            software = software_version(f.read())
        deb = os.path.join(release, debian.package_name(args.version, software, args.deb))
        if not os.path.exists(deb):
            return failures + ["cpack made no %s" % os.path.basename(deb)]
        print("%s: %d bytes" % (os.path.basename(deb), os.path.getsize(deb)))
        failures += step("the package's fields and files; lintian finds nothing",
                         debian.check_contents(deb, args.program, args.source, args.version,
                                               software, args.deb) + debian.check_lintian(deb))
        if args.tools and args.deb == host_architecture():
            failures += step("installed in a throwaway root, its manual page renders, it "
                             "installs exactly on the emulator, and a purge leaves nothing",
                             debian.check_installed(deb, args.source, args.tools))
    sums = os.path.join(release, "SHA256SUMS")
    with open(sums, "w") as f:
        for name in sorted(os.listdir(release)):
            if name.startswith("trelvane-update"):
                with open(os.path.join(release, name), "rb") as g:
                    f.write("%s  %s\n" % (hashlib.sha256(g.read()).hexdigest(), name))
    failures += step("SHA256SUMS over the packages is signed only with a key, minisign "
                     "verifies it and refuses it with a byte changed",
                     signing.check_signed_sums(keys, args.cmake, args.source, sums))
    return failures


def host_architecture():
    return subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                          text=True).stdout.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, help="the build folder")
    ap.add_argument("--cpack", default="cpack")
    ap.add_argument("--cmake", default="cmake")
    ap.add_argument("--source", required=True, help="the source tree")
    ap.add_argument("--program", required=True, help="the built program")
    ap.add_argument("--archive", required=True, help="the archive's name without extension")
    ap.add_argument("--readme", required=True)
    ap.add_argument("--version", required=True, help="the updater's version")
    ap.add_argument("--image", required=True, help="the image built into the program")
    ap.add_argument("--manpage", help="the manual page the archive holds (Linux)")
    ap.add_argument("--deb", help="the Debian architecture of the build's package (Linux)")
    ap.add_argument("--tools", help="the native build, for its emulator: the package of this "
                    "machine's architecture is installed and run")
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
