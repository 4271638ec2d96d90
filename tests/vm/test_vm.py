"""The Linux updaters on real kernels' serial drivers in QEMU guests, with
trelvane-emu at the far end of each line (doc/machines.md; machines.py says
which machine has which line):

  pytest-3 tests/vm --build BUILD [-k MACHINE_OR_CASE]

BUILD holds the runner's trelvane-update, the released programs' folders
beside it. A machine that cannot boot here fails, or with
TRELVANE_VM_SKIP=1 skips, its cases.
"""
import os
import re
import signal
import time

import pytest

import initramfs
import machines
from machine import Machine, kernel
from machines import CASE_SECONDS, GuestEmulator, GuestSession
from support import texts as t
from support.lines import Timeout, check, same

pytestmark = pytest.mark.timeout(CASE_SECONDS)

UART, ADAPTER = machines.CAPABILITIES["uart"], machines.CAPABILITIES["adapter"]
# A device that cannot know when the port opens: it repeats its announce
# until the offer comes. The virtual machine keeps the line open after the
# updater lets go, so the device waits only briefly for that.
DEVICE = ["--announce-every", "500", "--linger", "300"]
PACED = ["--baud", "115200"] + DEVICE
BOOT_SECONDS = 120
# A generous bound: a healthy updater ends well within 2 s of a pull or a refused open.
END_SECONDS = 20
# An updater waiting on a silent line sleeps in its reads: over this long it
# may use a few clock ticks, where one that spins uses them all.
SILENT_SECONDS, SILENT_TICKS = 5, 10


def first_chunk(g):
    """The console from the instruction to the first chunk's progress (4 blocks)."""
    return g.texts().select() + g.texts().transfer(blocks=4)


def complete(g, tag, port, e, nohup=False):
    started, mark = time.monotonic(), g.start(tag, port, "ignoring HUP" if nohup else "")
    if nohup:
        g.wait_seen(tag, t.listening(port))
        g.m.send("stop %s HUP" % tag)
    g.figure("complete run (%s): %.1f s" % (tag, g.ended(tag, mark) - started))
    status, text = g.console(tag, mark)
    same(text, g.texts().full_run(port))
    check(status == 255, "exit status %d, want 255" % status)
    return e.exact()


def variant(name, needs, *values, deadline=None):
    """A row of a case's table: the port of the line a machine needs for it
    (conftest.py leaves the other machines out), then its values."""
    marks = [pytest.mark.needs(needs)] + ([pytest.mark.timeout(deadline)] if deadline else [])
    return pytest.param(machines.CAPABILITIES[needs], *values, id=name, marks=marks)


def device(g, port, options, expect=True):
    """The port's device, on the UART's line or a USB adapter's (and its handle)."""
    return (g.row.uart.device(g, options, expect), None) if port == UART else plug(g, options)


def replug(g):
    unplug(g, plug(g, ["--silent"])[1])


def run(name, needs, first=None, nohup=False, options=DEVICE, deadline=None):
    """A complete run's row: what comes first (a function of the guest, which
    may return the guest command that undoes it), and whether the updater
    ignores the session's hang-up (sent while it listens), as a technician's
    over SSH would."""
    return variant(name, needs, name, first, nohup, options, deadline=deadline)


COMPLETE = (
    run("uart", "uart_16550"),
    # The device takes bytes in no faster than the line would carry them, so
    # the UART's FIFO and interrupts keep a real line's rhythm; a run of the
    # largest image (127 chunks) takes 95 s.
    run("uart_at_line_speed", "paced_uart", options=PACED, deadline=150),
    # A line with modem control (CLOCAL off, as another program may leave
    # it) whose carrier is low, as QEMU's UART reports it: the open must not
    # wait for a carrier that never comes.
    run("uart_without_carrier", "uart_16550",
        lambda g: g.m.send("stty -F /dev/ttyS1 -clocal") or "stty -F /dev/ttyS1 clocal"),
    run("uart_under_nohup", "uart_16550", nohup=True),
    # On the port of an updater killed in the middle of its transfer.
    run("uart_after_sigterm", "uart", lambda g: terminate(g, "k", holder(g, "k", UART)[1], UART)),
    run("adapter", "adapter"),
    run("adapter_after_a_replug", "usb_gadget", replug),
)


@pytest.mark.parametrize("port, tag, first, nohup, options", COMPLETE)
def test_complete(g, port, tag, first, nohup, options):
    """The console, the exit status and the device's verdict of a whole run."""
    undo = first(g) if first else None
    try:
        e, ident = device(g, port, options)
        complete(g, tag, port, e, nohup)
    finally:
        if undo:
            g.m.send(undo)
    if port == ADAPTER:
        unplug(g, ident)


@pytest.mark.parametrize("port", (variant("uart", "uart"), variant("adapter", "usb_gadget")))
def test_silent_line(g, port):
    """An updater listening on a silent line costs no CPU and, on a UART,
    holds DTR and RTS down, as the Windows program's settings have them (the
    kernel raised both when the port opened)."""
    device(g, port, ["--silent"], expect=None)
    g.start("quiet", port)
    g.wait_seen("quiet", t.listening(port))
    if port == UART:
        up = g.modem(port)
        check(up == [], "the updater listens with %s up, want DTR and RTS down" % " and ".join(up))
    before = g.cpu("quiet")
    time.sleep(SILENT_SECONDS)
    used = g.cpu("quiet") - before
    g.figure("updater's CPU over %d s of a silent line: %d ticks" % (SILENT_SECONDS, used))
    check(used <= SILENT_TICKS, "the updater used %d clock ticks in %d s of a silent line, "
          "want at most %d" % (used, SILENT_SECONDS, SILENT_TICKS))
    check("@@END quiet " not in g.m.console.text(), "the updater ended on a silent line")


def present(g, device, yes):
    g.ask("present %s %s" % (device, yes), "@@PRESENT %s %s" % (device, yes))


def plug(g, options):
    e, ident = g.row.adapter.plug(g, options)
    g.adapters.append(ident)
    present(g, g.row.adapter.device_path, "yes")
    return e, ident


def unplug(g, ident):
    """Pulls the adapter; returns the time it was pulled, once the guest has no device."""
    g.adapters.remove(ident)
    pulled = g.row.adapter.unplug(g, ident)
    present(g, g.row.adapter.device_path, "no")
    return pulled


@pytest.mark.needs("adapter")
@pytest.mark.parametrize("where", ["listening", "writing_a_block", "waiting_for_sync"])
def test_adapter_pulled(g, where):
    """The adapter pulled while the updater listens, while it is blocked
    writing (the device stops reading two fifths through, past chunk 1),
    and once all of chunk 1 is in and the device never sends its sync
    byte: the updater must say it lost the line and end with -1, and the
    device must have got the image's first bytes, right, and held the line
    till then."""
    image, tag = g.image(), "pull-" + where
    taken = {"listening": 0, "writing_a_block": image.block_middle(max(5, round(image.blocks * 0.4))),
             "waiting_for_sync": image.chunk_end(1) if image.chunks > 1 else None}[where]
    if taken is None:
        pytest.skip("an image of %d chunks has no such point" % image.chunks)
    e, ident = plug(g, DEVICE + ["--stop-at", "%d,hold" % taken] if taken else ["--silent"])
    mark = g.start(tag, ADAPTER)
    if taken:
        e.wait_line("emu: stopped reading at %d bytes" % taken)
    else:
        g.wait_seen(tag, t.listening(ADAPTER))
    pull = unplug(g, ident)
    try:
        ended = g.ended(tag, mark, END_SECONDS - (time.monotonic() - pull))
    except Timeout as why:
        raise Timeout("the updater did not end within %d s of the pull: %s" % (END_SECONDS, why))
    status, text = g.console(tag, mark)
    g.figure("pull to exit (%s): %.3f s" % (where, ended - pull))
    want_start, lost = g.texts().head(ADAPTER) + (first_chunk(g) if taken else ""), t.LOST % ADAPTER
    if where == "writing_a_block":
        check(text.startswith(want_start) and text.endswith(lost) and text.count(lost) == 1,
              "console should start with %r and end with %r once, got ...%r"
              % (want_start[-60:], lost, text[-200:]))
    else:
        same(text, want_start + lost)
    check(status == 255, "exit status %d, want 255" % status)
    _, out = e.finish(10)  # the line went with the adapter
    check((e.time_of("emu: received ") or 0) > pull * 1e9,
          "the device let go of the line before the pull:\n" + out[-300:])
    check("emu: received %d bytes" % taken in out and "emu: expect: differs" not in out,
          "the device should have got the image's first %d bytes:\n%s" % (taken, out[-300:]))


def holder(g, tag, port):
    """An updater holding the port a good while: mid-transfer, at the line's pace."""
    e, _ = device(g, port, PACED, expect=None)
    mark = g.start(tag, port)
    e.wait_line("emu: got chunk 1 ")
    return e, mark


def terminate(g, tag, mark, port):
    g.m.send("stop %s TERM" % tag)
    status, text = g.console(tag, mark)
    check(status == 128 + signal.SIGTERM, "first updater: status %d, want death by SIGTERM"
          % status)
    check(text.startswith(g.texts().head(port) + first_chunk(g)),
          "first updater's console: %r" % text[-200:])


@pytest.mark.parametrize("port", (variant("uart", "uart_16550"),
                                  variant("adapter", "usb_gadget")))
def test_second_updater_on_a_held_port(g, port):
    e, mark = holder(g, "hold", port)
    second = g.start("second", port)
    status, text = g.console("second", second, END_SECONDS)
    same(text, g.texts().banner + "Couldn't open COM%s\n" % port + t.PRESS,
         "second updater's console")
    check(status == 1, "second updater: exit status %d, want 1" % status)
    terminate(g, "hold", mark, port)


@pytest.mark.needs("uart_16550")
def test_announces_before_the_port_opens(g):
    # The port in the kernel's cooked settings, as after a boot: whatever
    # an earlier case's updater left, the line echoes until it is raw.
    g.ask("stty -F /dev/ttyS1 sane; echo @@SANE", "@@SANE")
    record = os.path.join(g.tmp, "received")
    e = g.row.uart.device(g, DEVICE + ["--record", record], True)
    time.sleep(1.2)  # two more announces wait on the line
    out = complete(g, "early", UART, e)
    found = re.search(r"emu: (\d+) bytes before the offer", out)
    check(found, "the device did not count the bytes before the offer:\n" + out)
    with open(record, "rb") as f:
        before = f.read(int(found.group(1)))
    g.figure("bytes the device got before the offer: %d %r (%s)"
          % (len(before), before, re.search(r"emu: sent \d+ announces", out).group(0)[5:]))
    # The open starts the UART, and the line discipline echoes what comes in
    # until the line is raw. The updater makes it raw in the open itself, but
    # QEMU hands over what it held for the closed port the moment the UART
    # starts, before any call can follow the open: one announce's echo in
    # most boots, two in some, none in a few, with the mend as without it. So
    # the case holds what is certain: what came back is only the line's echo
    # (a control character as ^X) of the device's own bytes, and the updater
    # sent nothing before its offer. That the line is raw from the open is
    # checked every time on a pseudo-terminal, in the platform's unit tests.
    echoes = {b"^" + bytes([c ^ 0x40]) if c < 0x20 and c not in b"\t\n" or c == 0x7F
              else bytes([c]) for c in [0xFF, *g.image().device()]}
    check(re.fullmatch(b"(?:%s)*" % b"|".join(map(re.escape, echoes)), before, re.S),
          "before the offer the device got %r, not the line's echo of announces" % before)


def pytest_generate_tests(metafunc):
    """Each case on every machine (conftest.py leaves out those its `needs`
    marks, its own or its row's, rule out); all of a machine's cases go to
    one pytest-xdist worker (loadgroup), and one boot serves them all."""
    needs = {n for m in metafunc.definition.iter_markers("needs") for n in m.args}
    check(needs <= machines.CAPABILITIES.keys(), "unknown capabilities %s" % needs)
    metafunc.parametrize("guest", [pytest.param(row, id=row.name,
                                                marks=pytest.mark.xdist_group(row.name))
                                   for row in machines.machines(metafunc.config.facts["build"])],
                         indirect=True, scope="module")


@pytest.fixture(scope="module")
def guest(request, facts, figures, tmp_path_factory):
    """The machine of a row, booted, with its devices there."""
    row = request.param
    program = os.path.join(row.program, "trelvane-update")
    if not os.path.exists(program):
        pytest.fail("no updater at %s: build it first" % program)
    found = kernel(row)
    if isinstance(found, str):
        (pytest.skip if os.environ.get("TRELVANE_VM_SKIP") == "1" else pytest.fail)(
            "%s: %s (TRELVANE_VM_SKIP=1 skips its cases)" % (row.name, found))
    image, version = found
    started = time.monotonic()
    g = GuestSession(facts, str(tmp_path_factory.mktemp(row.name)), row, figures)
    try:
        initrd = os.path.join(g.tmp, "initrd.cpio")
        in_guest = isinstance(row.adapter, machines.Gadget)
        initramfs.build(initrd, row.root, version, row.modules,
                        [program] + [os.path.join(g.tools, "trelvane-emu")] * in_guest,
                        [(GuestEmulator.IMAGE, g.images[""])] * in_guest)
        g.m = Machine(row, image, initrd, g.tmp)
        g.deadline = time.monotonic() + BOOT_SECONDS
        booted = g.m.expect("@@READY", g.deadline)[1] / 1e9 - g.m.started
        for device in row.devices:
            present(g, device, "yes")
        g.figure("booted %s in %.1f s, its devices there in %.1f s"
                 % (version, booted, time.monotonic() - g.m.started))
        yield g
    finally:
        g.close()
        if g.m:
            g.m.close()
    g.figure("%.1f s in all" % (time.monotonic() - started))


@pytest.fixture
def g(request, guest, deadline):
    """The booted machine for one case, within its deadline; what it started ends after it."""
    guest.set_deadline(deadline)
    request.node.trelvane_session = guest
    yield guest
    guest.close()
