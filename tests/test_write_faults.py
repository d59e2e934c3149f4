"""Faults while the ladder is written: a working directory that cannot be
written, a disk that fills up, a key-info file removed mid-encode. The call
returns None, the process survives, renditions that could not be written are
not listed, and those listed are complete and play."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import time
from pathlib import Path

from conftest import make_source

CALL = """
import os, resource, signal, sys
import quorvane
source, output, key, limit = sys.argv[1:5]
if limit != "none":
    # A full disk, as far as this process can tell: writes past `limit` bytes fail.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
if os.environ.get("REMOVE_WORKDIR"):
    # The working directory disappears under us: nothing can be created in it.
    os.rmdir(os.getcwd())
print("result:", repr(quorvane.hls_encoder(source, output, ["1080p", "360p"], [5000000, 400000], key)))
"""


def start_call(workdir: Path, source: Path, output: Path, key: Path, *, limit: str = "none",
               remove_workdir: bool = False) -> subprocess.Popen:
    env = dict(os.environ)
    if remove_workdir:
        env["REMOVE_WORKDIR"] = "1"
    return subprocess.Popen(
        [sys.executable, "-c", CALL, str(source), str(output), str(key), limit],
        cwd=workdir, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(child: subprocess.Popen) -> str:
    stdout, stderr = child.communicate(timeout=600)
    assert child.returncode == 0, stderr[-3000:]
    assert "result: None" in stdout
    return stderr


def listed(master: Path) -> list[str]:
    return [line for line in master.read_text().splitlines() if not line.startswith("#")]


def assert_plays(directory: Path, playlist: str) -> None:
    assert "#EXT-X-ENDLIST" in (directory / playlist).read_text()
    played = subprocess.run(["ffmpeg", "-v", "error", "-allowed_extensions", "ALL", "-i", playlist,
                             "-map", "0", "-f", "null", "-"],
                            cwd=directory, capture_output=True, text=True)
    assert played.returncode == 0 and not played.stderr.strip(), played.stderr


def test_unwritable_working_directory_lists_nothing(tmp_path: Path, media_dir: Path,
                                                    key_info: Path) -> None:
    source = make_source(media_dir / "faults_short.mp4", size="160x90", seconds=1)
    gone = tmp_path / "gone"
    gone.mkdir()
    master = tmp_path / "master.m3u8"
    finish(start_call(gone, source, master, key_info, remove_workdir=True))
    assert master.read_text() == "#EXTM3U\n#EXT-X-VERSION:3\n"


def test_full_disk_fails_only_the_renditions_it_hits(workdir: Path, media_dir: Path,
                                                     key_info: Path) -> None:
    source = make_source(media_dir / "faults_busy.mp4", size="320x180", seconds=7)
    digest = hashlib.sha256(source.read_bytes()).hexdigest()
    # 1080p segments at 5 Mb/s outgrow the limit; 360p ones stay well below it.
    finish(start_call(workdir, source, workdir / "master.m3u8", key_info, limit=str(600_000)))
    assert listed(workdir / "master.m3u8") == ["360p.m3u8"]
    assert_plays(workdir, "360p.m3u8")
    assert max(p.stat().st_size for p in workdir.glob("1080p_*.ts")) <= 600_000
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
    key_info.unlink()
    finish(child)
    renditions = listed(workdir / "master.m3u8")
    for playlist in renditions:
        assert_plays(workdir, playlist)
    # The muxer reads the key-info file again for every segment, so a
    # rendition still running when it vanished cannot have been finished.
    segments_written = {name: len(list(workdir.glob(f"{name}_*.ts"))) for name in ("1080p", "360p")}
    for name, count in segments_written.items():
        if count < 4:
            assert f"{name}.m3u8" not in renditions, segments_written
