"""Builds the updater twice from one source tree, in two fresh build folders
of different names, and checks that the two programs are the same bytes and
that neither names the source or a build folder. A firmware team rebuilding a
release from its commit must get the program it was given, and, its files
dated by one SOURCE_DATE_EPOCH as ./make-release.sh dates them, the same
archive and package. (That a signed program without its signature is the
program as built, test_package.py checks.) It configures as the build was:
its image, and the arguments ./run-tests.sh gives every configure
(TRELVANE_CONFIGURE). It builds with two jobs, so it runs in a pytest step
of its own, not beside the line tests."""
import hashlib
import os
import shlex
import sys
from pathlib import Path

import pytest

from signing import unsigned_env
from support.commands import ran, same_bytes
from support.lines import check


@pytest.mark.release
@pytest.mark.timeout(900)
def test_two_builds_are_the_same(facts, tmp_path, figures):
    source, cmake = os.path.realpath(facts["source"]), facts["cmake"]
    program = os.path.basename(facts["program"])
    # Folder names of different lengths, so that a path that slips into the
    # program also shifts what follows it.
    folders = [str(tmp_path / "trelvane-release"), str(tmp_path / "trelvane-release-second-build")]
    toolchain = ["-DCMAKE_TOOLCHAIN_FILE=" + facts["toolchain"]] if facts["toolchain"] else []
    given = ["-DTRELVANE_IMAGE=" + facts["image"]]
    given += shlex.split(os.environ.get("TRELVANE_CONFIGURE", ""))
    # Dated alike, the manual page too.
    env = dict(unsigned_env(), SOURCE_DATE_EPOCH="1700000000")
    programs = []
    for folder in folders:
        ran([cmake, "-S", source, "-B", folder, "-DTRELVANE_TESTS=OFF",
             "-DTRELVANE_TEST_PROGRAMS=OFF"] + toolchain + given, env=env)
        ran([cmake, "--build", folder, "-j2", "--target", "trelvane-update"], env=env)
        programs.append(Path(folder, program).read_bytes())
        for path in (folder, source):
            check(path.encode() not in programs[-1],
                  "%s names %s" % (os.path.join(folder, program), path))
    same_bytes(programs[0], programs[1], "the two builds' %s differ" % program)
    # CPack's archives and packages of both builds, unsigned and dated alike,
    # and their bills of materials, are the same files, byte for byte.
    made = []
    for folder in folders:
        out = os.path.join(folder, "packages")
        ran([facts["cpack"], "--config", os.path.join(folder, "CPackConfig.cmake"), "-B", out],
            env=env)
        ran([sys.executable, os.path.join(source, "tools", "spdx.py"), out, folder], env=env)
        made.append({name: Path(out, name).read_bytes() for name in os.listdir(out)
                     if os.path.isfile(os.path.join(out, name))})
    check(set(made[0]) == set(made[1]),
          "cpack made %s, then %s" % (sorted(made[0]), sorted(made[1])))
    differ = sorted(name for name in made[0] if made[0][name] != made[1][name])
    check(not differ, "the two builds' %s differ" % ", ".join(differ))
    figures.append("reproducible: %s, %d bytes, %s" % (
        program, len(programs[0]), hashlib.sha256(programs[0]).hexdigest()))
