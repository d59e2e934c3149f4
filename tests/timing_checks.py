"""Measuring where things happen in time, in a source or in a rendition read
through its playlist: white flashes in the picture and beeps in the sound,
how long each stream lasts, how many samples were decoded, and how loud the
sound swings from moment to moment."""

from __future__ import annotations

import math
import os
import subprocess
from array import array
from pathlib import Path

from conftest import run_ffmpeg
from media_checks import FRAME, playlist_input_args, probe_frames, probe_streams

FLASH_SECONDS = 0.2  # six pictures at 30/s
ANALYSIS_RATE = 44100  # sound is measured as mono samples at this rate

DEFAULT_CODECS = ("-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac")


def make_flash_and_beep_source(path: Path, *, seconds: float, instants: tuple[float, ...],
                               size: str = "160x90", rate: str = "30", audio_rate: int = 48000,
                               channel_layout: str = "stereo", bed: float = 0.0,
                               audio_source_rate: int | None = None,
                               codec_args: tuple[str, ...] = DEFAULT_CODECS,
                               input_args: tuple[str, ...] = (),
                               output_args: tuple[str, ...] = ()) -> Path:
    """Dark pictures at `rate` per second with a white flash of FLASH_SECONDS at each of
    `instants`, and silence with a 1 kHz beep at the same instants on every
    channel, over a quiet 300 Hz tone of amplitude `bed` (so that a stretch
    of silence in an output can only be a hole). The beep is computed sample
    by sample: a volume filter's `enable` would switch only at its frames'
    starts, up to 23 ms late. `input_args` go before the audio input (e.g.
    -itsoffset); `audio_source_rate` computes the sound at another rate than
    `audio_rate` (a drifting clock, relabelled by `output_args`)."""
    flash = "+".join(f"between(t,{at},{at + FLASH_SECONDS - 0.001:.3f})" for at in instants)
    run_ffmpeg(
        "-f", "lavfi",
        "-i", f"color=c=black:size={size}:rate={rate},"
              f"drawbox=w=iw:h=ih:color=white:t=fill:enable='{flash}'",
        *input_args,
        "-f", "lavfi", "-i", beeps(instants, audio_source_rate or audio_rate, channel_layout, bed),
        "-map", "0:v", "-map", "1:a", "-t", str(seconds), *codec_args, *output_args, str(path),
    )
    return path


def beeps(instants: tuple[float, ...], rate: int = 48000, channel_layout: str = "stereo",
          bed: float = 0.0) -> str:
    """A lavfi source: silence (or a 300 Hz tone of amplitude `bed`) with a
    1 kHz beep of FLASH_SECONDS at each of `instants`."""
    beep = "+".join(f"between(t,{at},{at + FLASH_SECONDS})" for at in instants)
    return (f"aevalsrc='0.25*sin(2*PI*1000*t)*({beep})+{bed}*sin(2*PI*300*t)'"
            f":s={rate}:c={channel_layout}")


def picture_brightness(path: str | os.PathLike) -> list[tuple[float, float]]:
    """(timestamp, mean brightness 0-255) of each decoded picture. Times come
    from ffprobe, brightness from ffmpeg decoding every picture once in the
    same order: ffmpeg's own filters may see the times shifted to start at
    zero when an HLS rendition's pictures start after its sound."""
    times = [float(f["pts_time"]) for f in probe_frames(path, "v", "pts_time")]
    raw = subprocess.run(
        ["ffmpeg", "-hide_banner", "-v", "error", *playlist_input_args(path), "-i", str(path),
         "-map", "0:v:0", "-fps_mode", "passthrough", "-vf", "scale=16:8,format=gray",
         "-f", "rawvideo", "-"],
        capture_output=True, check=True).stdout
    size = 16 * 8
    assert len(raw) == size * len(times), (len(raw) / size, len(times))
    return [(time, sum(raw[index * size:(index + 1) * size]) / size)
            for index, time in enumerate(times)]


def flash_starts(path: str | os.PathLike) -> list[float]:
    """Times, on the input's own clock, of the first picture of each white
    flash that follows a dark picture."""
    pictures = sorted(picture_brightness(path))
    return [time for (_, before), (time, level) in zip(pictures, pictures[1:])
            if before < 128 <= level]


def decoded_audio(path: str | os.PathLike) -> tuple[float, array]:
    """The first audio stream decoded, mixed to mono at ANALYSIS_RATE, and the
    time of its first sample on the input's clock (the first decoded frame's
    timestamp). The samples follow one another as a player plays them."""
    first = min(float(f["pts_time"]) for f in probe_frames(path, "a", "pts_time")
                if f.get("pts_time") not in (None, "N/A"))
    raw = subprocess.run(
        ["ffmpeg", "-hide_banner", "-v", "error", *playlist_input_args(path), "-i", str(path),
         "-map", "0:a:0", "-ac", "1", "-ar", str(ANALYSIS_RATE), "-f", "f32le", "-"],
        capture_output=True, check=True).stdout
    samples = array("f")
    samples.frombytes(raw)
    return first, samples


def beep_starts(path: str | os.PathLike, near: list[float], window: float = 0.6) -> list[float]:
    """For each time in `near` (on the input's clock), when the beep found
    within `window` s of it first reaches half of its own peak amplitude.
    Half the peak lies well above the codecs' pre-echo and below the beep's
    steady level whatever gain the loudness stage gave it."""
    first, samples = decoded_audio(path)
    starts = []
    for approximate in near:
        low = max(0, int((approximate - window - first) * ANALYSIS_RATE))
        high = min(len(samples), int((approximate + window - first) * ANALYSIS_RATE))
        peak = max((abs(value) for value in samples[low:high]), default=0.0)
        assert peak > 0.01, f"no beep within {window} s of {approximate} s in {path}"
        index = next(i for i in range(low, high) if abs(samples[i]) >= peak / 2)
        starts.append(first + index / ANALYSIS_RATE)
    return starts


def beep_lags(path: str | os.PathLike) -> list[float]:
    """How long after each flash its beep starts (negative: before)."""
    flashes = flash_starts(path)
    return [beep - flash for flash, beep in zip(flashes, beep_starts(path, flashes))]


def audio_sample_rate(path: str | os.PathLike) -> int:
    return int(next(s for s in probe_streams(path) if s["codec_type"] == "audio")["sample_rate"])


def audio_frames(path: str | os.PathLike) -> list[tuple[float | None, int]]:
    """(timestamp, sample count) of each decoded frame of the first audio
    stream; a frame the decoder gives only when flushed may have no time."""
    return [(float(f["pts_time"]) if "pts_time" in f else None, int(f["nb_samples"]))
            for f in probe_frames(path, "a", "pts_time,nb_samples")]


def audio_span(path: str | os.PathLike) -> tuple[float, float]:
    """Start of the first and end of the last decoded audio frame."""
    frames = audio_frames(path)
    rate = audio_sample_rate(path)
    stamped = [(index, time) for index, (time, _) in enumerate(frames) if time is not None]
    last, last_time = stamped[-1]
    tail = sum(count for _, count in frames[last:])
    return stamped[0][1], last_time + tail / rate


def decoded_audio_seconds(path: str | os.PathLike) -> float:
    """How much sound the decoder gives for the whole input, in seconds."""
    return sum(count for _, count in audio_frames(path)) / audio_sample_rate(path)


def video_span(times: list[float]) -> float:
    """How long pictures at `times` (sorted, at most 30 per second in an
    output) are shown: the last one lasts one 1/30 s slot."""
    return times[-1] - times[0] + FRAME


def window_levels_db(path: str | os.PathLike, window: float = 0.1) -> list[float]:
    """RMS level (dBFS) of the mono mix in consecutive windows of `window` s."""
    _, samples = decoded_audio(path)
    size = int(window * ANALYSIS_RATE)
    levels = []
    for start in range(0, len(samples) - size + 1, size):
        power = sum(value * value for value in samples[start:start + size]) / size
        levels.append(10 * math.log10(power) if power > 0 else -200.0)
    return levels


def silent_runs(path: str | os.PathLike, shortest: float = 0.002,
                level: float = 1e-4) -> list[tuple[float, float]]:
    """(start on the input's clock, length) of every run of samples quieter
    than `level` lasting longer than `shortest` s: a gap a loudness window
    would average away still shows here."""
    first, samples = decoded_audio(path)
    runs, start = [], None
    for index, value in enumerate(samples):
        if -level < value < level:
            if start is None:
                start = index
        elif start is not None:
            if index - start > shortest * ANALYSIS_RATE:
                runs.append((first + start / ANALYSIS_RATE, (index - start) / ANALYSIS_RATE))
            start = None
    if start is not None and len(samples) - start > shortest * ANALYSIS_RATE:
        runs.append((first + start / ANALYSIS_RATE, (len(samples) - start) / ANALYSIS_RATE))
    return runs


def make_speech_like_multichannel(path: Path, *, channel_layout: str, gains_db: list[float],
                                  seconds: float, level_db: float) -> Path:
    """Grey pictures with film-like sound in `channel_layout`: independent pink
    noise on each channel at its own gain, cut into syllables four times a
    second and into phrases with pauses, as speech over ambience is, then
    brought to `level_db`. AAC in MP4."""
    inputs = ["-f", "lavfi", "-i", "color=c=gray:size=160x90:rate=30"]
    for index, gain in enumerate(gains_db):
        inputs += ["-f", "lavfi",
                   "-i", f"anoisesrc=color=pink:seed={index + 7}:sample_rate=48000:amplitude=0.5,"
                         f"volume={gain}dB"]
    labels = "".join(f"[{index + 1}:a]" for index in range(len(gains_db)))
    envelope = "volume='0.02+0.98*gt(sin(2*PI*4*t),0.2)*lt(mod(t,2.5),1.8)':eval=frame"
    run_ffmpeg(
        *inputs,
        "-filter_complex",
        f"{labels}join=inputs={len(gains_db)}:channel_layout={channel_layout},"
        f"asetnsamples=480,{envelope},volume={level_db}dB[a]",
        "-map", "0:v", "-map", "[a]", "-t", str(seconds), *DEFAULT_CODECS, str(path),
    )
    return path
