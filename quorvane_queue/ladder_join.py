"""A ladder encoded by several tasks, each one part of it (a rung, or a
window of time), joined on the shared storage. rung_join.py and
window_join.py say what a rung and a window are; the join is written here
once.

Each part task encodes its part in an attempt folder of its own beside the
output (``.NAME.PART.attempt-...``), then moves its files into the ladder's
staging folder. The part task that finds every part ended publishes the
ladder with one rename and stores the ladder's result under the ladder id,
through whichever result store the workers use (Redis, or rpc:// back to the
client): no chord is needed.

Beside the output folder ``NAME`` a ladder being joined has:

- ``.NAME.ladder-ID/``: the staging folder, holding the media playlists and
  segments of the parts done so far, and nothing else;
- ``.NAME.ladder-ID.lock``: the lock every step of the join holds;
- ``.NAME.ladder-ID.KIND-PART.json`` (``rung-720p``, ``window-w3``): how each
  part ended: done (with its worker, its wall and CPU seconds, what the join
  needs of it) or failed (with the encoder's reasons and its kept log);
- ``.NAME.ladder-ID.KIND-PART/``: what a part leaves for the join to read
  but not to publish (a window's media playlists);
- ``.NAME.ladder-ID.progress``: the highest progress reported so far.

All of it goes once the ladder's result is stored. A task that comes late
(its worker frozen while its part was redone elsewhere, or a ladder that
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
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from celery.exceptions import SoftTimeLimitExceeded

import _quorvane_queue_native as native

from .attempts import MASTER, NoRendition, _fsync_path, _identity, _safe_id, playlist_seconds
from .base import LadderTask, distinct, logger
from .request import LadderFailed, LadderRequest, check_files, probe_upload, read_request


def written_seconds(folder: Path, rungs: list[str], cap: float | None = None) -> float:
    """The media seconds the playlists of `rungs` in `folder` list, all
    rungs counted, each at most `cap`."""
    listed = [playlist_seconds(folder / f"{rung}.m3u8") for rung in rungs]
    return sum(min(seconds, cap) if cap else seconds for seconds in listed)


@dataclass
class LadderJoin:
    """The join of one ladder's parts. A kind of part says, by overriding
    the methods at the end, which playlists a part writes, what fails the
    ladder, how its master playlist is made and what its result adds."""

    output: Path
    ladder_id: str
    parts: list[str]   # in the ladder's order: its rungs as asked, its windows in time
    rungs: list[str]   # the ladder's rungs, in the caller's order

    kind = "part"
    # Whether a ladder published at the name may lack a rung asked for.
    missing_allowed = False

    def _beside(self, suffix: str = "") -> Path:
        return self.output.with_name(f".{self.output.name}.ladder-{_safe_id(self.ladder_id)}{suffix}")

    @property
    def staging(self) -> Path:
        return self._beside()

    def _record_path(self, part: str) -> Path:
        return self._beside(f".{self.kind}-{part}.json")

    def aside(self, part: str) -> Path:
        """Where the part's files that the join reads but does not publish lie."""
        return self._beside(f".{self.kind}-{part}")

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

    def record(self, part: str) -> dict | None:
        try:
            return json.loads(self._record_path(part).read_text())
        except FileNotFoundError:
            return None

    def records(self) -> dict[str, dict]:
        return {part: record for part in self.parts if (record := self.record(part)) is not None}

    def has_failed_part(self) -> bool:
        return any(record["state"] == "failed" for record in self.records().values())

    def _write_record(self, part: str, record: dict) -> None:
        path = self._record_path(part)
        temporary = path.with_name(path.name + ".tmp")
        temporary.write_text(json.dumps(record))
        _fsync_path(temporary)
        os.rename(temporary, path)

    def add_done(self, part: str, folder: Path, published: list[str], aside: list[str],
                 record: dict) -> bool:
        """Moves the part's files from `folder`: `published` into the
        staging folder, `aside` into the part's own folder beside it; and
        records the part done. False, moving nothing, when the part was
        recorded already (a duplicate delivery) or the join is over."""
        with self.locked() as live:
            if not live or self.record(part) is not None or self.output.exists():
                return False
            for names, destination in ((published, self.staging), (aside, self.aside(part))):
                if not names:
                    continue
                destination.mkdir(exist_ok=True)
                for name in names:
                    _fsync_path(folder / name)
                    os.rename(folder / name, destination / name)
                _fsync_path(destination)
            self._write_record(part, {**record, "state": "done"})
        return True

    def add_failed(self, part: str, record: dict) -> None:
        with self.locked() as live:
            if live and self.record(part) is None:
                self._write_record(part, {**record, "state": "failed"})

    def publish(self, entries: list[dict]) -> bool:
        """Writes the master playlist of `entries` (read_master's) into the
        staging folder and renames it to the output name. False when the
        output name is taken already. Called under the lock."""
        if self.output.exists():
            return False
        master = self.staging / MASTER
        native.write_master(str(master), entries)
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
        recorded for the other parts' reports. Called under the lock."""
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
        for folder in (self.staging, *(self.aside(part) for part in self.parts)):
            if folder.exists():
                shutil.rmtree(folder, ignore_errors=True)
        for part in self.parts:
            self._record_path(part).unlink(missing_ok=True)
        self._beside(".progress").unlink(missing_ok=True)
        self._beside(".lock").unlink(missing_ok=True)

    def answer_published(self, task: LadderTask, request: LadderRequest) -> None:
        """Stores, as the ladder's, the ladder another one published at its
        name while it was made (or this one's own, to a task that came late);
        anything that differs fails it."""
        try:
            result = task.answer_from_published(request, missing_allowed=self.missing_allowed)
            task.store_state(self.ladder_id, result, "SUCCESS")
        except LadderFailed as error:
            task.store_state(self.ladder_id, error, "FAILURE")

    def finish(self, task: LadderTask, request: LadderRequest) -> None:
        """Publishes the ladder and stores its result once every part has
        ended; nothing before."""
        with self.locked() as live:
            if live:
                records = self.records()
                if self.output.exists():
                    if len(records) == len(self.parts) and not self.staging.exists():
                        # Published by this join; the result was not stored yet.
                        task.store_state(self.ladder_id, self.result(task, request, records),
                                         "SUCCESS")
                    else:   # another ladder took the name meanwhile
                        self.answer_published(task, request)
                    self.discard()
                    return
                if len(records) < len(self.parts):
                    return
                entries: list[dict] = []
                try:
                    failure = self.failure(request, records)
                    if failure is None:
                        entries = self.master_entries(request, records)
                except LadderFailed as error:
                    failure = error
                if failure is not None:
                    task.store_state(self.ladder_id, failure, "FAILURE")
                elif self.publish(entries):
                    logger.info("published %s (%s), joined from %d %s tasks", self.output,
                                ", ".join(entry["name"] for entry in entries), len(self.parts),
                                self.kind)
                    task.store_state(self.ladder_id, self.result(task, request, records), "SUCCESS")
                else:   # another ladder took the name as this one was joined
                    self.answer_published(task, request)
                self.discard()
                return
        if self.output.exists():
            self.answer_published(task, request)

    # --- what each kind of part says ----------------------------------------

    def playlists_of(self, part: str) -> list[str]:
        """The rungs whose media playlists the part's encode writes."""
        raise NotImplementedError

    def failure(self, request: LadderRequest, records: dict[str, dict]) -> LadderFailed | None:
        """Why the ended parts make no ladder, or None."""
        raise NotImplementedError

    def master_entries(self, request: LadderRequest, records: dict[str, dict]) -> list[dict]:
        """The master playlist's entries of the ladder in the staging
        folder, made ready to publish; LadderFailed when it cannot be."""
        raise NotImplementedError

    def result(self, task: LadderTask, request: LadderRequest, records: dict[str, dict]) -> dict:
        raise NotImplementedError


class LadderProgress:
    """The ladder's progress over all its parts, from whichever part task
    reports it: parts done count the media seconds they hold, running ones
    those of the media playlists in their attempt folders. Reported under
    the join's lock, so that no report goes back and none follows the
    ladder's result. Media seconds of all rungs count, as for one task."""

    def __init__(self, task: LadderTask, join: LadderJoin, duration: float | None):
        self.task = task
        self.join = join
        self.duration = duration
        self.folder = None   # no single attempt folder to step through

    def _part_seconds(self, part: str) -> float:
        record = self.join.record(part)
        if record is not None:
            return record.get("media_seconds", 0.0)
        pattern = f".{glob.escape(self.join.output.name)}.{part}.attempt-*"
        return max((written_seconds(folder, self.join.playlists_of(part), self.duration)
                    for folder in self.join.output.parent.glob(pattern)), default=0.0)

    def __call__(self) -> None:
        if not self.duration:
            return
        total = self.duration * len(self.join.rungs)
        with self.join.locked() as live:
            if live:
                done = self.join.progress(sum(self._part_seconds(part) for part in self.join.parts))
                self.task.report_progress(self.join.ladder_id, done, total)


# What a part's attempt leaves for the join: (files to publish, files the join
# only reads, what the part's record adds); NoRendition when it is not whole.
Gather = Callable[[Path, dict], tuple[list[str], list[str], dict]]


def encode_part(task: LadderTask, join: LadderJoin, part: str, request: LadderRequest,
                label: str, gather: Gather) -> str | None:
    """Encodes `part` (`request` asks for it alone: one rung, or one window)
    in an attempt folder of its own and adds it to the join, done or
    failed: why it failed, with its kept log, or None."""
    target = request.output.with_name(f"{request.output.name}.{part}")
    started = time.monotonic()
    reasons: list[str] = []
    try:
        with task.start_attempt(target) as attempt:
            duration = probe_upload(request.input).seconds
            progress = LadderProgress(task, join, duration)
            try:
                report, cpu = task.encode(attempt, request, progress)
                reasons = report["reasons"]
                published, aside, details = gather(attempt.folder, report)
                held = written_seconds(attempt.folder, join.playlists_of(part), duration)
                join.add_done(part, attempt.folder, published, aside, {
                    "worker": task.worker, "seconds": round(time.monotonic() - started, 3),
                    "cpu": cpu, "delivery": attempt.delivery, "reasons": reasons,
                    "media_seconds": held, **details})
                return None
            except NoRendition as error:
                why = "; ".join(distinct(reasons)) or str(error)
                raise task.fail_with_log(f"{label}: {why}", attempt) from None
            except SoftTimeLimitExceeded:
                raise task.soft_limit_failure(request, attempt) from None
    except LadderFailed as failure:
        join.add_failed(part, {"reasons": reasons or [f"{label}: {failure}"],
                               "log": getattr(failure, "log", None), "failure": str(failure)})
        return str(failure)


def run_part(task: LadderTask, ladder_id: str, part: str, arguments: tuple,
             join_for: Callable[[LadderRequest], LadderJoin],
             encode: Callable[[LadderJoin, LadderRequest], str | None]) -> tuple[bool, str | None]:
    """A part task's work, for the ladder `arguments` ask for (as
    read_request takes them): its part encoded and joined, unless the
    ladder is over; the ladder finished when this was its last part to end.
    (whether it encoded, why it failed). A definite failure of the ladder as
    a whole is stored as the ladder's."""
    failure, encoded = None, False
    try:
        try:
            request = read_request(*arguments)
            join = join_for(request)
            if part not in join.parts:
                raise LadderFailed(f"{part} is not a {join.kind} of this ladder")
            if not request.output.exists():
                check_files(request)
                if join.record(part) is None:
                    failure = encode(join, request)
                    encoded = failure is None
            join.finish(task, request)
        except OSError as error:
            task.retry_storage(error)
    except LadderFailed as error:
        task.store_state(ladder_id, error, "FAILURE")
        raise
    return encoded, failure
