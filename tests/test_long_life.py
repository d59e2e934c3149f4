"""A long-lived caller: many calls in one process hold no more memory and no
more threads than a few, and renditions leak nothing that our code
allocated, whether they finish or stop early (LeakSanitizer on the sanitized
build, whose stacks name our frames).

Memory is judged once the first calls have warmed the allocator up: what
malloc hands out by its growth per call, what lies outside malloc by the
address space and the open files. The resident size is not judged: in a
healthy process it wanders by ten megabytes and more from call to call, as
each thread's arena keeps or returns its free pages, so a leak of the size
worth catching hides in it."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from conftest import make_source
from media_checks import encode_ok, listed_renditions, run_python
from sanitized_build import sanitized_suite_modules, sanitizer_environment

REPEATED_CALLS = """
import ctypes, json, os, sys
import quorvane

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]

libc = ctypes.CDLL("libc.so.6")
libc.mallinfo2.restype = MallInfo2

def heap_kib():
    # Bytes the program holds from malloc, in every arena and in mmap'd blocks.
    info = libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 1024

def status_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field))

def threads():
    return len(os.listdir("/proc/self/task"))

source, key, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
samples = {"threads_before": threads(), "heap": [], "address_space": [], "rss": [],
           "threads": [], "files": []}
for _ in range(calls):
    quorvane.hls_encoder(source, "master.m3u8", ["360p", "480p"], [400000, 800000], key)
    samples["heap"].append(heap_kib())
    samples["address_space"].append(status_kib("VmSize:"))
    samples["rss"].append(status_kib("VmRSS:"))
    samples["threads"].append(threads())
    samples["files"].append(len(os.listdir("/proc/self/fd")))
print(json.dumps(samples))
"""

CALLS = 60
# The first calls fill the allocator's arenas and caches (one per worker
# thread) and FFmpeg's one-time tables; growth is judged after them.
WARM_UP = 20
# A per-call leak of this much, or more, fails.
HEAP_SLOPE_LIMIT_KIB = 4
# Memory outside malloc (mapped buffers, thread stacks, the brk heap) shows
# whole in the address space, touched or not. It holds to the page once warm,
# but for the interpreter's own small arenas and one-off mapped blocks.
ADDRESS_SPACE_GROWTH_LIMIT_KIB = 1024


def fitted_slope(values: list[float]) -> float:
    """Least-squares slope of `values` against their index."""
    mean_x = (len(values) - 1) / 2
    mean_y = sum(values) / len(values)
    covariance = sum((x - mean_x) * (y - mean_y) for x, y in enumerate(values))
    return covariance / sum((x - mean_x) ** 2 for x in range(len(values)))


@pytest.mark.skipif(sanitized_suite_modules() is not None,
                    reason="AddressSanitizer's allocator stands in for glibc's, whose heap "
                           "this measures, and maps its quarantine and shadow memory as it goes")
def test_many_calls_hold_steady_memory_and_threads(tmp_path: Path, media_dir: Path,
                                                   key_info: Path) -> None:
    source = make_source(media_dir / "long_life.mp4", size="160x90", seconds=1)
    result = run_python(REPEATED_CALLS, str(source), str(key_info), str(CALLS),
                        cwd=key_info.parent, timeout=1200)
    assert result.returncode == 0, result.stderr[-3000:]
    samples = json.loads(result.stdout)
    # Every call finished a rendition, so the work was really done each time.
    assert "360p.m3u8" in (key_info.parent / "master.m3u8").read_text()
    assert samples["threads"] == [samples["threads_before"]] * CALLS
    heap, address_space = samples["heap"][WARM_UP:], samples["address_space"][WARM_UP:]
    report = {"heap_slope_kib": round(fitted_slope(heap), 2),
              "address_space_growth_kib": max(address_space) - address_space[0],
              "heap_kib": [round(value) for value in samples["heap"][::5]],
              "address_space_kib": samples["address_space"][::5],
              "rss_kib": samples["rss"][::5], "files": samples["files"][::5]}
    print(report)
    assert fitted_slope(heap) < HEAP_SLOPE_LIMIT_KIB, report
    assert max(address_space) - address_space[0] < ADDRESS_SPACE_GROWTH_LIMIT_KIB, report
    assert len(set(samples["files"][WARM_UP:])) == 1, report


# One leak report: its header line and the frames of its allocation stack,
# innermost first.
LEAK = re.compile(r"^(Direct|Indirect) leak of .*?(?=^\S|\Z)", re.M | re.S)


def _kept_by_others(leak: str) -> bool:
    """Blocks that FFmpeg, libx264 or the interpreter keep, which our code
    cannot reach: libx264's copies of its settings when x264_encoder_open
    fails (FFmpeg gets no handle to free them through); the segment buffer
    FFmpeg 5.1's HLS muxer keeps when its own set-up fails inside
    avformat_write_header; a module our code imports (logging, for the
    failure records), which the interpreter keeps."""
    frames = leak.splitlines()
    ours = next(i for i, frame in enumerate(frames) if " in quorvane::" in frame)
    return (any("x264_encoder_open" in frame for frame in frames)
            or (any("avio_open_dyn_buf" in frame for frame in frames)
                and any("avformat_init_output" in frame for frame in frames))
            or any("PyImport_Import" in frame for frame in frames[:ours]))


# Whole lives of a rendition: the default ladder finished, and renditions
# that stop early, once the decoders are open (libx264 refuses a bitrate under
# 1 kb/s) and once the muxer is made (its header cannot read the key).
LEAK_RUNS = {"default-ladder": None, "encoder-refuses-bitrate": [999],
             "missing-key-file": [400000]}


@pytest.mark.slow
@pytest.mark.parametrize("run", list(LEAK_RUNS))
def test_renditions_leak_nothing_of_ours(tmp_path: Path, media_dir: Path, key_info: Path,
                                         sanitized_module: Path, run: str) -> None:
    source = make_source(media_dir / "leak_ladder.mp4", size="320x180", seconds=3)
    key, bitrate = key_info, LEAK_RUNS[run]
    if run == "missing-key-file":
        key = key_info.parent / "broken.keyinfo"
        key.write_text(f"enc.key\n{key_info.parent / 'absent.key'}\n{'00' * 16}\n")
    result = encode_ok(source, resolution=None if bitrate is None else ["360p"], bitrate=bitrate,
                       key=key, cwd=key_info.parent,
                       env=sanitizer_environment(sanitized_module, detect_leaks=True),
                       timeout=900)
    master = key_info.parent / "master.m3u8"
    assert len(listed_renditions(master)) == (4 if run == "default-ladder" else 0)
    # Python and pybind11 keep some objects until exit on purpose; ours are
    # the blocks allocated under the driver or a worker.
    ours = [match.group(0) for match in LEAK.finditer(result.stderr)
            if " in quorvane::" in match.group(0) and not _kept_by_others(match.group(0))]
    assert ours == [], "\n\n".join(ours)[:6000]
