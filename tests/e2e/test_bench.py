"""The benchmark, quickly: one run of each kind, paced at twice the line's
speed (fast enough, and still slow enough that an updater is done writing
well before its device has every byte), and two devices at once. It fails
when a run is not exact or a paced line is done sooner than the line can
carry its bytes."""
import os
import subprocess
import sys

import pytest

from support.lines import check

pytestmark = [pytest.mark.native, pytest.mark.timeout(120)]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_benchmark_runs(s):
    bench = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "bench.py"), "--native", s.build,
         "--windows", "", "--runs", "1", "--baud", "230400", "--devices", "2"],
        env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tests")), capture_output=True,
        text=True, timeout=110)
    check(bench.returncode == 0 and "2 devices at once" in bench.stdout,
          "the benchmark failed (%d):\n%s%s" % (bench.returncode, bench.stdout, bench.stderr[-2000:]))
