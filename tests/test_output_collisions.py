"""A call must not overwrite what it reads or what it has just written. When
the master playlist or the input is one of the files the call writes (the
master itself, and in the working directory each rendition's media playlist
and segments), under that name or another one, nothing is written and every
file stays byte-identical. Files of renditions the call does not make are
fair game."""

from __future__ import annotations

import hashlib
import os
import shutil
from pathlib import Path

import pytest

import quorvane
from conftest import make_source, run_ffmpeg
from media_checks import complete_rendition, listed_renditions


@pytest.fixture(scope="module")
def clip(media_dir: Path) -> Path:
    # A keyframe every half second, so that an earlier ladder has several segments.
    return make_source(media_dir / "collision_clip.ts", size="160x90", seconds=1,
                       extra_output_args=("-g", "15"))


def earlier_rendition(folder: Path, clip: Path, name: str) -> list[Path]:
    """NAME.m3u8 and its segments NAME_000.ts, ... as an earlier ladder left them."""
    run_ffmpeg("-i", str(clip), "-c", "copy", "-f", "hls", "-hls_time", "0.5",
               "-hls_list_size", "0", "-hls_segment_filename", str(folder / f"{name}_%03d.ts"),
               str(folder / f"{name}.m3u8"))
    segments = sorted(folder.glob(f"{name}_*.ts"))
    assert len(segments) >= 2, segments
    return segments


def snapshot(folder: Path) -> dict[str, str]:
    """Every entry below `folder`: a file's content digest, a link's target."""
    entries = {}
    for root, directories, files in os.walk(folder):
        for name in directories + files:
            path = Path(root) / name
            key = str(path.relative_to(folder))
            if path.is_symlink():
                entries[key] = "link to " + os.readlink(path)
            elif path.is_file():
                entries[key] = hashlib.sha256(path.read_bytes()).hexdigest()
            else:
                entries[key] = "folder"
    return entries


def prepare(case: str, workdir: Path, clip: Path) -> tuple[str, str, list[str]]:
    """Builds the accident `case` in the working directory; returns the
    call's input, output and rendition names."""
    if case == "master-named-like-its-playlist":
        return str(clip), "720p.m3u8", ["720p"]
    if case == "master-named-like-a-segment":
        return str(clip), "360p_001.ts", ["1080p", "360p"]
    if case == "master-through-a-folder-link":
        (workdir / "alias").symlink_to(workdir, target_is_directory=True)
        return str(clip), "alias/360p.m3u8", ["360p"]
    if case == "master-hard-linked-to-an-old-segment":
        segments = earlier_rendition(workdir, clip, "360p")
        os.link(segments[1], workdir / "master.m3u8")
        return str(clip), "master.m3u8", ["360p"]
    if case == "master-dangling-link-to-a-playlist":
        (workdir / "master.m3u8").symlink_to("360p.m3u8")
        return str(clip), "master.m3u8", ["720p", "360p"]
    if case == "master-is-the-input":
        shutil.copy(clip, workdir / "upload.ts")
        return "upload.ts", str(workdir / "upload.ts"), ["360p"]
    if case == "input-named-like-a-segment":
        shutil.copy(clip, workdir / "1080p_000.ts")
        return "1080p_000.ts", "master.m3u8", ["1080p", "720p", "480p", "360p"]
    if case == "input-hard-linked-to-an-old-segment":
        segments = earlier_rendition(workdir, clip, "720p")
        (workdir / "uploads").mkdir()
        os.link(segments[0], workdir / "uploads" / "clip.ts")
        return str(workdir / "uploads" / "clip.ts"), "master.m3u8", ["720p"]
    if case == "input-is-an-old-media-playlist":
        earlier_rendition(workdir, clip, "360p")
        return "360p.m3u8", "again.m3u8", ["360p"]
    if case == "input-lists-old-media-playlists":
        # An earlier ladder's master, transcoded again in the same folder: the
        # workers would rewrite the media playlists and segments it reads.
        earlier_rendition(workdir, clip, "360p")
        (workdir / "old.m3u8").write_text(
            "#EXTM3U\n#EXT-X-VERSION:3\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=400000,RESOLUTION=160x90\n360p.m3u8\n")
        return "old.m3u8", "new.m3u8", ["360p"]
    raise AssertionError(case)


@pytest.mark.parametrize("case", [
    "master-named-like-its-playlist", "master-named-like-a-segment",
    "master-through-a-folder-link", "master-hard-linked-to-an-old-segment",
    "master-dangling-link-to-a-playlist", "master-is-the-input", "input-named-like-a-segment",
    "input-hard-linked-to-an-old-segment", "input-is-an-old-media-playlist",
    "input-lists-old-media-playlists",
])
def test_collision_writes_nothing_and_leaves_every_file(workdir, key_info, clip, case, caplog):
    source, output, names = prepare(case, workdir, clip)
    before = snapshot(workdir)
    assert quorvane.hls_encoder(source, output, names) is None
    assert snapshot(workdir) == before
    # One reason for the whole call: the master that would overwrite a
    # rendition's file, or the input (or a file it lists) that is one.
    [message] = [record.getMessage() for record in caplog.records]
    if case.startswith("master-") and case != "master-is-the-input":
        assert message.startswith("all rungs: output refused: the master playlist "), message
        assert "which rendition " in message, message
    else:
        assert message.startswith("all rungs: input refused: "), message
        assert message.endswith(" is a file this call writes"), message


@pytest.mark.parametrize(("source_name", "output", "names"), [
    pytest.param("1080p_000.ts", "master.m3u8", ["360p"], id="input-named-like-another-ladder"),
    pytest.param("clip.ts", "720p.m3u8", ["360p"], id="master-named-like-another-rendition"),
])
def test_names_of_renditions_not_made_are_free(workdir, key_info, clip, source_name, output,
                                               names):
    shutil.copy(clip, workdir / source_name)
    digest = hashlib.sha256(clip.read_bytes()).hexdigest()
    quorvane.hls_encoder(source_name, output, names)
    complete_rendition("360p", workdir)
    assert listed_renditions(workdir / output) == ["360p.m3u8"]
    assert hashlib.sha256((workdir / source_name).read_bytes()).hexdigest() == digest
