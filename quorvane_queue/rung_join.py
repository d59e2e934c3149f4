"""The join of a ladder encoded one rung per task, on the shared storage.

Beside the output folder ``NAME`` a ladder being joined has:

- ``.NAME.ladder-ID/``: the staging folder, holding the media playlists and
  segments of the rungs done so far, and nothing else; renamed to ``NAME``
  once every rung has ended, with the master playlist written into it;
- ``.NAME.ladder-ID.lock``: the lock every step of the join holds;
- ``.NAME.ladder-ID.rung-RUNG.json``: how each rung ended: done (with the
  master playlist lines its own call measured and wrote, its worker, its
  wall and CPU seconds) or failed (with the encoder's reasons);
- ``.NAME.ladder-ID.progress``: the highest progress reported so far.

A rung is moved into the staging folder and recorded in one step under the
lock, so a rung delivered twice is recorded once; the ladder is renamed into
place once, by whichever rung task finds every rung recorded. The records go
only after the ladder's result has been stored, so a rung task delivered
again after a crash in between stores it again.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import shutil
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from .attempts import MASTER, NoRendition, _fsync_path, _safe_id, media_segments, read_playlist

MASTER_HEADER = "#EXTM3U\n#EXT-X-VERSION:3\n"
STREAM_TAG = "#EXT-X-STREAM-INF:"


def rung_files(folder: Path, rung: str) -> tuple[list[str], list[str]]:
    """(the master playlist lines of `rung` that a one-rung call wrote in
    `folder`, the rung's files). NoRendition when the rung is not complete."""
    master = read_playlist(folder / MASTER)
    playlist = f"{rung}.m3u8"
    if master is None or playlist not in master.uris:
        raise NoRendition("the encode completed no rendition")
    lines = (folder / MASTER).read_text().splitlines()
    at = lines.index(playlist)
    if at == 0 or not lines[at - 1].startswith(STREAM_TAG):
        raise NoRendition(f"the master playlist gives {playlist} no stream line")
    files = [playlist, *media_segments(folder / playlist)]
    missing = [name for name in files if not (folder / name).is_file()]
    if missing:
        raise NoRendition(f"listed but missing: {', '.join(missing)}")
    return [lines[at - 1], playlist], files


@dataclass
class LadderJoin:
    output: Path
    ladder_id: str
    rungs: list[str]   # in the caller's order

    @property
    def _base(self) -> str:
        return f".{self.output.name}.ladder-{_safe_id(self.ladder_id)}"

    @property
    def staging(self) -> Path:
        return self.output.with_name(self._base)

    def _record_path(self, rung: str) -> Path:
        return self.output.with_name(f"{self._base}.rung-{rung}.json")

    def _progress_path(self) -> Path:
        return self.output.with_name(f"{self._base}.progress")

    @contextmanager
    def locked(self) -> Iterator[None]:
        fd = os.open(self.output.with_name(f"{self._base}.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC,
                     0o644)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)   # lets the lock go

    def record(self, rung: str) -> dict | None:
        try:
            return json.loads(self._record_path(rung).read_text())
        except FileNotFoundError:
            return None

    def records(self) -> dict[str, dict]:
        return {rung: record for rung in self.rungs if (record := self.record(rung)) is not None}

    def _write_record(self, rung: str, record: dict) -> None:
        path = self._record_path(rung)
        temporary = path.with_name(path.name + ".tmp")
        temporary.write_text(json.dumps(record))
        _fsync_path(temporary)
        os.rename(temporary, path)

    def add_done(self, rung: str, folder: Path, record: dict) -> bool:
        """Moves the rung's files from `folder` into the staging folder and
        records it done. False, moving nothing, when the rung was recorded
        already (a duplicate delivery)."""
        lines, files = rung_files(folder, rung)
        with self.locked():
            if self.record(rung) is not None or self.output.exists():
                return False
            self.staging.mkdir(exist_ok=True)
            for name in files:
                _fsync_path(folder / name)
                os.rename(folder / name, self.staging / name)
            _fsync_path(self.staging)
            self._write_record(rung, {**record, "state": "done", "lines": lines})
        return True

    def add_failed(self, rung: str, record: dict) -> None:
        with self.locked():
            if self.record(rung) is None:
                self._write_record(rung, {**record, "state": "failed"})

    def complete(self) -> dict[str, dict] | None:
        """Every rung's record once every rung has ended, else None."""
        records = self.records()
        return records if len(records) == len(self.rungs) else None

    def publish(self, records: dict[str, dict]) -> bool:
        """Writes the master playlist of the rungs done, in the caller's
        order, into the staging folder and renames it to the output name.
        False when the output name is taken already. Called under the lock."""
        if self.output.exists():
            return False
        lines = [line for rung in self.rungs if records[rung]["state"] == "done"
                 for line in records[rung]["lines"]]
        master = self.staging / MASTER
        master.write_text(MASTER_HEADER + "".join(line + "\n" for line in lines))
        _fsync_path(master)
        os.chmod(self.staging, 0o777 & ~_current_umask())
        try:
            os.rename(self.staging, self.output)
        except OSError as error:
            if error.errno in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
                return False
            raise
        _fsync_path(self.output.parent)
        return True

    def progress(self, seconds_done: float) -> float:
        """The highest of `seconds_done` and every progress reported before,
        recorded for the other rungs' reports. Called under the lock."""
        path = self._progress_path()
        try:
            highest = max(seconds_done, float(path.read_text() or 0))
        except (FileNotFoundError, ValueError):
            highest = seconds_done
        path.write_text(repr(highest))
        return highest

    def discard(self) -> None:
        """Removes the join's bookkeeping (and a staging folder left by a
        ladder that failed); the lock file goes last."""
        if self.staging.exists():
            shutil.rmtree(self.staging, ignore_errors=True)
        for rung in self.rungs:
            self._record_path(rung).unlink(missing_ok=True)
        self._progress_path().unlink(missing_ok=True)
        self.output.with_name(f"{self._base}.lock").unlink(missing_ok=True)


def _current_umask() -> int:
    umask = os.umask(0o022)
    os.umask(umask)
    return umask
