"""The README and the docs name only what exists: every file, folder and
script they quote (in backticks or as a link) is in the source tree. What a
build or a release makes (build/..., release/...), system paths, names with
a placeholder and plain options are not the project's files."""
import glob
import os
import re

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
