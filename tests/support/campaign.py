"""A fault campaign: Hypothesis draws a schedule of the device's misbehaviour
(schedules()), the emulator plays it against the updater (play()), and a small
model of the updater (predict()) says the run's outcome, its console and how
many bytes of the image's stream the device takes in; the emulator's verdict
says they are the stream's own, and no step came early."""
import collections
import os
import re
import tempfile
import time

from hypothesis import example, given, settings, strategies as st

from support import harness, runs, texts
from support.lines import Failed, check

VARIANT, PORT = "-n3", "3"  # a small image: three chunks, so two sync bytes

# The device's side as the emulator plays it: its messages and its sync
# byte; a code byte is any byte with its upper four bits set.
ANNOUNCE, READY, SYNC = 0xFF, 0xFB, 0xA5
# The code the updater waits for at a point, never in the emulator's noise
# there (while it waits for the replies, a ready message would be a stray).
AWAITED = {"announce": ANNOUNCE, "reply1": READY, "reply2": READY, "ready": READY}
POINTS = ("announce", "reply1", "reply2", "ready", "loader", "sync1", "sync2")
# The emulator's noise in a stream: random bytes and four zeros, after which
# the receiver is at a message boundary; the messages in it are not counted.
NOISE = "noise"
# What the emulator's lines say of an early step of the updater's, or a pause cut short.
EARLY = ("too soon", "did not wait", "ms early)")
LATE_MS = 2500  # the latest a device speaks: five of the updater's read time-outs
WATCHED = 2.0   # how long a waiting updater is watched, still blocked and idle


class Schedule(collections.namedtuple("Schedule", "faults sync stop refused seed silent prompt",
                                      defaults=((), SYNC, None, False, 1, False, False))):
    """What the device does wrong: faults (point, kind, value) as the
    emulator's --fault takes them, the sync byte, a stop (at N bytes in,
    "hangup" or "hold"), hardware out of the image's tolerance (refused), a
    device that never speaks (silent, hung up at once), each sync byte sent
    as its chunk begins (prompt)."""

    def options(self):
        o = ["--sync", "%02X" % self.sync]
        for point, kind, value in self.faults:
            text = value.hex().upper() if type(value) is bytes else "%d,%d" % value if type(
                value) is tuple else str(value)
            o += ["--fault", "%s:%s" % (point, kind if value is None else kind + "=" + text)]
        o += ["--silent"] * self.silent + ["--prompt-sync"] * self.prompt
        o += ["--stop-at", "%d,%s" % self.stop] if self.stop else []
        return o + ["--seed", str(self.seed)]

    def at(self, point, kind):
        return [v for p, k, v in self.faults if p == point and k == kind]

    def write(self, point, message):  # noise, bytes before, message, copies, bytes after
        return ([NOISE, 0, 0, 0, 0] * len(self.at(point, "noise"))
                + [b for v in self.at(point, "before") for b in v]
                + list(message) * (1 + len(self.at(point, "again")))
                + [b for v in self.at(point, "bytes") for b in v])

    def late(self):
        return sum(v if k == "delay" else v[1] for _, k, v in self.faults
                   if k in ("delay", "split")) / 1000


def messages(stream):
    """The updater's receiver over stream (byte values and NOISE): it skips
    to a code byte (0xF0 to 0xFF), takes the next four bytes whatever they
    are, and the message is void (code 0) if one has its top bit set. Yields
    (code, where it ends) until the stream runs out in the middle of one; a
    message noise finished has the code None."""
    i = 0
    while True:
        while i < len(stream) and (stream[i] == NOISE or stream[i] < 0xF0):
            i += 1
        if i == len(stream):
            return
        data = stream[i + 1:i + 5]
        if NOISE in data:
            i += data.index(NOISE) + 2
            yield None, i
        elif len(data) < 4:
            return
        else:
            i += 5
            yield (stream[i - 5] if all(b < 0x80 for b in data) else 0), i


def first_sent(sch, k, log):
    """The first byte of the device's write after chunk k: its noise's, as
    the emulator's log shows it, else the bytes before, else the sync byte."""
    point = "sync%d" % k
    if sch.at(point, "noise"):
        found = re.search(r"emu: sent fault %s:noise=\d+[^:\n]*: ([0-9A-F]{2})" % point, log)
        return int(found.group(1), 16) if found else None
    return (sch.at(point, "before") or [bytes([sch.sync])])[0][0]


# outcome: complete, lost, refused or waits; consoles: the texts it may show
# (the line's buffers decide how far a blocked write got); received: the
# device's bytes; waits_for: its line after which it says nothing more.
Prediction = collections.namedtuple("Prediction", "outcome consoles received waits_for status")


def predict(sch, im, x, log="", port=PORT):
    """What a correct updater does against the schedule, for the image im and
    the program's texts x; noise a console shows is taken from log, the
    emulator's so far."""
    head, pre, lost = x.head(port), x.head(port) + x.select(), texts.LOST % port
    n, mode = sch.stop or (None, None)
    expected = 0 if sch.refused else im.sent
    if sch.silent:
        return Prediction("lost", [head + lost], 0, None, 3)
    released = [None]  # the emulator's line after the device's last write so far

    def device(needs, point, line, message):  # its write, once it took `needs`; [] if never
        if n is not None and needs >= n and not (needs == n == 0 and mode == "hangup"):
            return []
        released[0] = line
        return sch.write(point, message)

    def end(outcome, consoles, sent):
        received = min(sent, n) if n is not None else sent
        reached = n is not None and sent >= n
        if outcome == "waits" and reached and mode == "hangup":
            outcome, consoles = "lost", [c + lost for c in consoles]
        status = 3 if reached else 0 if outcome == "complete" else 2 if received == expected else 1
        return Prediction(outcome, consoles, received,
                          "emu: stopped reading" if reached else released[0], status)

    # The announce is the first valid message with its code; what is left is dropped.
    if n == 0 and mode == "hold":
        return end("waits", [head], 0)
    stream = device(0, "announce", "emu: sent announce",
                    [ANNOUNCE] + list(im.device(refused=sch.refused)))
    if not any(code == ANNOUNCE for code, _ in messages(stream)):
        return end("waits", [head], 0)
    if sch.refused:
        return Prediction("refused", [head + texts.REFUSED + texts.PRESS], 0, None, 2)
    # Any two messages after the offer are the replies (the go-ahead comes
    # while the device waits to send its second, where its first write held
    # both); after the go-ahead the first valid ready message is the one.
    first = device(5, "reply1", "emu: sent 2 replies", [0xF1, 0, 0, 0, 0])
    early = len(list(messages(first))) >= 2
    stream = first + device(5 + early, "reply2", "emu: sent 2 replies", [0xF2, 0, 0, 0, 0])
    replies = list(messages(stream))[:2]
    if len(replies) < 2:
        return end("waits", [pre], 5)
    stream = stream[replies[1][1]:] + device(10, "ready", "emu: sent ready", [READY, 0, 0, 0, 0])
    if not any(code == READY for code, _ in messages(stream)):
        return end("waits", [pre], 10)
    device(texts.BEFORE_CHUNKS, "loader", "emu: got loader", [])
    if n is not None and n <= texts.BEFORE_CHUNKS and mode == "hangup":
        # Hung up in a pause around the loader: before it, its write finds
        # the line gone; after it, the drop before chunk 1 does.
        return end("waits", [pre + (x.transfer(blocks=0) if n > 10 else "")], texts.BEFORE_CHUNKS)
    # Then the chunks, each after a drop: what the device sent before is
    # gone, and the first byte of its write after the chunk is the sync byte.
    wrong = []
    for k in range(1, im.chunks):
        if n is not None and n <= im.chunk_end(k):
            # Stopped reading in the chunk or before: the updater writes on
            # into the line's buffers until they are full (at least the block
            # it stopped in shown) or it waits for the sync byte.
            starts = [im.block_middle(b) - texts.BLOCK // 2 for b in range(1, 2 * k + 3)]
            least = max(1, sum(s < n for s in starts))
            most = sum(s <= n + texts.LINE_BUFFERS for s in starts)
            return end("waits", [pre + x.transfer(wrong + [""] * k, blocks=b)
                                 for b in range(least, most + 1)], im.chunk_end(k))
        device(im.chunk_end(k), "sync%d" % k, "emu: sent sync after chunk %d" % k, [sch.sync])
        byte = first_sent(sch, k, log)
        wrong.append("" if byte == SYNC else texts.out_of_sync(byte if byte is not None else 0))
    check(n is None or im.unseen_hangup(n), "what is left after the last wait fits the line")
    released[0] = None
    return end("complete", [x.full_run(port, out_of_sync=wrong)], im.sent)


@st.composite
def schedules(draw, im):
    """A schedule for the image im, its faults weighted evenly over the
    points: shrinks towards no fault at all."""
    strays = st.lists(st.one_of(st.sampled_from([0x00, 0x7F, 0x80, SYNC, 0xF0, 0xF1, READY, 0xFC,
                                                 ANNOUNCE]), st.integers(0, 255)),
                      min_size=1, max_size=10).map(bytes)
    late = st.integers(0, LATE_MS)
    values = {"bytes": strays, "before": st.one_of(strays, st.integers(1, 10).map(
        lambda k: b"\xff" * k)), "noise": st.sampled_from([1, 9, 200]), "again": st.none(),
              "delay": late, "split": st.tuples(st.integers(1, 4), late)}
    faults = []
    for _ in range(draw(st.integers(0, 4))):
        point = draw(st.sampled_from(POINTS))
        kind = draw(st.sampled_from(["bytes", "before", "noise"] + ["again", "delay"] * (
            point != "loader") + ["split"] * (point in AWAITED)))
        faults.append((point, kind, draw(values[kind])))
    ends = [im.chunk_end(k) + d for k in range(1, im.chunks) for d in (0, 1)]
    stop = draw(st.sampled_from([None, None, "hangup", "hold"]))
    if stop:
        stop = (draw(st.one_of(st.integers(0, im.sent), st.sampled_from(
            [0, 5, 6, 10, 11, texts.BEFORE_CHUNKS, texts.BEFORE_CHUNKS + 1, im.sent] + ends))), stop)
    refused = not stop and draw(st.integers(0, 9)) == 9
    return Schedule(tame(faults, stop), draw(st.one_of(st.just(SYNC), st.integers(0, 255))),
                    stop, refused, draw(st.integers(1, 9)),
                    stop == (0, "hangup") and draw(st.booleans()), not stop and draw(st.booleans()))


def tame(faults, stop):
    """The faults, kept to what the bytes alone decide: every point's write
    in before the updater's next drop (no awaited code before a split
    message; after a stray ready among the replies, the rest within the two
    pauses), and no stop before ready where noise among the replies counts."""
    split = {p for p, k, _ in faults if k == "split"}
    ready_early = any(k in ("before", "bytes") and READY in v and p.startswith("reply")
                      for p, k, v in faults)
    tamed = []
    for p, k, v in faults:
        if k == "before" and p in split:
            v = bytes(0 if b == AWAITED[p] else b for b in v)
        elif ready_early and p in ("reply2", "ready") and k in ("delay", "split"):
            v = min(v, 350) if k == "delay" else (v[0], min(v[1], 350))
        if not (k == "noise" and p.startswith("reply") and stop and stop[0] <= 10):
            tamed.append((p, k, v))
    return tamed


# A failure for each invariant, so that Hypothesis shrinks each apart.
BROKEN = {name: type(name.title().replace(" ", ""), (Failed,), {})
          for name in ("outcome", "console", "early step", "bytes", "device status")}


def judge(invariant, ok, msg):
    if not ok:
        raise BROKEN[invariant](msg)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def watch(s, upd, consoles):
    """A waiting updater stays blocked, its console one of consoles, at next
    to no CPU, for WATCHED seconds."""
    shows = "its console %r" % consoles[0][-60:]
    blocked = lambda: upd.running() and harness.blocked_in(upd.pid, "read write")  # noqa: E731
    s.wait_for("the updater to wait, " + shows, lambda: blocked() and upd.console() in consoles, 3)
    cpu, end = cpu_seconds(upd.pid), time.monotonic() + WATCHED
    while time.monotonic() < end:
        judge("outcome", upd.running() and upd.console() in consoles, "the updater stopped "
              "waiting (%s): %r" % ("running" * upd.running() or "ended", upd.console()[-200:]))
        time.sleep(0.1)
    used = cpu_seconds(upd.pid) - cpu
    judge("outcome", used < 0.05 * WATCHED, "the waiting updater used %.2f s of CPU in %g s"
          % (used, WATCHED))
    s.wait_for("the updater still to wait, " + shows, blocked, 1)


def play(s, sch):
    """Runs the schedule in the session s and judges it; its outcome."""
    im, x = s.image(VARIANT), s.texts(VARIANT)
    want = predict(sch, im, x)
    emu = s.emulator(PORT, sch.options(), expect=True, variant=VARIANT, refused=sch.refused)
    upd = s.updater(PORT, ["-" + PORT], variant=VARIANT)
    limit = 12 + sch.late()  # a whole run takes about 3 s
    try:
        if want.outcome == "waits":
            # Once the device has said all it will, the updater must sit in
            # a transfer with the console predicted, and stay there.
            emu.wait_line(want.waits_for, limit)
            watch(s, upd, predict(sch, im, x, emu.text()).consoles)
            console, _ = upd.console(), upd.stop()
        else:
            r = upd.finish(limit)
            console = r.console
            judge("outcome", r.status == 255, "updater exit status %d, want 255" % r.status)
            late = runs.late_after_hangup(r, emu)
            judge("outcome", late is None, late)
    except Failed as why:
        judge("outcome", isinstance(why, tuple(BROKEN.values())), "%s, want %s" % (
            why, want.outcome))
        raise
    code, out = emu.finish()
    consoles = predict(sch, im, x, out).consoles
    judge("console", console in consoles, "console %r, want one of %r" % (
        console[-300:], [c[-300:] for c in consoles]))
    early = [line for line in out.splitlines() if any(e in line for e in EARLY)]
    judge("early step", not early, "early steps: %s" % early)
    verdict = texts.EXACT if want.received == (0 if sch.refused else im.sent) else (
        "emu: expect: short, got %d of" % want.received)
    judge("bytes", verdict in out, "the device got not the stream's first %d "
          "bytes:\n%s" % (want.received, out[-500:]))
    judge("device status", code == want.status, "emulator exit status %d, want %d:\n%s"
          % (code, want.status, out[-500:]))
    return want.outcome


def run(facts, tmp, n, derandomize=True, report=None, examples=()):
    """n schedules, after the examples, on the build whose facts these are,
    each in a session of its own in a folder below tmp; outcomes counted into
    report. A schedule that breaks an invariant is shown as the emulator's
    options and as an entry for the suite's examples."""
    report = collections.Counter() if report is None else report
    im = texts.Image.read(facts["images"][VARIANT[1:]]["file"])

    def campaign(sch):
        s = harness.Session(facts, tempfile.mkdtemp(dir=tmp), None, 30 + sch.late())
        try:
            report[play(s, sch)] += 1
        except Failed as why:
            report["broken"] += 1
            raise type(why)("%s\nthe emulator's options: %s\nas an example: %r," % (
                why, " ".join(sch.options()), sch))
        finally:
            s.close()
    campaign = given(schedules(im))(campaign)
    for sch in examples:
        campaign = example(sch)(campaign)
    settings(max_examples=n, deadline=None, database=None, derandomize=derandomize,
             print_blob=False)(campaign)()
    return report
