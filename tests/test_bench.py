"""The benchmark's memory figures measure the measured process alone."""
import os
import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"

# The peak a fresh child reports right after its peak is reset, against its
# current RSS, both in bytes.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
import bench
assert bench._reset_peak()
peak = bench._maxrss_bytes()
with open("/proc/self/statm") as f:
    rss = int(f.read().split()[1]) * bench.os.sysconf("SC_PAGE_SIZE")
print(peak, rss)
"""


@pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK), reason="needs a resettable peak RSS")
def test_child_peak_is_not_its_parents():
    # A parent far larger than the child: the child's peak, once reset,
    # is its own RSS and not the parent's.
    ballast = bytearray(256 * 2**20)
    ballast[:: 4096] = b"x" * len(ballast[:: 4096])
    out = subprocess.run([sys.executable, "-c", CHILD, str(BENCH)], capture_output=True, text=True, check=True)
    peak, rss = map(int, out.stdout.split())
    assert peak < rss + 16 * 2**20 < len(ballast)
