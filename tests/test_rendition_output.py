"""What a finished rendition looks like on disk: picture size and cadence,
keyframes, encrypted segments, audio format and loudness, and the master
playlist that a player starts from.

Each source is encoded once per module; the checks then read the files."""

from __future__ import annotations

import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import make_source
from timing_checks import decoded_audio
from media_checks import (
    FRAME,
    assert_plays_cleanly,
    complete_rendition,
    decrypt_segment,
    encode_ok,
    integrated_loudness,
    probe_frames,
    probe_packets,
    probe_streams,
    read_master_entries,
    read_media_playlist,
    timestamp_warnings,
    write_key_info,
)

SOURCE_SECONDS = 13  # two full 6 s segments and a short tail
TARGET_LOUDNESS = -14.0
# The lavfi sine peaks at 1/8 full scale (about -18 dBFS); these gains put
# the tone near -3 dBFS (loud) and -35 dBFS (quiet).
LOUD_TONE_GAIN_DB = 15
QUIET_TONE_GAIN_DB = -17


@dataclass
class EncodedLadder:
    directory: Path
    source: Path
    key_info: Path
    log: str  # what FFmpeg wrote to stderr during hls_encoder
    sizes: dict[str, tuple[int, int]]  # rendition name -> expected width, height

    @property
    def master(self) -> Path:
        return self.directory / "master.m3u8"

    def playlist(self, name: str) -> Path:
        return self.directory / f"{name}.m3u8"


def _encode_ladder(tmp_path_factory, label: str, size: str, tone_gain_db: float,
                   sizes: dict[str, tuple[int, int]], bitrates: list[int]) -> EncodedLadder:
    directory = tmp_path_factory.mktemp(label)
    source = make_source(directory / "source.mp4", size=size, seconds=SOURCE_SECONDS,
                         tone_volume_db=tone_gain_db)
    key_info = write_key_info(directory)
    finished = encode_ok(source, resolution=list(sizes), bitrate=bitrates, key=key_info,
                         output="master.m3u8", cwd=directory)
    return EncodedLadder(directory, source, key_info, finished.stderr, sizes)


@pytest.fixture(scope="module")
def landscape_ladder(tmp_path_factory) -> EncodedLadder:
    return _encode_ladder(tmp_path_factory, "landscape", "320x180", LOUD_TONE_GAIN_DB,
                          {"480p": (854, 480), "360p": (640, 360)}, [800000, 400000])


@pytest.fixture(scope="module")
def portrait_ladder(tmp_path_factory) -> EncodedLadder:
    return _encode_ladder(tmp_path_factory, "portrait", "180x320", QUIET_TONE_GAIN_DB,
                          {"360p": (360, 640)}, [400000])


@pytest.fixture(params=["landscape", "portrait"])
def ladder(request) -> EncodedLadder:
    return request.getfixturevalue(f"{request.param}_ladder")


def _video_frames_in_order(path: Path, entries: str) -> list[dict]:
    frames = probe_frames(path, "v", f"pts_time,{entries}")
    return sorted(frames, key=lambda frame: float(frame["pts_time"]))


def _is_mpegts(data: bytes) -> bool:
    """Every 188-byte packet starts with the 0x47 sync byte."""
    return len(data) >= 188 * 4 and len(data) % 188 == 0 and all(
        data[offset] == 0x47 for offset in range(0, len(data), 188))


class TestPictures:
    def test_every_picture_has_the_rendition_size(self, ladder):
        for name, (width, height) in ladder.sizes.items():
            streams = probe_streams(ladder.playlist(name))
            video = [s for s in streams if s["codec_type"] == "video"]
            assert [s["codec_name"] for s in video] == ["h264"], name
            frames = probe_frames(ladder.playlist(name), "v", "width,height")
            assert frames, name
            assert {(f["width"], f["height"]) for f in frames} == {(width, height)}, name

    def test_keyframe_exactly_every_60_pictures(self, ladder):
        for name in ladder.sizes:
            frames = _video_frames_in_order(ladder.playlist(name), "key_frame,pict_type")
            assert len(frames) >= 300, name
            keyframes = [index for index, frame in enumerate(frames) if frame["key_frame"] == 1]
            assert keyframes == list(range(0, len(frames), 60)), name
            assert all(frames[index]["pict_type"] == "I" for index in keyframes), name

    def test_thirty_pictures_per_second_without_gaps(self, ladder):
        for name in ladder.sizes:
            times = [float(f["pts_time"])
                     for f in _video_frames_in_order(ladder.playlist(name), "key_frame")]
            assert abs(len(times) - 30 * SOURCE_SECONDS) <= 1, (name, len(times))
            steps = [later - earlier for earlier, later in zip(times, times[1:])]
            assert all(abs(step - FRAME) < 0.001 for step in steps), (name, min(steps), max(steps))


class TestSegments:
    def test_playlist_is_complete_and_encrypted(self, ladder):
        for name in ladder.sizes:
            playlist = complete_rendition(name, ladder.directory)
            assert any("METHOD=AES-128" in line and "URI=" in line
                       for line in playlist.key_lines), playlist.key_lines
            assert all(Path(uri).name.startswith(f"{name}_") and uri.endswith(".ts")
                       for _, uri in playlist.segments), playlist.segments

    def test_segments_last_about_six_seconds(self, ladder):
        for name in ladder.sizes:
            durations = read_media_playlist(ladder.playlist(name)).durations
            assert len(durations) >= 3, durations
            assert all(abs(duration - 6) <= FRAME + 0.001 for duration in durations[:-1]), durations
            assert 0 < durations[-1] <= 6 + FRAME + 0.001, durations
            assert abs(sum(durations) - SOURCE_SECONDS) <= 2 * FRAME, durations

    def test_each_segment_decrypts_to_mpegts_opening_on_a_keyframe(self, ladder, tmp_path):
        for name in ladder.sizes:
            for segment in read_media_playlist(ladder.playlist(name)).segment_paths():
                plain = decrypt_segment(segment, ladder.key_info, tmp_path / segment.name)
                assert _is_mpegts(plain.read_bytes()), segment.name
                codecs = sorted(s["codec_name"] for s in probe_streams(plain))
                assert codecs == ["aac", "h264"], (segment.name, codecs)
                packets = probe_packets(plain, "v", "flags")
                assert packets and packets[0]["flags"].startswith("K"), (segment.name, packets[:1])
                frames = _video_frames_in_order(plain, "key_frame")
                assert frames and frames[0]["key_frame"] == 1, segment.name

    def test_segment_is_unreadable_without_the_key(self, ladder):
        for name in ladder.sizes:
            segment = read_media_playlist(ladder.playlist(name)).segment_paths()[0]
            assert not _is_mpegts(segment.read_bytes()), segment.name
            probed = subprocess.run(
                ["ffprobe", "-v", "error", "-of", "compact", "-show_streams", str(segment)],
                capture_output=True, text=True, check=False)
            # Random-looking bytes may still be taken for raw text; never for our media.
            found = re.findall(r"codec_name=(\w+)", probed.stdout)
            assert not {"h264", "aac"} & set(found), probed.stdout


class TestAudio:
    def test_aac_stereo_44100_hz_near_128_kbps(self, ladder):
        for name in ladder.sizes:
            playlist = ladder.playlist(name)
            audio = [s for s in probe_streams(playlist) if s["codec_type"] == "audio"]
            assert len(audio) == 1, audio
            assert audio[0]["codec_name"] == "aac"
            assert audio[0]["channels"] == 2
            assert int(audio[0]["sample_rate"]) == 44100
            packets = probe_packets(playlist, "a", "pts_time,duration_time,size")
            seconds = (float(packets[-1]["pts_time"]) + float(packets[-1]["duration_time"])
                       - float(packets[0]["pts_time"]))
            bits_per_second = 8 * sum(int(p["size"]) for p in packets) / seconds
            assert 110_000 <= bits_per_second <= 146_000, (name, bits_per_second)

    def test_loudness_is_normalised_to_minus_14_lufs(self, ladder):
        source_loudness = integrated_loudness(ladder.source)
        # The sources sit far from the target, so passing them through
        # unchanged cannot pass.
        assert abs(source_loudness - TARGET_LOUDNESS) > 6, source_loudness
        for name in ladder.sizes:
            loudness = integrated_loudness(ladder.playlist(name))
            assert abs(loudness - TARGET_LOUDNESS) <= 1.0, (name, source_loudness, loudness)


class TestMasterAndPlayback:
    def test_master_lists_each_rendition_with_its_size(self, ladder):
        entries = read_master_entries(ladder.master)
        listed = {(ladder.master.parent / uri).resolve(): attributes
                  for attributes, uri in entries}
        assert len(entries) == len(ladder.sizes), entries
        for name, (width, height) in ladder.sizes.items():
            attributes = listed.get(ladder.playlist(name).resolve())
            assert attributes is not None, (name, entries)
            assert attributes.get("RESOLUTION") == f"{width}x{height}", attributes
            assert int(attributes["BANDWIDTH"]) > 0, attributes

    def test_master_plays_to_the_end_without_errors(self, ladder):
        assert_plays_cleanly(ladder.master)

    def test_encoding_logs_no_timestamp_warnings(self, ladder):
        assert "libx264" in ladder.log  # FFmpeg's log was captured at all
        assert timestamp_warnings(ladder.log) == []


def test_source_without_audio_gets_a_silent_stereo_track(workdir, key_info):
    source = make_source(workdir / "silent.mp4", size="160x90", seconds=2, audio=False)
    assert [s["codec_type"] for s in probe_streams(source)] == ["video"]
    encode_ok(source, key=key_info)
    assert [uri for _, uri in read_master_entries(workdir / "master.m3u8")] == ["360p.m3u8"]
    complete_rendition("360p")
    audio = next(s for s in probe_streams(workdir / "360p.m3u8") if s["codec_type"] == "audio")
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "44100", 2)
    _, samples = decoded_audio(workdir / "360p.m3u8")
    assert len(samples) >= 44100 * 2 - 1024, len(samples)
    assert max(abs(value) for value in samples) == 0


# --- the rates the master playlist states ---------------------------------------

# A still first segment, then noise, then a colour cut every half second:
# each 6 s segment asks the encoder for a different rate.
BURSTS = ("testsrc2=size=640x360:rate=30,split=3[a][b][c];"
          "[b]noise=alls=60:allf=t+u[n];[c]hue=H=2*PI*floor(t*2)/3:s=2[h];"
          "[a]trim=0:6[a1];[n]trim=6:12,setpts=PTS-STARTPTS[n1];"
          "[h]trim=12:18,setpts=PTS-STARTPTS[h1];[a1][n1][h1]concat=n=3:v=1:a=0")
RATE_RUNGS = {"480p": 1000000, "360p": 400000}
H264_PROFILES = {"High": 100, "Main": 77, "Constrained Baseline": 66, "Baseline": 66}


@pytest.fixture(scope="module")
def bursty(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("bursty")
    source = directory / "bursts.mp4"
    subprocess.run(["ffmpeg", "-hide_banner", "-v", "error", "-f", "lavfi", "-i", BURSTS,
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "18",
                    "-c:v", "libx264", "-preset", "ultrafast", "-crf", "18", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", str(source)], check=True)
    encode_ok(source, resolution=list(RATE_RUNGS), bitrate=list(RATE_RUNGS.values()),
              key=write_key_info(directory), cwd=directory)
    return directory


def _segment_rates(playlist: Path) -> list[float]:
    media = read_media_playlist(playlist)
    return [path.stat().st_size * 8 / duration
            for (duration, _), path in zip(media.segments, media.segment_paths())]


def _video_segment_rates(playlist: Path) -> list[float]:
    """Bits per second of the H.264 stream alone in each 6 s segment."""
    packets = probe_packets(playlist, "v", "pts_time,size")
    start = min(float(p["pts_time"]) for p in packets)
    bits: dict[int, int] = {}
    for packet in packets:
        index = int((float(packet["pts_time"]) - start + 1e-6) // 6)
        bits[index] = bits.get(index, 0) + int(packet["size"]) * 8
    durations = read_media_playlist(playlist).durations
    return [bits.get(index, 0) / duration for index, duration in enumerate(durations)]


class TestStatedRates:
    def test_bandwidth_is_the_peak_and_average_the_mean(self, bursty):
        for attributes, uri in read_master_entries(bursty / "master.m3u8"):
            rates = _segment_rates(bursty / uri)
            media = read_media_playlist(bursty / uri)
            total_bits = sum(path.stat().st_size * 8 for path in media.segment_paths())
            assert all(rate <= int(attributes["BANDWIDTH"]) for rate in rates), (uri, rates)
            assert int(attributes["BANDWIDTH"]) <= max(rates) + 1, (uri, rates)
            average = total_bits / sum(media.durations)
            assert abs(int(attributes["AVERAGE-BANDWIDTH"]) - average) <= 0.1 * average
            assert attributes["FRAME-RATE"] == "30.000"

    def test_video_peak_stays_near_its_target(self, bursty):
        for rung, target in RATE_RUNGS.items():
            rates = _video_segment_rates(bursty / f"{rung}.m3u8")
            assert max(rates) <= 1.25 * target, (rung, [round(rate) for rate in rates])

    def test_codecs_name_the_stream_written(self, bursty):
        for attributes, uri in read_master_entries(bursty / "master.m3u8"):
            video = next(s for s in probe_streams(bursty / uri) if s["codec_type"] == "video")
            expected = f"avc1.{H264_PROFILES[video['profile']]:02x}"
            codecs = attributes["CODECS"].split(",")
            assert codecs[0][:7] == expected and int(codecs[0][9:], 16) == video["level"], (
                codecs, video["profile"], video["level"])
            assert codecs[1] == "mp4a.40.2"
