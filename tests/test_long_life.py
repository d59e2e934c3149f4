"""A long-lived caller: many calls in one process hold no more memory and no
more threads than a few, and a whole default ladder leaks nothing that our
code allocated (LeakSanitizer on the sanitized build)."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import make_source
from sanitized_build import sanitizer_environment

# Memory is the heap glibc has handed out and not had back (mallinfo2, over
# all arenas, mmapped blocks included), not the resident size: how much of
# the freed memory glibc keeps resident depends on which arena each worker
# thread happened to get, and swings by several MB from one call to the next.
REPEATED_CALLS = """
import ctypes, json, os, sys
import quorvane

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]

libc = ctypes.CDLL("libc.so.6")
libc.mallinfo2.restype = MallInfo2

def heap_in_use_kib():
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) // 1024

def threads():
    return len(os.listdir("/proc/self/task"))

source, key, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
samples = {"threads_before": threads(), "heap": [], "threads": []}
for _ in range(calls):
    quorvane.hls_encoder(source, "master.m3u8", ["360p", "480p"], [400000, 800000], key)
    samples["heap"].append(heap_in_use_kib())
    samples["threads"].append(threads())
print(json.dumps(samples))
"""


def test_fifty_calls_hold_steady_memory_and_threads(tmp_path: Path, media_dir: Path,
                                                    key_info: Path) -> None:
    source = make_source(media_dir / "long_life.mp4", size="160x90", seconds=1)
    result = subprocess.run([sys.executable, "-c", REPEATED_CALLS, str(source), str(key_info), "50"],
                            cwd=key_info.parent, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    samples = json.loads(result.stdout)
    # Every call finished a rendition, so the work was really done each time.
    assert "360p.m3u8" in (key_info.parent / "master.m3u8").read_text()
    assert samples["threads"] == [samples["threads_before"]] * 50
    after_5, after_50 = samples["heap"][4], samples["heap"][49]
    assert after_50 <= after_5 * 1.05, (after_5, after_50)


LADDER_CALL = """
import sys
import quorvane
quorvane.hls_encoder(sys.argv[1], "master.m3u8", key=sys.argv[2])
print(open("master.m3u8").read())
"""

# One leak report: its header line and the frames of its allocation stack.
LEAK = re.compile(r"^(Direct|Indirect) leak of .*?(?=^\S|\Z)", re.M | re.S)


@pytest.mark.slow
def test_default_ladder_leaks_nothing_of_ours(tmp_path: Path, media_dir: Path, key_info: Path,
                                              sanitized_module: Path) -> None:
    source = make_source(media_dir / "leak_ladder.mp4", size="320x180", seconds=3)
    result = subprocess.run(
        [sys.executable, "-c", LADDER_CALL, str(source), str(key_info)],
        cwd=key_info.parent, env=sanitizer_environment(sanitized_module, detect_leaks=True),
        capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.count(".m3u8") == 4, "the ladder did not complete"
    # Python and pybind11 keep some objects until exit on purpose; ours are
    # the blocks allocated under the driver or a worker.
    ours = [match.group(0) for match in LEAK.finditer(result.stderr)
            if " in quorvane::" in match.group(0)]
    assert ours == [], "\n\n".join(ours)[:6000]
