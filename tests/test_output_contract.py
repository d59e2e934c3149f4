"""One output contract, checked on every kind of source the timeline has to
handle: 30, 25, 24, 15 and 1 pictures per second, pictures only when the
screen changes, interlaced top and bottom field first, jittery timestamps,
MPEG-TS chunks joined with cat, no sound at all, a phone's rotation, HDR.

Whatever the source, a rendition has its pictures on the 1/30 s grid in
order, a keyframe every 2 s of the timeline, 6 s segments but the last,
EXTINF adding up to the media (and the media to the source), the flashes
and beeps of the source still together, and the rung's size and BT.709
tags. A picture or timing step that breaks any of these for one kind of
source shows here, not only the property it was written for.

Each source lasts 8 s with a flash and a beep at 2 s and 5 s (the joined
one: at 2 s in each 4 s chunk), and is encoded once into one 360p rendition.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

from conftest import copy_with_rotation, run_ffmpeg
from media_checks import (
    FRAME,
    complete_rendition,
    encode_ok,
    probe_frames,
    probe_packets,
    probe_streams,
    read_media_playlist,
    write_key_info,
)
from timing_checks import (
    audio_span,
    beep_lags,
    decoded_audio_seconds,
    flash_starts,
    make_flash_and_beep_source,
)

SECONDS = 8
INSTANTS = (2.0, 5.0)
AAC_FRAME = 1024 / 44100
BEEP_ONSET = 0.005
TS_TICK = 2 / 90000
SDR_TAGS = {"color_space": "bt709", "color_primaries": "bt709", "color_transfer": "bt709",
            "color_range": "tv"}


def _flashing(path: Path, rate: str = "30", **kwargs) -> Path:
    return make_flash_and_beep_source(path, seconds=SECONDS, instants=INSTANTS, rate=rate,
                                      **kwargs)


def _reencoded(path: Path, *args: str) -> Path:
    """A 30 per second flashing source passed through `args` (filters,
    codec options), its sound copied."""
    base = _flashing(path.with_name("base.mkv"))
    run_ffmpeg("-i", str(base), *args, "-c:a", "copy", str(path))
    return path


def _interlaced(path: Path, field_order: str) -> Path:
    # 50 progressive pictures a second woven into 25 interlaced ones.
    # x264 codes interlaced pictures in pairs of 16-line macroblocks.
    base = _flashing(path.with_name("base50.mkv"), rate="50", size="160x96")
    run_ffmpeg("-i", str(base), "-vf", f"interlace=scan={field_order}", "-c:v", "libx264",
               "-preset", "ultrafast", "-flags", "+ildct+ilme", "-x264-params", f"{field_order}=1",
               "-pix_fmt", "yuv420p", "-c:a", "copy", str(path))
    return path


def _on_change(path: Path) -> Path:
    # A screen recorder: pictures only in bursts, pauses of 1.3, 2.2 and 1.9 s.
    keep = "+".join(f"between(t,{a},{b})" for a, b in
                    ((0, 0.5), (1.8, 2.6), (4.8, 5.6), (7.5, 8)))
    return _reencoded(path, "-vf", f"select='{keep}'", "-fps_mode", "vfr",
                      "-c:v", "libx264", "-preset", "ultrafast")


def _jittery(path: Path) -> Path:
    return _reencoded(path, "-vf", "setpts='N/30/TB+0.01*sin(N*1.7)/TB'",
                      "-fps_mode", "passthrough", "-enc_time_base", "1:1000",
                      "-c:v", "libx264", "-preset", "ultrafast")


def _joined(path: Path) -> Path:
    # Two 4 s recordings whose clocks both start at 1.4 s: the joined file's
    # timestamps jump back in the middle.
    chunks = [make_flash_and_beep_source(path.with_name(f"chunk{index}.ts"), seconds=4,
                                         instants=(2.0,)) for index in range(2)]
    path.write_bytes(b"".join(chunk.read_bytes() for chunk in chunks))
    return path


def _silent(path: Path) -> Path:
    return _reencoded(path, "-an", "-c:v", "copy")


def _rotated(path: Path) -> Path:
    return copy_with_rotation(_flashing(path.with_name("upright.mp4")), path, 90)


def _hdr(path: Path) -> Path:
    return _reencoded(
        path, "-vf", "zscale=tin=bt709:pin=bt709:min=709:t=arib-std-b67:p=bt2020:m=bt2020nc"
                     ":npl=203,format=yuv420p10le",
        "-c:v", "libx265", "-preset", "ultrafast",
        "-x265-params", "log-level=error:colorprim=bt2020:transfer=arib-std-b67"
                        ":colormatrix=bt2020nc",
        "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", "arib-std-b67")


@dataclass(frozen=True)
class Kind:
    make: Callable[[Path], Path]
    name: str = "source.mkv"
    size: tuple[int, int] = (640, 360)
    sound: bool = True
    markers: tuple[float, ...] = INSTANTS
    # What the source must really be, checked before it is trusted.
    check: Callable[[Path], bool] = lambda source: True


def _stream(source: Path) -> dict:
    return next(s for s in probe_streams(source) if s["codec_type"] == "video")


def _picture_steps(source: Path) -> list[float]:
    times = sorted(float(f["pts_time"]) for f in probe_frames(source, "v", "pts_time"))
    return [b - a for a, b in zip(times, times[1:])]


def _field_order(source: Path) -> tuple[int, int]:
    """(interlaced, top field first) as the decoder flags the first picture."""
    frame = probe_frames(source, "v", "interlaced_frame,top_field_first")[0]
    return int(frame["interlaced_frame"]), int(frame["top_field_first"])


KINDS = {
    "30fps": Kind(lambda p: _flashing(p)),
    "25fps": Kind(lambda p: _flashing(p, "25"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "25/1"),
    "24fps": Kind(lambda p: _flashing(p, "24"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "24/1"),
    "15fps": Kind(lambda p: _flashing(p, "15"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "15/1"),
    "1fps": Kind(lambda p: _flashing(p, "1"),
                 check=lambda s: _stream(s)["avg_frame_rate"] == "1/1"),
    "on_change": Kind(_on_change, check=lambda s: max(_picture_steps(s)) > 2.1),
    "interlaced_tff": Kind(lambda p: _interlaced(p, "tff"),
                           check=lambda s: _field_order(s) == (1, 1)),
    "interlaced_bff": Kind(lambda p: _interlaced(p, "bff"),
                           check=lambda s: _field_order(s) == (1, 0)),
    "jitter": Kind(_jittery, check=lambda s: max(_picture_steps(s)) - min(_picture_steps(s))
                   > 0.01),
    "joined_ts": Kind(_joined, name="joined.ts", markers=(2.0, 6.0),
                      check=lambda s: any(step < 0 for step in (
                          float(b["pts_time"]) - float(a["pts_time"]) for a, b in zip(
                              probe_frames(s, "v", "pts_time"),
                              probe_frames(s, "v", "pts_time")[1:])))),
    "no_audio": Kind(_silent, sound=False,
                     check=lambda s: [t["codec_type"] for t in probe_streams(s)] == ["video"]),
    "rotated": Kind(_rotated, name="rotated.mp4", size=(360, 640)),
    "hdr": Kind(_hdr, check=lambda s: _stream(s)["color_transfer"] == "arib-std-b67"),
}


@dataclass
class Rendition:
    kind: Kind
    source: Path
    playlist: Path

    def picture_times(self) -> list[float]:
        return [float(f["pts_time"]) for f in probe_frames(self.playlist, "v", "pts_time")]


@pytest.fixture(scope="module", params=list(KINDS))
def rendition(request, tmp_path_factory) -> Rendition:
    kind = KINDS[request.param]
    directory = tmp_path_factory.mktemp(request.param)
    source = kind.make(directory / kind.name)
    assert kind.check(source), f"{request.param}: the source lacks its property"
    encode_ok(source, key=write_key_info(directory), cwd=directory)
    complete_rendition("360p", directory)
    return Rendition(kind, source, directory / "360p.m3u8")


class TestOutputContract:
    def test_pictures_on_the_grid_in_order(self, rendition):
        times = rendition.picture_times()
        assert all(b > a for a, b in zip(times, times[1:])), "pictures out of order"
        off_grid = [t for t in times if abs((t - times[0]) / FRAME - round((t - times[0]) / FRAME))
                    * FRAME > TS_TICK]
        assert not off_grid, off_grid[:5]

    def test_keyframe_every_two_seconds(self, rendition):
        packets = probe_packets(rendition.playlist, "v", "pts_time,flags")
        first = min(float(p["pts_time"]) for p in packets)
        keys = sorted(round(float(p["pts_time"]) - first, 3) for p in packets
                      if p["flags"].startswith("K"))
        assert keys == [0, 2, 4, 6], keys

    def test_six_second_segments(self, rendition):
        playlist = read_media_playlist(rendition.playlist)
        assert "#EXT-X-TARGETDURATION:6" in rendition.playlist.read_text()
        assert [round(d, 3) for d in playlist.durations[:-1]] == [6.0], playlist.durations
        assert 0 < playlist.durations[-1] <= 6, playlist.durations

    def test_extinf_adds_up_to_the_media_and_the_media_to_the_source(self, rendition):
        total = sum(read_media_playlist(rendition.playlist).durations)
        assert abs(total - SECONDS) <= FRAME + AAC_FRAME, total
        times = rendition.picture_times()
        pictures = times[-1] + FRAME - times[0]
        assert abs(pictures - total) <= FRAME + TS_TICK, (pictures, total)
        # The sound as decoded, against the source's: the AAC encoder adds
        # its priming and pads its last frame. Silence spans the pictures.
        sound = decoded_audio_seconds(rendition.playlist)
        if rendition.kind.sound:
            gained = sound - decoded_audio_seconds(rendition.source)
            assert 0 <= gained <= 2 * AAC_FRAME, (sound, gained)
        else:
            assert abs(sound - total) <= 2 * AAC_FRAME, (sound, total)

    def test_sight_and_sound_stay_together(self, rendition):
        flashes = flash_starts(rendition.playlist)
        markers = rendition.kind.markers
        assert len(flashes) == len(markers), flashes
        # The flashes keep their distance: no stretching of the pictures.
        assert math.isclose(flashes[-1] - flashes[0], markers[-1] - markers[0],
                            abs_tol=FRAME + TS_TICK), flashes
        if not rendition.kind.sound:
            audio_start, audio_end = audio_span(rendition.playlist)
            assert abs((audio_end - audio_start) - SECONDS) <= 2 * AAC_FRAME, (audio_start,
                                                                              audio_end)
            return
        for source_lag, output_lag in zip(beep_lags(rendition.source),
                                          beep_lags(rendition.playlist)):
            assert abs(output_lag - source_lag) <= FRAME + BEEP_ONSET, (source_lag, output_lag)

    def test_size_and_colour_tags(self, rendition):
        stream = _stream(rendition.playlist)
        assert (stream["width"], stream["height"]) == rendition.kind.size
        assert {name: stream.get(name) for name in SDR_TAGS} == SDR_TAGS, stream
