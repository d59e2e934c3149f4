"""Pictures past the size limit (8192 on either side, 36 million pixels) cost
no memory. A small file of enormous pictures is refused before any is
decoded and writes nothing; pictures that grow past the limit midway are
dropped by the decoders; an 8K source is still transcoded, within the peak
memory the README gives. Peak memory is the child process's own high-water
mark (VmHWM), which no other process and no timing can change."""

from __future__ import annotations

import os
import struct
from pathlib import Path

import pytest

from conftest import ffprobe_json, run_ffmpeg
from media_checks import (
    call_outcome,
    complete_rendition,
    encode_ok,
    probe_frames,
    read_master_entries,
)

FULL_LADDER = ["1080p", "720p", "480p", "360p"]

def peak_mib(source: Path, workdir: Path, key: Path, resolution: list[str],
             log: list[str] | None = None) -> float:
    """The peak resident memory of a fresh process that makes this one call;
    the lines of its stderr (FFmpeg's log, and the call's failure records
    through Python's last-resort handler) are added to `log`."""
    finished = encode_ok(source, resolution=resolution, bitrate=None, key=key, cwd=workdir,
                         timeout=600)
    if log is not None:
        log += finished.stderr.splitlines()
    return call_outcome(finished)["peak_kib"] / 1024


def still_movie(folder: Path, width: int, height: int, name: str) -> Path:
    """Six black width x height PNG pictures (one picture encoded once, then
    copied) and a tone, in a QuickTime file of about a megabyte at 8192x8192."""
    picture = folder / f"black_{width}x{height}.png"
    run_ffmpeg("-f", "lavfi", "-i", f"color=c=black:s={width}x{height}", "-frames:v", "1",
               "-pix_fmt", "rgb24", str(picture))
    movie = folder / name
    run_ffmpeg("-loop", "1", "-framerate", "30", "-i", str(picture),
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-map", "0:v", "-map", "1:a", "-t", "0.2", "-c:v", "copy", "-c:a", "aac", str(movie))
    picture.unlink()
    return movie


def declare_size(movie: Path, width: int, height: int) -> None:
    """Rewrites the size a QuickTime file declares for its PNG pictures (track
    header and sample description), leaving the pictures as they are."""
    data = bytearray(movie.read_bytes())
    entry = data.index(b"png ") - 4
    # Sample entry: size, type, 6 reserved, data reference, version, revision,
    # vendor, temporal and spatial quality, then width and height.
    sample_size_at = entry + 8 + 6 + 2 + 2 + 2 + 4 + 4 + 4
    header = data.index(b"tkhd") - 4
    # Track header (version 0): size, type, flags, 5 fields, 8 reserved, layer,
    # group, volume, 2 reserved, matrix, then width and height in 16.16.
    track_size_at = header + 8 + 4 + 20 + 8 + 8 + 36
    assert struct.unpack_from(">HH", data, sample_size_at) == (8192, 8192)
    assert struct.unpack_from(">II", data, track_size_at) == (8192 << 16, 8192 << 16)
    struct.pack_into(">HH", data, sample_size_at, width, height)
    struct.pack_into(">II", data, track_size_at, width << 16, height << 16)
    movie.write_bytes(data)


@pytest.mark.parametrize("case", ["8192x8192", "8200x64", "8192x8192-declared-as-320x240"])
def test_oversized_pictures_are_refused_before_decoding(workdir, key_info, case):
    width, height = (8200, 64) if case == "8200x64" else (8192, 8192)
    movie = still_movie(workdir, width, height, "upload.mov")
    if case.endswith("declared-as-320x240"):
        declare_size(movie, 320, 240)
    # What the file really holds, as FFmpeg decodes it without a limit.
    first = probe_frames(movie, "v", "width,height")[0]
    assert (first["width"], first["height"]) == (width, height)
    assert os.path.getsize(movie) < 2_000_000
    before = set(os.listdir(workdir))

    log: list[str] = []
    peak = peak_mib(movie, workdir, key_info, FULL_LADDER, log)

    # One decoded 8192x8192 RGB picture alone takes 192 MiB; the interpreter
    # and FFmpeg's libraries take about 55.
    assert peak < 150, peak
    assert set(os.listdir(workdir)) == before
    # The whole call was refused, and says why: a picture within the decoder's
    # pixel bound but too wide is measured; one past that bound is never
    # decoded, whatever size the file declares.
    reasons = [line for line in log if line.startswith("all rungs: ")]
    if case != "8200x64":
        assert reasons == ["all rungs: probing the input: the video stream's picture size is "
                           "unknown (no picture decoded within the size limit)"]
    else:
        assert reasons == [f"all rungs: probing the input: picture size {width}x{height} is "
                           "over the limit of 8192 per side and 36000000 pixels"]


def mjpeg_part(folder: Path, size: str, frames: int, name: str) -> Path:
    path = folder / name
    run_ffmpeg("-f", "lavfi", "-i", f"color=c=gray:s={size}:r=30", "-frames:v", str(frames),
               "-c:v", "mjpeg", "-q:v", "31", str(path))
    return path


def with_tone(video: Path, path: Path) -> Path:
    run_ffmpeg("-i", str(video), "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-map", "0:v", "-map", "1:a", "-t", "1.1", "-c:v", "copy", "-c:a", "aac", str(path))
    return path


def test_pictures_growing_past_the_limit_cost_no_memory(workdir, key_info):
    # One second of 320x240 pictures, then three of 8192x8192, in one stream:
    # the first pictures look harmless to the probe.
    small = mjpeg_part(workdir, "320x240", 30, "small.avi")
    large = mjpeg_part(workdir, "8192x8192", 3, "large.avi")
    (workdir / "parts.txt").write_text(f"file '{small}'\nfile '{large}'\n")
    run_ffmpeg("-f", "concat", "-safe", "0", "-i", str(workdir / "parts.txt"), "-c", "copy",
               str(workdir / "joined.mkv"))
    growing = with_tone(workdir / "joined.mkv", workdir / "growing.mkv")
    sizes = [(f["width"], f["height"]) for f in probe_frames(growing, "v", "width,height")]
    assert sizes == [(320, 240)] * 30 + [(8192, 8192)] * 3
    assert ffprobe_json(growing, "-show_streams")["streams"][0]["width"] == 320
    control = with_tone(small, workdir / "control.mkv")

    names = ["480p", "360p"]
    calls = {}
    for label, source in (("control", control), ("growing", growing)):
        folder = workdir / label
        folder.mkdir()
        calls[label] = peak_mib(source, folder, key_info, names)
        for name in names:
            complete_rendition(name, folder)
    # Each 8192x8192 picture decoded would add 96 MiB per rendition.
    assert calls["growing"] - calls["control"] < 64, calls


# Peak memory of a default-ladder call on an 8K source, as the README gives it.
EIGHT_K_BOUND_MIB = 1536


@pytest.mark.slow
def test_8k_source_is_transcoded_within_the_documented_bound(workdir, key_info):
    source = workdir / "8k.mp4"
    run_ffmpeg("-f", "lavfi", "-i", "color=c=gray:s=7680x4320:r=30",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-map", "0:v", "-map", "1:a", "-t", "0.5",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
               str(source))
    stream = ffprobe_json(source, "-select_streams", "v:0", "-show_streams")["streams"][0]
    assert (stream["width"], stream["height"]) == (7680, 4320)

    peak = peak_mib(source, workdir, key_info, FULL_LADDER)

    for name in FULL_LADDER:
        complete_rendition(name, workdir)
    assert len(read_master_entries(workdir / "master.m3u8")) == 4
    assert peak < EIGHT_K_BOUND_MIB, peak
