#!/usr/bin/env python3
"""What an installation costs, next to the line's physical limit: time, CPU,
memory and system calls of the Linux updater against the device emulator,
a plain copy of the same bytes (the floor), a run paced at 115,200 baud, the
Windows program under Wine, a device that never answers (also on a line whose
reads return at once), the time from a hang-up to the exit, and 16 and 64
paced devices at once.

  PYTHONPATH=tests bench/bench.py [--native DIR] [--windows DIR] [--runs N]

Run it on a quiet machine after ./run-tests.sh has built both programs, not
while the Windows tests run (it uses the same Wine prefix). It only prints
figures, with the targets beside them; it fails only when a run fails
outright (a transfer that is not exact, a program that does not end).
"""
import argparse
import atexit
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import termios
import time

from support import harness
from support import texts as e2e
from support.lines import fail

PAUSES = 2.0
SCRATCH = tempfile.mkdtemp(prefix="trelvane-bench-")  # the sessions' folders, gone at the end
atexit.register(shutil.rmtree, SCRATCH, True)
# What a run of the built-in image moves, worked out from its file
# (image_figures): bytes, blocks and the port writes that carry no block.
BYTES = BLOCKS = SMALL_WRITES = IMAGE = None
LINE_RATE = 115200 / 10  # bytes a second, 8N1
STRACE = ["strace", "-f", "-y", "-qq", "-s", "0", "-e", "trace=read,write", "-e", "signal=none", "-o"]


def row(what, figure, target="", verdict=None):
    mark = "" if verdict is None else ("pass" if verdict else "MISS")
    print("  %-44s %-32s %-18s %s" % (what, figure, target, mark))


def session(build, a, deadline=180):
    """A harness session for the build's programs, in a folder of its own."""
    return harness.Session(e2e.facts(build, tools=a.native),
                           tempfile.mkdtemp(dir=SCRATCH),
                           a.prefix if build == a.windows else None, deadline)


def full_run(s, emu_options=(), wrapper=()):
    """One complete installation of the built-in image on COM2."""
    emu = s.emulator("2", emu_options, expect=True)
    upd = s.updater("2", ["-2"], wrapper=wrapper)
    r = upd.finish()
    if r.status != 255:
        fail("updater ended with %d:\n%s" % (r.status, r.console[-300:]))
    emu.exact()
    r.port_set_ns = emu.time_of("emu: line set") - upd.started_ns
    r.device_ns = device_waits_ns(emu)
    r.beyond = r.wall - PAUSES - r.device_ns / 1e9
    r.done_ns = max(emu.time_of("emu: got final bytes"), r.ended_ns) - upd.started_ns
    return r


def device_waits_ns(emu):
    """The device's own waits, which no updater can shorten: between its two
    replies to the offer, and after each chunk before its sync byte. They are
    left out of what the run costs beyond the pauses and over the line."""
    waits = emu.time_of("emu: sent 2 replies") - emu.time_of("emu: got offer")
    chunk_in = None
    for at, text in emu.lines.lines:
        if text.startswith("emu: got chunk "):
            chunk_in = at
        elif text.startswith("emu: sent sync ") and chunk_in is not None:
            waits += at - chunk_in
    return waits


def image_figures(a):
    """Bytes sent, blocks and chunks of the built-in image, worked out from
    its file: two frames, the loader, a checksum per chunk, an answer to
    each sync byte and the final bytes are the writes without a block."""
    global BYTES, BLOCKS, SMALL_WRITES, IMAGE
    IMAGE = e2e.Image.read(e2e.facts(a.native)["image"])
    BYTES, BLOCKS, chunks = IMAGE.sent, IMAGE.blocks, IMAGE.chunks
    SMALL_WRITES = 3 + chunks + (chunks - 1) + 1


def count_calls(log):
    """Port writes (and partial ones), console writes, other writes, port
    reads and other reads in an strace log."""
    pw = pp = cw = ow = pr = other = 0
    for line in open(log):
        m = re.search(r"\b(read|write)\(\d+<([^>]*)>, [^)]*?(\d+)\) += (-?\d+)", line)
        if not m:
            continue
        op, path, want, got = m.group(1), m.group(2), int(m.group(3)), int(m.group(4))
        port = path.startswith("/dev/pts/")
        if op == "write" and port:
            pw += 1
            pp += got != want
        elif op == "write":
            cw += path.endswith("console") or "console" in path
            ow += "console" not in path
        elif port:
            pr += 1
        else:
            other += 1
    return pw, pp, cw, ow, pr, other


def peak_memory(s, a, program=()):
    """Max RSS of one more run, started from a small program (the kernel
    would count this interpreter's memory in a child it started itself)."""
    helper = os.path.join(a.native, "bench-peakmem")
    out = os.path.join(s.tmp, "peak")
    if program:
        subprocess.run([helper, out] + list(program), check=True)
    else:
        full_run(s, wrapper=[helper, out])
    with open(out) as f:
        return int(f.read())


def writes_per_block(pw, pp):
    row("write calls to the port", "%d (%d partial)" % (pw, pp))
    per_block = (pw - SMALL_WRITES) / BLOCKS
    row("  per block (%d blocks; %d small ones)" % (BLOCKS, SMALL_WRITES), "%.2f" % per_block,
        "target 1", per_block <= 1.0 and pp == 0)


def median_of(runs, attr):
    return statistics.median(getattr(r, attr) for r in runs)


def linux_full_speed(a):
    s = session(a.native, a)
    runs = [full_run(s) for _ in range(a.runs)]
    log = os.path.join(s.tmp, "strace.log")
    full_run(s, wrapper=STRACE + [log])
    pw, pp, _, _, pr, other = count_calls(log)
    wall, cpu = median_of(runs, "wall"), median_of(runs, "cpu")
    print("\n1. Linux program, full speed (median of %d runs; calls from one run under strace)" % a.runs)
    row("wall, whole run", "%.3f s" % wall)
    beyond = median_of(runs, "beyond")
    row("wall beyond the pauses (updater's, device's)", "%.1f ms" % (beyond * 1000), "target < 50 ms",
        beyond < 0.050)
    from_port = statistics.median(r.beyond - r.port_set_ns / 1e9 for r in runs)
    row("  of it from port set up to exit", "%.1f ms" % (from_port * 1000))
    row("CPU user+system", "%.1f ms (%.1f + %.1f)" % (cpu * 1000, median_of(runs, "user") * 1000,
                                                     median_of(runs, "sys") * 1000),
        "target < 20 ms", cpu < 0.020)
    rss = peak_memory(s, a)
    row("peak memory (max RSS)", "%d KB" % rss, "target < 4096 KB", rss < 4096)
    writes_per_block(pw, pp)
    row("read calls, port / other", "%d / %d" % (pr, other))
    s.close()
    return beyond


def plain_copy(a, updater_beyond):
    copier = os.path.join(a.native, "bench-plaincopy")
    s = session(a.native, a)
    record = os.path.join(s.tmp, "sent.bin")
    full_run(s, ["--record", record])
    figures = []
    for _ in range(a.runs + 1):  # the first is a warm-up
        emu = s.emulator("2", ["--silent"])
        start = time.monotonic_ns()
        proc = subprocess.Popen([copier, emu.link, record])
        _, status, usage = os.wait4(proc.pid, 0)
        wall = (time.monotonic_ns() - start) / 1e9
        if status != 0 or "emu: received %d bytes" % BYTES not in emu.finish()[1]:
            fail("plain copy did not deliver %d bytes" % BYTES)
        figures.append((wall, usage.ru_utime + usage.ru_stime))
    figures = figures[1:]
    emu = s.emulator("2", ["--silent"])
    rss = peak_memory(s, a, [copier, emu.link, record])
    emu.finish()
    wall = statistics.median(f[0] for f in figures)
    print("\n2. Plain copy of the same bytes in 4,097-byte writes (median of %d runs)" % a.runs)
    row("wall, whole run", "%.1f ms" % (wall * 1000))
    row("CPU user+system", "%.1f ms" % (statistics.median(f[1] for f in figures) * 1000))
    row("peak memory (max RSS)", "%d KB" % rss)
    row("updater beyond pauses / plain copy", "%.1f x" % (updater_beyond / wall))
    s.close()


def paced(a):
    s = session(a.native, a)
    r = full_run(s, ["--baud", "115200"])
    done = (r.done_ns - r.device_ns) / 1e9
    limit = BYTES / LINE_RATE + PAUSES
    over = (done - limit) / limit * 100
    print("\n3. Paced at 115,200 baud (1 run)")
    row("line done, less the device's own waits", "%.3f s" % done)
    row("  the device's own waits", "%.1f ms" % (r.device_ns / 1e6))
    row("updater exited", "%.3f s" % r.wall)
    row("limit: %d x 10 / 115,200 + 2 s" % BYTES, "%.3f s" % limit)
    row("overhead over the limit", "%+.2f %%" % over, "target < 0.5 %", over < 0.5)
    s.close()


def wine_full_speed(a):
    s = session(a.windows, a)
    env = dict(os.environ, WINEPREFIX=a.prefix, **harness.WINE_ENV)
    # Kept 10 s past its last program, one Wine server serves all these runs
    # instead of a new one starting (0.4-1 s) inside a measured run.
    subprocess.run(["wineserver", "-p10"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    full_run(s)  # warm-up: Wine's services and the prefix
    runs = [full_run(s) for _ in range(a.wine_runs)]
    log = os.path.join(s.tmp, "strace.log")
    full_run(s, wrapper=STRACE + [log])
    pw, pp = count_calls(log)[:2]
    wall = median_of(runs, "wall")
    print("\n4. Windows program under Wine, full speed (median of %d runs, after a warm-up)"
          % a.wine_runs)
    row("wall, whole run", "%.3f s" % wall)
    row("wall beyond the pauses (updater's, device's)", "%.1f ms" % (median_of(runs, "beyond") * 1000))
    row("  start to port set up", "%.0f ms" % (median_of(runs, "port_set_ns") / 1e6))
    row("CPU of the wine process", "%.1f ms" % (median_of(runs, "cpu") * 1000), "(mostly Wine)")
    writes_per_block(pw, pp)
    s.close()


def cpu_ns(pid):
    """CPU time of every thread of a process so far, in nanoseconds."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total


def silent_device(a):
    print("\n5. Silent device: CPU over 5 s while the updater waits for the announce")
    for name, build in (("Linux", a.native), ("Wine", a.windows)):
        s = session(build, a)
        emu = s.emulator("2", ["--silent"])
        upd = s.updater("2", ["-2"])
        emu.wait_line("emu: line set")
        s.wait_for("the listening line", lambda: upd.console().endswith(e2e.listening("2")))
        time.sleep(0.3)
        before = cpu_ns(upd.pid)
        time.sleep(5)
        used = (cpu_ns(upd.pid) - before) / 1e6
        row(name, "%.2f ms" % used, "target < 20 ms", used < 20)
        s.close()


def instant_reads(a):
    print("\n5b. A driver that ignores time-outs: the line's reads made to return at once")
    s = session(a.native, a)
    emu = s.emulator("2", ["--silent"])
    upd = s.updater("2", ["-2"])
    emu.wait_line("emu: line set")
    s.wait_for("the listening line", lambda: upd.console().endswith(e2e.listening("2")))
    # The settings belong to the terminal, not to a descriptor: another
    # opener's VMIN 0 and VTIME 0 are the updater's too (root passes TIOCEXCL).
    fd = os.open(os.path.realpath(emu.link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[6][termios.VMIN], attrs[6][termios.VTIME] = 0, 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    os.close(fd)
    time.sleep(0.3)
    before = cpu_ns(upd.pid)
    time.sleep(3)
    used = (cpu_ns(upd.pid) - before) / 1e6
    row("Linux, CPU over 3 s of silence", "%.2f ms" % used, "target < 20 ms", used < 20)
    emu.stop()  # closing the device's side hangs the line up
    r = upd.finish()
    ok = r.status == 255 and r.console.endswith("Lost connection on COM2\n" + e2e.PRESS)
    row("Linux, then a hang-up", "Lost connection" if ok else "END WRONG", "Lost connection", ok)
    s.close()


def hang_ups(a):
    print("\n6. Hang-up after N bytes: from the emulator's hang-up to the updater's exit")
    last_sync = IMAGE.chunk_end(IMAGE.chunks - 1) if IMAGE.chunks > 1 else None
    points = [(n, where) for n, where in (
        (0, "reading, after the announce"), (5, "reading the replies"), (10, "reading ready"),
        (IMAGE.chunk_end(1) if IMAGE.chunks > 1 else None, "reading the sync byte"),
        (last_sync, "reading the last sync byte"), (IMAGE.block_at(0.4), "writing a block"))
        if n is not None]
    for name, build in (("Linux", a.native), ("Wine", a.windows)):
        for n, where in points:
            s = session(build, a, deadline=60)
            emu = s.emulator("2", ["--hangup-after", str(n)])
            upd = s.updater("2", ["-2"])
            r = upd.finish()
            hung = emu.time_of("emu: hung up")
            ok = r.status == 255 and r.console.endswith("Lost connection on COM2\n" + e2e.PRESS)
            # The emulator says so once it has hung up, so its line can come
            # in a hair after the exit it caused.
            delay = max(0, r.ended_ns - hung) / 1e9 if hung else float("nan")
            row("%s, N = %d (%s)" % (name, n, where),
                "%.0f ms%s" % (delay * 1000, "" if ok else ", END WRONG"), "target < 2 s",
                ok and delay < 2)
            s.close()


def devices_at_once(a):
    """N updaters at once, each with a device of its own: does the line stay
    the limit, whatever the number of devices on one machine?"""
    limit = BYTES / LINE_RATE + PAUSES
    print("\n7. Devices at once, each on its own emulator paced at 115,200 baud (1 run each)")
    row("one-device line limit (as in 3.)", "%.3f s" % limit)
    for n in (16, 64):
        s = session(a.native, a, deadline=120)
        emus = [s.emulator(os.path.join(s.tmp, "device-%d" % i), ["--baud", "115200"], expect=True)
                for i in range(n)]
        start = time.monotonic_ns()
        upds = [s.updater("2", ["-2"], link=emu.link) for emu in emus]
        runs = [upd.finish() for upd in upds]
        if any(r.status != 255 for r in runs):
            fail("%d of %d updaters at once did not end as a push does"
                 % (sum(r.status != 255 for r in runs), n))
        for emu in emus:
            emu.exact()
        # As for one device: done when the device has every byte and the
        # updater has exited, less the device's own waits.
        done = [(max(emu.time_of("emu: got final bytes"), r.ended_ns) - upd.started_ns
                 - device_waits_ns(emu)) / 1e9 for emu, upd, r in zip(emus, upds, runs)]
        row("%d devices: slowest line done" % n,
            "%.3f s (%+.1f %%)" % (max(done), (max(done) - limit) / limit * 100), "all %d exact" % n)
        row("  first start to last exit", "%.3f s" % ((max(r.ended_ns for r in runs) - start) / 1e9))
        row("  CPU per device, user+system", "%.1f ms (median; max %.1f)"
            % (median_of(runs, "cpu") * 1000, max(r.cpu for r in runs) * 1000))
        s.close()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--native", default=os.path.join(root, "build", "native"))
    ap.add_argument("--windows", default=os.path.join(root, "build", "windows"))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--wine-runs", type=int, default=3)
    a = ap.parse_args()
    a.native, a.windows = os.path.abspath(a.native), os.path.abspath(a.windows)
    a.prefix = os.path.join(a.windows, "wineprefix")
    for need in (os.path.join(a.native, "trelvane-update"), os.path.join(a.native, "trelvane-emu"),
                 os.path.join(a.native, "bench-plaincopy"), os.path.join(a.native, "bench-peakmem"),
                 os.path.join(a.windows, "trelvane-update.exe"), os.path.join(a.prefix, "system.reg")):
        if not os.path.exists(need):
            fail("%s is missing: run ./run-tests.sh first" % need)
    image_figures(a)
    print("Trelvane updater bench: %d bytes a run, %d blocks, two fixed 1 s pauses" % (BYTES, BLOCKS))
    plain_copy(a, linux_full_speed(a))
    paced(a)
    wine_full_speed(a)
    silent_device(a)
    instant_reads(a)
    hang_ups(a)
    devices_at_once(a)


if __name__ == "__main__":
    main()
