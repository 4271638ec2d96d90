"""The suite's common ground: pytest-3 tests/e2e --build build/native [-n 4].
How the build's programs run comes from the facts CMake wrote there
(support.texts.facts; --tools, --launcher and --wine override them), and
they pick the cases by their markers. Each case gets a harness session (`s`)
bounded by its deadline; a failed case's report ends with where it stopped."""
import os
import shlex
import shutil
import signal
import subprocess

import pytest

import wineprefix
from support import harness, texts

# A harness wait fails this long before pytest-timeout would, so that the
# case says where it stopped; pytest-timeout stops a case that hangs anywhere else.
MARGIN = 1.0


def pytest_addoption(parser):
    parser.addoption("--build", help="the build folder whose programs are tested")
    parser.addoption("--tools", help="the folder of the native trelvane-emu and trelvane-mkimage "
                     "(default: the build's own facts)")
    parser.addoption("--launcher", type=shlex.split, help='a command put before the updater '
                     'program, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu"')
    parser.addoption("--rebuilt", help="the folder of another build of each released program "
                     "(the release's), for the reproducibility check")
    parser.addoption("--wine", help="the Wine prefix the Windows program runs in, made if "
                     "missing (default: one per worker, copied from BUILD/wineprefix)")


def pytest_configure(config):
    for line in ("representative: in the short set every build is tried with",
                 "linux: needs the Linux program (not under Wine)",
                 "windows: needs the Windows program",
                 "release: checks the released program's packages (a released build's own)",
                 "native: checks the native tools or the build itself, not a program",
                 "unsanitized: cannot run on a sanitized build (valgrind)",
                 "needs(capability): runs on the virtual machines that can (tests/vm)"):
        config.addinivalue_line("markers", line)
    config.figures = []
    # Ended by SIGTERM or SIGHUP, the run tears its fixtures down as after
    # Ctrl-C: no virtual machine or emulator outlives it.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.default_int_handler)
    if config.option.help:
        return
    if not config.getoption("build"):
        raise pytest.UsageError("--build BUILD_FOLDER is needed")
    config.facts = texts.facts(*(config.getoption(option) for option in
                                 ("build", "tools", "launcher")))


@pytest.fixture(scope="session")
def facts(pytestconfig):
    return pytestconfig.facts


def pytest_collection_modifyitems(config, items):
    """Leaves out the cases that are not for this build."""
    found = config.facts
    # The native build and the 64-bit Windows program run every case, the
    # other programs the representative ones.
    native = os.path.samefile(found["tools"], found["build"])
    short = not native and found["wine"] != "win64"

    def wanted(item):
        marks = {m.name for m in item.iter_markers()}
        machine = item.callspec.params.get("guest") if hasattr(item, "callspec") else None
        if machine and not {n for m in item.iter_markers("needs") for n in m.args} <= machine.can:
            return False  # a virtual machine's case on a machine that cannot run it
        if "release" in marks:  # a released build's every check, for its platform
            return found["released"] and ("linux" if found["wine"] else "windows") not in marks
        return not ((found["wine"] and "linux" in marks) or (not native and "native" in marks)
                    or (short and "representative" not in marks)
                    or (found["sanitized"] and "unsanitized" in marks))
    config.hook.pytest_deselected(items=[item for item in items if not wanted(item)])
    items[:] = [item for item in items if wanted(item)]


@pytest.fixture(scope="session")
def wine(request, facts, worker_id):
    """This worker's Wine prefix (None for a Linux program): its own, as
    cases link their COM ports in it, a hard-linked copy of one made once."""
    if not facts["wine"]:
        yield None
        return
    given = request.config.getoption("wine")
    first = os.path.abspath(given or os.path.join(facts["build"], "wineprefix"))
    wineprefix.made(first, facts["wine"])
    if given:
        yield first
        return
    mine = "%s-%s" % (first, worker_id)
    shutil.rmtree(mine, ignore_errors=True)
    subprocess.run(["cp", "-al", first, mine], check=True)
    for reg in ("system.reg", "user.reg", "userdef.reg"):  # the files Wine writes: its own
        os.unlink(os.path.join(mine, reg))
        shutil.copy2(os.path.join(first, reg), os.path.join(mine, reg))
    yield mine
    subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=mine),
                   stderr=subprocess.DEVNULL)


@pytest.fixture
def deadline(request, pytestconfig):
    """Seconds the case's own waits may take: its `timeout` mark's or the run's, less MARGIN."""
    marker = request.node.get_closest_marker("timeout")
    return float(marker.args[0] if marker else pytestconfig.getoption("timeout")
                 or pytestconfig.getini("timeout")) - MARGIN


@pytest.fixture(scope="session")
def figures(pytestconfig):
    """Measured figures, each a line of the run's summary (never checked)."""
    return pytestconfig.figures


def pytest_sessionfinish(session):
    """A pytest-xdist worker hands its figures to the run that shows them."""
    if hasattr(session.config, "workeroutput"):
        session.config.workeroutput["figures"] = session.config.figures


def pytest_testnodedown(node, error):
    node.config.figures += node.workeroutput.get("figures", [])


def pytest_terminal_summary(terminalreporter, config):
    if config.figures:
        terminalreporter.section("figures")
        for line in config.figures:
            terminalreporter.write_line(line)


@pytest.fixture
def s(request, facts, wine, deadline, tmp_path):
    """The case's harness session, for the build's programs."""
    session = harness.Session(facts, str(tmp_path), wine, deadline)
    request.node.trelvane_session = session
    yield session
    session.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    session = getattr(item, "trelvane_session", None)
    if report.failed and session is not None and call.when == "call":
        report.sections.append(("where it stopped", session.where()))
