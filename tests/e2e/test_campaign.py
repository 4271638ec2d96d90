"""The fault campaign, seeded: a few schedules of the device's misbehaviour
(stray bytes and bursts around its messages, noise, messages in pieces,
repeated messages and sync bytes, a wrong sync byte, delays past the read
time-out, a hang-up or a hold at any byte, silence) against the Linux program
of the test image -n3, each judged by the campaign's model (support.campaign).
The benchmark runs a thousand (bench/bench.py --campaign N)."""
import pytest

from support import texts as t
from support.campaign import Schedule, run

pytestmark = [pytest.mark.linux, pytest.mark.timeout(150)]
EXAMPLES = [
    # Schedules that broke an invariant, smallest first, with a fault planted:
    # without the drop before the offer or before each chunk (an announce
    # twice, a second ready message, a stray after sync byte 1), with the
    # drop after a chunk's first block (a hang-up during the loader's pause).
    Schedule([("announce", "again", None)]),
    Schedule([("ready", "again", None)]),
    Schedule([("sync1", "bytes", b"\x00")]),
    Schedule(stop=(11, "hangup")),
    # The line hung up at the updater's waits for the announce, for ready and
    # for a (wrong) sync byte; a device that never speaks is waited for. A
    # stray ready message among the replies is the one: held after the
    # go-ahead, the updater writes on into the line. A ready message a burst
    # swallowed, or one in pieces 0.6 s apart: it waits, or reads it whole.
    Schedule(stop=(0, "hangup"), silent=True),
    Schedule(stop=(0, "hold")),
    Schedule([("reply1", "again", None)], stop=(10, "hangup")),
    Schedule(sync=0x5A, stop=(t.BEFORE_CHUNKS + t.FIRST_CHUNK, "hangup")),
    Schedule([("reply2", "bytes", bytes.fromhex("FB00000000"))], stop=(10, "hold")),
    Schedule([("ready", "before", b"\xff\xff")]),
    Schedule([("ready", "split", (2, 600))]),
]


def test_fault_campaign(facts, tmp_path):
    run(facts, str(tmp_path), 8, examples=EXAMPLES)  # and 8 seeded draws
