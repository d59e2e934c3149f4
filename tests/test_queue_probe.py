"""The duration probe that sizes a ladder's time limits reads the upload and
nothing else, whatever the upload names: a playlist, a concat script or a
DASH manifest saved as an mp4 gets no duration, and the file it lists is
never opened. The listed file is a named pipe whose writer side the test
holds: anyone who opens it for reading meets the writer, which the test
sees. Plain ffprobe, run on the same uploads first, proves that each really
names the pipe."""

from __future__ import annotations

import os
import subprocess
import threading
from pathlib import Path

import pytest

from conftest import make_source
from media_checks import probe_streams

from quorvane_queue.limits import hard_limit_ceiling, time_limits
from quorvane_queue.probe import input_duration

VISIBILITY = 43200


class WatchedPipe:
    """A named pipe at `path` whose writer side a thread keeps trying to
    open. Opening a pipe for reading waits for a writer, so nobody can open
    it without the thread seeing it; `opened_by_reader()` stops the watch
    and says whether anyone did."""

    def __init__(self, path: Path):
        self.path = path
        os.mkfifo(path)
        self._stop = threading.Event()
        self._opened = False
        self._thread = threading.Thread(target=self._meet_readers, daemon=True)
        self._thread.start()

    def _meet_readers(self) -> None:
        while not self._stop.is_set():
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:   # ENXIO: no reader has it open
                self._stop.wait(0.01)
                continue
            self._opened = True
            os.close(fd)   # the reader sees the end of the file

    def opened_by_reader(self) -> bool:
        self._stop.set()
        self._thread.join()
        return self._opened


def disguised_hls(folder: Path) -> tuple[Path, Path]:
    entry = folder / "other-user.ts"
    upload = folder / "upload.mp4"
    upload.write_text(f"#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n{entry}\n#EXT-X-ENDLIST\n")
    return upload, entry


def concat_script(folder: Path) -> tuple[Path, Path]:
    # The concat demuxer's safe mode takes only plain names beside the script.
    entry = folder / "other-user.mp4"
    upload = folder / "upload.mp4"
    upload.write_text(f"ffconcat version 1.0\nfile {entry.name}\nduration 10\n")
    return upload, entry


def dash_manifest(folder: Path) -> tuple[Path, Path]:
    entry = folder / "other-user.mp4"
    upload = folder / "upload.mp4"
    upload.write_text(
        '<?xml version="1.0"?>\n'
        '<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
        'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011" '
        'mediaPresentationDuration="PT10S" minBufferTime="PT1S"><Period>'
        '<AdaptationSet mimeType="video/mp4"><Representation id="1" bandwidth="100000" '
        f'width="160" height="90"><BaseURL>{entry}</BaseURL></Representation>'
        '</AdaptationSet></Period></MPD>\n')
    return upload, entry


def plain_ffprobe(upload: Path, *options: str) -> None:
    """ffprobe as it runs by default, from the upload's folder (where a
    concat script's names are looked up)."""
    subprocess.run(["ffprobe", "-v", "quiet", *options, "-show_entries", "format=duration",
                    upload.name], cwd=upload.parent, capture_output=True, timeout=120, check=False)


@pytest.mark.parametrize("disguise, demuxer", [(disguised_hls, "hls"), (concat_script, "concat"),
                                               (dash_manifest, "dash")])
def test_an_upload_naming_another_file_gets_no_duration_and_the_file_is_never_opened(
        tmp_path, disguise, demuxer):
    upload, entry = disguise(tmp_path)

    listed = WatchedPipe(entry)
    plain_ffprobe(upload)
    if not listed.opened_by_reader():
        # FFmpeg 7.1 no longer takes a playlist named .mp4 for HLS by itself;
        # the demuxer, once chosen, still follows what it lists.
        entry.unlink()
        listed = WatchedPipe(entry)
        plain_ffprobe(upload, "-f", demuxer)
    assert listed.opened_by_reader(), "the upload does not make ffprobe open what it lists"
    entry.unlink()

    listed = WatchedPipe(entry)
    duration = input_duration(upload)
    assert not listed.opened_by_reader()
    assert duration is None
    assert time_limits(duration, VISIBILITY)[1] == hard_limit_ceiling(VISIBILITY)


def test_an_upload_that_is_a_pipe_or_a_playlist_is_not_opened(tmp_path):
    """The call refuses a pipe unopened, and reads an input named as a
    playlist with its folder's files: neither is probed here."""
    pipe = WatchedPipe(tmp_path / "pipe.mp4")
    assert input_duration(pipe.path) is None
    assert not pipe.opened_by_reader()

    playlist, entry = disguised_hls(tmp_path)
    named_playlist = playlist.rename(tmp_path / "upload.m3u8")
    listed = WatchedPipe(entry)
    assert input_duration(named_playlist) is None
    assert not listed.opened_by_reader()


@pytest.mark.parametrize("container", ["mp4", "mkv", "ts"])
def test_an_ordinary_upload_gets_its_duration(tmp_path, container):
    upload = make_source(tmp_path / f"talk.{container}", size="160x90", seconds=2)
    assert {stream["codec_type"] for stream in probe_streams(upload)} == {"video", "audio"}
    assert input_duration(upload) == pytest.approx(2.0, abs=0.1)
