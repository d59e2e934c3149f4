"""One output contract, checked on every kind of source the timeline has to
handle: 30, 25, 24, 15, 2, 1 and 0.5 pictures per second, pictures only
when the screen changes, interlaced top and bottom field first, jittery
timestamps, MPEG-TS chunks joined with cat (their clocks jumping back or
forward), pictures whose size changes mid-stream, no sound at all, a
phone's rotation, HDR, one still picture for
the whole sound, songs (MP3, M4A, FLAC) whose only picture is their cover
art, sound that starts before the pictures, and sound whose timestamps are
its clock: a hole where packets were lost, a block sent twice, jittered
timestamps and a capture clock that drifts against them (10 ms PCM packets
stamped to the millisecond in Matroska, AAC in MP4 whose sample table
carries the drift).

Whatever the source, a rendition has its pictures on the 1/30 s grid in
order from where the media starts, a keyframe every 2 s of the timeline,
6 s segments but the last, EXTINF adding up to the media (and the media to
the source), the flashes and beeps of the source still together, the
rung's size and BT.709 tags, MPEG-TS timing that players accept (nothing
below zero, a clock reference at least every 100 ms), and it plays to its
end in GStreamer, an HLS player that shares no code with FFmpeg. A picture
or timing step that breaks any of these for one kind of source shows here,
not only the property it was written for.

Most sources last 8 s with a flash and a beep at 2 s and 5 s (the joined
one: at 2 s in each 4 s chunk); those with few pictures last 16 s, longer
than the muxer waits for a late stream. Each is encoded once into one 360p
rendition.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

from conftest import copy_with_rotation, run_ffmpeg
from media_checks import (
    AAC_PRIMING,
    FRAME,
    complete_rendition,
    encode_ok,
    probe_frames,
    probe_packets,
    probe_streams,
    read_media_playlist,
    write_key_info,
)
from player_checks import http_server, play_with_gstreamer
from timing_checks import (
    DEFAULT_CODECS,
    audio_sample_rate,
    audio_span,
    beep_lags,
    beep_starts,
    beeps,
    decoded_audio_seconds,
    flash_starts,
    make_flash_and_beep_source,
    silent_runs,
)
from transport_checks import rendition_transport, resend_audio_block

SECONDS = 8
SPARSE_SECONDS = 16
INSTANTS = (2.0, 5.0)
AAC_FRAME = 1024 / 44100
BEEP_ONSET = 0.005
TS_TICK = 2 / 90000
MAX_PCR_GAP = 0.1  # MPEG-TS: a clock reference at least every 100 ms
PLAYER_SPAN_TOLERANCE = 0.5
SDR_TAGS = {"color_space": "bt709", "color_primaries": "bt709", "color_transfer": "bt709",
            "color_range": "tv"}


def _flashing(path: Path, rate: str = "30", **kwargs) -> Path:
    return make_flash_and_beep_source(path, seconds=SECONDS, instants=INSTANTS, rate=rate,
                                      **kwargs)


def _reencoded(path: Path, *args: str, **flashing) -> Path:
    """A 30 per second flashing source passed through `args` (filters,
    codec options), its sound copied."""
    base = _flashing(path.with_name("base.mkv"), **flashing)
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


def _joined(path: Path, second_clock: float = 0) -> Path:
    # Two 4 s recordings whose clocks both start at 1.4 s (or the second's
    # `second_clock` s later): the joined file's timestamps jump in the middle.
    chunks = [make_flash_and_beep_source(path.with_name(f"chunk{index}.ts"), seconds=4,
                                         instants=(2.0,),
                                         output_args=("-output_ts_offset", str(offset)))
              for index, offset in enumerate((0, second_clock))]
    path.write_bytes(b"".join(chunk.read_bytes() for chunk in chunks))
    return path


def _resized(path: Path) -> Path:
    """A video call whose sender changed its resolution twice: 3 s of 160x90,
    3 s of 320x240, 2 s of 256x144, the clock running on, in one MPEG-TS."""
    chunks = [make_flash_and_beep_source(path.with_name(f"sized{index}.ts"), seconds=length,
                                         instants=instants, size=size,
                                         output_args=("-output_ts_offset", str(offset)))
              for index, (size, offset, length, instants) in enumerate(
                  (("160x90", 0, 3, (2.0,)), ("320x240", 3, 3, (2.0,)), ("256x144", 6, 2, (1.0,))))]
    path.write_bytes(b"".join(chunk.read_bytes() for chunk in chunks))
    return path


def _picture_sizes(path: Path) -> set[tuple[int, int]]:
    return {(int(f["width"]), int(f["height"])) for f in probe_frames(path, "v", "width,height")}


def _video_jumps(source: Path) -> list[float]:
    times = [float(f["pts_time"]) for f in probe_frames(source, "v", "pts_time")]
    return [b - a for a, b in zip(times, times[1:]) if abs(b - a) > 1]


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
        "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", "arib-std-b67",
        size="854x480")  # larger than the rung: tone-mapped at the rung's size


def _hdr_odd(path: Path) -> Path:
    """PQ in 10-bit VP9 at an odd size, smaller than the rung: mapped at its own size."""
    return _reencoded(
        path, "-vf", "scale=427:241,format=yuv444p,zscale=tin=bt709:pin=bt709:min=709:t=smpte2084:p=bt2020"
                     ":m=bt2020nc:npl=203,format=yuv444p10le,format=yuv420p10le",
        "-c:v", "libvpx-vp9", "-profile:v", "2", "-deadline", "realtime", "-cpu-used", "8",
        "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", "smpte2084",
        size="428x240")


def _slides(path: Path, rate: str, instants: tuple[float, ...] = INSTANTS) -> Path:
    """A lecture recorded as slides: a picture every 1/rate s, 16 s."""
    return make_flash_and_beep_source(path, seconds=SPARSE_SECONDS, instants=instants, rate=rate)


def _still(path: Path) -> Path:
    """A podcast episode: one grey picture at the start, then only sound."""
    picture = path.with_name("picture.mkv")
    run_ffmpeg("-f", "lavfi", "-i", "color=c=gray:size=160x90:rate=1", "-frames:v", "1",
               *DEFAULT_CODECS[:6], str(picture))
    run_ffmpeg("-i", str(picture), "-f", "lavfi", "-i", beeps(INSTANTS), "-map", "0:v",
               "-map", "1:a", "-t", str(SPARSE_SECONDS), "-c:v", "copy", "-c:a", "aac", str(path))
    return path


def _cover_art(path: Path, sound_codec: str, picture_codec: str) -> Path:
    """A song: its sound, and a cover stored as its attached picture."""
    cover = path.with_name("cover.png")
    run_ffmpeg("-f", "lavfi", "-i", "color=c=gray:size=160x90", "-frames:v", "1", str(cover))
    run_ffmpeg("-f", "lavfi", "-i", beeps(INSTANTS, 44100), "-i", str(cover), "-map", "0:a",
               "-map", "1:v", "-t", str(SPARSE_SECONDS), "-c:a", sound_codec, "-c:v", picture_codec,
               "-disposition:v", "attached_pic", str(path))
    return path


def _sound_first(path: Path) -> Path:
    """A recording whose pictures start 2 s after its sound: 10 s of media,
    flashes and beeps together at 4 s and 7 s."""
    pictures = _flashing(path.with_name("pictures.mkv"))
    sound = make_flash_and_beep_source(path.with_name("sound.mkv"), seconds=SECONDS + 2,
                                       instants=(4.0, 7.0))
    run_ffmpeg("-itsoffset", "2", "-i", str(pictures), "-i", str(sound), "-map", "0:v",
               "-map", "1:a", "-c", "copy", str(path))
    return path


# Sound placed by its timestamps: 12 s (the drifting ones 90 s) over a quiet
# tone, so that silence in an output can only be a hole the source has.
TIMED_SECONDS = 12
TIMED_MARKERS = (2.0, 4.0, 8.0, 10.0)
DRIFT_SECONDS = 90
DRIFT_MARKERS = (2.0, 30.0, 60.0, 88.0)
# A capture clock's samples fall 0.1 % behind its timestamps, or run ahead:
# 90 ms over the source, many times the sync allowed.
DRIFT = 0.001
DRIFT_SYNC = 0.005  # a drift is followed within a few ms, never in steps
SOUND_BED = 0.02
# Silence the placement may leave at the edge of a hole.
HOLE_EDGE = 0.03


def _timed_sound(path: Path, sound_codec: str, *sound_filters: str,
                 seconds: float = TIMED_SECONDS, markers: tuple[float, ...] = TIMED_MARKERS,
                 source_rate: int | None = None, muxer_args: tuple[str, ...] = ()) -> Path:
    return make_flash_and_beep_source(
        path, seconds=seconds, instants=markers, bed=SOUND_BED, audio_source_rate=source_rate,
        codec_args=(*DEFAULT_CODECS[:6], "-c:a", sound_codec),
        output_args=(*(("-af", ",".join(sound_filters)) if sound_filters else ()), *muxer_args))


def _hole(path: Path, sound_codec: str, start: float, end: float) -> Path:
    # The frames are dropped with their timestamps: the packets jump the hole.
    return _timed_sound(path, sound_codec, f"aselect='not(between(t,{start},{end}))'")


def _resent(path: Path) -> Path:
    # One AAC frame per PES packet, so that the block is sent again whole.
    plain = _timed_sound(path.with_name("plain.ts"), "aac", muxer_args=("-pes_payload_size", "0"))
    path.write_bytes(resend_audio_block(plain.read_bytes(), 5.5, 6.0))
    return path


def _drifting(path: Path, sound_codec: str, drift: float, *packets: str) -> Path:
    # Sound made `drift` under its nominal rate (over it when negative),
    # labelled with the nominal one and stamped with the real time of each
    # packet's first sample.
    rate = round(48000 * (1 - drift))
    return _timed_sound(path, sound_codec, "asetrate=48000", *packets, f"asetpts=N/{rate}/TB",
                        seconds=DRIFT_SECONDS, markers=DRIFT_MARKERS, source_rate=rate)


def _sound_steps(source: Path) -> list[float]:
    """How far each audio packet starts after the previous one ends."""
    packets = [(float(p["pts_time"]), float(p["duration_time"]))
               for p in probe_packets(source, "a", "pts_time,duration_time")]
    return [b - (a + length) for (a, length), (b, _) in zip(packets, packets[1:])]


def _packet_seconds(source: Path) -> float:
    return float(probe_packets(source, "a", "duration_time")[1]["duration_time"])


def _drift(source: Path) -> float:
    """How far the sound's timestamps run ahead of its samples, as a share."""
    frames = [(float(f["pts_time"]), int(f["nb_samples"]))
              for f in probe_frames(source, "a", "pts_time,nb_samples")]
    counted = sum(count for _, count in frames[:-1]) / audio_sample_rate(source)
    return (frames[-1][0] - frames[0][0]) / counted - 1


@dataclass(frozen=True)
class Kind:
    make: Callable[[Path], Path]
    name: str = "source.mkv"
    size: tuple[int, int] = (640, 360)
    sound: bool = True
    seconds: float = SECONDS
    markers: tuple[float, ...] = INSTANTS
    flashes: bool = True  # False: the markers are beeps under one unchanging picture
    # The sound is judged by its timestamps, not by counting its samples; it
    # has a tone throughout, so it is silent only in `hole` (s from the start).
    timed_sound: bool = False
    hole: tuple[float, float] | None = None
    overlap: float = 0.0  # sound the timestamps place over earlier sound, trimmed
    # Where ffmpeg cannot play the source's sound where its timestamps put it
    # (holes, drift, a clock jumping ahead), each beep is taken as made, with
    # its flash.
    lags_as_made: bool = False
    sync: float = FRAME + BEEP_ONSET  # how far each beep may move against its flash
    # What the source must really be, checked before it is trusted.
    check: Callable[[Path], bool] = lambda source: True
    also: tuple[str, ...] = ()  # rungs encoded beside 360p, whose pictures must be its own


def _stream(source: Path) -> dict:
    return next(s for s in probe_streams(source) if s["codec_type"] == "video")


def _picture_steps(source: Path) -> list[float]:
    times = sorted(float(f["pts_time"]) for f in probe_frames(source, "v", "pts_time"))
    return [b - a for a, b in zip(times, times[1:])]


def _first_video_packet(source: Path) -> float:
    return min(float(p["pts_time"]) for p in probe_packets(source, "v", "pts_time"))


def _field_order(source: Path) -> tuple[int, int]:
    """(interlaced, top field first) as the decoder flags the first picture."""
    frame = probe_frames(source, "v", "interlaced_frame,top_field_first")[0]
    return int(frame["interlaced_frame"]), int(frame["top_field_first"])


TIMED = {"seconds": TIMED_SECONDS, "markers": TIMED_MARKERS, "timed_sound": True,
         "lags_as_made": True}
KINDS = {
    "30fps": Kind(lambda p: _flashing(p)),
    "25fps": Kind(lambda p: _flashing(p, "25"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "25/1"),
    "24fps": Kind(lambda p: _flashing(p, "24"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "24/1"),
    "15fps": Kind(lambda p: _flashing(p, "15"),
                  check=lambda s: _stream(s)["avg_frame_rate"] == "15/1"),
    "2fps": Kind(lambda p: _slides(p, "2"), seconds=SPARSE_SECONDS,
                 check=lambda s: _stream(s)["avg_frame_rate"] == "2/1"),
    "1fps": Kind(lambda p: _slides(p, "1"), seconds=SPARSE_SECONDS,
                 check=lambda s: _stream(s)["avg_frame_rate"] == "1/1"),
    "half_fps": Kind(lambda p: _slides(p, "1/2", (2.0, 6.0)), seconds=SPARSE_SECONDS,
                     markers=(2.0, 6.0),
                     check=lambda s: _stream(s)["avg_frame_rate"] == "1/2"),
    "still_picture": Kind(_still, seconds=SPARSE_SECONDS, flashes=False,
                          check=lambda s: len(probe_packets(s, "v", "pts_time")) == 1),
    **{f"cover_art_{suffix}": Kind(lambda p, codecs=codecs: _cover_art(p, *codecs),
                                   name=f"song.{suffix}", seconds=SPARSE_SECONDS, flashes=False,
                                   check=lambda s: _stream(s)["disposition"]["attached_pic"] == 1)
       for suffix, codecs in {"mp3": ("libmp3lame", "png"), "m4a": ("aac", "mjpeg"),
                              "flac": ("flac", "png")}.items()},
    "sound_first": Kind(_sound_first, seconds=SECONDS + 2, markers=(4.0, 7.0),
                        check=lambda s: _first_video_packet(s) >= 1.9),
    "on_change": Kind(_on_change, check=lambda s: max(_picture_steps(s)) > 2.1),
    "interlaced_tff": Kind(lambda p: _interlaced(p, "tff"),
                           check=lambda s: _field_order(s) == (1, 1)),
    "interlaced_bff": Kind(lambda p: _interlaced(p, "bff"),
                           check=lambda s: _field_order(s) == (1, 0)),
    "jitter": Kind(_jittery, check=lambda s: max(_picture_steps(s)) - min(_picture_steps(s))
                   > 0.01),
    # Each chunk's sound runs 11 ms past its pictures and starts 21 ms
    # before them: at the join the second overlaps the first by 32 ms.
    "joined_ts": Kind(_joined, name="joined.ts", markers=(2.0, 6.0), overlap=0.033,
                      check=lambda s: len(_video_jumps(s)) == 1 and _video_jumps(s)[0] < 0),
    "joined_forward_ts": Kind(lambda p: _joined(p, 100), name="joined.ts", markers=(2.0, 6.0),
                              overlap=0.033, lags_as_made=True,
                              check=lambda s: _video_jumps(s) > [90]),
    # Two joins, each trimming the sound the chunks overlap by (as joined_ts).
    "resized": Kind(_resized, name="resized.ts", also=("480p",), markers=(2.0, 5.0, 7.0),
                    overlap=0.066, lags_as_made=True,
                    check=lambda s: len(_picture_sizes(s)) == 3 and not _video_jumps(s)),
    "no_audio": Kind(_silent, sound=False,
                     check=lambda s: [t["codec_type"] for t in probe_streams(s)] == ["video"]),
    "rotated": Kind(_rotated, name="rotated.mp4", size=(360, 640)),
    "hdr": Kind(_hdr, check=lambda s: _stream(s)["color_transfer"] == "arib-std-b67"
                and _stream(s)["height"] == 480),
    "hdr_odd": Kind(_hdr_odd, check=lambda s: (
        _stream(s)["codec_name"], _stream(s)["pix_fmt"], _stream(s)["color_transfer"],
        _stream(s)["width"], _stream(s)["height"]) == ("vp9", "yuv420p10le", "smpte2084", 427, 241)),
    "sound_hole_mkv": Kind(lambda p: _hole(p, "pcm_s16le", 5.0, 6.0), **TIMED, hole=(5.02, 6.0),
                           check=lambda s: max(_sound_steps(s)) > 0.95),
    "sound_hole_ts": Kind(lambda p: _hole(p, "aac", 6.4, 7.4), name="hole.ts", **TIMED,
                          hole=(6.4, 7.4), check=lambda s: max(_sound_steps(s)) > 0.95),
    "sound_resent_ts": Kind(_resent, name="resent.ts", **TIMED,
                            check=lambda s: min(_sound_steps(s)) < -0.45),
    # Each block's timestamp up to 5 ms off its samples' time, to the ms.
    "sound_jitter": Kind(lambda p: _timed_sound(p, "pcm_s16le", "asetpts='N/SR/TB"
                                                "+0.005*(2*random(0)-1)/TB'"), **TIMED,
                         check=lambda s: max(_sound_steps(s)) - min(_sound_steps(s)) > 0.015
                         and max(map(abs, _sound_steps(s))) < 0.0115),
    # A screen recorder's microphone 0.1 % slow: 10 ms packets of PCM whose
    # millisecond timestamps mostly repeat the count, and AAC in MP4 0.1 %
    # fast, whose drift is only in its sample table's durations.
    **{name: Kind(lambda p, args=args: _drifting(p, *args), name=file, seconds=DRIFT_SECONDS,
                  markers=DRIFT_MARKERS, timed_sound=True, lags_as_made=True, sync=DRIFT_SYNC,
                  check=lambda s, args=args, size=size: abs(_drift(s) - args[1]) < 0.0001
                  and abs(_packet_seconds(s) - size) < 0.0005)
       for name, file, args, size in (
           ("sound_drift_pcm_mkv", "drift.mkv", ("pcm_s16le", DRIFT, "asetnsamples=480"), 0.010),
           ("sound_drift_aac_mp4", "drift.mp4", ("aac", -DRIFT), 1024 / 48000))},
}


@dataclass
class Rendition:
    kind: Kind
    source: Path
    playlist: Path
    master: Path

    def picture_times(self) -> list[float]:
        return [float(f["pts_time"]) for f in probe_frames(self.playlist, "v", "pts_time")]


@pytest.fixture(scope="module")
def served(tmp_path_factory) -> Iterator[tuple[Path, str]]:
    """Every rendition's folder, served over HTTP on 127.0.0.1: (root, URL)."""
    root = tmp_path_factory.mktemp("served")
    with http_server(root) as url:
        yield root, url


@pytest.fixture(scope="module", params=list(KINDS))
def rendition(request, served) -> Rendition:
    kind = KINDS[request.param]
    directory = served[0] / request.param
    directory.mkdir()
    source = kind.make(directory / kind.name)
    assert kind.check(source), f"{request.param}: the source lacks its property"
    encode_ok(source, resolution=("360p", *kind.also), key=write_key_info(directory),
              cwd=directory)
    for rung in ("360p", *kind.also):
        complete_rendition(rung, directory)
    return Rendition(kind, source, directory / "360p.m3u8", directory / "master.m3u8")


def _stream_starts(path: Path) -> dict[str, float]:
    return {s["codec_type"]: float(s["start_time"]) for s in probe_streams(path)}


def _media_start(path: Path) -> float:
    """Where the first stream starts: for an output, its first picture; for a
    source, whichever of its streams starts first."""
    return min(float(s["start_time"]) for s in probe_streams(path) if "start_time" in s)


def _beep_offsets(path: Path, markers: tuple[float, ...]) -> list[float]:
    start = _media_start(path)
    return [beep - start for beep in beep_starts(path, [start + m for m in markers])]


class TestOutputContract:
    def test_pictures_on_the_grid_in_order(self, rendition):
        times = rendition.picture_times()
        assert all(b > a for a, b in zip(times, times[1:])), "pictures out of order"
        off_grid = [t for t in times if abs((t - times[0]) / FRAME - round((t - times[0]) / FRAME))
                    * FRAME > TS_TICK]
        assert not off_grid, off_grid[:5]

    def test_the_pictures_start_where_the_media_starts(self, rendition):
        # The sound's first packet carries the AAC encoder's priming before
        # the first sample that is heard.
        streams = _stream_starts(rendition.playlist)
        assert abs(streams["audio"] + AAC_PRIMING - streams["video"]) <= FRAME / 2, streams

    def test_keyframe_every_two_seconds(self, rendition):
        packets = probe_packets(rendition.playlist, "v", "pts_time,flags")
        first = min(float(p["pts_time"]) for p in packets)
        keys = sorted(round(float(p["pts_time"]) - first, 3) for p in packets
                      if p["flags"].startswith("K"))
        # One on every 2 s of the timeline that a picture starts on.
        total = sum(read_media_playlist(rendition.playlist).durations)
        assert keys == list(range(0, math.ceil(total - FRAME / 2), 2)), (keys, total)

    def test_six_second_segments(self, rendition):
        playlist = read_media_playlist(rendition.playlist)
        assert "#EXT-X-TARGETDURATION:6" in rendition.playlist.read_text()
        assert {round(d, 3) for d in playlist.durations[:-1]} == {6.0}, playlist.durations
        assert 0 < playlist.durations[-1] <= 6, playlist.durations

    def test_extinf_adds_up_to_the_media_and_the_media_to_the_source(self, rendition):
        total = sum(read_media_playlist(rendition.playlist).durations)
        assert abs(total - rendition.kind.seconds) <= FRAME + AAC_FRAME, total
        times = rendition.picture_times()
        pictures = times[-1] + FRAME - times[0]
        assert abs(pictures - total) <= FRAME + TS_TICK, (pictures, total)
        # The sound as decoded, against the source's: the AAC encoder adds
        # its priming and pads its last frame. Silence spans the pictures.
        sound = decoded_audio_seconds(rendition.playlist)
        if rendition.kind.timed_sound:
            # Every sample, and silence for every hole: the sound spans what
            # its timestamps span.
            start, end = audio_span(rendition.source)
            gained = sound - (end - start)
            assert 0 <= gained <= 2 * AAC_FRAME, (sound, start, end)
        elif rendition.kind.sound:
            gained = sound - decoded_audio_seconds(rendition.source)
            assert -rendition.kind.overlap <= gained <= 2 * AAC_FRAME, (sound, gained)
        else:
            assert abs(sound - total) <= 2 * AAC_FRAME, (sound, total)

    def test_sight_and_sound_stay_together(self, rendition):
        markers = rendition.kind.markers
        if not rendition.kind.flashes:
            # One unchanging picture: each beep keeps its place from the start.
            source, output = (_beep_offsets(path, markers) for path in (rendition.source,
                                                                         rendition.playlist))
            assert all(abs(b - a) <= FRAME + BEEP_ONSET for a, b in zip(source, output)), (
                source, output)
            return
        flashes = flash_starts(rendition.playlist)
        assert len(flashes) == len(markers), flashes
        # The flashes keep their distance: no stretching of the pictures.
        assert math.isclose(flashes[-1] - flashes[0], markers[-1] - markers[0],
                            abs_tol=FRAME + TS_TICK), flashes
        if not rendition.kind.sound:
            audio_start, audio_end = audio_span(rendition.playlist)
            assert abs((audio_end - audio_start) - SECONDS) <= 2 * AAC_FRAME, (audio_start,
                                                                              audio_end)
            return
        source_lags = ([0.0] * len(markers) if rendition.kind.lags_as_made
                       else beep_lags(rendition.source))
        for source_lag, output_lag in zip(source_lags, beep_lags(rendition.playlist)):
            assert abs(output_lag - source_lag) <= rendition.kind.sync, (source_lag, output_lag)

    def test_silent_only_where_the_source_has_no_sound(self, rendition):
        if not rendition.kind.timed_sound:
            pytest.skip("a sound of beeps between silences")
        # Sample by sample: a gap of 20 ms hides in any loudness window.
        # Times from where each file's media starts (an output's with its
        # first picture); the output may be silent where the source is (its
        # hole, its codec's first milliseconds, before and after its sound).
        source_start = _media_start(rendition.source)
        output_start = _stream_starts(rendition.playlist)["video"]
        first, last = (at - source_start for at in audio_span(rendition.source))
        allowed = [(-math.inf, first), (last, math.inf),
                   *((at - source_start, at - source_start + length)
                     for at, length in silent_runs(rendition.source))]
        hole = rendition.kind.hole
        if hole:
            allowed.append(hole)
        runs = [(at - output_start, length) for at, length in silent_runs(rendition.playlist)]
        stray = [(round(at, 3), round(length, 4)) for at, length in runs
                 if not any(low - HOLE_EDGE <= at and at + length <= high + HOLE_EDGE
                            for low, high in allowed)]
        assert not stray, f"silence where the source has sound: {stray[:10]}"
        if hole:
            inside = sum(length for at, length in runs if hole[0] - HOLE_EDGE <= at <= hole[1])
            assert inside >= hole[1] - hole[0] - HOLE_EDGE, (hole, runs)

    def test_every_rung_has_the_same_pictures(self, rendition):
        if not rendition.kind.also:
            pytest.skip("one rung")
        for rung in rendition.kind.also:
            other = [float(f["pts_time"]) for f in
                     probe_frames(rendition.playlist.with_name(f"{rung}.m3u8"), "v", "pts_time")]
            assert other == rendition.picture_times(), rung

    def test_size_and_colour_tags(self, rendition):
        stream = _stream(rendition.playlist)
        assert (stream["width"], stream["height"]) == rendition.kind.size
        assert _picture_sizes(rendition.playlist) == {rendition.kind.size}
        assert {name: stream.get(name) for name in SDR_TAGS} == SDR_TAGS, stream

    def test_transport_timing_that_players_accept(self, rendition):
        # Read as the bytes a player gets: a timestamp below zero wraps to
        # 26 hours, and a clock reference more than 100 ms late stalls it.
        timing = rendition_transport(rendition.playlist)
        assert timing.lowest_seconds() >= 0, (timing.first_dts_seconds("video"),
                                              timing.first_dts_seconds("audio"))
        assert timing.dts_strictly_increasing("video")
        assert timing.dts_strictly_increasing("audio")
        assert timing.largest_pcr_gap_seconds() <= MAX_PCR_GAP + 1e-9, (
            timing.largest_pcr_gap_seconds())

    def test_plays_to_the_end_in_gstreamer(self, rendition, served):
        root, url = served
        playback = play_with_gstreamer(f"{url}/{rendition.master.relative_to(root)}")
        assert playback.returncode == 0 and playback.ended, playback
        assert not playback.errors, playback.errors
        total = sum(read_media_playlist(rendition.playlist).durations)
        assert playback.pictures, "no picture reached the screen"
        assert abs(playback.picture_span - total) <= PLAYER_SPAN_TOLERANCE, (
            len(playback.pictures), playback.picture_span, total)
