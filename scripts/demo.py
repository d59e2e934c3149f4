"""Encodes a generated sample into an encrypted HLS ladder, then proves it:
plays the master playlist through FFmpeg's HLS reader and prints each
rendition's size, frame count and loudness."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import quorvane
from key_info import write_key_info


def run(*command: str) -> subprocess.CompletedProcess:
    return subprocess.run(command, check=True, capture_output=True, text=True)


def make_sample(path: Path, seconds: int = 12) -> None:
    run("ffmpeg", "-v", "error", "-y",
        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000,volume=-25dB",
        "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
        "-c:a", "aac", str(path))


def describe(playlist: Path) -> str:
    streams = json.loads(run("ffprobe", "-v", "error", "-allowed_extensions", "ALL", "-count_frames",
                             "-select_streams", "v:0", "-show_entries",
                             "stream=width,height,nb_read_frames", "-of", "json",
                             str(playlist)).stdout)["streams"][0]
    loudness = run("ffmpeg", "-nostats", "-allowed_extensions", "ALL", "-i", str(playlist),
                   "-map", "0:a", "-af", "ebur128", "-f", "null", "-").stderr
    integrated = re.findall(r"I:\s+(-?[\d.]+) LUFS", loudness)[-1]
    return (f"{playlist.stem:>6}: {streams['width']}x{streams['height']}, "
            f"{streams['nb_read_frames']} frames, {integrated} LUFS")


def main() -> int:
    folder = Path(sys.argv[1] if len(sys.argv) > 1 else "demo-out").resolve()
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    make_sample(folder / "sample.mp4")
    write_key_info(folder)

    # Rendition playlists and segments are written into the working directory.
    os.chdir(folder)
    print(f"encoding {folder / 'sample.mp4'} into {folder}", flush=True)
    quorvane.hls_encoder("sample.mp4", "master.m3u8", key="enc.keyinfo")

    print((folder / "master.m3u8").read_text())
    played = subprocess.run(["ffmpeg", "-v", "error", "-allowed_extensions", "ALL",
                             "-i", "master.m3u8", "-map", "0", "-f", "null", "-"],
                            capture_output=True, text=True)
    if played.returncode != 0 or played.stderr.strip():
        print("playback failed:\n" + played.stderr)
        return 1
    print("played master.m3u8 through FFmpeg's HLS reader without errors")
    for line in (folder / "master.m3u8").read_text().splitlines():
        if line.endswith(".m3u8"):
            print(describe(folder / line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
