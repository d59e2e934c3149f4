"""An upload's duration, read under the rules hls_encoder reads it by.

The upload is untrusted: its content may be a playlist, a concat script or a
DASH manifest that names other files (another user's video, a device, a
pipe that never answers). ffprobe with its defaults follows such names, so
it runs here with the restrictions the call itself applies to its input:

- the upload alone: it is opened here, without following it into a pipe or
  a device, and ffprobe reads that open file through /proc/self/fd, so the
  file judged is the file read whatever is renamed meanwhile;
- the ``file`` protocol only, for the input and for anything a demuxer asks
  to open;
- none of the demuxers the call refuses: those that open further files
  past any check (concat, dash, vobsub), those whose purpose is reading
  further files (hls, imf), those that open their input by name (image
  sequences, rtp, rtsp, sap and FFmpeg's capture devices); QuickTime
  external references off;
- decoders held to the call's picture size limit while ffprobe reads the
  stream information.

An input named as a playlist (.m3u8, .m3u), which the call reads with the
files it lists in its folder, is not probed here: what cannot be read under
these rules has no duration, and the ceiling time limits apply.
"""

from __future__ import annotations

import functools
import os
import stat
import subprocess

from .settings import ffprobe_path

# Demuxers the call never uses, by the names FFmpeg lists them under.
UNGUARDED_DEMUXERS = frozenset({"concat", "dash", "vobsub"})
REFERRING_DEMUXERS = frozenset({"hls", "imf"})
# Demuxers of libavformat that open their input by name, without the file
# protocol (AVFMT_NOFILE); the capture devices of libavdevice are read from
# ffprobe's own list.
NAME_OPENING_DEMUXERS = frozenset({"image2", "rtp", "rtsp", "sap", "avisynth", "vapoursynth"})
PLAYLIST_SUFFIXES = (".m3u8", ".m3u")
# The decoders' picture limit of the call: 36 million pixels with the
# padding decoders add (64 columns on an 8192-pixel side, 64 rows).
DECODER_MAX_PIXELS = 36_000_000 + 64 * 2 * 8192 + 64 * 64
PROBE_TIMEOUT_SECONDS = 120


def _listed_names(ffprobe: str, listing: str) -> list[str]:
    """The names ffprobe lists under -demuxers or -devices with the demuxing
    flag, each as FFmpeg spells it ("mov,mp4,m4a,3gp,3g2,mj2")."""
    text = subprocess.run([ffprobe, "-hide_banner", listing], capture_output=True, text=True,
                          timeout=PROBE_TIMEOUT_SECONDS, check=True).stdout
    names = []
    past_header = False
    for line in text.splitlines():
        # FFmpeg 5.1 ends the legend with "--", 7.1 with "---".
        if set(line.strip()) == {"-"}:
            past_header = True
            continue
        fields = line.split()
        if past_header and len(fields) >= 2 and fields[0].startswith("D"):
            names.append(fields[1])
    return names


def _refused(name: str, devices: set[str]) -> bool:
    refused = UNGUARDED_DEMUXERS | REFERRING_DEMUXERS | NAME_OPENING_DEMUXERS
    return name in devices or any(alias in refused for alias in name.split(","))


@functools.cache
def demuxer_whitelist(ffprobe: str) -> str:
    """Every demuxer of this ffprobe that the call would use for an input not
    named as a playlist, as a format_whitelist."""
    devices = set(_listed_names(ffprobe, "-devices"))
    allowed = [name for name in _listed_names(ffprobe, "-demuxers") if not _refused(name, devices)]
    if not allowed:
        raise RuntimeError(f"{ffprobe} lists no demuxer")
    return ",".join(allowed)


def _open_upload(path: str) -> int | None:
    """A descriptor of the regular file at `path`, or None when it is
    anything else. A pipe or a device is turned away before any open; the
    open itself does not wait, should one have been swapped in."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return None
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        return None
    return descriptor


def _run_guarded_ffprobe(ffprobe: str, descriptor: int) -> str:
    """ffprobe's format duration of the open upload, as it prints it. The
    child inherits the descriptor under the same number."""
    command = [
        ffprobe, "-v", "error",
        "-protocol_whitelist", "file",
        "-format_whitelist", demuxer_whitelist(ffprobe),
        "-enable_drefs", "0",
        "-max_pixels", str(DECODER_MAX_PIXELS),
        "-show_entries", "format=duration", "-of", "csv=p=0",
        f"file:/proc/self/fd/{descriptor}",
    ]
    finished = subprocess.run(command, capture_output=True, text=True, check=False,
                              timeout=PROBE_TIMEOUT_SECONDS, stdin=subprocess.DEVNULL,
                              pass_fds=(descriptor,))
    return finished.stdout.strip()


def input_duration(path: str | os.PathLike) -> float | None:
    """The upload's duration in seconds, read under the call's rules; None
    when ffprobe is not installed, when the upload cannot be read under
    them (a pipe, a device, a playlist, a refused format) or gives none."""
    path = os.fspath(path)
    ffprobe = ffprobe_path()
    if not ffprobe or path.lower().endswith(PLAYLIST_SUFFIXES):
        return None
    descriptor = _open_upload(path)
    if descriptor is None:
        return None
    try:
        printed = _run_guarded_ffprobe(ffprobe, descriptor)
    except (OSError, subprocess.SubprocessError, RuntimeError):
        return None
    finally:
        os.close(descriptor)
    try:
        return float(printed)
    except ValueError:
        return None
