"""LadderTask: what every ladder task does alike, written once. The tasks
themselves (tasks.py) only say what they encode and where it goes.

How the queue retries
---------------------
Three things can cut a task short, and each is handled in one place here:

1. The worker is lost (killed, out of memory, its machine gone or frozen):
   the message is acknowledged only once the task has ended
   (``task_acks_late``, ``task_reject_on_worker_lost``), so the broker
   delivers it again: RabbitMQ once the heartbeats stop, Redis once the
   visibility timeout has passed. Every delivery encodes in an attempt folder
   whose lock file records the delivery (attempts.py); the next one counts
   the attempts before it (``next_delivery``) and gives up, for good, past
   MAX_DELIVERIES.
2. The encode process dies (a crash in FFmpeg, the out-of-memory killer):
   ``encode`` retries the task after ENCODER_RETRY_SECONDS, up to
   MAX_DELIVERIES runs in all, then fails it with the attempt's log kept.
3. The shared storage fails (any OSError): ``__call__`` retries the task
   after 5, 10, then 15 seconds, STORAGE_RETRIES times.

Anything else is a LadderFailed: final, acknowledged, never delivered again.

A ladder split into parts, one task per rung or per window of time
(ladder_join.py), retries each part alone by the same three rules, in an
attempt folder of its own; a part recorded done is not encoded again. The
task that plans a ladder's windows decodes the upload in a process of its
own (run_plan): a crash or a hang there fails the ladder, since every
delivery would meet the same upload.
"""

from __future__ import annotations

import inspect
import json
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable

from celery import Task
from celery.app.task import Context
from celery.exceptions import Ignore, Retry
from celery.utils.log import get_task_logger

from .attempts import Attempt, ladder_seconds, published_renditions, remove_dead_attempts
from .published import ladder_differences
from .request import PROGRESS, LadderFailed, LadderRequest, probe_upload

logger = get_task_logger(__name__)
# One line per task start and end, shown at the worker's default level
# (WARNING) too: this logger's own level lets its INFO records through to
# the worker's handlers.
events = logging.getLogger("quorvane_queue.events")
events.setLevel(logging.INFO)

MAX_DELIVERIES = 3
STORAGE_RETRIES = 3
STORAGE_RETRY_SECONDS = 5
ENCODER_RETRY_SECONDS = 5
# How often a running encode's progress is read and reported.
PROGRESS_SECONDS = 2.0
# A ladder shorter than its upload claims by more than this is reported:
# the upload was most likely cut short. Whole seconds, or a share of longer
# inputs, so that the last frame's rounding never counts.
SHORTFALL_SECONDS = 1.0
SHORTFALL_SHARE = 0.02


class EncoderCrashed(Exception):
    """The encode process ended without returning from the call: a crash in
    FFmpeg, or killed (out of memory)."""


# --- the encode process -------------------------------------------------------


def _encoder_environment() -> dict[str, str]:
    """This process's environment, with this quorvane_queue first on the
    module path (the encode runs in the attempt folder, not here)."""
    package_parent = str(Path(__file__).resolve().parent.parent)
    paths = [package_parent, os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in paths if path)}


def start_encoder(attempt: Attempt, request: LadderRequest) -> subprocess.Popen:
    """The encode process, in the attempt folder, its messages in the
    attempt's log."""
    with open(attempt.log, "ab") as log:
        child = subprocess.Popen([sys.executable, "-m", "quorvane_queue.encode_child"],
                                 cwd=attempt.folder, env=_encoder_environment(),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
    job = {**request.encoder_job(), "parent": os.getpid()}
    child.stdin.write(json.dumps(job).encode())
    child.stdin.close()
    return child


def wait_for_encoder(child: subprocess.Popen, watch: Callable[[], None]) -> tuple[int, float]:
    """Waits for the encode, calling `watch` as it starts and every
    PROGRESS_SECONDS after. Its exit status and CPU seconds. The process is
    killed if the wait is cut short (a soft time limit)."""
    try:
        while True:
            watch()
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid:
                child.returncode = os.waitstatus_to_exitcode(status)
                return child.returncode, usage.ru_utime + usage.ru_stime
            time.sleep(PROGRESS_SECONDS)
    finally:
        if child.returncode is None:
            child.kill()
            child.wait()


def run_encode(attempt: Attempt, request: LadderRequest,
               watch: Callable[[], None]) -> tuple[dict, float]:
    """Runs the encode `request` asks for in a process of its own, in the
    attempt folder: its report (``{"reasons": [...]}``, the failed rungs,
    and what else the call returns) and its CPU seconds. EncoderCrashed
    when the process ended without returning from the call."""
    child = start_encoder(attempt, request)
    with child.stdout:
        exit_code, cpu = wait_for_encoder(child, watch)
        report = child.stdout.read()
    if exit_code != 0:
        how = f"signal {-exit_code}" if exit_code < 0 else f"exit status {exit_code}"
        raise EncoderCrashed(f"the encode process ended by {how}")
    return json.loads(report), cpu


def run_plan(input: str, window_seconds: int, timeout: float | None) -> list[dict] | str:
    """plan_windows for the upload, in a process of its own (it decodes the
    untrusted upload: a crash or a hang costs a LadderFailed, not the
    worker): its windows, or why it cannot be split."""
    job = {"call": "plan_windows", "input": input, "window_seconds": window_seconds,
           "parent": os.getpid()}
    try:
        planned = subprocess.run([sys.executable, "-m", "quorvane_queue.encode_child"],
                                 input=json.dumps(job), capture_output=True, text=True,
                                 env=_encoder_environment(), timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        raise LadderFailed(f"{input}: planning its windows did not end within {timeout:.0f} s") \
            from None
    if planned.returncode != 0:
        how = (f"signal {signal.Signals(-planned.returncode).name}" if planned.returncode < 0
               else f"exit status {planned.returncode}")
        raise LadderFailed(f"{input}: planning its windows ended with {how}")
    plan = json.loads(planned.stdout)
    if "unsplittable" in plan:
        return plan["unsplittable"]
    return plan["windows"] or "no window was planned"


def distinct(reasons: list[str]) -> list[str]:
    """The reasons once each, in order: a refusal every rung met is one."""
    return list(dict.fromkeys(reasons))


def media_report(folder: Path, renditions: list[str], claimed: float | None) -> dict:
    """How much media the ladder holds against what the upload claims, and
    a warning when it falls short."""
    held = round(ladder_seconds(folder, renditions), 3)
    report = {"media_seconds": held, "claimed_seconds": claimed, "warnings": []}
    if claimed and held < claimed - max(SHORTFALL_SECONDS, SHORTFALL_SHARE * claimed):
        report["warnings"].append(
            f"the ladder holds {held:.1f} s of media where the upload claims {claimed:.1f} s: "
            "the upload may have been cut short")
    return report


class LadderTask(Task):
    """The base of the ladder tasks: their lines in the worker's log, their
    deliveries, retries and progress, the encode process and its log."""

    max_retries = STORAGE_RETRIES
    throws = (LadderFailed,)

    # --- the task's lines in the worker's log, and storage retries ----------

    def describe(self, arguments: dict) -> str:
        """What the start line says the task does, from its arguments by name."""
        return ", ".join(f"{name}={value!r}" for name, value in arguments.items())

    def summarize(self, result: dict) -> str:
        """What the end line says of a result."""
        return "done"

    def __call__(self, *args, **kwargs):
        if threading.current_thread() is not threading.main_thread():
            raise LadderFailed("tasks must run in a process of their own: start the worker "
                               "with --pool prefork")
        started = time.monotonic()
        try:
            arguments = inspect.signature(self.run).bind(*args, **kwargs).arguments
        except TypeError:   # the call itself fails the same way below
            arguments = {}
        events.info("task %s started: %s", self.request.id, self.describe(arguments))
        outcome = "ended by an error"
        try:
            result = self.run(*args, **kwargs)
            outcome = self.summarize(result)
            return result
        except LadderFailed as error:
            outcome = f"failed: {error}"
            raise
        except Retry as retry:
            outcome = f"to be retried: {retry.exc}"
            raise
        except Ignore as handed_on:   # its result is left to the tasks it sent
            outcome = str(handed_on)
            raise
        except OSError as error:
            outcome = f"to be retried: {error}"
            self.retry_storage(error)
        finally:
            events.info("task %s ended: %s (%.1f s)", self.request.id, outcome,
                        time.monotonic() - started)

    def retry_storage(self, error: OSError) -> None:
        """Retries the task after a storage failure; once STORAGE_RETRIES
        have failed too, the failure is definite."""
        if self.request.retries >= self.max_retries:
            raise LadderFailed(f"the shared storage failed in each of {self.max_retries + 1} "
                               f"runs: {error}") from None
        raise self.retry(exc=error, countdown=STORAGE_RETRY_SECONDS * (self.request.retries + 1))

    @property
    def worker(self) -> str:
        return self.request.hostname or socket.gethostname()

    # --- deliveries, attempts and the encode ---------------------------------

    def start_attempt(self, target: Path) -> Attempt:
        """A new attempt folder beside `target`, after removing dead ones;
        LadderFailed once the task has been delivered MAX_DELIVERIES times."""
        delivery = remove_dead_attempts(target, self.request.id) + 1
        if delivery > MAX_DELIVERIES:
            raise LadderFailed(f"the worker was lost in each of {MAX_DELIVERIES} deliveries")
        return Attempt.start(target, self.request.id, delivery,
                             {"host": socket.gethostname(), "pid": os.getpid()})

    def encode(self, attempt: Attempt, request: LadderRequest,
               watch: Callable[[], None]) -> tuple[dict, float]:
        """run_encode, retried when the encode process dies."""
        try:
            return run_encode(attempt, request, watch)
        except EncoderCrashed as error:
            if self.request.retries + 1 >= MAX_DELIVERIES:
                raise self.fail_with_log(f"{request.input}: {error}, in each of {MAX_DELIVERIES} "
                                         "deliveries", attempt) from None
            attempt.keep_log(self.request.id)
            raise self.retry(exc=error, countdown=ENCODER_RETRY_SECONDS)

    def fail_with_log(self, message: str, attempt: Attempt) -> LadderFailed:
        """The failure, with the attempt's log kept and the failure written at
        its end, and the log's path in its message."""
        try:
            fd = os.open(attempt.log, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)
        except OSError:
            fd = -1   # no encode process left one
        if fd >= 0:
            with open(fd, "a") as log:
                log.write(f"quorvane_queue: task {self.request.id} failed: {message}\n")
        kept = attempt.keep_log(self.request.id)
        failure = LadderFailed(f"{message} (FFmpeg's messages: {kept})" if kept else message)
        failure.log = str(kept) if kept else None
        return failure

    def soft_limit_failure(self, request: LadderRequest, attempt: Attempt) -> LadderFailed:
        soft = (self.request.timelimit or (None, None))[1] or self.app.conf.task_soft_time_limit
        return self.fail_with_log(f"{request.input}: ran past its soft time limit ({soft} s)",
                                  attempt)

    # --- results and progress ------------------------------------------------

    def ladder_result(self, request: LadderRequest, renditions: list[str], encoded: bool,
                      delivery: int, cpu: float, reasons: list[str],
                      claimed: float | None) -> dict:
        return {"output": str(request.output), "renditions": renditions, "encoded": encoded,
                "delivery": delivery, "worker": self.worker, "encode_cpu_seconds": cpu,
                "rung_failures": distinct(reasons),
                **media_report(request.output, renditions, claimed)}

    def answer_from_published(self, request: LadderRequest, missing_allowed: bool = False) -> dict:
        """The result for an output that exists: the ladder there when it is
        the one asked for (the same request again), LadderFailed when it is
        not. A rung it lacks is only named among the rung failures when it
        may have failed as this very ladder was made: `missing_allowed`, or
        a delivery of this task after its own earlier one."""
        published = published_renditions(request.output)
        if published is None:
            raise LadderFailed(f"{request.output} exists and is not a published ladder")
        try:
            earlier = remove_dead_attempts(request.output, self.request.id)
        except OSError as error:   # left to the next sweep
            logger.warning("could not sweep dead attempts beside %s: %s", request.output, error)
            earlier = 0
        redelivered = (self.request.delivery_info or {}).get("redelivered")
        missing_allowed = missing_allowed or earlier > 0 or bool(redelivered)
        differences = ladder_differences(request.output, request.rungs, Path(request.key_info),
                                         missing_allowed)
        if differences:
            raise LadderFailed(f"{request.output} already holds another ladder: "
                               f"{'; '.join(differences)}. Remove it, or publish to another folder")
        logger.info("%s is already published (%s): nothing to encode", request.output,
                    ", ".join(published))
        missing = [f"{rung.name}: not in the ladder published at {request.output}"
                   for rung in request.rungs if rung.name not in published]
        return self.ladder_result(request, published, False, 0, 0.0, missing,
                                  probe_upload(request.input).seconds)

    def store_state(self, state_id: str, value, state: str) -> None:
        """Stores `value` as the state of `state_id`: this task's own, or
        the ladder's that this rung belongs to. With rpc:// it goes back to
        the client that sent this task, marked as that id's."""
        if self.request.is_eager:
            return
        request = Context({"id": state_id, "reply_to": self.request.reply_to,
                           "correlation_id": state_id})
        self.backend.store_result(state_id, value, state, request=request)

    def report_progress(self, state_id: str, done: float, total: float | None) -> None:
        """The PROGRESS state: media seconds written over all rungs."""
        fraction = min(1.0, done / total) if total else None
        self.store_state(state_id, {"fraction": fraction, "seconds_done": round(done, 3),
                                    "seconds_total": total}, PROGRESS)
