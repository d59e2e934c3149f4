"""Writes the fuzz targets' seed corpus (fuzz/corpus/TARGET) from what the
project really makes: the resume states and sound files of a small upload
planned in 6 s windows (one plain, one cat-joined MPEG-TS with a sound hole
and an interlaced one), the playlists and key-info of a ladder, and its
segments' transport streams. Run once by hand; the corpus is checked in.

    .venv/bin/python fuzz/make_seeds.py
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from key_info import write_key_info  # noqa: E402

import _quorvane_queue_native as native  # noqa: E402
import quorvane  # noqa: E402

CORPUS = REPO / "fuzz" / "corpus"


def keep(target: str, data: bytes) -> None:
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def uploads(work: Path) -> list[Path]:
    plain = work / "plain.mp4"
    # Silence: its AAC packets are a few bytes, so the sound files stay small.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30", "-f", "lavfi", "-i",
           "anullsrc=sample_rate=48000", "-t", "14", "-c:v", "libx264", "-c:a", "aac",
           "-pix_fmt", "yuv420p", str(plain))
    interlaced = work / "interlaced.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x96:rate=50", "-f", "lavfi", "-i",
           "sine=frequency=300:sample_rate=44100", "-t", "13", "-vf", "interlace=scan=tff",
           "-c:v", "libx264", "-flags", "+ildct+ilme", "-c:a", "aac", str(interlaced))
    pieces = []
    for index, seconds in enumerate((7, 8)):
        piece = work / f"piece{index}.ts"
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=25", "-f", "lavfi", "-i",
               "sine=frequency=500:sample_rate=48000", "-t", str(seconds), "-c:v", "libx264",
               "-c:a", "aac", "-af", "atrim=0:3,apad=pad_dur=1" if index else "anull", str(piece))
        pieces.append(piece.read_bytes())
    joined = work / "joined.ts"
    joined.write_bytes(b"".join(pieces))
    return [plain, interlaced, joined]


def plan_seeds(upload: Path, work: Path) -> None:
    sound = work / f"sound-{upload.stem}"
    sound.mkdir()
    windows = []
    native.plan_windows(str(upload), 6, str(sound), lambda event: windows.append(event.get("window")))
    for window in filter(None, windows):
        keep("resume_state", window["resume"].encode())
        sound_file = Path(window["sound"]).read_bytes()
        if len(sound_file) <= 64 * 1024:
            keep("sound_file", sound_file)


def ladder_seeds(upload: Path, work: Path) -> None:
    out = work / f"ladder-{upload.stem}"
    out.mkdir()
    key_info = write_key_info(out)
    keep("key_info", Path(key_info).read_bytes())
    os.chdir(out)  # the renditions are written where the call runs
    quorvane.hls_encoder(str(upload), str(out / "master.m3u8"), ["360p"], [400000],
                         str(key_info))
    playlists = sorted(out.rglob("*.m3u8"))
    for playlist in playlists:
        keep("playlist", playlist.read_bytes())
        keep("upload_playlist", playlist.read_bytes())
    text = next(p.read_text() for p in playlists if "#EXTINF" in p.read_text())
    # Two parts of one rendition, as the windows of a ladder write them.
    head, _, segments = text.partition("#EXT-X-KEY")
    keep("playlist", (text + "\f" + text).encode())
    keep("playlist", (head + "#EXT-X-KEY" + segments).encode())
    # Plain transport streams: the target encrypts them as the muxer does.
    keep("transport_counters", (work / "piece0.ts").read_bytes()[:3 * 188])
    keep("transport_counters", (work / "piece1.ts").read_bytes()[188:4 * 188])


# Small uploads of each container and codec the tests make, a second or two
# each: the whole call's seeds.
PICTURES = ["-f", "lavfi", "-i", "testsrc2=size=96x54:rate=10"]
SOUND = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050"]
UPLOADS = {
    "mp4": [*PICTURES, *SOUND, "-c:v", "libx264", "-c:a", "aac"],
    "mov": [*PICTURES, *SOUND, "-c:v", "mpeg4", "-c:a", "pcm_s16le"],
    "mkv": [*PICTURES, *SOUND, "-c:v", "libx264", "-c:a", "libopus"],
    "webm": [*PICTURES, *SOUND, "-c:v", "libvpx", "-c:a", "libvorbis"],
    "ts": [*PICTURES, *SOUND, "-c:v", "libx264", "-c:a", "mp2"],
    "flv": [*PICTURES, *SOUND, "-c:v", "flv", "-c:a", "aac"],
    "avi": [*PICTURES, *SOUND, "-c:v", "mjpeg", "-c:a", "mp3"],
    "m4a": [*SOUND, "-c:a", "aac"],
    "ogg": [*SOUND, "-c:a", "libvorbis"],
    # A phone's HLG picture in 10-bit HEVC, larger than the rung: scaled and
    # tone-mapped in the picture pass.
    "hevc.mkv": ["-f", "lavfi", "-i", "testsrc2=size=704x396:rate=10", *SOUND,
                 "-vf", "zscale=tin=bt709:pin=bt709:min=bt709:t=arib-std-b67:p=bt2020:m=2020_ncl,"
                 "format=yuv420p10le",
                 "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                 "-color_primaries", "bt2020", "-color_trc", "arib-std-b67",
                 "-colorspace", "bt2020nc", "-c:a", "aac"],
}


def upload_seeds(work: Path) -> None:
    for extension, arguments in UPLOADS.items():
        upload = work / f"seed.{extension}"
        ffmpeg(*arguments, "-t", "1.5", "-b:v", "40k", "-b:a", "32k", str(upload))
        keep("rendition", upload.read_bytes())
    cover = work / "cover.png"
    ffmpeg(*PICTURES, "-frames:v", "1", str(cover))
    song = work / "song.mp3"
    ffmpeg(*SOUND, "-i", str(cover), "-map", "0:a", "-map", "1:v", "-t", "1.5", "-c:a", "libmp3lame",
           "-b:a", "32k", "-c:v", "png", "-disposition:v", "attached_pic", str(song))
    keep("rendition", song.read_bytes())


def main() -> int:
    work = Path(tempfile.mkdtemp(prefix="quorvane-seeds-"))
    try:
        for upload in uploads(work):
            plan_seeds(upload, work)
        ladder_seeds(work / "plain.mp4", work)
        upload_seeds(work)
        keep("timeline", bytes(range(256)))  # the target reads its packets from any bytes
        for target in sorted(CORPUS.iterdir()):
            print(f"{target.name}: {len(list(target.iterdir()))} seeds")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
