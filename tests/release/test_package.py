"""CPack's release archive of a built tree (pytest-3 tests/release --build
BUILD), named after the updater's and the image's versions, holds exactly
the program as built (stripped, hardened, carrying the image, linked
statically), the README, the notices (bom.py), on Linux the manual page, and
the program's and the image's SHA-256; a Windows program's version resource
carries both versions, and signed (signing.py) it verifies. Then the Debian
package (debian.py, manpage.py), bill of materials and qualification."""
import json
import os
import re
import shutil
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
    """The fixed version block's file version (FILEVERSION), as 4 numbers."""
    at = program.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None
    ms, ls = struct.unpack_from("<II", program, at + 8)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def software_version(facts):
    """The version the build's image carries, as the updater prints it."""
    return oracle.version_text(oracle.Image.read(facts["image"]).version)


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
    """made(signed): (folder, CPack's output) of the build's packages, made
    once unsigned and once signed with the run's keys."""
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
    """The archive's program, signed with the key as PKCS#12 (signing.check_signed_program)."""
    held = tmp_path / os.path.basename(facts["program"])
    held.write_bytes(bom.program_held(archive_in(facts, *made(True)), facts))
    signing.check_signed_program(keys, str(held), facts["program"])


@pytest.mark.windows
def test_signed_with_pem_files(facts, keys, tmp_path):
    """A copy of the program signed by cmake/Sign.cmake with the key in the
    other form a vendor may have, PEM files, passes the same checks."""
    copy = str(tmp_path / os.path.basename(facts["program"]))
    shutil.copyfile(facts["program"], copy)
    ran([facts["cmake"], "-DSIGN_PROGRAM=" + copy, "-P",
         os.path.join(facts["source"], "cmake", "Sign.cmake")], env=keys.env(pkcs12=False))
    signing.check_signed_program(keys, copy, facts["program"])


@pytest.fixture
def deb(facts, release):
    """The release's Debian package, named after the updater's and the image's versions."""
    deb = os.path.join(release, "trelvane-update_%s+sw%s_%s.deb"
                       % (facts["version"], software_version(facts), facts["deb"]))
    check(os.path.exists(deb), "cpack made no %s in %s" % (os.path.basename(deb), release))
    return deb


@pytest.mark.linux
def test_debian_package_contents_and_lintian(facts, deb):
    debian.check_contents(deb, facts, software_version(facts))
    debian.check_lintian(deb)


@pytest.mark.linux
def test_debian_package_installed_runs_and_purges(deb, s, tmp_path):
    """(The archive's manual page and program are the package's bytes: test_archive.)"""
    debian.check_installed(deb, s, str(tmp_path))


def test_checksum_list_signed(facts, release, keys):
    """SHA256SUMS over the packages (signing.check_signed_sums)."""
    sums = os.path.join(release, "SHA256SUMS")
    Path(sums).write_text("".join("%s  %s\n" % (bom.sha256(Path(release, name).read_bytes()), name)
                                  for name in sorted(os.listdir(release))
                                  if name.startswith("trelvane-update")))
    signing.check_signed_sums(keys, facts["cmake"], facts["source"], sums)


def test_bill_of_materials(facts, release):
    bom.check_bill(facts, release)


def test_qualification(facts, release, wine, tmp_path):
    """tools/release/qualify.py refuses the release's program for a device
    that expects an image one byte off (./make-release.sh shows it qualifies
    a right one)."""
    image = tmp_path / "image.bin"
    image.write_bytes(flipped(Path(facts["image"]).read_bytes()))
    found = json.loads(Path(facts["build"], oracle.FACTS).read_text())
    Path(tmp_path, oracle.FACTS).write_text(json.dumps(dict(found, image=str(image))))
    qualify = [sys.executable, os.path.join(facts["source"], "tools", "release", "qualify.py")]
    code, out = run(qualify + [str(tmp_path), release, wine or str(tmp_path)])
    check(out.startswith("NOT qualified: ") and code != 0, "%s %s %s: status %d, want a refusal:\n%s"
          % (qualify[1], tmp_path, release, code, out))
