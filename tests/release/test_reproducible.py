"""The same program, and dated by one SOURCE_DATE_EPOCH (which both builds
were configured with, as ./run-tests.sh configures every one) the same
archive, package and bill of materials, from two builds ./run-tests.sh makes
anyway: this one and the release's own (--rebuilt names its build folders),
whose folders' names differ in length, so that a path slipping into the
program shifts what follows it."""
import hashlib
import os
from pathlib import Path

import pytest

import bom
import oracle
from signing import unsigned_env
from support.commands import ran, same_bytes
from support.lines import check


@pytest.fixture
def rebuilt(request, facts):
    """The facts of the release's build of this program."""
    folder = request.config.getoption("rebuilt")
    if not folder:
        pytest.skip("no second build of the program: --rebuilt names the release's build "
                    "folders (./run-tests.sh gives them)")
    return oracle.facts(os.path.join(folder, os.path.basename(facts["build"])))


@pytest.mark.release
@pytest.mark.timeout(120)
def test_two_builds_are_the_same(facts, rebuilt, tmp_path, figures):
    builds = (facts, rebuilt)
    programs = [Path(b["program"]).read_bytes() for b in builds]
    for b, program in zip(builds, programs):
        for path in (b["build"], b["source"]):
            check(path.encode() not in program, "%s names %s" % (b["program"], path))
    same_bytes(*programs, "%s and %s differ" % (facts["program"], rebuilt["program"]))
    # CPack's archives and packages of both builds, unsigned and dated alike,
    # and their bills of materials, are the same files, byte for byte.
    date = os.environ.get("SOURCE_DATE_EPOCH", "1700000000")
    env = dict(unsigned_env(), SOURCE_DATE_EPOCH=date)
    made = []
    for i, b in enumerate(builds):
        out = str(tmp_path / str(i))
        ran([b["cpack"], "--config", os.path.join(b["build"], "CPackConfig.cmake"), "-B", out],
            env=env)
        bom.write_bill(b, out, env)
        made.append({name: Path(out, name).read_bytes() for name in os.listdir(out)
                     if os.path.isfile(os.path.join(out, name))})
    check(set(made[0]) == set(made[1]),
          "cpack made %s, then %s" % (sorted(made[0]), sorted(made[1])))
    differ = sorted(name for name in made[0] if made[0][name] != made[1][name])
    check(not differ, "the two builds' %s differ" % ", ".join(differ))
    figures.append("reproducible: %s, %d bytes, %s" % (
        os.path.basename(facts["program"]), len(programs[0]),
        hashlib.sha256(programs[0]).hexdigest()))
