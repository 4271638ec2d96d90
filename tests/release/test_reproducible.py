"""Builds the updater twice from one source tree, in two fresh build folders
of different names, and checks that the two programs are the same bytes and
that neither names the source or a build folder. A firmware team rebuilding a
release from its commit must get the program it was given, and, its files
dated by one SOURCE_DATE_EPOCH as ./make-release.sh dates them, the same
archive and package. (That a signed program without its signature is the
program as built, test_package.py checks.) It builds with two jobs, so it
runs in a pytest step of its own, not beside the line tests."""
import hashlib
import os
import subprocess
import sys

import pytest

import signing


def build(cmake, source, folder, toolchain, target):
    configure = [cmake, "-S", source, "-B", folder,
                 "-DTRELVANE_TESTS=OFF", "-DTRELVANE_TEST_PROGRAMS=OFF"]
    if toolchain:
        configure.append("-DCMAKE_TOOLCHAIN_FILE=" + toolchain)
    for cmd in (configure, [cmake, "--build", folder, "-j2", "--target", target]):
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert done.returncode == 0, "%s\n%s" % (" ".join(cmd), done.stdout)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check_packages(cpack, source, folders):
    """CPack's archives and packages of both builds, unsigned and dated
    alike, and their bills of materials, are the same files, byte for byte."""
    env = dict(signing.unsigned_env(), SOURCE_DATE_EPOCH="1700000000")
    made = []
    for folder in folders:
        out = os.path.join(folder, "packages")
        for step in ([cpack, "--config", os.path.join(folder, "CPackConfig.cmake"), "-B", out],
                     [sys.executable, os.path.join(source, "tools", "spdx.py"), out, folder]):
            code, text = signing.run(step, env=env)
            if code != 0:
                return ["%s failed:\n%s" % (" ".join(step), text)]
        files = {}
        for name in os.listdir(out):
            if os.path.isfile(os.path.join(out, name)):
                with open(os.path.join(out, name), "rb") as f:
                    files[name] = f.read()
        made.append(files)
    if set(made[0]) != set(made[1]):
        return ["cpack made %s, then %s" % (sorted(made[0]), sorted(made[1]))]
    differ = sorted(name for name in made[0] if made[0][name] != made[1][name])
    if differ:
        return ["the two builds' %s differ" % ", ".join(differ)]
    return []


@pytest.mark.release
@pytest.mark.timeout(900)
def test_two_builds_are_the_same(facts, tmp_path, figures):
    source = os.path.realpath(facts["source"])
    program = os.path.basename(facts["program"])
    # Folder names of different lengths, so that a path that slips into the
    # program also shifts what follows it.
    folders = [str(tmp_path / "trelvane-release"), str(tmp_path / "trelvane-release-second-build")]
    programs = []
    for folder in folders:
        build(facts["cmake"], source, folder, facts["toolchain"], "trelvane-update")
        with open(os.path.join(folder, program), "rb") as f:
            programs.append(f.read())
    failures = ["%s names %s" % (os.path.join(folder, program), path)
                for folder, data in zip(folders, programs) for path in (folder, source)
                if path.encode() in data]
    if programs[0] != programs[1]:
        failures.append("the two builds differ: %d and %d bytes, first difference at byte %d"
                        % (len(programs[0]), len(programs[1]), first_difference(*programs)))
    else:
        failures += check_packages(facts["cpack"], source, folders)
    assert not failures, "\n".join(failures)
    figures.append("reproducible: %s, %d bytes, %s" % (
        program, len(programs[0]), hashlib.sha256(programs[0]).hexdigest()))
