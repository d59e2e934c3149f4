"""A ladder encoded one rung per task, so that free workers share it.

``submit_ladder(..., split_rungs=True)`` sends one ``encode_rung`` task per
rung, under task ids ``LADDER-RUNG``, and returns the AsyncResult of the
ladder id. Each rung task encodes its rung alone (hls_encoder with that one
name and bitrate, which measures and writes that rung's master playlist
line) in an attempt folder of its own, then moves it into the ladder's
staging folder (rung_join.py). The rung task that finds every rung ended
writes the master playlist, publishes the ladder with one rename and stores
the ladder's result under the ladder id, through whichever result store the
workers use (Redis, or rpc:// back to the client that submitted the rungs):
no chord is needed. Progress, the ladder's over all its rungs, is stored
under the ladder id too.
"""

from __future__ import annotations

import glob
import os
import socket
import time

from celery.app.task import Context
from celery.exceptions import Retry, SoftTimeLimitExceeded
from celery.result import AsyncResult
from celery.utils import uuid

from .attempts import Attempt, NoRendition, read_playlist, remove_dead_attempts
from .celery import app
from .probe import input_duration
from .rung_join import LadderJoin
from .tasks import (MAX_DELIVERIES, PROGRESS, STORAGE_RETRIES, EncoderCrashed, LadderFailed,
                    LadderRequest, TaskRun, _answer_from_published, _check_files, _encode,
                    _read_request, events, logger)


def _store(task, ladder_id: str, value, state: str) -> None:
    """Stores `value` as the ladder's state. With rpc:// it goes back to the
    client that sent this rung, marked as the ladder's."""
    if task.request.is_eager:
        return
    request = Context({"id": ladder_id, "reply_to": task.request.reply_to,
                       "correlation_id": ladder_id})
    task.backend.store_result(ladder_id, value, state, request=request)


def _ladder_result(join: LadderJoin, worker: str, records: dict[str, dict]) -> dict:
    done = [rung for rung in join.rungs if records[rung]["state"] == "done"]
    return {
        "output": str(join.output), "renditions": done, "encoded": True,
        "delivery": max(int(records[rung].get("delivery", 1)) for rung in done),
        "worker": worker,
        "encode_cpu_seconds": sum(records[rung].get("cpu", 0.0) for rung in done),
        "rung_failures": [reason for rung in join.rungs for reason in records[rung]["reasons"]],
        "rungs": {rung: {"worker": records[rung]["worker"], "seconds": records[rung]["seconds"]}
                  for rung in done},
    }


def _finish(task, join: LadderJoin, worker: str) -> None:
    """Publishes the ladder and stores its result once every rung has
    ended; nothing before."""
    with join.locked():
        records = join.complete()
        if records is None:
            return
        if not any(record["state"] == "done" for record in records.values()):
            reasons = "; ".join(reason for rung in join.rungs for reason in records[rung]["reasons"])
            _store(task, join.ladder_id, LadderFailed(f"no rung was completed: {reasons}"), "FAILURE")
            join.discard()
            return
        if join.publish(records):
            logger.info("published %s (%s), joined from %d rung tasks", join.output,
                        ", ".join(rung for rung in join.rungs if records[rung]["state"] == "done"),
                        len(join.rungs))
        if join.output.exists():
            _store(task, join.ladder_id, _ladder_result(join, worker, records), "SUCCESS")
            join.discard()


class LadderProgress:
    """The ladder's progress over all its rungs, from whichever rung task
    reports it: rungs done count whole, running ones by the media playlist
    in their attempt folders. The highest reported so far is kept with the
    join, so no report goes back."""

    def __init__(self, task, join: LadderJoin, duration: float | None):
        self.task = task
        self.join = join
        self.duration = duration
        self.folder = None   # no single attempt folder to step through

    def _rung_seconds(self, rung: str) -> float:
        record = self.join.record(rung)
        if record is not None:
            return self.duration if record["state"] == "done" else 0.0
        pattern = f".{glob.escape(self.join.output.name)}.{rung}.attempt-*/{rung}.m3u8"
        seconds = [playlist.seconds for path in self.join.output.parent.glob(pattern)
                   if (playlist := read_playlist(path)) is not None]
        return min(max(seconds, default=0.0), self.duration)

    def __call__(self) -> None:
        if not self.duration:
            return
        total = self.duration * len(self.join.rungs)
        done = sum(self._rung_seconds(rung) for rung in self.join.rungs)
        with self.join.locked():
            done = self.join.progress(done)
        _store(self.task, self.join.ladder_id, {
            "fraction": min(1.0, done / total), "seconds_done": round(done, 3),
            "seconds_total": total}, PROGRESS)


def _encode_one_rung(task, run: TaskRun, join: LadderJoin, rung: str) -> None:
    """Encodes `rung` in an attempt folder of its own and adds it to the
    join, done or failed."""
    request = run.request
    one = LadderRequest(request.input, request.output, [rung],
                        [next(r.bitrate for r in request.rungs if r.name == rung)], request.key_info)
    target = request.output.with_name(f"{request.output.name}.{rung}")
    delivery = remove_dead_attempts(target, run.task_id) + 1
    if delivery > MAX_DELIVERIES:
        join.add_failed(rung, {"reasons": [f"{rung}: the worker was lost in each of "
                                           f"{MAX_DELIVERIES} deliveries"]})
        return
    started = time.monotonic()
    reasons: list[str] = []
    attempt = Attempt.start(target, run.task_id, delivery,
                            {"host": socket.gethostname(), "pid": os.getpid()})
    with attempt:
        progress = LadderProgress(task, join, input_duration(request.input))
        try:
            cpu = _encode(attempt, one, reasons, progress)
            join.add_done(rung, attempt.folder, {
                "worker": run.worker, "seconds": round(time.monotonic() - started, 3),
                "cpu": cpu, "delivery": delivery, "reasons": reasons})
        except NoRendition as error:
            attempt.keep_log(run.task_id)
            join.add_failed(rung, {"reasons": reasons or [f"{rung}: {error}"]})
        except SoftTimeLimitExceeded:
            attempt.keep_log(run.task_id)
            join.add_failed(rung, {"reasons": [f"{rung}: ran past its soft time limit"]})
        except EncoderCrashed as error:
            attempt.keep_log(run.task_id)
            if task.request.retries + 1 >= MAX_DELIVERIES:
                join.add_failed(rung, {"reasons": [f"{rung}: {error}, in each of "
                                                   f"{MAX_DELIVERIES} deliveries"]})
                return
            raise task.retry(exc=error, countdown=5)


def _run_rung(task, ladder_id, input, output, resolution, bitrate, key_info, rung) -> dict:
    run = TaskRun(task, _read_request(input, output, resolution, bitrate, key_info),
                  task.request.hostname or socket.gethostname())
    join = LadderJoin(run.request.output, ladder_id, [r.name for r in run.request.rungs])
    if rung not in join.rungs:
        raise LadderFailed(f"{rung} is not a rung of this ladder")
    if run.request.output.exists() and not join.records():
        # The output was there before this ladder: answered as a whole.
        try:
            _store(task, ladder_id, _answer_from_published(run), "SUCCESS")
        except LadderFailed as error:
            _store(task, ladder_id, error, "FAILURE")
        return {"rung": rung, "encoded": False}
    encoded = False
    if not run.request.output.exists():
        _check_files(run.request)
        if join.record(rung) is None:
            try:
                _encode_one_rung(task, run, join, rung)
            except OSError as error:
                raise task.retry(exc=error, countdown=5 * (task.request.retries + 1))
            encoded = True
    _finish(task, join, run.worker)
    return {"rung": rung, "encoded": encoded}


@app.task(bind=True, name="quorvane_queue.encode_rung", max_retries=STORAGE_RETRIES,
          throws=(LadderFailed,))
def encode_rung(self, ladder_id: str, input: str, output: str, resolution: list[str] | None,
                bitrate: list[int] | None, key_info: str | None, rung: str) -> dict:
    """Encodes one rung of the ladder `ladder_id` (the arguments are the
    whole ladder's, as encode_ladder takes them) and publishes the ladder
    if it is the last rung to end."""
    started = time.monotonic()
    events.info("task %s started: rung %s of %s -> %s", self.request.id, rung, input, output)
    outcome = "ended by an error"
    try:
        result = _run_rung(self, ladder_id, input, output, resolution, bitrate, key_info, rung)
        outcome = "encoded" if result["encoded"] else "nothing to encode"
        return result
    except LadderFailed as error:
        outcome = f"failed: {error}"
        _store(self, ladder_id, error, "FAILURE")
        raise
    except Retry as retry:
        outcome = f"to be retried: {retry.exc}"
        raise
    finally:
        events.info("task %s ended: rung %s %s (%.1f s)", self.request.id, rung, outcome,
                    time.monotonic() - started)


def send_rungs(input: str, output: str, kwargs: dict, rungs: list[str], options: dict,
               ladder_id: str | None) -> AsyncResult:
    """Sends one encode_rung task per rung; the ladder's AsyncResult."""
    ladder_id = ladder_id or uuid()
    for rung in rungs:
        encode_rung.apply_async(
            args=(ladder_id, input, output, kwargs.get("resolution"), kwargs.get("bitrate"),
                  kwargs.get("key_info"), rung),
            task_id=f"{ladder_id}-{rung}", **options)
    return AsyncResult(ladder_id, app=app)
