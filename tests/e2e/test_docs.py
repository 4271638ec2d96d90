"""The README and the docs name only what exists: every file, folder and
script they quote (in backticks or as a link) is in the source tree. What a
build or a release makes (build/..., release/...), system paths, names with
a placeholder and plain options are not the project's files. The README's
first command, ./run-demo.sh, stops with the emulator's words when the
emulator cannot start."""
import glob
import os
import re
import shutil
import subprocess

import pytest

from support.lines import check

pytestmark = pytest.mark.native

PROJECT = ("app/", "bench/", "cmake/", "doc/", "image/", "link/", "platform/", "push/", "tests/",
           "tools/", "run-", "make-release", ".ci/", "README", "CMakeLists")


def named_paths(text, here):
    """The project paths quoted in backticks, from the project's folder, and
    the links' targets, from the doc's own folder."""
    for words in re.findall(r"`([^`\n]+)`", text):
        for word in words.split():
            word = word.rstrip(".,:;)").lstrip("(")
            word = word[2:] if word.startswith("./") else word
            if word.startswith(PROJECT) and not re.search(r"[<>*$]|\.\.\.|N$|ARCH|NAME", word):
                yield word
    for link in re.findall(r"\]\(([^)#:]+)\)", text):
        yield os.path.normpath(os.path.join(here, link))


@pytest.mark.parametrize("doc", ["README.md", "doc/testing.md", "doc/machines.md",
                                 "doc/releasing.md", "doc/benchmark.md"])
def test_named_paths_exist(facts, doc):
    with open(os.path.join(facts["source"], doc)) as f:
        named = set(named_paths(f.read(), os.path.dirname(doc)))
    missing = sorted(p for p in named if not glob.glob(os.path.join(facts["source"], p)))
    check(not missing, "%s names what the source tree does not have: %s" % (doc, missing))


def test_demo_stops_when_the_emulator_cannot_start(facts, tmp_path):
    """The demo, in a tree whose built emulator refuses its command line and
    whose cmake builds nothing, ends at once with a failure and the
    emulator's own words."""
    for name in ("run-demo.sh", "tools/host/packages.txt"):
        os.makedirs(tmp_path / os.path.dirname(name), exist_ok=True)
        shutil.copy(os.path.join(facts["source"], name), tmp_path / name)
    wrapped = [os.path.join(facts["tools"], "trelvane-emu"), "--hw", "128,0"]
    for name, body in (("build/demo/trelvane-emu", 'exec %s "$@"' % " ".join(wrapped)),
                       ("bin/cmake", "true")):
        os.makedirs(tmp_path / os.path.dirname(name), exist_ok=True)
        (tmp_path / name).write_text("#!/bin/sh\n%s\n" % body)
        (tmp_path / name).chmod(0o755)
    words = subprocess.run(wrapped, stderr=subprocess.PIPE, text=True).stderr.split("\n")[0]
    done = subprocess.run([str(tmp_path / "run-demo.sh"), "--fast"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=15, env=dict(
                              os.environ, PATH="%s:%s" % (tmp_path / "bin", os.environ["PATH"])))
    check(done.returncode != 0 and words and words in done.stdout,
          "status %d, want a failure that shows %r:\n%s" % (done.returncode, words, done.stdout))
