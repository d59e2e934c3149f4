"""Sources whose timing decides what a viewer sees and hears: jittery
recordings, sources faster than 30 pictures per second, a picture that ends
before its sound, sound whose container clock differs from its decoded
clock, film sound in 5.1 and 7.1, and sound that changes format mid-stream
(recordings glued together with cat are kinds of the output-contract check).

Every source is generated and probed here; each is encoded once per module
into a single 360p rendition, and the checks read what a player reads: the
playlist through FFmpeg's HLS demuxer.

Tolerances:
- FRAME (1/30 s): pictures sit on the 1/30 s grid, so a picture may land up
  to one slot from its source time.
- AAC_FRAME (1024/44100 s): the AAC encoder puts 1024 priming samples before
  the first sample and pads its last frame to 1024 samples.
- BEEP_ONSET (5 ms, five periods of the 1 kHz beep): AAC and the loudness
  stage may reshape the first cycles of a beep.
- TS_TICK: MPEG-TS stamps at 90 kHz and ffprobe prints microseconds.
"""

from __future__ import annotations

import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import make_source, run_ffmpeg
from media_checks import (
    AAC_PRIMING,
    FRAME,
    complete_rendition,
    decrypt_segment,
    encode_ok,
    integrated_loudness,
    probe_frames,
    probe_packets,
    probe_streams,
    listed_renditions,
    timestamp_warnings,
    video_frame_times,
    write_key_info,
)
from timing_checks import (
    audio_frames,
    audio_sample_rate,
    audio_span,
    beep_lags,
    beep_starts,
    flash_starts,
    make_flash_and_beep_source,
    make_speech_like_multichannel,
    video_span,
    window_levels_db,
)

AAC_FRAME = 1024 / 44100
BEEP_ONSET = 0.005
TS_TICK = 2 / 90000
TARGET_LOUDNESS = -14.0


@dataclass
class Encoded:
    source: Path
    directory: Path
    key_info: Path

    @property
    def playlist(self) -> Path:
        return self.directory / "360p.m3u8"


def _encode(source: Path) -> Encoded:
    directory = source.parent
    key_info = write_key_info(directory)
    finished = encode_ok(source, key=key_info, cwd=directory)
    assert timestamp_warnings(finished.stderr) == []
    return Encoded(source, directory, key_info)


def _rendition(encoded: Encoded):
    """The rendition's playlist, asserted listed in the master and complete."""
    assert listed_renditions(encoded.directory / "master.m3u8") == [
        "360p.m3u8"]
    return complete_rendition("360p", encoded.directory)


def _steps(times: list[float]) -> list[float]:
    return [later - earlier for earlier, later in zip(times, times[1:])]


def _own_pictures(output: list[float], source_pictures: int) -> list[float]:
    """The output's pictures less the lead-in: a source whose first picture
    comes less than a slot after its sound has it shown once more from the
    start of the sound."""
    lead_in = len(output) - source_pictures
    assert lead_in in (0, 1), f"kept {len(output)} of {source_pictures} pictures"
    if lead_in:
        assert abs(output[1] - output[0] - FRAME) <= TS_TICK, output[:2]
    return output[lead_in:]


def _slots(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms ({seconds / FRAME:.2f} slots)"


# --- jittery recordings -------------------------------------------------------


def _jittery_mp4(path: Path) -> Path:
    """30/s, each picture moved by up to 10 ms at 1 ms precision, the cadence
    17 ms (about half a slot) after the sound's start."""
    run_ffmpeg(
        "-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2.8",
        "-map", "0:v", "-map", "1:a", "-t", "3",
        "-vf", "settb=1/1000,setpts='(N/30+0.017+0.01*sin(N*1.7))/TB'",
        "-fps_mode", "passthrough", "-enc_time_base:v", "1:1000",
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
        str(path))
    return path


def _browser_webm(path: Path) -> Path:
    """A browser-style recording: VP9 + Opus written to a pipe, so without
    duration or cues; pictures jitter by up to 12 ms around a 30/s cadence.
    The pictures start at 7 ms, the Opus codec delay: FFmpeg 5.1's ffmpeg
    moves them there itself, 7.1's leaves them at 0, so there the 7 ms go
    into their timestamps."""
    def write(lead: str) -> None:
        with path.open("wb") as out:
            subprocess.run(
                ["ffmpeg", "-hide_banner", "-v", "error",
                 "-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30",
                 "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3.8",
                 "-map", "0:v", "-map", "1:a", "-t", "4",
                 "-vf", f"settb=1/1000,setpts='({lead}N/30+0.012*sin(N*1.7))/TB'",
                 "-fps_mode", "passthrough", "-enc_time_base:v", "1:1000",
                 "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "200k",
                 "-c:a", "libopus", "-f", "webm", "pipe:1"],
                stdout=out, check=True)

    write("")
    if video_frame_times(path)[0] == 0:
        write("0.007+")
    return path


JITTERY = {"mp4_half_slot_phase": ("jittery.mp4", _jittery_mp4),
           "webm_browser_recording": ("recording.webm", _browser_webm)}


@pytest.fixture(scope="module", params=list(JITTERY))
def jittery(request, tmp_path_factory) -> Encoded:
    name, make = JITTERY[request.param]
    source = make(tmp_path_factory.mktemp(request.param) / name)
    times = video_frame_times(source)
    steps = _steps(times)
    # The jitter must survive into the file: fine-grained, uneven steps, yet
    # never two slots between neighbours.
    assert max(steps) - min(steps) > 0.02, (min(steps), max(steps))
    assert max(steps) < 2 * FRAME, max(steps)
    assert all(abs(t * 1000 - round(t * 1000)) < 1e-3 for t in times), times[:5]
    if source.suffix == ".webm":
        streams = probe_streams(source)
        assert all("DURATION" not in s.get("tags", {}) for s in streams), streams
        assert abs(times[0] - 0.007) < 1e-6, times[0]
    else:
        audio_start, _ = audio_span(source)
        phase = ((times[0] - audio_start) / FRAME) % 1
        assert 0.4 < phase < 0.6, phase
    return _encode(source)


class TestJitteryRecordings:
    def test_every_picture_is_kept_near_its_own_time(self, jittery):
        _rendition(jittery)
        source = video_frame_times(jittery.source)
        output = _own_pictures(video_frame_times(jittery.playlist), len(source))
        largest_gap = max(_steps(output))
        # Some shift of the whole timeline puts every picture within one slot
        # of its source time: jitter is absorbed, never accumulated.
        offsets = [out - src for out, src in zip(output, source)]
        spread = max(offsets) - min(offsets)
        assert spread <= 2 * FRAME + TS_TICK, f"pictures moved apart by {_slots(spread)}"
        # Rounding the ends of a source step under two slots (or moving a
        # picture on to a later free slot) leaves at most two slots between
        # pictures.
        assert largest_gap <= 2 * FRAME + TS_TICK, _slots(largest_gap)

    def test_playlist_lasts_as_long_as_the_pictures(self, jittery):
        playlist = _rendition(jittery)
        source_seconds = video_span(video_frame_times(jittery.source))
        # Within one slot, and one more where the first picture is shown from
        # the start of the sound, up to a slot before its own time.
        assert abs(sum(playlist.durations) - source_seconds) <= 2 * FRAME + TS_TICK, (
            playlist.durations, source_seconds)


# --- fast sources -------------------------------------------------------------

FAST_SECONDS = 7  # two segments: six seconds and one


# 120 and 59.94 give two pictures or a little more to each slot; 50 gives
# one or two in turn.
@pytest.fixture(scope="module", params=["120", "60000/1001", "50"],
                ids=["120fps", "59.94fps", "50fps"])
def fast(request, tmp_path_factory) -> Encoded:
    directory = tmp_path_factory.mktemp("fast")
    source = make_source(directory / "fast.mp4", size="160x90", rate=request.param,
                         seconds=FAST_SECONDS)
    return _encode(source)


class TestFastSourcesStayOnTheGrid:
    def test_thirty_per_second_on_the_grid_without_holes(self, fast):
        _rendition(fast)
        source = video_frame_times(fast.source)
        output = video_frame_times(fast.playlist)
        # Every slot of the source's span is filled; the last source picture
        # may round onto the slot after the span.
        assert len(source) > 30 * FAST_SECONDS * 1.5
        assert abs(len(output) - 30 * FAST_SECONDS) <= 1, len(output)
        steps = _steps(output)
        assert all(abs(step - FRAME) <= TS_TICK for step in steps), (min(steps), max(steps))

    def test_segments_open_on_keyframes_every_60_pictures(self, fast, tmp_path):
        playlist = _rendition(fast)
        flags = [p["flags"] for p in probe_packets(fast.playlist, "v", "flags")]
        assert [i for i, flag in enumerate(flags) if flag.startswith("K")] == list(
            range(0, len(flags), 60))
        assert len(playlist.segments) == 2, playlist.durations
        assert abs(playlist.durations[0] - 6) <= TS_TICK, playlist.durations
        for segment in playlist.segment_paths():
            plain = decrypt_segment(segment, fast.key_info, tmp_path / segment.name)
            first = probe_packets(plain, "v", "flags")[0]
            assert first["flags"].startswith("K"), (segment.name, first)


# --- a picture shorter than its sound --------------------------------------------

LENGTHS = {"video_3s_audio_5s": (3, 5), "video_5s_audio_3s": (5, 3)}


@pytest.fixture(scope="module", params=list(LENGTHS))
def uneven(request, tmp_path_factory) -> Encoded:
    video_seconds, audio_seconds = LENGTHS[request.param]
    source = tmp_path_factory.mktemp(request.param) / "uneven.mp4"
    run_ffmpeg(
        "-f", "lavfi", "-i", f"testsrc2=size=160x90:rate=30:duration={video_seconds}",
        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={audio_seconds}",
        "-map", "0:v", "-map", "1:a",
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac",
        str(source))
    assert abs(video_span(video_frame_times(source)) - video_seconds) <= 0.001
    # The source's AAC pads its last frame to 1024 samples.
    start, end = audio_span(source)
    assert 0 <= end - start - audio_seconds <= 1024 / 48000, (start, end)
    return _encode(source)


class TestPictureEndsBeforeSound:
    def test_playlist_covers_the_longer_stream(self, uneven):
        playlist = _rendition(uneven)
        pictures = video_frame_times(uneven.source)
        audio_start, audio_end = audio_span(uneven.source)
        media_seconds = max(pictures[-1] + FRAME, audio_end) - min(pictures[0], audio_start)
        # Within one picture, plus the padding of the encoder's last AAC frame.
        assert abs(sum(playlist.durations) - media_seconds) <= FRAME + AAC_FRAME, (
            f"EXTINF total {sum(playlist.durations):.3f} s for {media_seconds:.3f} s of media")

    def test_pictures_run_on_the_grid_to_the_end_of_the_sound(self, uneven):
        _rendition(uneven)
        output = video_frame_times(uneven.playlist)
        _, audio_end = audio_span(uneven.playlist)
        # The last picture (held, when the picture ran out first) is shown
        # until the sound ends, give or take one slot and the AAC padding,
        # repeated on the grid at least every 100 ms so that players keep
        # their clock.
        assert output[-1] + FRAME >= audio_end - FRAME - AAC_FRAME, (output[-1], audio_end)
        steps = _steps(output)
        assert all(FRAME - TS_TICK <= step <= 3 * FRAME + TS_TICK for step in steps), (
            min(steps), max(steps))


# --- pauses in the pictures ------------------------------------------------------

# Pictures for 1 s, none for PAUSE s, pictures for 1 s more; with sound
# throughout (a camera that stopped sending pictures, a slide left up) or
# with none at all (a crafted file claiming three hours it holds nothing for).
PAUSES = {"sound_plays_on_8s": (8, True), "nothing_for_3h": (3 * 3600, False)}


@dataclass
class Paused(Encoded):
    pause: float
    sound: bool


@pytest.fixture(scope="module", params=list(PAUSES))
def paused(request, tmp_path_factory) -> Paused:
    pause, sound = PAUSES[request.param]
    directory = tmp_path_factory.mktemp(request.param)
    source = directory / "paused.mkv"
    sound_args = (["-f", "lavfi", "-t", str(pause + 2), "-i", "sine=frequency=440:sample_rate=48000",
                   "-c:a", "aac"] if sound else [])
    run_ffmpeg("-f", "lavfi", "-t", "2", "-i", "testsrc2=size=160x90:rate=30", *sound_args,
               "-vf", f"setpts='if(gte(N,30),PTS+{pause}/TB,PTS)'", "-fps_mode", "passthrough",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", str(source))
    times = video_frame_times(source)
    assert len(times) == 60 and max(_steps(times)) > pause, (len(times), max(_steps(times)))
    assert source.stat().st_size < 500_000
    encoded = _encode(source)
    return Paused(encoded.source, encoded.directory, encoded.key_info, pause, sound)


class TestPausedPictures:
    def test_a_pause_the_sound_covers_is_bridged_an_empty_one_is_closed(self, paused):
        playlist = _rendition(paused)
        pictures = video_frame_times(paused.playlist)
        # Bridged: the timeline keeps the pause, with the last picture again
        # every 100 ms and at each 2 s keyframe, not at every slot. Closed:
        # the second second follows the first, so the call encodes 2 s, not
        # hours.
        expected = paused.pause + 2 if paused.sound else 2
        assert abs(sum(playlist.durations) - expected) <= FRAME + AAC_FRAME, playlist.durations
        assert abs(video_span(pictures) - expected) <= FRAME, video_span(pictures)
        assert len(pictures) <= 60 + 10 * expected + expected // 2 + 2, len(pictures)
        assert max(_steps(pictures)) <= 3 * FRAME + TS_TICK, max(_steps(pictures))
        keys = [float(p["pts_time"]) for p in probe_packets(paused.playlist, "v", "pts_time,flags")
                if p["flags"].startswith("K")]
        assert all(abs(b - a - 2) <= TS_TICK for a, b in zip(keys, keys[1:])), keys


# --- sound timed by its decoder ---------------------------------------------------

FLASHES = (1.0, 2.5)


def _asf_with_silent_first_packets(path: Path) -> Path:
    return make_flash_and_beep_source(
        path, seconds=4, instants=FLASHES, size="160x96", audio_rate=44100,
        codec_args=("-c:v", "wmv2", "-c:a", "wmav2", "-b:a", "64k"))


def _matroska_opus(path: Path) -> Path:
    return make_flash_and_beep_source(
        path, seconds=4, instants=FLASHES,
        codec_args=("-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                    "-c:a", "libopus"))


def _first_times(source: Path) -> tuple[float, float, float]:
    """First audio packet, first decoded sound and first decoded picture."""
    first_packet = float(probe_packets(source, "a", "pts_time")[0]["pts_time"])
    return first_packet, audio_span(source)[0], video_frame_times(source)[0]


RELATION_SOURCES = {
    # WMA2 in ASF: the first packets decode to nothing, so the first sound
    # comes out about 90 ms after the stream's start.
    "asf_wma2_silent_first_packets": (
        "source.wmv", _asf_with_silent_first_packets,
        lambda packet, sound, picture: sound - packet > 0.045),
    # Opus in Matroska: the stream starts 7 ms before its first decoded sound.
    "matroska_opus": (
        "source.mkv", _matroska_opus,
        lambda packet, sound, picture: sound - packet > 0.005),
}


@pytest.fixture(scope="module", params=list(RELATION_SOURCES))
def related(request, tmp_path_factory) -> Encoded:
    name, make, has_property = RELATION_SOURCES[request.param]
    source = make(tmp_path_factory.mktemp(request.param) / name)
    first_times = _first_times(source)
    assert has_property(*first_times), first_times
    return _encode(source)


class TestSoundTimedByItsDecoder:
    def test_beeps_stay_with_their_flashes(self, related):
        _rendition(related)
        source_lags = beep_lags(related.source)
        assert len(source_lags) == len(FLASHES), source_lags
        output_lags = beep_lags(related.playlist)
        assert len(output_lags) == len(FLASHES), output_lags
        for source_lag, output_lag in zip(source_lags, output_lags):
            assert abs(output_lag - source_lag) <= FRAME + BEEP_ONSET, (
                f"beep {output_lag * 1000:+.1f} ms from its flash, "
                f"{source_lag * 1000:+.1f} ms in the source")


# --- film sound in 5.1 and 7.1 ----------------------------------------------------------

# Dialogue in the centre, music and effects in front, ambience around, a
# quiet LFE: film mixes carry much of their sound outside the front pair.
MULTICHANNEL = {
    "5.1": [-10, -10, -3, -10, 0, 0],  # FL FR FC LFE BL BR
    "7.1": [-10, -10, -3, -10, 0, 0, -10, -10],  # FL FR FC LFE BL BR SL SR
}


@pytest.fixture(scope="module", params=list(MULTICHANNEL))
def film_sound(request, tmp_path_factory) -> Encoded:
    source = make_speech_like_multichannel(
        tmp_path_factory.mktemp(f"film_{request.param}") / "film.mp4",
        channel_layout=request.param, gains_db=MULTICHANNEL[request.param],
        seconds=4, level_db=-17)
    audio = next(s for s in probe_streams(source) if s["codec_type"] == "audio")
    assert audio["channel_layout"] == request.param, audio
    assert integrated_loudness(source) < TARGET_LOUDNESS - 15
    # Speech-like: syllables and pauses swing the level by tens of dB.
    levels = window_levels_db(source)
    assert max(levels) - min(levels) > 20, (min(levels), max(levels))
    return _encode(source)


class TestFilmSound:
    def test_stereo_delivered_at_minus_14_lufs(self, film_sound):
        _rendition(film_sound)
        audio = next(s for s in probe_streams(film_sound.playlist) if s["codec_type"] == "audio")
        assert (audio["channels"], int(audio["sample_rate"])) == (2, 44100), audio
        loudness = integrated_loudness(film_sound.playlist)
        assert abs(loudness - TARGET_LOUDNESS) <= 1.0, loudness


# --- sound changing format mid-stream ------------------------------------------------------

CHUNK_SECONDS = 3


@dataclass
class FormatChange(Encoded):
    chunks: list[Path]


@pytest.fixture(scope="module")
def format_change(tmp_path_factory) -> FormatChange:
    """A stereo 48 kHz TS chunk and a 5.1 44.1 kHz TS chunk whose clock goes
    on from the first, joined as broadcast captures switch at a programme
    boundary."""
    directory = tmp_path_factory.mktemp("format_change")
    # Both clocks are moved by more than the AAC priming, so that the muxer
    # shifts neither chunk to keep its timestamps positive and the second
    # chunk's pictures follow the first's one slot on.
    chunks = [
        make_flash_and_beep_source(directory / "stereo.ts", seconds=CHUNK_SECONDS,
                                   instants=(1.0,), output_args=("-output_ts_offset", "1")),
        make_flash_and_beep_source(directory / "surround.ts", seconds=CHUNK_SECONDS,
                                   instants=(1.0,), channel_layout="5.1", audio_rate=44100,
                                   output_args=("-output_ts_offset", str(1 + CHUNK_SECONDS))),
    ]
    assert [audio_sample_rate(chunk) for chunk in chunks] == [48000, 44100]
    source = directory / "joined.ts"
    source.write_bytes(b"".join(chunk.read_bytes() for chunk in chunks))
    steps = _steps(video_frame_times(source))
    assert len(steps) == 2 * CHUNK_SECONDS * 30 - 1
    assert all(abs(step - FRAME) < 0.001 for step in steps), (min(steps), max(steps))
    channels = [int(f["channels"]) for f in probe_frames(source, "a", "channels")]
    assert channels[0] == 2 and channels[-1] == 6, sorted(set(channels))
    encoded = _encode(source)
    return FormatChange(encoded.source, encoded.directory, encoded.key_info, chunks)


class TestSoundFormatChange:
    def test_rendition_finishes_with_every_sample_of_both_halves(self, format_change):
        _rendition(format_change)
        audio = next(s for s in probe_streams(format_change.playlist)
                     if s["codec_type"] == "audio")
        assert (audio["channels"], int(audio["sample_rate"])) == (2, 44100), audio
        frames = audio_frames(format_change.playlist)
        timed = [(time, count) for time, count in frames if time is not None]
        assert len(timed) == len(frames)
        gaps = [later - (earlier + count / 44100)
                for (earlier, count), (later, _) in zip(timed, timed[1:])]
        assert max(abs(gap) for gap in gaps) <= TS_TICK, (min(gaps), max(gaps))
        # The sound spans what the chunks' timestamps span, after the
        # encoder's priming and before the padding of its last frame: the
        # first chunk's tail, which the second chunk's sound overlaps, is
        # trimmed, and the resamplers may round each chain's end by a few ms.
        start, end = audio_span(format_change.chunks[0])[0], audio_span(format_change.chunks[1])[1]
        delivered = sum(count for _, count in frames) / 44100 - AAC_PRIMING
        assert -0.005 <= delivered - (end - start) <= AAC_FRAME, (delivered, start, end)
        # The beep of the 5.1 half is heard near its flash.
        flashes = flash_starts(format_change.playlist)
        assert len(flashes) == 2, flashes
        beep_starts(format_change.playlist, flashes)
        # Every picture is kept. Each chunk's sound runs past its pictures by
        # its AAC padding and the running sample count keeps both, so the
        # last picture may be held for one more slot, and the first may be
        # shown once more from the start of the sound.
        pictures = len(video_frame_times(format_change.playlist))
        assert 2 * CHUNK_SECONDS * 30 <= pictures <= 2 * CHUNK_SECONDS * 30 + 2, pictures
