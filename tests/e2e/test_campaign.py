"""The fault campaign, seeded: a few schedules of the device's misbehaviour
(stray bytes, repeated messages and sync bytes, a wrong sync byte, noise,
delays, a hang-up or silence anywhere) against the Linux program of the
test image -n2, each run judged by the campaign's model (support.campaign).
The benchmark runs hundreds (bench/bench.py --campaign N)."""
import pytest

from support import texts as t
from support.campaign import Schedule, run

pytestmark = [pytest.mark.linux, pytest.mark.timeout(150)]
SCHEDULES = 10
EXAMPLES = [
    # The smallest schedules that broke an invariant. Without the drop before
    # the offer an announce sent twice stood in for the first reply, and the
    # go-ahead came before the second; without the drop before a chunk a
    # second ready message was taken for the sync byte (0xfb reported) and
    # chunk 2 went out before the device's, and a hang-up during the pause
    # after the loader showed block 1 before the lost line.
    Schedule([("announce", "again", None)]),
    Schedule([("ready", "again", None)]),
    Schedule(stop=(11, "hangup")),
    # The line hung up at the updater's other waits, for the announce (a
    # device that never spoke), for ready and for the sync byte (a wrong one
    # coming); the representative rows hang it up while reading and writing.
    Schedule(stop=(0, "hangup"), silent=True),
    Schedule([("reply1", "again", None)], stop=(10, "hangup")),
    Schedule(sync=0x5A, stop=(t.BEFORE_CHUNKS + t.FIRST_CHUNK, "hangup")),
]


def test_fault_campaign(facts, tmp_path):
    run(facts, str(tmp_path), SCHEDULES, examples=EXAMPLES)
