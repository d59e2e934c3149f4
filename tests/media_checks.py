"""Helpers for checking what hls_encoder writes: running it in a child
process (FFmpeg logs to the C-level stderr), reading playlists, decrypting
segments, and measuring the media with ffprobe and ffmpeg's own filters."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

from conftest import ffprobe_json
from key_info import write_key_info  # noqa: F401  (the tests take it from here)

FRAME = 1 / 30
AAC_PRIMING = 1024 / 44100

# The child makes one call, after `prelude` (a fault to set up, e.g. a file
# size limit), and prints what it returned, which module it loaded and its
# peak resident memory as one JSON line.
_CHILD = """
import json, sys
import quorvane
arguments = json.loads(sys.argv[1])
exec(arguments["prelude"])
# Keyword names written out here are interned already; names from JSON would
# be interned by the call, for good, and valgrind would count them as lost.
options = {name: arguments[name] for name in ("resolution", "bitrate", "key") if name in arguments}
result = quorvane.hls_encoder(arguments["input"], arguments["output"], **options)
with open("/proc/self/status") as status:
    peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(json.dumps({"result": repr(result), "module": quorvane.__file__, "peak_kib": peak_kib}))
"""


def start_python(code: str, *args: str, cwd: str | os.PathLike | None = None,
                 env: dict[str, str] | None = None, wrapper: tuple[str, ...] = (),
                 stdin: int | None = subprocess.DEVNULL) -> subprocess.Popen:
    """Starts `code` in a child Python with `args`, `env` added to ours, its output piped."""
    child_env = dict(os.environ)
    if env:
        child_env.update(env)
    return subprocess.Popen(
        [*wrapper, sys.executable, "-c", code, *args], cwd=cwd, env=child_env, stdin=stdin,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")


def finish_child(child: subprocess.Popen, timeout: float = 300) -> subprocess.CompletedProcess:
    """Waits for a child from start_python (killing it past `timeout`) and returns its output."""
    try:
        stdout, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        raise
    return subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)


def run_python(code: str, *args: str, timeout: float = 300,
               **options) -> subprocess.CompletedProcess:
    """start_python and finish_child in one: `code` run to its end in a child Python."""
    return finish_child(start_python(code, *args, **options), timeout)


def start_hls_encoder(
    source: str | os.PathLike,
    *,
    resolution: tuple[str, ...] | list[str] | None = ("360p",),
    bitrate: tuple[int, ...] | list[int] | None = (400000,),
    key: str | os.PathLike = "enc.keyinfo",
    output: str | os.PathLike = "master.m3u8",
    prelude: str = "",
    **options,
) -> subprocess.Popen:
    """Starts one hls_encoder call in a child Python (start_python's `options`:
    cwd, env, wrapper, stdin); a None `resolution` or `bitrate` is left to
    the call's default."""
    arguments = {"input": str(source), "output": str(output), "key": str(key), "prelude": prelude}
    if resolution is not None:
        arguments["resolution"] = list(resolution)
    if bitrate is not None:
        arguments["bitrate"] = list(bitrate)
    return start_python(_CHILD, json.dumps(arguments), **options)


def run_hls_encoder(source: str | os.PathLike, *, timeout: float = 300,
                    **options) -> subprocess.CompletedProcess:
    """Runs one hls_encoder call in a child Python (see start_hls_encoder) and
    returns the finished process; its stderr holds FFmpeg's own log, which
    goes to the C-level stderr."""
    return finish_child(start_hls_encoder(source, **options), timeout)


def call_outcome(finished: subprocess.CompletedProcess) -> dict:
    """What the child's call reported: result (its repr), module (file), peak_kib."""
    lines = finished.stdout.splitlines()
    assert lines, (f"the child printed nothing, exit {finished.returncode}:\n"
                   f"{finished.stderr[-3000:]}")
    return json.loads(lines[-1])


# What FFmpeg's muxers say when the pictures or samples handed to them carry
# bad timestamps or durations.
TIMESTAMP_WARNINGS = ("has duration 0", "non monotonically increasing dts",
                      "Non-monotonous DTS", "Application provided invalid")


def timestamp_warnings(log: str) -> list[str]:
    return [line for line in log.splitlines()
            if any(warning in line for warning in TIMESTAMP_WARNINGS)]


def call_returned_none(finished: subprocess.CompletedProcess) -> subprocess.CompletedProcess:
    """Asserts that the child exited cleanly and its call returned None."""
    assert finished.returncode == 0, (f"child ended with {finished.returncode}:\n"
                                      f"{finished.stderr[-4000:]}")
    assert call_outcome(finished)["result"] == "None", finished.stdout[-2000:]
    return finished


def encode_ok(source: str | os.PathLike, **kwargs) -> subprocess.CompletedProcess:
    """run_hls_encoder that insists the child exited cleanly and the call returned None."""
    return call_returned_none(run_hls_encoder(source, **kwargs))


# --- playlists ---------------------------------------------------------------


@dataclass
class MediaPlaylist:
    path: Path
    segments: list[tuple[float, str]] = field(default_factory=list)  # (EXTINF, uri)
    key_lines: list[str] = field(default_factory=list)
    ended: bool = False

    @property
    def durations(self) -> list[float]:
        return [duration for duration, _ in self.segments]

    def segment_paths(self) -> list[Path]:
        return [self.path.parent / uri for _, uri in self.segments]


def read_media_playlist(path: str | os.PathLike) -> MediaPlaylist:
    playlist = MediaPlaylist(Path(path))
    lines = [line.strip() for line in Path(path).read_text().splitlines()]
    assert lines and lines[0] == "#EXTM3U", lines[:3]
    pending: float | None = None
    for line in lines[1:]:
        if line.startswith("#EXTINF:"):
            pending = float(line[len("#EXTINF:"):].split(",")[0])
        elif line.startswith("#EXT-X-KEY:"):
            playlist.key_lines.append(line)
        elif line == "#EXT-X-ENDLIST":
            playlist.ended = True
        elif line and not line.startswith("#"):
            assert pending is not None, f"segment {line} without #EXTINF"
            playlist.segments.append((pending, line))
            pending = None
    return playlist


def read_master_entries(path: str | os.PathLike) -> list[tuple[dict[str, str], str]]:
    """(attributes of #EXT-X-STREAM-INF, uri) for each variant listed."""
    lines = [line.strip() for line in Path(path).read_text().splitlines() if line.strip()]
    assert lines and lines[0] == "#EXTM3U", lines[:3]
    entries = []
    for index, line in enumerate(lines):
        if line.startswith("#EXT-X-STREAM-INF:"):
            attributes = {name: value.strip('"') for name, value in re.findall(
                r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', line.split(":", 1)[1])}
            entries.append((attributes, lines[index + 1]))
    return entries


def listed_renditions(master: str | os.PathLike) -> list[str]:
    """The playlists a master playlist lists, in its order."""
    return [uri for _, uri in read_master_entries(master)]


def complete_rendition(name: str, directory: Path | None = None) -> MediaPlaylist:
    """The rendition's media playlist, asserted complete: ended, encrypted,
    at least one segment, every segment on disk."""
    directory = directory or Path.cwd()
    playlist = read_media_playlist(directory / f"{name}.m3u8")
    assert playlist.ended, f"{name}.m3u8 has no #EXT-X-ENDLIST"
    assert playlist.segments, f"{name}.m3u8 lists no segment"
    assert any(line.startswith("#EXT-X-KEY:METHOD=AES-128") for line in playlist.key_lines)
    for segment in playlist.segment_paths():
        assert segment.is_file() and segment.stat().st_size > 0, segment
    return playlist


# --- encryption --------------------------------------------------------------


def key_and_iv(key_info: Path) -> tuple[str, str]:
    """Key (hex, from the key file) and IV (hex) named by a key-info file."""
    _uri, key_path, iv = key_info.read_text().splitlines()[:3]
    return Path(key_path).read_bytes().hex(), iv.strip().lower().removeprefix("0x")


def decrypt_segment(segment: Path, key_info: Path, destination: Path) -> Path:
    key_hex, iv_hex = key_and_iv(key_info)
    subprocess.run(
        ["openssl", "aes-128-cbc", "-d", "-K", key_hex, "-iv", iv_hex,
         "-in", str(segment), "-out", str(destination)],
        check=True,
        capture_output=True,
    )
    return destination


def x264_target_bitrate(playlist: str | os.PathLike, key_file: Path | None = None) -> int:
    """The bit rate (bits per second) the rendition's H.264 encoder was asked
    for, read from the settings x264 writes into its stream, in the first
    segment decrypted with the IV its media playlist names and the key there
    (or `key_file`, for a ladder published without its key)."""
    playlist = Path(playlist)
    media = read_media_playlist(playlist)
    key_line = media.key_lines[0]
    uri = re.search(r'URI="([^"]+)"', key_line).group(1)
    iv = re.search(r"IV=0x([0-9a-fA-F]+)", key_line).group(1)
    key = (key_file or playlist.parent / uri).read_bytes().hex()
    plain = subprocess.run(
        ["openssl", "aes-128-cbc", "-d", "-K", key, "-iv", iv, "-in",
         str(media.segment_paths()[0])], check=True, capture_output=True).stdout
    return int(re.search(rb"bitrate=(\d+) ", plain).group(1)) * 1000


# --- measurements ------------------------------------------------------------


def playlist_input_args(path: str | os.PathLike) -> list[str]:
    """ffmpeg's input options for `path`: an HLS playlist may reference key files."""
    return ["-allowed_extensions", "ALL"] if str(path).endswith(".m3u8") else []


def assert_plays_cleanly(path: str | os.PathLike) -> None:
    """Plays every stream of `path` to null through ffmpeg: no error, nothing logged."""
    played = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-v", "error", *playlist_input_args(path),
         "-i", str(path), "-map", "0", "-f", "null", "-"],
        capture_output=True, text=True, check=False)
    assert played.returncode == 0, (path, played.stderr[-2000:])
    assert played.stderr.strip() == "", (path, played.stderr[-2000:])


def assert_rendition_plays(playlist: str | os.PathLike) -> None:
    """A rendition's playlist is ended and plays cleanly (see assert_plays_cleanly)."""
    assert "#EXT-X-ENDLIST" in Path(playlist).read_text(), f"{playlist} has no #EXT-X-ENDLIST"
    assert_plays_cleanly(playlist)


def probe_frames(path: str | os.PathLike, stream: str, entries: str) -> list[dict]:
    """Decoded frames of the first `stream` ("v" or "a") of `path`."""
    return ffprobe_json(
        path, "-select_streams", f"{stream}:0", "-show_entries", f"frame={entries}", "-show_frames"
    ).get("frames", [])


def probe_packets(path: str | os.PathLike, stream: str, entries: str) -> list[dict]:
    return ffprobe_json(
        path, "-select_streams", f"{stream}:0", "-show_entries", f"packet={entries}",
        "-show_packets",
    ).get("packets", [])


def probe_streams(path: str | os.PathLike) -> list[dict]:
    return ffprobe_json(path, "-show_streams").get("streams", [])


def video_frame_times(path: str | os.PathLike) -> list[float]:
    return sorted(float(f["pts_time"]) for f in probe_frames(path, "v", "pts_time"))


def integrated_loudness(path: str | os.PathLike) -> float:
    """Integrated loudness (LUFS) of the first audio stream, by ebur128."""
    finished = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", *playlist_input_args(path), "-i", str(path),
         "-map", "0:a:0", "-af", "ebur128", "-f", "null", "-"],
        capture_output=True,
        text=True,
        check=True,
    )
    summary = finished.stderr[finished.stderr.rfind("Summary:"):]
    match = re.search(r"I:\s+(-?[\d.]+|-inf) LUFS", summary)
    assert match, finished.stderr[-2000:]
    return float(match.group(1))


def gray_picture(path: str | os.PathLike, width: int, height: int, *, at: float = 1.0,
                 input_args: tuple[str, ...] = (), filters: str = "") -> bytes:
    """One picture of `path` near `at` seconds, as `width`x`height` 8-bit gray."""
    chain = ",".join(part for part in (filters, f"scale={width}:{height}", "format=gray") if part)
    finished = subprocess.run(
        ["ffmpeg", "-hide_banner", "-v", "error", *playlist_input_args(path), *input_args,
         "-i", str(path), "-ss", str(at), "-frames:v", "1", "-vf", chain,
         "-f", "rawvideo", "-"],
        capture_output=True,
        check=True,
    )
    assert len(finished.stdout) == width * height, (len(finished.stdout), width, height)
    return finished.stdout


def quadrant_means(picture: bytes, width: int, height: int) -> dict[str, float]:
    """Mean brightness of the top-left, top-right, bottom-left and bottom-right quarters."""
    sums = {"top-left": 0, "top-right": 0, "bottom-left": 0, "bottom-right": 0}
    half_w, half_h = width // 2, height // 2
    for y in range(height):
        row = picture[y * width:(y + 1) * width]
        vertical = "top" if y < half_h else "bottom"
        sums[f"{vertical}-left"] += sum(row[:half_w])
        sums[f"{vertical}-right"] += sum(row[half_w:])
    count = half_w * half_h
    return {name: total / count for name, total in sums.items()}
