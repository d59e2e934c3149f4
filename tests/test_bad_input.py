"""Bad input must never take the caller's process down: every file of a
generated corpus goes through hls_encoder in a child process built with
AddressSanitizer and UndefinedBehaviorSanitizer. The child must exit normally
within its time bound, with no sanitizer report, the call must return None,
and whatever renditions it lists must be complete and play."""

import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

from conftest import ffprobe_json, make_source, run_ffmpeg
from media_checks import (
    assert_rendition_plays,
    call_outcome,
    call_returned_none,
    listed_renditions,
    run_hls_encoder,
    run_python,
    write_key_info,
)
from sanitized_build import sanitizer_environment

CHILD_TIMEOUT_S = 180

pytestmark = pytest.mark.slow


def run_child(module_dir: Path, workdir: Path, source: str, key: str) -> subprocess.CompletedProcess:
    return run_hls_encoder(source, key=key, cwd=workdir, env=sanitizer_environment(module_dir),
                           timeout=CHILD_TIMEOUT_S)


def listed(workdir: Path) -> list[str]:
    """The renditions master.m3u8 lists; none when the call wrote no master."""
    master = workdir / "master.m3u8"
    return listed_renditions(master) if master.exists() else []


def assert_sanitizers_silent(result: subprocess.CompletedProcess) -> None:
    report = result.stderr
    assert result.returncode == 0, f"child ended with {result.returncode}:\n{report[-4000:]}"
    assert "AddressSanitizer" not in report and "runtime error:" not in report, report[-4000:]
    call_returned_none(result)
    assert "/sanitized" in call_outcome(result)["module"], "sanitized build not loaded"


def assert_listed_renditions_play(workdir: Path) -> None:
    for playlist in listed(workdir):
        assert_rendition_plays(workdir / playlist)


def assert_survived(result: subprocess.CompletedProcess, workdir: Path) -> None:
    assert_sanitizers_silent(result)
    assert_listed_renditions_play(workdir)


# --- the corpus -------------------------------------------------------------

def flip_bytes(data: bytes, seed: int, count: int = 12) -> bytes:
    rng = random.Random(seed)
    mutated = bytearray(data)
    for _ in range(count):
        position = rng.randrange(len(mutated))
        mutated[position] ^= 1 << rng.randrange(8)
    return bytes(mutated)


# --- timestamps at the ends of the 64-bit range -------------------------------
#
# Matroska stores each cluster's start as an unsigned integer of up to eight
# bytes, which FFmpeg hands on as a signed 64-bit timestamp: any value from
# INT64_MIN (AV_NOPTS_VALUE itself) to INT64_MAX can be written. The crafted
# files regroup a small mkv's blocks into clusters of one track each, moved by
# a per-track start, so that video and audio can start at opposite ends of
# the range; with a timestamp unit of one nanosecond instead of the usual
# millisecond, each block gets a cluster of its own.

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
SEGMENT, INFO, TRACKS, CLUSTER, CLUSTER_TIME = 0x18538067, 0x1549A966, 0x1654AE6B, 0x1F43B675, 0xE7
TIMESTAMP_SCALE, DURATION = 0x2AD7B1, 0x4489
SIMPLE_BLOCK, BLOCK_GROUP, BLOCK = 0xA3, 0xA0, 0xA1


def read_vint(data: bytes, position: int, keep_marker: bool = False) -> tuple[int, int]:
    first = data[position]
    length = 1
    while not first & (0x80 >> (length - 1)):
        length += 1
    value = first if keep_marker else first & (0xFF >> length)
    for byte in data[position + 1:position + length]:
        value = value << 8 | byte
    return value, position + length


def ebml_children(data: bytes) -> list[tuple[int, bytes]]:
    """(id, payload) of each element in `data`."""
    children, position = [], 0
    while position < len(data):
        element_id, position = read_vint(data, position, keep_marker=True)
        size, position = read_vint(data, position)
        children.append((element_id, data[position:position + size]))
        position += size
    return children


def ebml_element(element_id: int, payload: bytes) -> bytes:
    id_bytes = element_id.to_bytes((element_id.bit_length() + 7) // 8, "big")
    return id_bytes + (1 << 56 | len(payload)).to_bytes(8, "big") + payload


def timed_cluster(stamp: int, blocks: list[bytes]) -> bytes:
    """A cluster starting at `stamp` (wrapped to 64 bits) holding `blocks`."""
    return ebml_element(CLUSTER, ebml_element(CLUSTER_TIME, (stamp % 2**64).to_bytes(8, "big"))
                        + b"".join(ebml_element(SIMPLE_BLOCK, block) for block in blocks))


def restamp_mkv(source: bytes, start_of_track: dict[int, int], nanoseconds: bool = False) -> bytes:
    """`source` with each track's blocks moved to start at the given signed
    64-bit timestamp, wrapping past either end."""
    (header_id, header), (segment_id, segment) = ebml_children(source)[:2]
    assert segment_id == SEGMENT
    kept, clusters = b"", b""
    for element_id, body in ebml_children(segment):
        if element_id == INFO:
            # The timestamp unit, and no duration, which would no longer fit.
            info = [(child, (1).to_bytes(1, "big") if nanoseconds and child == TIMESTAMP_SCALE
                     else value) for child, value in ebml_children(body) if child != DURATION]
            kept += ebml_element(INFO, b"".join(ebml_element(*child) for child in info))
        elif element_id == TRACKS:
            kept += ebml_element(TRACKS, body)
        elif element_id == CLUSTER:
            children = ebml_children(body)
            cluster_time = next(int.from_bytes(value, "big") for child, value in children
                                if child == CLUSTER_TIME)
            blocks = []
            for child, block in children:
                if child == BLOCK_GROUP:
                    block = next(value for inner, value in ebml_children(block) if inner == BLOCK)
                elif child != SIMPLE_BLOCK:
                    continue
                track, position = read_vint(block, 0)
                blocks.append((track, position, block))
            for track, start in start_of_track.items():
                own = [(position, block) for number, position, block in blocks if number == track]
                if nanoseconds:
                    # A cluster per block: a block's own offset counts in the same unit.
                    for position, block in own:
                        offset = struct.unpack_from(">h", block, position)[0]
                        stamp = start + (cluster_time + offset) * 1_000_000
                        moved = block[:position] + bytes(2) + block[position + 2:]
                        clusters += timed_cluster(stamp, [moved])
                elif own:
                    clusters += timed_cluster(start + cluster_time, [block for _, block in own])
    return ebml_element(header_id, header) + ebml_element(SEGMENT, kept + clusters)


# Start of the video (track 1) and of the audio (track 2), and whether the
# timestamp unit is a nanosecond. FFmpeg's Matroska demuxer passes cluster
# starts through a double, so every start within about a thousand of 2**63
# arrives as INT64_MIN (AV_NOPTS_VALUE) plus the block's own offset; starts
# near INT64_MAX it rebases far below the end, so only the low end reaches
# the transcoder.
CRAFTED_STARTS = {
    "ts_next_to_nopts.mkv": ({1: INT64_MIN, 2: INT64_MIN}, False),
    "ts_apart_at_both_ends.mkv": ({1: INT64_MIN + 1, 2: INT64_MAX - 2000}, False),
    "ts_audio_at_min_video_at_zero.mkv": ({1: 0, 2: INT64_MIN + 1}, False),
    "ts_ns_apart_at_both_ends.mkv": ({1: INT64_MAX - 2 * 10**9, 2: INT64_MIN + 1}, True),
    "ts_ns_video_at_min_audio_at_zero.mkv": ({1: INT64_MIN + 1, 2: 0}, True),
}


def extreme_packet_times(path: Path) -> list[int]:
    """The demuxed timestamps of `path`, as ffprobe reads them, that lie
    within 2**62 of either end of the 64-bit range."""
    packets = ffprobe_json(path, "-show_entries", "packet=pts,dts", "-show_packets")["packets"]
    stamps = [packet[key] for packet in packets for key in ("pts", "dts")
              if isinstance(packet.get(key), int)]
    return [stamp for stamp in stamps if abs(stamp) > 2**62]


@pytest.fixture(scope="session")
def corpus(media_dir: Path) -> dict[str, Path]:
    folder = media_dir / "bad"
    folder.mkdir()
    mp4 = make_source(folder / "valid.mp4", size="160x90", seconds=1)
    ts = make_source(folder / "valid.ts", size="160x90", seconds=1)
    moov_first = make_source(folder / "faststart.mp4", size="160x90", seconds=1,
                             container_args=("-movflags", "+faststart"))
    files: dict[str, Path] = {}

    def add(name: str, data: bytes) -> None:
        files[name] = folder / name
        files[name].write_bytes(data)

    add("empty.mp4", b"")
    add("random.bin", random.Random(7).randbytes(64 * 1024))
    mp4_bytes = mp4.read_bytes()
    add("cut_in_media.mp4", moov_first.read_bytes()[: len(moov_first.read_bytes()) * 2 // 3])
    # Index (moov) at the end and cut off: the media data has no index at all.
    add("no_index.mp4", mp4_bytes[: mp4_bytes.rfind(b"moov") - 4])
    ts_bytes = ts.read_bytes()
    add("cut_mid_packet.ts", ts_bytes[: (len(ts_bytes) // 188 // 2) * 188 + 97])
    for seed in range(20):
        add(f"flipped_{seed:02}.mp4", flip_bytes(mp4_bytes, seed))
        add(f"flipped_{seed:02}.ts", flip_bytes(ts_bytes, 1000 + seed))
    # A raw picture stream that claims a 16384x16384 picture and holds a sliver of one.
    add("huge_claim.y4m", b"YUV4MPEG2 W16384 H16384 F30:1 Ip A1:1 C420jpeg\nFRAME\n" + bytes(4096))
    audio_only = folder / "audio_only.m4a"
    run_ffmpeg("-f", "lavfi", "-i", "sine=frequency=440", "-t", "1", "-c:a", "aac", str(audio_only))
    files["audio_only.m4a"] = audio_only
    files["a directory"] = folder
    non_ascii = folder / "vidéo ünïcødé 视频.mp4"
    shutil.copy2(mp4, non_ascii)
    files["non_ascii_path"] = non_ascii
    files["valid.mp4"] = mp4
    timed = make_source(folder / "timed.mkv", size="160x90", seconds=1,
                        container_args=("-write_crc32", "0", "-cluster_time_limit", "200"))
    for name, (starts, nanoseconds) in CRAFTED_STARTS.items():
        add(name, restamp_mkv(timed.read_bytes(), starts, nanoseconds))
        assert extreme_packet_times(files[name]), f"{name} has no timestamp near the ends"
    return files


CORPUS_NAMES = (
    ["empty.mp4", "random.bin", "cut_in_media.mp4", "no_index.mp4", "cut_mid_packet.ts",
     "huge_claim.y4m", "audio_only.m4a", "a directory", "non_ascii_path"]
    + [f"flipped_{seed:02}.{ext}" for seed in range(20) for ext in ("mp4", "ts")]
    + list(CRAFTED_STARTS)
)


@pytest.mark.parametrize("name", CORPUS_NAMES)
def test_bad_input_is_survived(name: str, corpus: dict[str, Path], sanitized_module: Path,
                               key_info: Path, workdir: Path) -> None:
    result = run_child(sanitized_module, workdir, str(corpus[name]), str(key_info))
    assert_sanitizers_silent(result)
    assert_listed_renditions_play(workdir)


def test_non_ascii_path_still_encodes(corpus: dict[str, Path], sanitized_module: Path,
                                      key_info: Path, workdir: Path) -> None:
    result = run_child(sanitized_module, workdir, str(corpus["non_ascii_path"]), str(key_info))
    assert_survived(result, workdir)
    assert listed(workdir) == ["360p.m3u8"]


@pytest.mark.parametrize("case", ["empty", "short_key", "iv_not_hex", "missing"])
def test_bad_key_info_is_survived(case: str, corpus: dict[str, Path], sanitized_module: Path,
                                  workdir: Path) -> None:
    if case == "empty":
        info = workdir / "empty.keyinfo"
        info.write_text("")
    elif case == "short_key":
        info = write_key_info(workdir, name="bad", key=b"12345", iv="00" * 16)
    elif case == "iv_not_hex":
        info = write_key_info(workdir, name="bad", key=bytes(range(16)), iv="not-hex-at-all-zz")
    else:
        info = workdir / "no-such.keyinfo"
    result = run_child(sanitized_module, workdir, str(corpus["valid.mp4"]), str(info))
    assert_survived(result, workdir)


# What the children above are judged by: a memory error ends the child with
# AddressSanitizer's status, and a C++ exception thrown and caught inside the
# module is no error at all.
SANITIZED_CHILD_CASES = {
    "memory-error": ("import ctypes\n"
                     "libc = ctypes.CDLL(None)\n"
                     "libc.malloc.restype = ctypes.c_void_p\n"
                     "ctypes.string_at(libc.malloc(8), 64)\n",
                     86, "ERROR: AddressSanitizer: heap-buffer-overflow"),
    "caught-c++-exception": ("import sys, _quorvane_test_hooks as hooks\n"
                             "hooks.run_ladder_with_stand_in(sys.argv[1], 'master.m3u8', ['360p'],"
                             " [], 'enc.keyinfo', outcomes={'360p.m3u8': 'throw'})\n",
                             0, "360p: running the worker: it threw: stand-in worker failed"),
}


@pytest.mark.parametrize("case", list(SANITIZED_CHILD_CASES))
def test_sanitized_children_tell_errors_from_exceptions(case: str, corpus: dict[str, Path],
                                                        sanitized_module: Path,
                                                        workdir: Path) -> None:
    code, status, said = SANITIZED_CHILD_CASES[case]
    result = run_python(code, str(corpus["valid.mp4"]), cwd=workdir,
                        env=sanitizer_environment(sanitized_module), timeout=CHILD_TIMEOUT_S)
    assert (result.returncode, said in result.stderr) == (status, True), result.stderr[-4000:]
