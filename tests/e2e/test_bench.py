"""The benchmark, quickly: paced at twice the line's speed, where an updater
is done writing well before its device has every byte, and two devices at
once. It fails on a run not exact, or a line done sooner than it can be."""
import os
import subprocess
import sys

import pytest

from support.lines import check

pytestmark = [pytest.mark.native, pytest.mark.timeout(120)]


def test_benchmark_runs(s):
    bench = os.path.join(s.facts["source"], "bench", "bench.py")
    run = subprocess.run([sys.executable, bench, "--native", s.build, "--windows", "", "--runs",
                          "1", "--baud", "230400", "--devices", "2"],
                         capture_output=True, text=True, timeout=110)
    check(run.returncode == 0 and "2 devices at once" in run.stdout,
          "the benchmark failed (%d):\n%s%s" % (run.returncode, run.stdout, run.stderr[-2000:]))
