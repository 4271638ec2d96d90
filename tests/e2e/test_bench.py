"""The benchmark, quickly: paced at twice the line's speed, where an updater
is done writing well before its device has every byte, and two devices at
once. It fails on a run not exact, or a line done sooner than it can be."""
import os
import subprocess
import sys

import pytest

from support.lines import check

pytestmark = [pytest.mark.native, pytest.mark.timeout(120)]
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_benchmark_runs(s):
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench.py"), "--native",
                          s.build, "--windows", "", "--runs", "1", "--baud", "230400",
                          "--devices", "2"], capture_output=True, text=True, timeout=110)
    check(run.returncode == 0 and "2 devices at once" in run.stdout,
          "the benchmark failed (%d):\n%s%s" % (run.returncode, run.stdout, run.stderr[-2000:]))
