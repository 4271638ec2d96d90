#!/usr/bin/env python3
"""What an installation costs, next to the line's physical limit, or (--campaign N)
N schedules of the fault campaign, each run judged: doc/benchmark.md says how to
run it, what it prints, and when it fails."""
import argparse
import atexit
import collections
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

# The suite's harness (tests/) and the release tools it stands on (tools/release/).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tests"), os.path.join(ROOT, "tools", "release")]
from support import harness, texts as e2e  # noqa: E402
from support.lines import check  # noqa: E402

PAUSES = 2.0  # the device's two pauses after its ready message, in all
SCRATCH = tempfile.mkdtemp(prefix="trelvane-bench-")  # the sessions' folders, gone at the end
atexit.register(shutil.rmtree, SCRATCH, True)


def row(what, figure, target="", verdict=None):
    mark = "" if verdict is None else ("pass" if verdict else "MISS")
    print("  %-44s %-32s %-18s %s" % (what, figure, target, mark))


def session(build, a, deadline=180):
    """A harness session for the build's programs, in a folder of its own."""
    return harness.Session(e2e.facts(build, tools=a.native), tempfile.mkdtemp(dir=SCRATCH),
                           a.prefix if build == a.windows else None, deadline)


def full_run(s, emu_options=(), wrapper=(), link=None):  # started; see finish()
    emu = s.emulator(link or "2", emu_options, expect=True)
    upd = s.updater("2", ["-2"], wrapper=wrapper, link=emu.link)
    return emu, upd


def finish(emu, upd):
    """The updater's result, with the time the device got its last byte
    (done_ns, from the updater's start) and the device's own waits."""
    r = upd.finish()
    check(r.status == 255, "updater ended with %d:\n%s" % (r.status, r.console[-300:]))
    emu.exact()
    r.device_ns = device_waits_ns(emu)
    r.beyond = r.wall - PAUSES - r.device_ns / 1e9
    r.done_ns = emu.time_of("emu: got final bytes") - upd.started_ns
    return r


def device_waits_ns(emu):
    """The device's own waits, which no updater can shorten: between its
    replies, and after each chunk before its sync byte."""
    waits = emu.time_of("emu: sent 2 replies") - emu.time_of("emu: got offer")
    chunk_in = None
    for at, text in emu.lines.lines:
        if text.startswith("emu: got chunk "):
            chunk_in = at
        elif text.startswith("emu: sent sync ") and chunk_in is not None:
            waits += at - chunk_in
    return waits


def median_of(runs, attr):
    return statistics.median(getattr(r, attr) for r in runs)


def peak_memory(s, a, program=None):
    """Max RSS of one more run of `program` or the updater, started from a
    small program (from here it would count this interpreter's)."""
    out = [os.path.join(a.native, "bench-peakmem"), os.path.join(s.tmp, "peak")]
    if program:
        subprocess.run(out + program, check=True)
    else:
        finish(*full_run(s, wrapper=out))
    with open(out[1]) as f:
        return int(f.read())


def full_speed(a, build, name):
    s = session(build, a)
    if s.wine:  # a warm-up: Wine's services and the prefix
        finish(*full_run(s))
    runs = [finish(*full_run(s)) for _ in range(a.runs)]
    print("\n%s, full speed (median of %d runs)" % (name, a.runs))
    row("wall, whole run", "%.3f s" % median_of(runs, "wall"))
    beyond = median_of(runs, "beyond")
    row("wall beyond the pauses (updater's, device's)", "%.1f ms" % (beyond * 1000),
        "" if s.wine else "target < 50 ms", None if s.wine else beyond < 0.050)
    cpu = median_of(runs, "cpu")
    row("CPU user+system", "%.1f ms (%.1f + %.1f)" % (cpu * 1000, median_of(runs, "user") * 1000,
                                                     median_of(runs, "sys") * 1000),
        "(mostly Wine)" if s.wine else "target < 20 ms", None if s.wine else cpu < 0.020)
    if not s.wine:
        rss = peak_memory(s, a)
        row("peak memory (max RSS)", "%d KB" % rss, "target < 4096 KB", rss < 4096)
    s.close()
    return beyond


def plain_copy(a, updater_beyond):
    copier = os.path.join(a.native, "bench-plaincopy")
    s = session(a.native, a)
    record = os.path.join(s.tmp, "sent.bin")
    finish(*full_run(s, ["--record", record]))
    figures = []
    for _ in range(a.runs + 1):  # the first is a warm-up
        emu = s.emulator("2", ["--silent"])
        start = time.monotonic_ns()
        proc = subprocess.Popen([copier, emu.link, record])
        _, status, usage = os.wait4(proc.pid, 0)
        check(status == 0 and "emu: received %d bytes" % a.image.sent in emu.finish()[1],
              "plain copy did not deliver %d bytes" % a.image.sent)
        figures.append(((time.monotonic_ns() - start) / 1e9, usage.ru_utime + usage.ru_stime))
    emu = s.emulator("2", ["--silent"])
    rss = peak_memory(s, a, [copier, emu.link, record])
    emu.finish()
    wall = statistics.median(f[0] for f in figures[1:])
    print("\nPlain copy of the same bytes in 4,097-byte writes (median of %d runs)" % a.runs)
    row("wall, whole run", "%.1f ms" % (wall * 1000))
    row("CPU user+system", "%.1f ms" % (statistics.median(f[1] for f in figures[1:]) * 1000))
    row("peak memory (max RSS)", "%d KB" % rss)
    row("updater beyond pauses / plain copy", "%.1f x" % (updater_beyond / wall))
    s.close()


def line_done(a, r):
    """When the line was done, less the device's own waits; one it could
    not have carried fails: it was not the device's."""
    done = (r.done_ns - r.device_ns) / 1e9
    floor = (a.image.sent - e2e.BEFORE_CHUNKS) * 10 / a.baud + PAUSES
    check(done >= floor, "the line was done in %.3f s, under the %.3f s it takes to carry the "
          "bytes after the pauses: the time was not taken at the device" % (done, floor))
    return done


def paced(a, n):
    """n updaters at once, each with a device of its own paced at --baud:
    does the line stay the limit, whatever the number of devices?"""
    s = session(a.native, a, deadline=60 + 2 * a.image.sent * 10 / a.baud)
    pairs = [full_run(s, ["--baud", str(a.baud)], link=os.path.join(s.tmp, "device-%d" % i))
             for i in range(n)]
    runs = [finish(emu, upd) for emu, upd in pairs]
    done = max(line_done(a, r) for r in runs)
    limit = a.image.sent * 10 / a.baud + PAUSES
    over = (done - limit) / limit * 100
    name = "1 device" if n == 1 else "%d devices at once" % n
    row("%s: slowest line done" % name, "%.3f s (%+.2f %%)" % (done, over),
        "target < 0.5 %" if n == 1 else "all %d exact" % n, over < 0.5 if n == 1 else None)
    if n > 1:
        row("  CPU per device, user+system", "%.1f ms (median; max %.1f)"
            % (median_of(runs, "cpu") * 1000, max(r.cpu for r in runs) * 1000))
    s.close()


def fault_campaign(build, n):
    """n random schedules: outcomes by kind, and runs that broke an invariant
    (Hypothesis then fails the benchmark with the smallest such schedule)."""
    from support import campaign  # here: Hypothesis only for the campaign
    report, start = collections.Counter(), time.monotonic()
    try:
        campaign.run(e2e.facts(build), SCRATCH, n, False, report)
    finally:
        print("Fault campaign, %s: %d schedules in %.0f s (shrinking included); %s" % (
            campaign.VARIANT, sum(report.values()), time.monotonic() - start,
            ", ".join("%s %d" % kv for kv in sorted(report.items()))))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--native", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--windows", default=os.path.join(ROOT, "build", "windows"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--baud", type=int, default=115200)
    ap.add_argument("--devices", default="16,64", help="how many devices at once, each time")
    ap.add_argument("--campaign", type=int, metavar="N", help="instead: N fault schedules")
    a = ap.parse_args()
    a.native, a.windows = os.path.abspath(a.native), a.windows and os.path.abspath(a.windows)
    if a.campaign:
        return fault_campaign(a.native, a.campaign)
    a.prefix = a.windows and os.path.join(a.windows, "wineprefix")
    subprocess.run(["cmake", "--build", a.native, "--target", "bench-plaincopy", "bench-peakmem"],
                   check=True, stdout=subprocess.DEVNULL)
    for need in [os.path.join(a.native, "trelvane-update")] + [os.path.join(a.windows, "trelvane-"
                 "update.exe"), os.path.join(a.prefix, "system.reg")] * bool(a.windows):
        check(os.path.exists(need), "%s is missing: build it (and make the Wine prefix) first" % need)
    a.image = e2e.Image.read(e2e.facts(a.native)["image"])
    print("Trelvane updater bench: %d bytes a run, %d blocks, two fixed 1 s pauses; the line "
          "at %d baud carries them in %.3f s" % (a.image.sent, a.image.blocks, a.baud,
                                                 a.image.sent * 10 / a.baud + PAUSES))
    plain_copy(a, full_speed(a, a.native, "Linux program"))
    if a.windows:
        full_speed(a, a.windows, "Windows program under Wine")
    print("\nPaced at %d baud, each device on its own emulator (1 run each; a line done is the"
          "\ndevice's last byte from the updater's start, less the device's own waits)" % a.baud)
    for n in [1] + [int(n) for n in a.devices.split(",") if n]:
        paced(a, n)


if __name__ == "__main__":
    main()
