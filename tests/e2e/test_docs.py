"""Every project file, folder and script the docs quote (in backticks or as a
link) is in the source tree (what a build or release makes, system paths,
placeholders and options are not); ./run-demo.sh stops with the emulator's
words when the emulator cannot start."""
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
    """The demo, in a tree whose cmake (on PATH) builds nothing and whose built
    emulator refuses its command line, stops before the updater starts, with
    a failure and the emulator's own words."""
    emu = [os.path.join(facts["tools"], "trelvane-emu"), "--hw", "128,0"]
    fake = tmp_path / "build" / "demo" / "trelvane-emu"
    fake.parent.mkdir(parents=True)
    fake.write_text('#!/bin/sh\nexec %s "$@"\n' % " ".join(emu))
    fake.chmod(0o755)
    for name in ("run-demo.sh", "tools"):
        os.symlink(os.path.join(facts["source"], name), tmp_path / name)
    os.symlink(shutil.which("true"), tmp_path / "cmake")
    words = subprocess.run(emu, stderr=subprocess.PIPE, text=True).stderr.split("\n")[0]
    done = subprocess.run([str(tmp_path / "run-demo.sh"), "--fast"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=15,
                          env=dict(os.environ, PATH="%s:%s" % (tmp_path, os.environ["PATH"])))
    check(done.returncode != 0 and words and words in done.stdout and "COM2" not in done.stdout,
          "status %d, want a failure that shows %r:\n%s" % (done.returncode, words, done.stdout))
