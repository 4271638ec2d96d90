"""Makes the release archive of a built tree with CPack, in a scratch folder,
and checks it: named after the updater's version and the software version
of the image, it holds exactly the program as built (stripped, carrying the
image, linked statically), the README, on Linux the manual page, and the
SHA-256 of the program and of the image in sha256sum's format; a Windows
program's version resource carries both versions. Given the run's own keys,
a Windows archive holds the program signed, and the release's checksum list
is signed. A Linux build's Debian package and manual page are checked too
(debian.py, manpage.py); the third-party notices, that no glibc is linked,
and the bill of materials as well (bom.py). What the build is comes from
its facts:

  pytest-3 tests/release --build BUILD
"""
import hashlib
import os
import struct
import subprocess
import tarfile
import zipfile

import pytest

import bom
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


def cpack(facts, folder, env):
    """CPack's packages of the build, made into folder: their names, and
    CPack's output."""
    done = subprocess.run([facts["cpack"], "--config",
                           os.path.join(facts["build"], "CPackConfig.cmake"), "-B", folder],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    made = sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))
    return (made if done.returncode == 0 else []), done.stdout


def check_archive(facts, folder, env):
    """The archive CPack makes into folder: its failures, and the program it
    holds, written beside it."""
    version = facts["version"]
    with open(facts["image"], "rb") as f:
        image = f.read()
    software = software_version(image)
    failures = []
    if not facts["archive"].startswith("trelvane-update-%s-sw%s-" % (version, software)):
        failures.append("archive %s is not named after version %s and software v%s"
                        % (facts["archive"], version, software))

    made, out = cpack(facts, folder, env)
    archives = [n for n in made if n.startswith(facts["archive"] + ".")]
    if len(archives) != 1:
        return failures + ["cpack made no %s.*:\n%s" % (facts["archive"], out)], None
    files = members(os.path.join(folder, archives[0]))
    name = os.path.basename(facts["program"])
    top = facts["archive"] + "/"
    readme = os.path.join(facts["source"], "README.md")
    notices = bom.record_of(facts)[0]["notices"]
    expected = {top + name, top + "README.md", top + "SHA256SUMS", top + os.path.basename(notices)}
    if facts["manpage"]:
        expected.add(top + os.path.basename(facts["manpage"]))
    if set(files) != expected:
        return failures + ["archive holds %s, not %s" % (sorted(files), sorted(expected))], None
    held = os.path.join(folder, name)
    with open(held, "wb") as f:
        f.write(files[top + name])

    with open(facts["program"], "rb") as f:
        program = f.read()
    if "TRELVANE_SIGN_PKCS12" not in env and files[top + name] != program:
        failures.append("the archive's %s is not the program built in %s" % (name, facts["build"]))
    for doc in filter(None, (readme, facts["manpage"], notices)):
        with open(doc, "rb") as f:
            if files[top + os.path.basename(doc)] != f.read():
                failures.append("the archive's %s is not %s" % (os.path.basename(doc), doc))
    sums = "%s  %s\n%s  %s\n" % (hashlib.sha256(files[top + name]).hexdigest(), name,
                                 hashlib.sha256(image).hexdigest(), os.path.basename(facts["image"]))
    if files[top + "SHA256SUMS"].decode(errors="replace") != sums:
        failures.append("SHA256SUMS holds %r, expected %r" % (files[top + "SHA256SUMS"], sums))
    if image not in program:
        failures.append("the program does not carry %s" % facts["image"])
    for section in (b".debug_", b".symtab"):
        if section in program:
            failures.append("the program is not stripped: it has %s sections" % section.decode())
    if not name.endswith(".exe") and b".interp" in program:
        failures.append("the program names a dynamic loader: it is not linked statically")
    if not name.endswith(".exe"):
        failures += bom.check_no_glibc(facts["program"], program)
    failures += bom.check_notices(facts, files[top + os.path.basename(notices)].decode())
    if name.endswith(".exe"):
        parts = [int(p) for p in version.split(".")]
        want = tuple(parts + [0] * (4 - len(parts)))
        got = resource_version(program)
        if got != want:
            failures.append("version resource says %s, the build %s" % (got, version))
        for text in (version, "installs Trelvane software v" + software):
            if ("\0".join(text) + "\0").encode() not in program:  # UTF-16 string
                failures.append("no %r in the version resource" % text)
    return failures, held


def host_architecture():
    return subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                          text=True).stdout.strip()


pytestmark = [pytest.mark.release, pytest.mark.timeout(300)]


def passes(failures):
    assert not failures, "\n".join(failures)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    return signing.Keys(str(tmp_path_factory.mktemp("keys")))


@pytest.fixture(scope="module")
def made(facts, keys, tmp_path_factory, figures):
    """made(signed): CPack's packages of the build, made once unsigned and
    once signed with the run's keys (a Windows program), as (folder, the
    archive's failures, the program it holds)."""
    done = {}

    def make(signed):
        if signed not in done:
            folder = str(tmp_path_factory.mktemp("signed" if signed else "unsigned"))
            done[signed] = (folder,) + check_archive(
                facts, folder, keys.env() if signed else signing.unsigned_env())
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
def test_archive(made, signed):
    passes(made(signed)[1])


@pytest.mark.windows
def test_signed_program_verifies_and_is_the_built_one_unsigned(facts, made, keys):
    """Signed as PKCS#12, it verifies against the run's own authority, is the
    built program without its signature, and not once changed."""
    held = made(True)[2]
    assert held, "the signed archive holds no program"
    passes(signing.check_signed_program(keys, held, facts["program"]))


@pytest.mark.windows
def test_signed_with_pem_files(facts, keys, tmp_path):
    passes(signing.check_signed_copy(keys, facts["cmake"], facts["source"], facts["program"],
                                     str(tmp_path)))


@pytest.mark.linux
def test_manual_page_lint_and_messages(facts):
    """mandoc -Tlint passes the page, whose quotes are the program's
    messages, every one."""
    passes(manpage.check_lint(facts["manpage"])
           + manpage.check_messages(facts["manpage"], facts["source"]))


def debian_package(facts, release):
    with open(facts["image"], "rb") as f:
        software = software_version(f.read())
    deb = os.path.join(release, debian.package_name(facts["version"], software, facts["deb"]))
    assert os.path.exists(deb), "cpack made no %s" % os.path.basename(deb)
    return deb, software


@pytest.mark.linux
def test_debian_package_contents_and_lintian(facts, release):
    deb, software = debian_package(facts, release)
    passes(debian.check_contents(deb, facts["program"], facts["source"], facts["version"],
                                 software, facts["deb"], bom.record_of(facts)[0])
           + debian.check_lintian(deb))


@pytest.mark.linux
def test_debian_package_installed_runs_and_purges(facts, release, s):
    """Installed in a throwaway root, its manual page renders, it installs
    exactly on the emulator (under the build's launcher where the package
    is for another processor), and a purge leaves nothing."""
    foreign = facts["deb"] != host_architecture()
    passes(debian.check_installed(debian_package(facts, release)[0], s, foreign))


def test_checksum_list_signed(facts, release, keys):
    """SHA256SUMS over the packages is signed only with a key, minisign
    verifies it and refuses it with a byte changed."""
    sums = os.path.join(release, "SHA256SUMS")
    with open(sums, "w") as f:
        for name in sorted(os.listdir(release)):
            if name.startswith("trelvane-update"):
                with open(os.path.join(release, name), "rb") as g:
                    f.write("%s  %s\n" % (hashlib.sha256(g.read()).hexdigest(), name))
    passes(signing.check_signed_sums(keys, facts["cmake"], facts["source"], sums))


def test_bill_of_materials(facts, release):
    """The SPDX document of the build's archive and package: each checksum,
    licence id and library version is right."""
    passes(bom.check_bill(facts, release))
