"""A ladder encoded one rung per task, so that free workers share it, joined
on the shared storage.

``submit_ladder(..., split_rungs=True)`` sends one ``encode_rung`` task per
rung, under task ids ``LADDER-RUNG``. Each encodes its rung alone
(hls_encoder with that one name and bitrate, which measures it and lists it
in its own master playlist) in an attempt folder of its own, then moves it
into the ladder's staging folder. The rung task that finds every rung ended
writes the master playlist, publishes the ladder with one rename and stores
the ladder's result under the ladder id, through whichever result store the
workers use (Redis, or rpc:// back to the client): no chord is needed.

Beside the output folder ``NAME`` a ladder being joined has:

- ``.NAME.ladder-ID/``: the staging folder, holding the media playlists and
  segments of the rungs done so far, and nothing else;
- ``.NAME.ladder-ID.lock``: the lock every step of the join holds;
- ``.NAME.ladder-ID.rung-RUNG.json``: how each rung ended: done (with its
  entry of the master playlist, its worker, its wall and CPU seconds) or
  failed (with the encoder's reasons and its kept log);
- ``.NAME.ladder-ID.progress``: the highest progress reported so far.

All of it goes once the ladder's result is stored. A task that comes late
(its worker frozen while its rung was redone elsewhere, or a ladder that
found the name taken by another) creates none of it again: once the output
exists and the join's records are gone, the join is over, and such a task
only answers with the ladder published there.
"""

from __future__ import annotations

import errno
import fcntl
import glob
import json
import os
import shutil
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from celery.exceptions import SoftTimeLimitExceeded

import _quorvane_queue_native as native

from .attempts import MASTER, NoRendition, _fsync_path, _identity, _safe_id, media_segments, \
    playlist_seconds
from .base import LadderTask, distinct, logger
from .request import LadderFailed, LadderRequest, check_files, probe_upload, read_request


def rung_files(folder: Path, rung: str) -> tuple[dict, list[str]]:
    """(the master playlist entry of `rung` that a one-rung call wrote in
    `folder`, the rung's files). NoRendition when the rung is not complete."""
    listed = [entry for entry in native.read_master(str(folder / MASTER)) or []
              if entry["name"] == rung]
    if not listed:
        raise NoRendition("the encode completed no rendition")
    playlist = f"{rung}.m3u8"
    files = [playlist, *media_segments(folder / playlist)]
    missing = [name for name in files if not (folder / name).is_file()]
    if missing:
        raise NoRendition(f"listed but missing: {', '.join(missing)}")
    return listed[0], files


@dataclass
class LadderJoin:
    output: Path
    ladder_id: str
    rungs: list[str]   # in the caller's order

    def _beside(self, suffix: str = "") -> Path:
        return self.output.with_name(f".{self.output.name}.ladder-{_safe_id(self.ladder_id)}{suffix}")

    @property
    def staging(self) -> Path:
        return self._beside()

    def _record_path(self, rung: str) -> Path:
        return self._beside(f".rung-{rung}.json")

    @contextmanager
    def locked(self) -> Iterator[bool]:
        """Holds the join's lock while the join lives: True. False, holding
        nothing and leaving nothing behind, once it is over (its output
        exists and its records are gone)."""
        lock = self._beside(".lock")
        try:
            fd = os.open(lock, os.O_RDWR | os.O_CLOEXEC)
        except FileNotFoundError:
            if self.output.exists():
                yield False
                return
            fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX)
            status = os.fstat(fd)
            # discard() unlinks the lock file it holds: a waiter then holds a
            # lock nobody else will take, on a join that is over.
            live = _identity(lock) == (status.st_dev, status.st_ino)
            if live and self.output.exists() and not self.records() and not self.staging.exists():
                self.discard()   # made by a task that came late: over
                live = False
            yield live
        finally:
            os.close(fd)

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
        already (a duplicate delivery) or the join is over."""
        listed, files = rung_files(folder, rung)
        with self.locked() as live:
            if not live or self.record(rung) is not None or self.output.exists():
                return False
            self.staging.mkdir(exist_ok=True)
            for name in files:
                _fsync_path(folder / name)
                os.rename(folder / name, self.staging / name)
            _fsync_path(self.staging)
            self._write_record(rung, {**record, "state": "done", "listed": listed})
        return True

    def add_failed(self, rung: str, record: dict) -> None:
        with self.locked() as live:
            if live and self.record(rung) is None:
                self._write_record(rung, {**record, "state": "failed"})

    def publish(self, records: dict[str, dict]) -> bool:
        """Writes the master playlist of the rungs done, in the caller's
        order, into the staging folder and renames it to the output name.
        False when the output name is taken already. Called under the lock."""
        if self.output.exists():
            return False
        master = self.staging / MASTER
        native.write_master(str(master), [records[rung]["listed"] for rung in self.rungs
                                          if records[rung]["state"] == "done"])
        _fsync_path(master)
        umask = os.umask(0o022)
        os.umask(umask)
        os.chmod(self.staging, 0o777 & ~umask)
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
        path = self._beside(".progress")
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
        self._beside(".progress").unlink(missing_ok=True)
        self._beside(".lock").unlink(missing_ok=True)


class LadderProgress:
    """The ladder's progress over all its rungs, from whichever rung task
    reports it: rungs done count whole, running ones by the media playlist
    in their attempt folders. Reported under the join's lock, so that no
    report goes back and none follows the ladder's result."""

    def __init__(self, task: LadderTask, join: LadderJoin, duration: float | None):
        self.task = task
        self.join = join
        self.duration = duration
        self.folder = None   # no single attempt folder to step through

    def _rung_seconds(self, rung: str) -> float:
        record = self.join.record(rung)
        if record is not None:
            return self.duration if record["state"] == "done" else 0.0
        pattern = f".{glob.escape(self.join.output.name)}.{rung}.attempt-*/{rung}.m3u8"
        seconds = [playlist_seconds(path) for path in self.join.output.parent.glob(pattern)]
        return min(max(seconds, default=0.0), self.duration)

    def __call__(self) -> None:
        if not self.duration:
            return
        total = self.duration * len(self.join.rungs)
        with self.join.locked() as live:
            if live:
                done = self.join.progress(sum(self._rung_seconds(rung) for rung in self.join.rungs))
                self.task.report_progress(self.join.ladder_id, done, total)


def _encode_rung(task: LadderTask, join: LadderJoin, request: LadderRequest, rung: str) -> str | None:
    """Encodes `rung` in an attempt folder of its own and adds it to the
    join, done or failed: why it failed, with its kept log, or None."""
    target = request.output.with_name(f"{request.output.name}.{rung}")
    one = request.one_rung(next(planned for planned in request.rungs if planned.name == rung))
    started = time.monotonic()
    reasons: list[str] = []
    try:
        with task.start_attempt(target) as attempt:
            progress = LadderProgress(task, join, probe_upload(request.input).seconds)
            try:
                reasons, cpu = task.encode(attempt, one, progress)
                join.add_done(rung, attempt.folder, {
                    "worker": task.worker, "seconds": round(time.monotonic() - started, 3),
                    "cpu": cpu, "delivery": attempt.delivery, "reasons": reasons})
                return None
            except NoRendition as error:
                why = "; ".join(distinct(reasons)) or str(error)
                raise task.fail_with_log(f"{rung}: {why}", attempt) from None
            except SoftTimeLimitExceeded:
                raise task.soft_limit_failure(one, attempt) from None
    except LadderFailed as failure:
        join.add_failed(rung, {"reasons": reasons or [f"{rung}: {failure}"],
                               "log": getattr(failure, "log", None)})
        return str(failure)


def _ladder_result(task: LadderTask, join: LadderJoin, request: LadderRequest,
                   records: dict[str, dict]) -> dict:
    done = [rung for rung in join.rungs if records[rung]["state"] == "done"]
    result = task.ladder_result(
        request, done, True, max(int(records[rung].get("delivery", 1)) for rung in done),
        sum(records[rung].get("cpu", 0.0) for rung in done),
        [reason for rung in join.rungs for reason in records[rung]["reasons"]],
        probe_upload(request.input).seconds)
    result["rungs"] = {rung: {"worker": records[rung]["worker"],
                              "seconds": records[rung]["seconds"]} for rung in done}
    return result


def _failure(request: LadderRequest, join: LadderJoin, records: dict[str, dict]) -> LadderFailed:
    """No rung was completed: the reasons once each, and the logs kept."""
    reasons = distinct([reason for rung in join.rungs for reason in records[rung]["reasons"]])
    logs = [records[rung]["log"] for rung in join.rungs if records[rung].get("log")]
    kept = f" (FFmpeg's messages: {', '.join(logs)})" if logs else ""
    return LadderFailed(f"{request.input}: the encode completed no rendition: "
                        f"{'; '.join(reasons)}{kept}")


def _answer_published(task: LadderTask, join: LadderJoin, request: LadderRequest) -> None:
    """Stores, as the ladder's, the ladder another one published at its
    name while it was made (or this one's own, to a task that came late).
    The rungs it lacks are named; any other difference fails it."""
    try:
        result = task.answer_from_published(request, missing_allowed=True)
        task.store_state(join.ladder_id, result, "SUCCESS")
    except LadderFailed as error:
        task.store_state(join.ladder_id, error, "FAILURE")


def _finish(task: LadderTask, join: LadderJoin, request: LadderRequest) -> None:
    """Publishes the ladder and stores its result once every rung has
    ended; nothing before."""
    with join.locked() as live:
        if live:
            records = join.records()
            if join.output.exists():
                if len(records) == len(join.rungs) and not join.staging.exists():
                    # Published by this join; the result was not stored yet.
                    task.store_state(join.ladder_id, _ladder_result(task, join, request, records),
                                     "SUCCESS")
                else:   # another ladder took the name meanwhile
                    _answer_published(task, join, request)
                join.discard()
                return
            if len(records) < len(join.rungs):
                return
            if not any(record["state"] == "done" for record in records.values()):
                task.store_state(join.ladder_id, _failure(request, join, records), "FAILURE")
                join.discard()
                return
            join.publish(records)
            logger.info("published %s (%s), joined from %d rung tasks", join.output,
                        ", ".join(rung for rung in join.rungs if records[rung]["state"] == "done"),
                        len(join.rungs))
            task.store_state(join.ladder_id, _ladder_result(task, join, request, records), "SUCCESS")
            join.discard()
            return
    if join.output.exists():
        _answer_published(task, join, request)


def run_rung(task: LadderTask, ladder_id: str, rung: str, *arguments) -> dict:
    """The rung task's work, for the ladder `arguments` ask for (as
    read_request takes them): its rung encoded and joined, unless the ladder
    is over; the ladder finished when this was its last rung. A definite
    failure of the ladder as a whole is stored as the ladder's."""
    failure, encoded = None, False
    try:
        try:
            request = read_request(*arguments)
            join = LadderJoin(request.output, ladder_id, [planned.name for planned in request.rungs])
            if rung not in join.rungs:
                raise LadderFailed(f"{rung} is not a rung of this ladder")
            if not request.output.exists():
                check_files(request)
                if join.record(rung) is None:
                    failure = _encode_rung(task, join, request, rung)
                    encoded = failure is None
            _finish(task, join, request)
        except OSError as error:
            task.retry_storage(error)
    except LadderFailed as error:
        task.store_state(ladder_id, error, "FAILURE")
        raise
    return {"rung": rung, "encoded": encoded, "failure": failure}
