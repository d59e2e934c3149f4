"""Faults while the ladder is written: a working directory that cannot be
written, a disk that fills up, a key-info file removed mid-encode. The call
returns None, the process survives, renditions that could not be written are
not listed, and those listed are complete and play."""

from __future__ import annotations

import hashlib
import subprocess
import time
from pathlib import Path

from conftest import make_source
from media_checks import (
    assert_rendition_plays,
    call_returned_none,
    finish_child,
    listed_renditions,
    start_hls_encoder,
)

# A full disk, as far as the child can tell: writes past DISK_LIMIT bytes
# fail. The kernel cuts the write that crosses the limit short at the limit.
DISK_LIMIT = 600_000
FULL_DISK = f"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({DISK_LIMIT}, {DISK_LIMIT}))
"""
# The working directory disappears under the call: nothing can be created in it.
NO_WORKDIR = """
import os
os.rmdir(os.getcwd())
"""
LADDER = {"resolution": ["1080p", "360p"], "bitrate": [5000000, 400000]}


def start_call(workdir: Path, source: Path, output: Path, key: Path,
               prelude: str = "") -> subprocess.Popen:
    return start_hls_encoder(source, output=output, key=key, cwd=workdir, prelude=prelude,
                             **LADDER)


def finish(child: subprocess.Popen) -> str:
    return call_returned_none(finish_child(child, timeout=600)).stderr


def test_unwritable_working_directory_lists_nothing(tmp_path: Path, media_dir: Path,
                                                    key_info: Path) -> None:
    source = make_source(media_dir / "faults_short.mp4", size="160x90", seconds=1)
    gone = tmp_path / "gone"
    gone.mkdir()
    master = tmp_path / "master.m3u8"
    finish(start_call(gone, source, master, key_info, prelude=NO_WORKDIR))
    assert not gone.exists(), "the working directory was not removed"
    assert master.read_text() == "#EXTM3U\n#EXT-X-VERSION:3\n"


def test_full_disk_fails_only_the_renditions_it_hits(workdir: Path, media_dir: Path,
                                                     key_info: Path) -> None:
    source = make_source(media_dir / "faults_busy.mp4", size="320x180", seconds=7)
    digest = hashlib.sha256(source.read_bytes()).hexdigest()
    # 1080p segments at 5 Mb/s outgrow the limit; 360p ones stay below it.
    finish(start_call(workdir, source, workdir / "master.m3u8", key_info,
                      prelude=FULL_DISK))
    # The disk really filled: a 1080p segment was cut off at the limit.
    sizes = {name: [p.stat().st_size for p in workdir.glob(f"{name}_*.ts")]
             for name in ("1080p", "360p")}
    assert sizes["1080p"] and max(sizes["1080p"]) == DISK_LIMIT, sizes
    assert sizes["360p"] and max(sizes["360p"]) < DISK_LIMIT, sizes
    assert listed_renditions(workdir / "master.m3u8") == ["360p.m3u8"]
    assert_rendition_plays(workdir / "360p.m3u8")
    assert hashlib.sha256(source.read_bytes()).hexdigest() == digest


def test_key_info_removed_mid_encode(workdir: Path, media_dir: Path, key_info: Path) -> None:
    source = make_source(media_dir / "faults_long.mp4", size="160x90", seconds=20)
    child = start_call(workdir, source, workdir / "master.m3u8", key_info)
    # Until the first 360p segment is written or the child ends; however long
    # a busy machine takes. The bound only keeps a hung child from hanging the
    # suite, and finish() then reports it.
    deadline = time.monotonic() + 600
    while (not (workdir / "360p_000.ts").exists() and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.01)
    segment_begun, call_running = (workdir / "360p_000.ts").exists(), child.poll() is None
    key_info.unlink()
    finish(child)
    # The fault landed mid-encode: the first segment was begun and the call still ran.
    assert segment_begun and call_running, {"segment begun": segment_begun,
                                            "call running": call_running}
    # FFmpeg's HLS muxer reads the key-info file as it begins encrypting, so
    # a rendition begun before the file vanished may finish with the key it
    # read (20 s make four segments); one cut short must not be listed.
    segments_written = {name: len(list(workdir.glob(f"{name}_*.ts"))) for name in ("1080p", "360p")}
    renditions = listed_renditions(workdir / "master.m3u8")
    for playlist in renditions:
        assert_rendition_plays(workdir / playlist)
    for name, count in segments_written.items():
        listed = f"{name}.m3u8" in renditions
        assert listed == (count == 4), (name, segments_written, renditions)
