"""A ladder encoded by several tasks, each one part of it (a rung, or a
window of time), joined on the shared storage. rung_join.py and
window_join.py say what a rung and a window are; the join is written here
once.

Each part task encodes its part in an attempt folder of its own beside the
output (``.NAME.PART.attempt-...``), then moves its files into the ladder's
staging folder. The task that finds every part ended publishes the ladder
with one rename and stores the ladder's result under the ladder id, through
whichever result store the workers use (Redis, or rpc:// back to the
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
- ``.NAME.ladder-ID.progress``: the highest progress reported so far;
- what a kind of part adds (window_join.py: the plan, the windows' sound).

All of it goes once the ladder's result is stored. A ladder that fails
keeps its failure as ``.NAME.failed-ID.log``, as a ladder encoded by one
task keeps its log. A task that comes late (its worker frozen while its part
was redone elsewhere, or a duplicate delivery) creates none of it again:
once the output, or the ladder's failure, exists and the join's records are
gone, the join is over.
"""

from __future__ import annotations

import fcntl
import glob
import os
import shutil
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

import _quorvane_queue_native as native

from .attempts import Attempt, failed_log, is_cancelled
from .base import LadderTask, events, logger
from .workflow import Reporter
from .playlists import MASTER, written_seconds
from .request import LadderCancelled, LadderFailed, LadderRequest, check_files, probe_upload
from .storage import fsync_path, identity, publish_folder, read_json, safe_id, write_json


@dataclass
class LadderJoin:
    """The join of one ladder's parts. A kind of part says, by overriding
    the methods at the end, which parts there are, which playlists a part
    writes, what fails the ladder, how its master playlist is made and what
    its result adds."""

    output: Path
    ladder_id: str
    rungs: list[str]   # the ladder's rungs, in the caller's order

    kind = "part"
    # Whether a ladder published at the name may lack a rung asked for.
    missing_allowed = False
    # Whether a part task may start the join; otherwise a part that finds
    # none comes after the ladder's end.
    started_by_parts = True

    def _beside(self, suffix: str = "") -> Path:
        return self.output.with_name(f".{self.output.name}.ladder-{safe_id(self.ladder_id)}{suffix}")

    @property
    def staging(self) -> Path:
        return self._beside()

    def _record_path(self, part: str) -> Path:
        return self._beside(f".{self.kind}-{part}.json")

    def aside(self, part: str) -> Path:
        """Where the part's files that the join reads but does not publish lie."""
        return self._beside(f".{self.kind}-{part}")

    @property
    def failure_log(self) -> Path:
        return failed_log(self.output, self.ladder_id)

    def is_over(self) -> bool:
        return self.output.exists() or self.failure_log.exists()

    def cancelled(self) -> bool:
        return is_cancelled(self.output, self.ladder_id)

    def exists(self) -> bool:
        return self._beside(".lock").exists()

    @contextmanager
    def locked(self, start: bool | None = None) -> Iterator[bool]:
        """Holds the join's lock while the join lives: True. False, holding
        nothing and leaving nothing behind, once it is over, or when it was
        never started and `start` (by default started_by_parts) is false."""
        lock = self._beside(".lock")
        try:
            fd = os.open(lock, os.O_RDWR | os.O_CLOEXEC)
        except FileNotFoundError:
            if not (self.started_by_parts if start is None else start) or self.is_over():
                yield False
                return
            fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX)
            status = os.fstat(fd)
            # discard() unlinks the lock file it holds: a waiter then holds a
            # lock nobody else will take, on a join that is over.
            live = identity(lock) == (status.st_dev, status.st_ino)
            if live and self.is_over() and not self.records() and not self.staging.exists():
                self.discard()   # made by a task that came late: over
                live = False
            yield live
        finally:
            os.close(fd)

    def record(self, part: str) -> dict | None:
        return read_json(self._record_path(part))

    def records(self) -> dict[str, dict]:
        return {part: record for part in self.parts() if (record := self.record(part)) is not None}

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
                    fsync_path(folder / name)
                    os.rename(folder / name, destination / name)
                fsync_path(destination)
            write_json(self._record_path(part), {**record, "state": "done"})
        return True

    def add_failed(self, part: str, record: dict) -> None:
        with self.locked() as live:
            if live and self.record(part) is None:
                write_json(self._record_path(part), {**record, "state": "failed"})

    def publish(self, entries: list[dict]) -> bool:
        """Writes the master playlist of `entries` (read_master's) into the
        staging folder and renames it to the output name. False when the
        output name is taken already. Called under the lock."""
        if self.output.exists():
            return False
        master = self.staging / MASTER
        native.write_master(str(master), entries)
        fsync_path(master)
        return publish_folder(self.staging, self.output)

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
        prefix = self._beside().name
        lock = self._beside(".lock")
        for entry in os.scandir(self.output.parent):
            if entry.name == prefix or entry.name.startswith(prefix + ".") and entry.path != str(lock):
                if entry.is_dir(follow_symlinks=False):
                    shutil.rmtree(entry.path, ignore_errors=True)
                else:
                    os.unlink(entry.path)
        lock.unlink(missing_ok=True)

    def listeners(self) -> list[tuple[str, str | None]]:
        """(ladder id, the client to answer, None for the one that sent the
        task at hand) of every ladder waiting for this one's result."""
        return [(self.ladder_id, None)]

    def store(self, reporter: Reporter, value, state: str) -> None:
        for ladder_id, reply_to in self.listeners():
            reporter.store(ladder_id, value, state, reply_to)

    def fail(self, reporter: Reporter, failure: LadderFailed) -> None:
        """Keeps the ladder's failure beside it (which also tells a task that
        comes late that the ladder is over) and stores it as the ladder's.
        Called under the lock."""
        self.failure_log.write_text(f"quorvane_queue: task {self.ladder_id} failed: {failure}\n")
        fsync_path(self.failure_log)
        self.store(reporter, failure, "FAILURE")

    def answer_published(self, reporter: Reporter, request: LadderRequest) -> None:
        """Stores, as the ladder's, the ladder another one published at its
        name while it was made; anything that differs fails it."""
        try:
            self.store(reporter, reporter.answer_published(request, self.missing_allowed),
                       "SUCCESS")
        except LadderFailed as error:
            self.store(reporter, error, "FAILURE")

    def finish(self, reporter: Reporter, request: LadderRequest) -> None:
        """Publishes the ladder and stores its result once every part has
        ended; nothing before, nor once the join is over."""
        with self.locked() as live:
            if not live:
                return
            if self.cancelled():   # nothing published, nothing of the join left
                self.store(reporter, LadderCancelled(self.ladder_id), "FAILURE")
                self.discard()
                return
            records = self.records()
            ended = self.all_parts_known() and len(records) == len(self.parts())
            if self.output.exists():
                if ended and not self.staging.exists():
                    # Published by this join; the result was not stored yet.
                    self.store(reporter, self.result(reporter, request, records), "SUCCESS")
                else:   # another ladder took the name meanwhile
                    self.answer_published(reporter, request)
                self.discard()
                return
            if not ended:
                return
            try:
                failure = self.failure(request, records)
                if failure is None:
                    self.complete(reporter, request, records)
            except LadderFailed as error:
                failure = error
            if failure is not None:
                self.fail(reporter, failure)
            self.discard()

    def complete(self, reporter: Reporter, request: LadderRequest,
                 records: dict[str, dict]) -> None:
        """Publishes the ladder of the parts done and stores its result.
        Called under the lock; the join is discarded after."""
        entries = self.master_entries(request, records)
        if self.publish(entries):
            events.info("ladder %s: published %s (%s), joined from %d %s tasks", self.ladder_id,
                        self.output, ", ".join(entry["name"] for entry in entries), len(records),
                        self.kind)
            self.store(reporter, self.result(reporter, request, records), "SUCCESS")
        else:   # another ladder took the name as this one was joined
            self.answer_published(reporter, request)

    # --- what each kind of part says ----------------------------------------

    def parts(self) -> list[str]:
        """The ladder's parts known so far, in its order."""
        raise NotImplementedError

    def all_parts_known(self) -> bool:
        return True

    def failed_so_far(self) -> str | None:
        """Why the ladder fails whatever the parts not yet encoded do, if it
        does; they are then not encoded."""
        return None

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

    def result(self, reporter: Reporter, request: LadderRequest, records: dict[str, dict]) -> dict:
        raise NotImplementedError

    def progress_info(self, done: float, duration: float) -> dict:
        """The PROGRESS state of `done` media seconds written, all rungs
        counted."""
        total = duration * len(self.rungs)
        return {"fraction": min(1.0, done / total), "seconds_done": round(done, 3),
                "seconds_total": total}


class LadderProgress:
    """The ladder's progress over all its parts, from whichever part task
    reports it: parts done count the media seconds they hold, running ones
    those of the media playlists in their attempt folders. Reported under
    the join's lock, so that no report goes back and none follows the
    ladder's result. Media seconds of all rungs count, as for one task."""

    def __init__(self, reporter: Reporter, join: LadderJoin, duration: float | None):
        self.reporter = reporter
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
        if self.join.cancelled():   # the running part ends here
            raise LadderCancelled(self.join.ladder_id)
        if not self.duration:
            return
        with self.join.locked() as live:
            if live:
                done = self.join.progress(sum(self._part_seconds(part)
                                              for part in self.join.parts()))
                info = self.join.progress_info(done, self.duration)
                for ladder_id, reply_to in self.join.listeners():
                    self.reporter.progress(ladder_id, info, reply_to)


# What a part's attempt leaves for the join: (files to publish, files the join
# only reads, what the part's record adds); NoRendition when it is not whole.
Gather = Callable[[Path, dict], tuple[list[str], list[str], dict]]


@dataclass
class JoinedPart:
    """One part encoded in an attempt and added to the join: the work
    DeliveriesTask.run_attempt runs for a rung or a window task."""

    task: LadderTask
    join: LadderJoin
    part: str
    request: LadderRequest
    job: dict   # what the encode process runs
    label: str
    gather: Gather
    reasons: list[str] = field(default_factory=list)   # the encoder's, once it ran
    follows_other_tasks = False   # another ladder's part is another ladder's

    @property
    def target(self) -> Path:
        return self.request.output.with_name(f"{self.request.output.name}.{self.part}")

    def already_done(self) -> dict | None:
        if self.join.record(self.part) is not None:
            return {"encoded": False, "discarded": None}
        return None

    def run(self, attempt: Attempt) -> dict:
        started = time.monotonic()
        duration = probe_upload(self.request.input).seconds
        report, cpu = self.task.encode(attempt, self.job, self.label,
                                       LadderProgress(self.task.reporter, self.join, duration))
        self.reasons = report["reasons"]
        published, aside, details = self.gather(attempt.folder, report)
        held = written_seconds(attempt.folder, self.join.playlists_of(self.part), duration)
        added = self.join.add_done(self.part, attempt.folder, published, aside, {
            "worker": self.task.worker, "seconds": round(time.monotonic() - started, 3),
            "cpu": cpu, "delivery": attempt.delivery, "reasons": report["reasons"],
            "media_seconds": held, "attempt": attempt.folder.name, **details})
        if not added:
            why = "the ladder is over" if self.join.is_over() else "another delivery recorded it"
            return {"encoded": True, "discarded": why}
        return {"encoded": True, "discarded": None}

    def handed_on(self, attempt: Attempt) -> dict | None:
        record = self.join.record(self.part) or {}
        return {"encoded": True, "discarded": None} \
            if record.get("attempt") == attempt.folder.name else None


def run_part(task: LadderTask, join: LadderJoin, part: str, request: LadderRequest,
             work: JoinedPart) -> dict:
    """A part task's work: its part encoded and joined, unless the ladder is
    over or failed already; the ladder finished when this was its last part
    to end. ``{"encoded", "failure", "discarded"}``: whether it encoded,
    why it failed, why what it encoded was thrown away."""
    outcome: dict = {"encoded": False, "failure": None, "discarded": None}
    if join.cancelled():
        outcome["discarded"] = "the ladder was cancelled"
    elif not (join.started_by_parts or join.exists()):
        outcome["discarded"] = "the ladder is over"
        return outcome
    elif not join.is_over():
        check_files(request)
        failed = join.failed_so_far()
        if failed:
            join.add_failed(part, {"reasons": [], "log": None, "failure": None})
            outcome["failure"] = f"not encoded: {failed}"
        else:
            try:
                outcome.update(task.run_attempt(work))
            except LadderCancelled:
                outcome["discarded"] = "the ladder was cancelled"
            except LadderFailed as failure:
                join.add_failed(part, {"reasons": work.reasons or [f"{work.label}: {failure}"],
                                       "log": getattr(failure, "log", None),
                                       "failure": str(failure)})
                outcome["failure"] = str(failure)
    join.finish(task.reporter, request)
    return outcome
