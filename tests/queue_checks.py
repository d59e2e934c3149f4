"""What the quorvane_queue tests check on the shared storage and in the
workers' logs, whichever the broker: the storage fixture, published ladders
whole and playable, leftovers, and a watch that sees every state an output
folder passes through."""

from __future__ import annotations

import secrets
import threading
from pathlib import Path

import pytest
from celery.result import AsyncResult

from conftest import make_source
from media_checks import (assert_plays_cleanly, complete_rendition, probe_frames, probe_streams,
                          read_master_entries)
from queue_services import Worker, wait_for

from quorvane_queue.attempts import MASTER

RESULT_TIMEOUT = 300
SOURCE_SIZE = "160x90"


@pytest.fixture
def storage(tmp_path: Path) -> Path:
    """The shared storage: inputs, a key, ladders. The key's URI is its
    absolute path, so that ffprobe can play a published ladder as it lies."""
    (tmp_path / "ladders").mkdir()
    key = tmp_path / "enc.key"
    key.write_bytes(secrets.token_bytes(16))
    (tmp_path / "ladders" / "enc.keyinfo").write_text(f"{key}\n{key}\n{secrets.token_hex(16)}\n")
    return tmp_path


def source(storage: Path, name: str, seconds: float, **options) -> Path:
    return make_source(storage / name, size=SOURCE_SIZE, seconds=seconds, **options)


def published_ladder_problem(folder: Path, names: tuple[str, ...] = ("360p",)) -> str | None:
    """Why `folder` is not a complete ladder of `names`, or None when it is."""
    try:
        entries = read_master_entries(folder / MASTER)
        if [uri for _, uri in entries] != [f"{name}.m3u8" for name in names]:
            return f"master lists {entries}"
        for name in names:
            complete_rendition(name, folder)
    except (OSError, AssertionError) as error:
        return f"{type(error).__name__}: {error}"
    return None


def assert_ladder_plays(folder: Path, names: list[str], seconds: float | None = None) -> None:
    """The master playlist lists `names` in that order, each with the
    figures its call measured; every rendition is complete, every stream
    plays cleanly through the master, and the folder holds nothing else.
    With `seconds`: every picture of the source (30 per second) decrypts
    and decodes, and there is sound."""
    entries = read_master_entries(folder / MASTER)
    assert [uri for _, uri in entries] == [f"{name}.m3u8" for name in names]
    assert all({"BANDWIDTH", "AVERAGE-BANDWIDTH", "CODECS", "RESOLUTION"} <= set(attributes)
               for attributes, _ in entries), entries
    expected = {MASTER}
    for name in names:
        playlist = complete_rendition(name, folder)
        expected |= {f"{name}.m3u8", *(path.name for path in playlist.segment_paths())}
    assert {path.name for path in folder.iterdir()} == expected
    assert_plays_cleanly(folder / MASTER)
    if seconds is not None:
        assert abs(len(probe_frames(folder / MASTER, "v", "pts_time")) - 30 * seconds) <= 1
        assert "audio" in {stream["codec_type"] for stream in probe_streams(folder / MASTER)}


def leftovers(parent: Path) -> list[str]:
    """Attempt folders, their lock files and logs, trash, and the
    bookkeeping of ladders joined from rung tasks in `parent`."""
    return sorted(entry.name for entry in parent.iterdir() if ".attempt-" in entry.name
                  or ".trash-" in entry.name or ".ladder-" in entry.name)


def received(workers: list[Worker], task_id: str, task: str = "encode_ladder") -> int:
    line = f"Task quorvane_queue.{task}[{task_id}] received"
    return sum(worker.log_text().count(line) for worker in workers)


def published_lines(workers: list[Worker], output: Path) -> int:
    return sum(worker.log_text().count(f"published {output} (") for worker in workers)


class OutputWatch:
    """Polls an output folder in a thread from before the task is sent to
    the end: every time it is there it must be a complete ladder, and once
    there it must stay the same folder."""

    def __init__(self, output: Path, names: tuple[str, ...]):
        self.output = output
        self.names = names
        self.problems: list[str] = []
        self.inodes: set[int] = set()
        self.looks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            stopping = self._stop.is_set()
            self._look()
            if stopping:
                return   # the last look came after stop() was called
            self._stop.wait(0.01)

    def _look(self) -> None:
        try:
            inode = self.output.stat().st_ino
        except FileNotFoundError:
            if self.inodes:
                self.problems.append("the published folder went away")
            return
        self.inodes.add(inode)
        self.looks += 1
        problem = published_ladder_problem(self.output, self.names)
        if problem:
            self.problems.append(problem)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()

    def assert_published_once(self) -> None:
        """Stops the watch: the folder was seen, only ever whole, and never
        replaced."""
        self.stop()
        assert self.problems == [], self.problems[:3]
        assert self.looks > 0 and len(self.inodes) == 1


@pytest.fixture
def watch():
    watches: list[OutputWatch] = []

    def start(output: Path, names: tuple[str, ...] = ("360p",)) -> OutputWatch:
        watches.append(OutputWatch(output, names))
        return watches[-1]

    yield start
    for watching in watches:
        watching.stop()


def started_child(result: AsyncResult) -> int:
    """The pid of the worker child running the task (Celery records it
    with the STARTED state)."""
    def started():
        return result.state == "STARTED" and result.info.get("pid")
    return wait_for(started, f"task {result.id} to start", RESULT_TIMEOUT)
