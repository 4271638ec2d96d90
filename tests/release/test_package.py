"""Makes the release archive of a built tree with CPack, in a scratch folder,
and checks it: named after the updater's version and the software version
of the image, it holds exactly the program as built (stripped, carrying the
image, linked statically), the README, on Linux the manual page, and the
SHA-256 of the program and of the image in sha256sum's format; a Windows
program's version resource carries both versions. Given the run's own keys,
a Windows archive holds the program signed, and the release's checksum list
is signed. A Linux build's Debian package and manual page are checked too
(debian.py, manpage.py); the third-party notices, that no glibc is linked,
and the bill of materials as well (bom.py), and the release's qualification
of the program, and its headers' protections. What the build is comes from
its facts:

  pytest-3 tests/release --build BUILD
"""
import json
import os
import re
import struct
import sys
from pathlib import Path

import pytest

import bom
import debian
import oracle
import released
import signing
from support.commands import flipped, ran, run
from support.lines import check

pytestmark = [pytest.mark.release, pytest.mark.timeout(300)]

# What the built program must not hold: (bytes, what they would show, whether
# only a Linux program is checked for them).
UNWANTED = [(b".debug_", "is not stripped: it has .debug_ sections", False),
            (b".symtab", "is not stripped: it has a .symtab section", False),
            (b".interp", "names a dynamic loader: it is not linked statically", True),
            (b".note.ABI-tag", "is linked with glibc: it holds glibc's ABI note", True),
            (b"glibc", "is linked with glibc: it holds a glibc text", True)]


# A released program's protections as its headers show them (readelf, objdump):
# a pattern each must hold, and what its absence says.
HARDENED = {
    "linux": (["readelf", "-hdlW"], [
        (r"Type:\s+DYN ", "is not position-independent (a static PIE)"),
        (r"\(FLAGS\)\s+BIND_NOW", "is not bound at its start (-z now)"),
        (r"\(FLAGS_1\)\s+Flags: NOW PIE", "is no PIE"),
        (r"GNU_RELRO ", "has no read-only relocations (-z relro)"),
        (r"GNU_STACK(\s+0x[0-9a-f]+){5}\s+RW\s", "has an executable stack")]),
    "win32": (["objdump", "-p"], [(r"^\s+DYNAMIC_BASE$", "has no ASLR (DYNAMIC_BASE)"),
                                  (r"^\s+NX_COMPAT$", "has no DEP (NX_COMPAT)")]),
}
HARDENED["win64"] = (HARDENED["win32"][0], HARDENED["win32"][1] + [
    (r"^\s+HIGH_ENTROPY_VA$", "has no 64-bit ASLR (HIGH_ENTROPY_VA)")])


def resource_version(program):
    """The file version of the fixed version block (FILEVERSION), as 4 numbers."""
    at = program.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", program, at + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def software_version(facts):
    """The version the build's image carries, as the updater prints it:
    header bytes 3 and 4."""
    image = Path(facts["image"]).read_bytes()
    return "%u.%02u" % (image[3], image[4])


def archive_in(facts, folder, out=""):
    """The path of the one release archive in folder (CPack printed out)."""
    found = [n for n in os.listdir(folder) if n.startswith(facts["archive"] + ".")]
    check(len(found) == 1, "cpack made no single %s.* in %s:\n%s" % (facts["archive"], folder, out))
    return os.path.join(folder, found[0])


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    return signing.Keys(str(tmp_path_factory.mktemp("keys")))


@pytest.fixture(scope="module")
def made(facts, keys, tmp_path_factory, figures):
    """made(signed): CPack's packages of the build, made once unsigned and
    once signed with the run's keys (a Windows program), as (folder, what
    CPack printed)."""
    done = {}

    def make(signed):
        if signed not in done:
            folder = str(tmp_path_factory.mktemp("signed" if signed else "unsigned"))
            done[signed] = folder, ran(
                [facts["cpack"], "--config", os.path.join(facts["build"], "CPackConfig.cmake"),
                 "-B", folder], env=keys.env() if signed else signing.unsigned_env())
            figures.extend("%s%s: %d bytes" % ("signed " if signed else "", name,
                                               os.path.getsize(os.path.join(folder, name)))
                           for name in sorted(os.listdir(folder))
                           if name.endswith((".zip", ".gz", ".deb")))
        return done[signed]
    return make


@pytest.fixture(scope="module")
def release(facts, made):
    """The folder of the packages a release holds: a Windows program signed."""
    return made(bool(facts["wine"]))[0]


@pytest.mark.parametrize("signed", [False, pytest.param(True, marks=pytest.mark.windows)])
def test_archive(facts, made, signed):
    version, software, image = facts["version"], software_version(facts), facts["image"]
    check(facts["archive"].startswith("trelvane-update-%s-sw%s-" % (version, software)),
          "archive %s is not named after version %s and software v%s"
          % (facts["archive"], version, software))
    path = archive_in(facts, *made(signed))
    files, top = {n: m.data for n, m in released.members(path).items()}, facts["archive"] + "/"
    name = os.path.basename(facts["program"])
    docs = [os.path.join(facts["source"], "README.md"), facts["notices"], facts["manpage"]]
    docs = {top + os.path.basename(doc): doc for doc in docs if doc}
    want = set(docs) | {top + name, top + "SHA256SUMS"}
    check(set(files) == want, "%s holds %s, not %s" % (path, sorted(files), sorted(want)))
    program = Path(facts["program"]).read_bytes()
    check(signed or files[top + name] == program,
          "%s's %s is not the program built in %s" % (path, name, facts["build"]))
    for member, doc in docs.items():
        check(files[member] == Path(doc).read_bytes(), "%s's %s is not %s" % (path, member, doc))
    sums = "%s  %s\n%s  %s\n" % (bom.sha256(files[top + name]), name,
                                 bom.sha256(Path(image).read_bytes()), os.path.basename(image))
    check(files[top + "SHA256SUMS"] == sums.encode(), "%s's SHA256SUMS holds %r, expected %r"
          % (path, files[top + "SHA256SUMS"], sums))
    check(Path(image).read_bytes() in program, "%s does not carry %s" % (facts["program"], image))
    for mark, what, linux_only in UNWANTED:
        check((linux_only and name.endswith(".exe")) or mark not in program,
              "%s %s (%r)" % (facts["program"], what, mark.decode()))
    tool, patterns = HARDENED[facts["wine"] or "linux"]
    headers = ran(tool + [facts["program"]])
    for pattern, what in patterns:
        check(re.search(pattern, headers, re.M), "%s %s:\n%s" % (facts["program"], what, headers))
    bom.check_notices(facts, files[top + os.path.basename(facts["notices"])].decode())
    if name.endswith(".exe"):
        parts = [int(p) for p in version.split(".")]
        got = resource_version(program)
        check(got == tuple(parts + [0] * (4 - len(parts))),
              "%s's version resource says %s, the build %s" % (facts["program"], got, version))
        for text in (version, "installs Trelvane software v" + software):
            check(("\0".join(text) + "\0").encode() in program,  # UTF-16 string
                  "no %r in %s's version resource" % (text, facts["program"]))


@pytest.mark.windows
def test_signed_program_verifies_and_is_the_built_one_unsigned(facts, made, keys, tmp_path):
    """Signed as PKCS#12, it verifies against the run's own authority, is the
    built program without its signature, and not once changed."""
    held = tmp_path / os.path.basename(facts["program"])
    held.write_bytes(bom.program_held(archive_in(facts, *made(True)), facts))
    signing.check_signed_program(keys, str(held), facts["program"])


@pytest.mark.windows
def test_signed_with_pem_files(facts, keys, tmp_path):
    signing.check_signed_copy(keys, facts["cmake"], facts["source"], facts["program"],
                              str(tmp_path))


def debian_package(facts, release):
    """The release's Debian package, named after the updater's version and
    the image's software version, and that software version."""
    software = software_version(facts)
    deb = os.path.join(release, debian.package_name(facts["version"], software, facts["deb"]))
    check(os.path.exists(deb), "cpack made no %s in %s" % (os.path.basename(deb), release))
    return deb, software


@pytest.mark.linux
def test_debian_package_contents_and_lintian(facts, release):
    deb, software = debian_package(facts, release)
    debian.check_contents(deb, facts, software)
    debian.check_lintian(deb)


@pytest.mark.linux
def test_debian_package_installed_runs_and_purges(facts, release, s, tmp_path_factory):
    """Installed in a throwaway root, its manual page renders, passes mandoc's
    lint, quotes the program's messages and names what the program printed
    (the archive's page and program are the same bytes: test_archive), it
    installs exactly on the emulator (under the build's launcher where the
    package is for another processor), and a purge leaves nothing."""
    debian.check_installed(debian_package(facts, release)[0], s,
                           str(tmp_path_factory.mktemp("dpkg")))


def test_checksum_list_signed(facts, release, keys):
    """SHA256SUMS over the packages is signed only with a key, minisign
    verifies it and refuses it with a byte changed."""
    sums = os.path.join(release, "SHA256SUMS")
    Path(sums).write_text("".join("%s  %s\n" % (bom.sha256(Path(release, name).read_bytes()), name)
                                  for name in sorted(os.listdir(release))
                                  if name.startswith("trelvane-update")))
    signing.check_signed_sums(keys, facts["cmake"], facts["source"], sums)


def test_bill_of_materials(facts, release):
    """The SPDX document of the build's archive and package: each checksum,
    licence id and library version is right."""
    bom.check_bill(facts, release)


def test_qualification(facts, release, wine, tmp_path):
    """tools/release/qualify.py, as ./make-release.sh runs it, refuses the
    release's program for a device that expects an image one byte off. (That
    it qualifies a right one, ./make-release.sh shows for every program.)"""
    Path(tmp_path, "image.bin").write_bytes(flipped(Path(facts["image"]).read_bytes()))
    found = json.loads(Path(facts["build"], oracle.FACTS).read_text())
    found["image"] = str(tmp_path / "image.bin")
    Path(tmp_path, oracle.FACTS).write_text(json.dumps(found))
    qualify = [sys.executable, os.path.join(facts["source"], "tools", "release", "qualify.py")]
    code, out = run(qualify + [str(tmp_path), release, wine or str(tmp_path)])
    check(out.startswith("NOT qualified: ") and code != 0, "%s %s %s: status %d, want a refusal:\n%s"
          % (qualify[1], tmp_path, release, code, out))
