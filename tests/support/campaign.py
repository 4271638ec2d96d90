"""A fault campaign: Hypothesis draws a schedule of the device's misbehaviour
(schedules()), the emulator plays it against the updater (play()), and a
small model of the updater (predict()) says the run's outcome, its console
and how many bytes of the image's stream the device takes in; the
emulator's verdict says they are the stream's own, and no step came early.
"""
import collections
import tempfile
import time

from hypothesis import HealthCheck, assume, example, given, settings, strategies as st

from support import harness, runs, texts
from support.lines import Failed, check

VARIANT, PORT = "-n2", "3"  # a small image: two chunks, so one sync byte

# The device's side as the emulator plays it: its messages' codes and its two
# replies; a code byte is any byte with its upper four bits set.
ANNOUNCE, READY, SYNC = 0xFF, 0xFB, 0xA5
REPLIES = (bytes([0xF1, 0, 0, 0, 0]), bytes([0xF2, 0, 0, 0, 0]))
# The emulator's noise (random bytes that never hold the code awaited, ending
# in four zeros): the receiver leaves it at a message boundary wherever it
# came in, having finished with it a message begun before it.
NOISE = "noise"
# What the emulator's lines say of an early step of the updater's, or a pause cut short.
EARLY = ("too soon", "did not wait", "ms early)")
POINTS = ("announce", "reply1", "reply2", "ready", "sync", "sync1")  # and loader: bytes


class Unpredictable(Exception):
    """A schedule whose outcome hangs on what the model cannot know (the
    noise's bytes, or a ready message of stray bytes sent before the real
    one, whose pause the device cannot time): Hypothesis draws another."""


class Schedule:
    """What the device does wrong: faults (point, kind, value) as the
    emulator's --fault takes them, noise before the announce and before
    ready, the sync byte's value, a stop (at N bytes in, "hangup" or
    "hold"), hardware out of the image's tolerance (refused), a device that
    never speaks (silent, hung up at once)."""

    def __init__(self, faults=(), noise=(0, 0), sync=SYNC, stop=None, refused=False, seed=1,
                 silent=False):
        self.faults, self.noise, self.sync = list(faults), noise, sync
        self.stop, self.refused, self.seed, self.silent = stop, refused, seed, silent

    def options(self):
        o = []
        for point, kind, value in self.faults:
            o += ["--fault", "%s:%s" % (point, kind if value is None else "%s=%s" % (
                kind, value.hex().upper() if kind == "bytes" else value))]
        for name, n in zip(("announce", "ready"), self.noise):
            o += ["--noise-before-" + name, str(n)] if n else []
        o += ["--sync", "%02X" % self.sync] if self.sync != SYNC else []
        o += ["--silent"] * self.silent + (["--stop-at", "%d,%s" % self.stop] if self.stop else [])
        return o + (["--seed", str(self.seed)] if any(self.noise) else [])

    def __repr__(self):
        return "Schedule(%s)" % " ".join(self.options() + ["(refused)"] * self.refused)

    def write(self, point, message):
        """What the device writes at once at a point: its message, a copy for
        each `again`, then the stray bytes."""
        mine = [(kind, value) for p, kind, value in self.faults
                if p == point or (point.startswith("sync") and p == "sync")]
        return list(message * (1 + sum(k == "again" for k, _ in mine))
                    + b"".join(v for k, v in mine if k == "bytes"))

    def delays(self):
        return sum(v for _, kind, v in self.faults if kind == "delay") / 1000


def messages(stream):
    """The updater's receiver over stream (byte values and NOISE): it skips
    to a code byte (0xF0 to 0xFF), takes the next four bytes whatever they
    are, and the message is void (code 0) if one has its top bit set. Yields
    (code, where its code byte is, where it ends) until the stream runs out
    in the middle of one; a message noise finished has the code None."""
    i = 0
    while True:
        while i < len(stream) and (stream[i] == NOISE or stream[i] < 0xF0):
            i += 1
        if i == len(stream):
            return
        at, data = i, stream[i + 1:i + 5]
        if NOISE in data:
            i = at + 1 + data.index(NOISE) + 1
            yield None, at, i
            continue
        if len(data) < 4:
            return
        i = at + 5
        yield (stream[at] if all(b < 0x80 for b in data) else 0), at, i


# outcome: complete, lost, refused or waits; consoles: the texts it may show
# (more than one where the line's buffers decide how far a blocked write
# got); received: the bytes the device takes in; waits_for: the emulator's
# line after which the device says nothing more.
Prediction = collections.namedtuple("Prediction", "outcome consoles received waits_for",
                                    defaults=[None])


def predict(sch, im, x, port=PORT):
    """What a correct updater does against the schedule, for the image im and
    the program's texts x."""
    head, pre = x.head(port), x.head(port) + x.select()
    lost = texts.LOST % port
    n, mode = sch.stop or (None, None)
    if sch.refused:
        return Prediction("refused", [head + texts.REFUSED + texts.PRESS], 0)
    if sch.silent:
        return Prediction("lost", [head + lost], 0)
    if mode == "hold" and n == 0:  # held before the announce: nothing said
        return Prediction("waits", [head], 0, "emu: stopped reading")
    # Everything before the offer is dropped when it goes out; the device
    # stops before its replies (n <= 5) or before ready (n <= 10).
    if n is not None and n <= 10:
        return (Prediction("lost", [pre + lost], n) if mode == "hangup"
                else Prediction("waits", [pre], n, "emu: stopped reading"))
    # Two messages, whatever they are, after the offer; then up to ready.
    stream = sch.write("reply1", REPLIES[0]) + sch.write("reply2", REPLIES[1])
    read = list(messages(stream))[:2]
    check(len(read) == 2, "the device's two replies always make two messages")
    stream = stream[read[1][2]:] + [NOISE] * bool(sch.noise[1])
    mine = len(stream)
    stream += sch.write("ready", bytes([READY, 0, 0, 0, 0]))
    ready = next((m for m in messages(stream) if m[0] in (READY, None)), None)
    if ready and (ready[0] is None or ready[1] < mine):
        raise Unpredictable(ready)
    if ready is None:  # a stray code byte took the ready message's bytes as its own
        return Prediction("waits", [pre], 10, "emu: sent ready")
    # What is left, and what comes after the loader, is dropped before chunk
    # 1; a sync byte is the first byte after its chunk began.
    wrong = "" if sch.sync == SYNC else texts.out_of_sync(sch.sync)
    last_wait = im.chunk_end(im.chunks - 1) if im.chunks > 1 else 10
    if n is None or n > last_wait:
        check(n is None or im.unseen_hangup(n), "what is left after the last wait fits the line")
        return Prediction("complete", [x.full_run(port, out_of_sync=wrong)],
                          min(n or im.sent, im.sent))
    chunk = next(k for k in range(1, im.chunks + 1) if im.chunk_end(k) >= n)

    def shown(blocks):  # the sync byte after `chunk` never comes
        text = x.transfer(wrong, blocks)
        return text[:len(text) - len(wrong)] if blocks == 2 * chunk + 2 and wrong else text
    if mode == "hold":
        check(n == im.chunk_end(chunk), "a device holds only where the updater reads")
        return Prediction("waits", [pre + shown(2 * chunk + 2)], n, "emu: stopped reading")
    # Hung up: during the pause after the loader, the drop before chunk 1
    # finds the line gone; later, the updater's writes go on into the line's
    # buffers until they are full (at least the block the device stopped in
    # is shown) or it waits for the sync byte.
    if n <= texts.BEFORE_CHUNKS:
        return Prediction("lost", [pre + x.transfer(blocks=0) + lost], n)
    starts = [im.block_middle(b) - texts.BLOCK // 2 for b in range(1, 2 * chunk + 3)]
    least = sum(s < n for s in starts)
    most = sum(s <= n + texts.LINE_BUFFERS for s in starts)
    return Prediction("lost", [pre + shown(b) + lost for b in range(least, most + 1)], n)


def flat(fault):  # (point, (kind, value)) as (point, kind, value)
    return (fault[0],) + fault[1]


@st.composite
def schedules(draw, im):
    """A schedule for the image im: shrinks towards no fault at all."""
    def stray():
        byte = st.one_of(st.sampled_from([0x00, 0x7F, 0x80, SYNC, 0xF0, 0xF1, READY, 0xFC,
                                          ANNOUNCE]), st.integers(0, 255))
        return st.lists(byte, min_size=1, max_size=10).map(bytes)
    strays = st.tuples(st.just("bytes"), stray())
    kind = st.one_of(strays, st.just(("again", None)), st.tuples(st.just("delay"),
                                                               st.integers(0, 700)))
    fault = st.one_of(st.tuples(st.sampled_from(POINTS), kind), st.tuples(
        st.just("loader"), strays)).map(flat)
    faults = draw(st.lists(fault, max_size=4))
    noise = tuple(draw(st.sampled_from([0, 0, 0, 1, 9, 200])) for _ in range(2))
    sync = draw(st.one_of(st.just(SYNC), st.integers(0, 255)))
    waits = [0] + [im.chunk_end(k) for k in range(1, im.chunks)]
    stop = draw(st.sampled_from([None, None, "hangup", "hold"]))
    if stop == "hangup":
        stop = (draw(st.one_of(st.integers(0, im.sent), st.sampled_from(
            [5, 10, 11, texts.BEFORE_CHUNKS, texts.BEFORE_CHUNKS + 1] + waits))), stop)
    elif stop == "hold":
        stop = (draw(st.one_of(st.integers(0, 10), st.sampled_from(waits))), stop)
    refused = draw(st.integers(0, 9)) == 9
    silent = stop == (0, "hangup") and draw(st.booleans())
    return Schedule(faults, noise, sync, None if refused else stop, refused,
                    draw(st.integers(1, 9)), silent and not refused)


# A failure for each invariant, so that Hypothesis shrinks each apart.
BROKEN = {name: type(name.title().replace(" ", ""), (Failed,), {})
          for name in ("outcome", "console", "early step", "bytes", "device status")}


def judge(invariant, ok, msg):
    if not ok:
        raise BROKEN[invariant](msg)


def play(s, sch):
    """Runs the schedule in the session s and judges it; its outcome."""
    im, x = s.image(VARIANT), s.texts(VARIANT)
    try:
        want = predict(sch, im, x)
    except Unpredictable:
        assume(False)
    emu = s.emulator(PORT, sch.options(), expect=True, variant=VARIANT, refused=sch.refused)
    upd = s.updater(PORT, ["-" + PORT], variant=VARIANT)
    limit = 12 + sch.delays()  # a whole run takes about 2 s
    try:
        if want.outcome == "waits":
            # Once the device has said all it will, the updater must sit in a
            # read with the console predicted, and stay there.
            emu.wait_line(want.waits_for, limit)
            for pause in (0, 0.3):
                time.sleep(pause)
                s.wait_for("the updater to wait in read, its console %r" % want.consoles[0][-60:],
                           lambda: blocked_in_read(upd) and upd.console() in want.consoles, 3)
            console = upd.console()
            upd.stop()
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
    judge("console", console in want.consoles, "console %r, want one of %r" % (
        console[-300:], [c[-300:] for c in want.consoles]))
    early = [line for line in out.splitlines() if any(e in line for e in EARLY)]
    judge("early step", not early, "early steps: %s" % early)
    verdict = "exact (" if want.received == im.sent or sch.refused else "short, got %d of" % (
        want.received)
    judge("bytes", "emu: expect: " + verdict in out, "the device got not the stream's first %d "
          "bytes:\n%s" % (want.received, out[-500:]))
    status = {"complete": 3 if sch.stop and sch.stop[0] <= im.sent else 0, "refused": 2,
              "lost": 3, "waits": 3 if sch.stop and want.waits_for != "emu: sent ready" else 1}
    judge("device status", code == status[want.outcome], "emulator exit status %d, want %d:\n%s"
          % (code, status[want.outcome], out[-500:]))
    return want.outcome


def blocked_in_read(upd):
    return upd.running() and harness.blocked_in(upd.pid)


def run(facts, tmp, n, derandomize=True, report=None, examples=()):
    """n schedules, after the examples, on the build whose facts these are,
    each in a session of its own in a folder below tmp; outcomes counted into
    report."""
    report = collections.Counter() if report is None else report
    im = texts.Image.read(facts["images"][VARIANT[1:]]["file"])

    def campaign(sch):
        s = harness.Session(facts, tempfile.mkdtemp(dir=tmp), None, 30 + sch.delays())
        try:
            report[play(s, sch)] += 1
        except Failed:
            report["broken"] += 1
            raise
        finally:
            s.close()
    campaign = given(schedules(im))(campaign)
    for sch in examples:
        campaign = example(sch)(campaign)
    settings(max_examples=n, deadline=None, database=None, derandomize=derandomize,
             suppress_health_check=list(HealthCheck), print_blob=False)(campaign)()
    return report

