"""Sources that once broke a rendition: frame rates below 30, streams that
do not start at zero or start apart, a picture size change mid-stream, and
phone video stored with a display rotation. Faster and jittery sources are
in test_source_timing.py, every kind's output contract in
test_output_contract.py."""

from __future__ import annotations

import os
import re
import subprocess
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

import pytest

from conftest import copy_with_rotation, ffprobe_json, make_source, run_ffmpeg
from media_checks import (
    AAC_PRIMING,
    FRAME,
    complete_rendition,
    decrypt_segment,
    encode_ok,
    gray_picture,
    playlist_input_args,
    probe_frames,
    probe_packets,
    probe_streams,
    quadrant_means,
    read_master_entries,
    run_hls_encoder,
    timestamp_warnings,
    video_frame_times,
    write_key_info,
)
from sanitized_build import sanitized_suite_modules


def _first_frame_time(path: Path, stream: str) -> float:
    times = [float(f["pts_time"]) for f in probe_frames(path, stream, "pts_time")
             if f.get("pts_time") not in (None, "N/A")]
    assert times, f"no decoded {stream} frames in {path}"
    return min(times)


def _assert_thirty_per_second(playlist: Path, expected_seconds: float) -> None:
    times = video_frame_times(playlist)
    assert len(times) >= 30, len(times)
    span = times[-1] - times[0] + FRAME
    assert abs(span - expected_seconds) <= 2 * FRAME, (span, expected_seconds)
    assert abs(len(times) / span - 30) <= 0.5, (len(times), span)
    steps = [later - earlier for earlier, later in zip(times, times[1:])]
    assert min(steps) > FRAME / 2, min(steps)


class TestFrameRates:
    # A source below 30 pictures per second keeps its own rate: every picture
    # is encoded once, on the nearest 1/30 s slot, and lasts one source
    # picture, so the playlist's durations add up to the media.
    @pytest.mark.parametrize("rate", ["25", "24000/1001"])
    def test_slow_source_playlist_durations_match_the_media(self, workdir, key_info, rate):
        source = make_source(workdir / "slow.mp4", size="160x90", rate=rate, seconds=8)
        finished = encode_ok(source, key=key_info)
        assert timestamp_warnings(finished.stderr) == []
        playlist = complete_rendition("360p")
        times = video_frame_times(workdir / "360p.m3u8")
        source_pictures = len(video_frame_times(source))
        assert len(times) == source_pictures
        media_seconds = times[-1] - times[0] + 1 / float(Fraction(rate))
        assert abs(media_seconds - 8) <= 2 * FRAME, media_seconds
        assert abs(sum(playlist.durations) - media_seconds) <= FRAME, (
            playlist.durations, media_seconds)


def _sync_source(path: Path, seconds: float, audio_delay: float,
                 container_args: tuple[str, ...]) -> Path:
    """Dark pictures with a white flash at 4 s and silence with a tone burst
    at 4 s of the audio's own clock, the audio shifted by `audio_delay`."""
    run_ffmpeg(
        "-f", "lavfi",
        "-i", "color=c=black:size=160x90:rate=30,"
              "drawbox=w=iw:h=ih:color=white:t=fill:enable='between(t,4,4.5)'",
        "-itsoffset", str(audio_delay),
        "-f", "lavfi",
        "-i", "sine=frequency=1000:sample_rate=48000,"
              "volume=volume=0:enable='not(between(t,4,4.5))'",
        "-map", "0:v", "-map", "1:a", "-t", str(seconds),
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
        *container_args, str(path),
    )
    return path


def _flash_and_burst(path: Path) -> tuple[float, float]:
    """When the flash starts and when the tone burst starts, both on the
    input's own timestamps."""
    video = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", "-copyts", *playlist_input_args(path),
         "-i", str(path), "-map", "0:v:0", "-vf", "blackdetect=d=0.1:pix_th=0.5",
         "-f", "null", "-"],
        capture_output=True, text=True, check=True).stderr
    audio = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", "-copyts", *playlist_input_args(path),
         "-i", str(path), "-map", "0:a:0", "-af", "silencedetect=n=-40dB:d=0.1",
         "-f", "null", "-"],
        capture_output=True, text=True, check=True).stderr
    flash = re.search(r"black_end:\s*([\d.]+)", video)
    burst = re.search(r"silence_end:\s*([\d.]+)", audio)
    assert flash and burst, (video[-1000:], audio[-1000:])
    return float(flash.group(1)), float(burst.group(1))


SYNC_SECONDS = 13
SYNC_SOURCES = {
    # MPEG-TS starts its clock near 1.4 s.
    "mpegts": ("source.ts", 0.0, ()),
    "starts_at_100s": ("source.ts", 0.0, ("-output_ts_offset", "100")),
    "audio_late_mkv": ("source.mkv", 0.5, ("-output_ts_offset", "100")),
    "audio_late_mpegts": ("source.ts", 0.3, ()),
}


@dataclass
class SyncRun:
    source: Path
    audio_delay: float
    key_info: Path
    playlist: Path


@pytest.fixture(scope="module", params=list(SYNC_SOURCES))
def sync_run(request, tmp_path_factory) -> SyncRun:
    name, audio_delay, container_args = SYNC_SOURCES[request.param]
    directory = tmp_path_factory.mktemp(f"sync_{request.param}")
    source = _sync_source(directory / name, SYNC_SECONDS, audio_delay, container_args)
    key_info = write_key_info(directory)
    encode_ok(source, key=key_info, cwd=directory)
    return SyncRun(source, audio_delay, key_info, directory / "360p.m3u8")


class TestStartTimes:
    def test_first_audio_and_video_keep_their_source_relation(self, sync_run):
        source_offset = (_first_frame_time(sync_run.source, "a")
                         - _first_frame_time(sync_run.source, "v"))
        assert abs(source_offset - sync_run.audio_delay) < 0.05, source_offset
        # The AAC encoder puts its 1024 priming samples before the first
        # real sample; the first picture lands on the nearest 1/30 s slot.
        output_offset = (_first_frame_time(sync_run.playlist, "a") + AAC_PRIMING
                         - _first_frame_time(sync_run.playlist, "v"))
        assert abs(output_offset - source_offset) <= FRAME + 0.002, (source_offset, output_offset)

    def test_tone_burst_stays_with_the_flash(self, sync_run):
        source_flash, source_burst = _flash_and_burst(sync_run.source)
        assert abs(source_burst - source_flash - sync_run.audio_delay) < 0.06, (
            source_flash, source_burst)
        # Decoded audio includes the encoder's priming samples at their own
        # timestamps, so the burst's decoded time is when a player plays it.
        flash, burst = _flash_and_burst(sync_run.playlist)
        assert abs((burst - flash) - (source_burst - source_flash)) <= FRAME, (
            (source_flash, source_burst), (flash, burst))

    def test_segments_are_full_and_carry_audio_to_the_end(self, sync_run, tmp_path):
        playlist = complete_rendition("360p", sync_run.playlist.parent)
        durations = playlist.durations
        assert len(durations) >= 3, durations
        assert all(abs(d - 6) <= FRAME + 0.001 for d in durations[:-1]), durations
        assert abs(sum(durations) - SYNC_SECONDS) <= 2 * FRAME, durations
        for segment in playlist.segment_paths():
            plain = decrypt_segment(segment, sync_run.key_info, tmp_path / segment.name)
            audio = probe_packets(plain, "a", "pts_time,duration_time")
            video = probe_packets(plain, "v", "pts_time,duration_time")
            assert audio and video, (segment.name, len(audio), len(video))

            def end(packets):
                return max(float(p["pts_time"]) + float(p["duration_time"]) for p in packets)

            # Audio runs as far as the pictures do: no video-only stretch.
            assert end(audio) >= end(video) - 0.1, (segment.name, end(audio), end(video))


class TestPictureSizeChange:
    def test_smaller_pictures_mid_stream_read_in_bounds(self, workdir, key_info):
        parts = []
        for index, size in enumerate(["320x240", "160x120"]):
            part = workdir / f"part{index}.ts"
            make_source(part, size=size, seconds=1,
                        extra_output_args=("-output_ts_offset", str(index)))
            parts.append(part.read_bytes())
        source = workdir / "size_change.ts"
        source.write_bytes(b"".join(parts))
        sizes = [(f["width"], f["height"]) for f in probe_frames(source, "v", "width,height")]
        assert sizes[0] == (320, 240) and sizes[-1] == (160, 120), sorted(set(sizes))

        log = workdir / "valgrind.log"
        # valgrind cannot run a process under AddressSanitizer, which checks
        # the sanitized build's own reads and writes instead.
        sanitized = sanitized_suite_modules() is not None
        finished = run_hls_encoder(
            source, key=key_info,
            wrapper=() if sanitized else ("valgrind", "--error-exitcode=99",
                                          "--errors-for-leak-kinds=none", f"--log-file={log}"),
            env={"PYTHONMALLOC": "malloc"}, timeout=600)
        report = finished.stderr if sanitized else log.read_text()
        assert "Invalid read" not in report and "Invalid write" not in report, report[-6000:]
        assert finished.returncode == 0, report[-6000:]

        complete_rendition("360p")
        output_sizes = {(f["width"], f["height"])
                        for f in probe_frames(workdir / "360p.m3u8", "v", "width,height")}
        assert output_sizes == {(640, 360)}
        # Pictures of both parts were encoded.
        _assert_thirty_per_second(workdir / "360p.m3u8", 2)


def _marked_source(path: Path, rotate: int | None) -> Path:
    """A dark 320x180 picture with a white box in its top-left corner, stored
    with a display rotation of `rotate` degrees (None: no rotation at all)."""
    plain = path.with_name(f"plain_{path.name}")
    run_ffmpeg(
        "-f", "lavfi",
        "-i", "color=c=black:size=320x180:rate=30,drawbox=x=0:y=0:w=100:h=60:color=white:t=fill",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
        "-map", "0:v", "-map", "1:a", "-t", "2",
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
        str(plain),
    )
    if rotate is None:
        os.replace(plain, path)
    else:
        copy_with_rotation(plain, path, rotate)
    return path


def _display_rotation(path: Path) -> float | None:
    stream = ffprobe_json(path, "-select_streams", "v:0", "-show_streams")["streams"][0]
    for side_data in stream.get("side_data_list", []):
        if "rotation" in side_data:
            return float(side_data["rotation"])
    return None


def _close(means: dict[str, float], reference: dict[str, float]) -> bool:
    return all(abs(means[corner] - reference[corner]) < 12 for corner in reference)


class TestRotatedSources:
    @pytest.mark.parametrize(
        "rotate, size",
        [(None, (640, 360)), (90, (360, 640)), (180, (640, 360)), (270, (360, 640))],
        ids=["unrotated", "rotate90", "rotate180", "rotate270"],
    )
    def test_rendition_is_upright_like_ffmpeg_autorotation(self, workdir, key_info, rotate,
                                                           size):
        source = _marked_source(workdir / "marked.mp4", rotate)
        rotation = _display_rotation(source)
        if rotate is None:
            assert rotation is None
        else:
            # FFmpeg reports the matrix's angle counter-clockwise; either sign
            # names the same quarter turn for this check.
            assert rotation is not None, "no display matrix"
            assert rotate in {round(rotation) % 360, round(-rotation) % 360}, rotation

        encode_ok(source, key=key_info)
        complete_rendition("360p")
        width, height = size
        streams = [s for s in probe_streams(workdir / "360p.m3u8") if s["codec_type"] == "video"]
        assert (streams[0]["width"], streams[0]["height"]) == size
        assert [a["RESOLUTION"] for a, _ in read_master_entries("master.m3u8")] == [
            f"{width}x{height}"]

        output = quadrant_means(gray_picture(workdir / "360p.m3u8", width, height), width, height)
        # FFmpeg's own player view: the display matrix applied, then scaled.
        upright = quadrant_means(gray_picture(source, width, height), width, height)
        unturned = quadrant_means(
            gray_picture(source, width, height, input_args=("-noautorotate",)), width, height)
        half_turned = quadrant_means(
            gray_picture(source, width, height, filters="hflip,vflip"), width, height)
        assert max(upright.values()) > 60 + min(upright.values()), upright
        assert _close(output, upright), (output, upright)
        if rotate is not None:
            assert not _close(output, unturned), (output, unturned)
        assert not _close(output, half_turned), (output, half_turned)
