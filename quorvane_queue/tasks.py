"""The ladder task and the call that submits it."""

from __future__ import annotations

import json
import logging
import os
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

from celery.exceptions import Retry, SoftTimeLimitExceeded
from celery.result import AsyncResult
from celery.utils.log import get_task_logger
from kombu.exceptions import OperationalError

from .attempts import MASTER, AlreadyPublished, Attempt, NoRendition, master_renditions, \
    published_renditions, read_playlist, remove_dead_attempts
from .celery import app, visibility_timeout
from .limits import time_limits
from .probe import input_duration
from .published import ladder_differences
from .rungs import Rung, planned_rungs

logger = get_task_logger(__name__)
# One line per task start and end, shown at the worker's default level
# (WARNING) too: this logger's own level lets its INFO records through to
# the worker's handlers.
events = logging.getLogger("quorvane_queue.events")
events.setLevel(logging.INFO)

# Deliveries of one task that may end with the worker lost (killed, out of
# memory, crashed, frozen) before it fails for good instead of looping.
MAX_DELIVERIES = 3
STORAGE_RETRIES = 3
# How often a running encode's progress is read and reported.
PROGRESS_SECONDS = 2.0
PROGRESS = "PROGRESS"


class LadderFailed(Exception):
    """A definite failure: delivering the task again would fail again."""


class BrokerUnreachable(ConnectionError):
    """The ladder could not be queued: the broker (or the result store) did
    not answer. Nothing was queued."""


class EncoderCrashed(Exception):
    """The encode process ended without returning from the call: a crash in
    FFmpeg, or killed (out of memory)."""


@dataclass
class LadderRequest:
    """One ladder as the task was asked for it; paths absolute."""

    input: str
    output: Path
    resolution: list[str] | None
    bitrate: list[int] | None
    key_info: str

    @property
    def rungs(self) -> list[Rung]:
        return planned_rungs(self.resolution, self.bitrate)

    def encoder_options(self) -> dict:
        # An empty list gives each named rung its own default bitrate, where
        # leaving the argument out would hand out hls_encoder's default list
        # by position (the second name 2.5 Mb/s, whatever it is).
        options: dict = {"key": self.key_info,
                         "bitrate": self.bitrate if self.bitrate is not None else []}
        if self.resolution is not None:
            options["resolution"] = self.resolution
        return options


@dataclass
class TaskRun:
    """What one delivery of the task knows and reports."""

    task: object
    request: LadderRequest
    worker: str
    reasons: list[str] = field(default_factory=list)

    @property
    def task_id(self) -> str:
        return self.task.request.id

    def result(self, renditions: list[str], encoded: bool, delivery: int, cpu: float = 0.0) -> dict:
        return {"output": str(self.request.output), "renditions": renditions, "encoded": encoded,
                "delivery": delivery, "worker": self.worker, "encode_cpu_seconds": cpu,
                "rung_failures": list(self.reasons)}


# --- the steps ------------------------------------------------------------


def _absolute_path(label: str, path) -> str:
    if not isinstance(path, str) or not os.path.isabs(path):
        raise LadderFailed(f"{label} must be an absolute path on the shared storage, not {path!r}")
    return path


def _read_request(input, output, resolution, bitrate, key_info) -> LadderRequest:
    """The request, checked as far as nothing but its values tells."""
    output = _absolute_path("output", output)
    if key_info is None:
        key_info = os.path.join(os.path.dirname(output), "enc.keyinfo")
    if resolution is not None and not (
            isinstance(resolution, list) and all(isinstance(name, str) for name in resolution)):
        raise LadderFailed(f"resolution must be a list of names, not {resolution!r}")
    if bitrate is not None and not (
            isinstance(bitrate, list)
            and all(isinstance(rate, int) and not isinstance(rate, bool) for rate in bitrate)):
        raise LadderFailed(f"bitrate must be a list of integers, not {bitrate!r}")
    return LadderRequest(_absolute_path("input", input), Path(output), resolution, bitrate,
                         _absolute_path("key_info", key_info))


def _check_files(request: LadderRequest) -> None:
    """LadderFailed unless the input, the key-info file and the output's
    folder are there."""
    folder = request.output.parent
    if not folder.is_dir():
        raise LadderFailed(f"the output's folder {folder} does not exist: make it (and its "
                           "key-info file) on the shared storage first")
    if not os.path.exists(request.input):
        raise LadderFailed(f"no input at {request.input}")
    if not os.path.isfile(request.key_info):
        raise LadderFailed(f"no key-info file at {request.key_info} (see the README's "
                           "\"Making a key\")")


def _sweep(target: Path, task_id: str) -> int:
    """remove_dead_attempts, for a task that needs no count: failures are
    left to the next sweep."""
    try:
        return remove_dead_attempts(target, task_id)
    except OSError as error:
        logger.warning("could not sweep dead attempts beside %s: %s", target, error)
        return 0


def _answer_from_published(run: TaskRun) -> dict:
    """The result for an output that exists: the ladder there when it is
    the one asked for (a delivery whose acknowledgement was lost, or the
    same request again), LadderFailed when it is not."""
    request = run.request
    published = published_renditions(request.output)
    if published is None:
        raise LadderFailed(f"{request.output} exists and is not a published ladder")
    _sweep(request.output, run.task_id)
    differences = ladder_differences(request.output, request.rungs, Path(request.key_info))
    if differences:
        raise LadderFailed(f"{request.output} already holds another ladder: "
                           f"{'; '.join(differences)}. Remove it, or publish to another folder")
    logger.info("%s is already published (%s): nothing to encode", request.output,
                ", ".join(published))
    return run.result(published, False, 0)


class ProgressReport:
    """Reads how far an encode is from the media playlists it has written
    (the muxer rewrites each one after every segment) and reports it as the
    task's PROGRESS state: media seconds written over all rungs, never less
    than it reported before."""

    def __init__(self, task, folder: Path, rungs: list[Rung], duration: float | None):
        self.task = task
        self.folder = folder
        self.rungs = rungs
        self.duration = duration
        self.seconds_done = 0.0

    def seconds_total(self) -> float | None:
        if not self.duration or not self.rungs:
            return None
        return self.duration * len(self.rungs)

    def read(self) -> float:
        done = 0.0
        for rung in self.rungs:
            playlist = read_playlist(self.folder / f"{rung.name}.m3u8")
            if playlist is not None:
                done += min(playlist.seconds, self.duration) if self.duration else playlist.seconds
        self.seconds_done = max(self.seconds_done, done)
        return self.seconds_done

    def __call__(self) -> None:
        done, total = self.read(), self.seconds_total()
        fraction = min(1.0, done / total) if total else None
        if self.task.request.is_eager:
            return
        self.task.update_state(state=PROGRESS, meta={
            "fraction": fraction, "seconds_done": round(done, 3), "seconds_total": total})


def _encoder_environment() -> dict[str, str]:
    """This process's environment, with this quorvane_queue first on the
    module path (the encode runs in the attempt folder, not here)."""
    package_parent = str(Path(__file__).resolve().parent.parent)
    paths = [package_parent, os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in paths if path)}


def _start_encoder(attempt: Attempt, request: LadderRequest) -> subprocess.Popen:
    """The encode process, in the attempt folder, its messages in the
    attempt's log."""
    with open(attempt.log, "ab") as log:
        child = subprocess.Popen([sys.executable, "-m", "quorvane_queue.encode_child"],
                                 cwd=attempt.folder, env=_encoder_environment(),
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
    job = {"input": request.input, "output": MASTER, "options": request.encoder_options(),
           "parent": os.getpid()}
    child.stdin.write(json.dumps(job).encode())
    child.stdin.close()
    return child


def _wait_for_encoder(child: subprocess.Popen, watch: Callable[[], None]) -> tuple[int, float]:
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


def _encode(attempt: Attempt, request: LadderRequest, reasons: list[str],
            watch: Callable[[], None] = lambda: None) -> float:
    """Runs hls_encoder for `request` in a process of its own, in the
    attempt folder; returns the CPU seconds it took. What the encoder logs
    about failed rungs is added to `reasons`. EncoderCrashed when the
    process ended without returning from the call."""
    child = _start_encoder(attempt, request)
    with child.stdout:
        exit_code, cpu = _wait_for_encoder(child, watch)
        report = child.stdout.read()
    if exit_code != 0:
        how = f"signal {-exit_code}" if exit_code < 0 else f"exit status {exit_code}"
        raise EncoderCrashed(f"the encode process ended by {how}")
    reasons.extend(json.loads(report)["reasons"])
    return cpu


def _failure_with_log(message: str, attempt: Attempt, task_id: str) -> LadderFailed:
    """The failure, with the attempt's log kept and the failure written at
    its end."""
    try:
        fd = os.open(attempt.log, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)
    except OSError:
        fd = -1   # no encode process left one
    if fd >= 0:
        with open(fd, "a") as log:
            log.write(f"quorvane_queue: task {task_id} failed: {message}\n")
    kept = attempt.keep_log(task_id)
    return LadderFailed(f"{message} (FFmpeg's messages: {kept})" if kept else message)


def _encode_and_publish(run: TaskRun) -> dict:
    """Encodes the ladder in a new attempt folder and publishes it."""
    task, request = run.task, run.request
    delivery = remove_dead_attempts(request.output, run.task_id) + 1
    if delivery > MAX_DELIVERIES:
        raise LadderFailed(f"the worker was lost in each of {MAX_DELIVERIES} deliveries of this ladder")
    attempt = Attempt.start(request.output, run.task_id, delivery,
                            {"host": socket.gethostname(), "pid": os.getpid()})
    with attempt:
        progress = ProgressReport(task, attempt.folder, request.rungs, input_duration(request.input))
        try:
            cpu = _encode(attempt, request, run.reasons, progress)
            renditions = attempt.publish()
        except SoftTimeLimitExceeded:
            # Past the rename a ladder this attempt published is published.
            if attempt.is_published():
                return run.result(master_renditions(request.output / MASTER), True, delivery)
            soft = (task.request.timelimit or (None, None))[1] or task.app.conf.task_soft_time_limit
            raise _failure_with_log(f"{request.input}: ran past its soft time limit ({soft} s)",
                                    attempt, run.task_id) from None
        except NoRendition as error:
            why = f": {'; '.join(run.reasons)}" if run.reasons else ""
            raise _failure_with_log(f"{request.input}: {error}{why}", attempt, run.task_id) from None
        except AlreadyPublished:
            logger.info("%s was published by another attempt meanwhile", request.output)
            return run.result(published_renditions(request.output) or [], False, delivery)
        except EncoderCrashed as error:
            if task.request.retries + 1 >= MAX_DELIVERIES:
                raise _failure_with_log(f"{request.input}: {error}, in each of {MAX_DELIVERIES} "
                                        "deliveries", attempt, run.task_id) from None
            attempt.keep_log(run.task_id)
            raise task.retry(exc=error, countdown=5)
    logger.info("published %s (%s), delivery %d", request.output, ", ".join(renditions), delivery)
    return run.result(renditions, True, delivery, cpu)


def _run_ladder(task, input, output, resolution, bitrate, key_info) -> dict:
    if threading.current_thread() is not threading.main_thread():
        raise LadderFailed("tasks must run in a process of their own: start the worker with --pool prefork")
    run = TaskRun(task, _read_request(input, output, resolution, bitrate, key_info),
                  task.request.hostname or socket.gethostname())
    if run.request.output.exists() or run.request.output.is_symlink():
        return _answer_from_published(run)
    _check_files(run.request)
    try:
        return _encode_and_publish(run)
    except OSError as error:
        raise task.retry(exc=error, countdown=5 * (task.request.retries + 1))


def _outcome(result: dict) -> str:
    if result["encoded"]:
        return f"published {', '.join(result['renditions'])}, delivery {result['delivery']}"
    return f"already published ({', '.join(result['renditions'])})"


@app.task(bind=True, name="quorvane_queue.encode_ladder", max_retries=STORAGE_RETRIES,
          throws=(LadderFailed,))
def encode_ladder(self, input: str, output: str, resolution: list[str] | None = None,
                  bitrate: list[int] | None = None, key_info: str | None = None) -> dict:
    """Encodes `input` into the ladder folder `output` and publishes it whole.

    Paths are absolute, on storage every worker mounts. `resolution` is
    hls_encoder's (its default ladder when left out); a missing or short
    `bitrate` list gives each rung its own default bitrate. `key_info`
    defaults to ``enc.keyinfo`` beside the output folder. While it encodes
    the task is in state PROGRESS, with ``{"fraction", "seconds_done",
    "seconds_total"}`` (media seconds written, all rungs counted). Returns
    ``{"output", "renditions", "encoded", "delivery", "worker",
    "encode_cpu_seconds", "rung_failures"}``; ``encoded`` is False when the
    ladder asked for was already published, ``rung_failures`` says why each
    rung that is missing failed. Raises LadderFailed, once, for what another
    delivery would not change (bad arguments, an input that yields no
    rendition, time limits, an output that holds another ladder), with the
    encoder's reasons in its message.
    """
    started = time.monotonic()
    events.info("task %s started: %s -> %s", self.request.id, input, output)
    outcome = "ended by an error"
    try:
        result = _run_ladder(self, input, output, resolution, bitrate, key_info)
        outcome = _outcome(result)
        return result
    except LadderFailed as error:
        outcome = f"failed: {error}"
        raise
    except Retry as retry:
        outcome = f"to be retried: {retry.exc}"
        raise
    finally:
        events.info("task %s ended: %s (%.1f s)", self.request.id, outcome,
                    time.monotonic() - started)


def _check_broker() -> None:
    """BrokerUnreachable unless the broker answers within a few seconds."""
    connection = app.connection_for_write()
    try:
        connection.ensure_connection(max_retries=2, interval_start=0.5, interval_step=0.5,
                                     timeout=5)
    except (OperationalError, OSError) as error:
        raise BrokerUnreachable(
            f"the broker at {connection.as_uri()} is unreachable ({error}); nothing was queued"
        ) from None
    finally:
        connection.release()


def submit_ladder(input: str | os.PathLike, output: str | os.PathLike, *,
                  resolution: list[str] | None = None, bitrate: list[int] | None = None,
                  key_info: str | os.PathLike | None = None, queue: str | None = None,
                  task_id: str | None = None, split_rungs: bool = False) -> AsyncResult:
    """Queues a ladder. Relative paths are made absolute here, so the shared
    storage must be mounted at the same path on the workers. The time limits
    are scaled to the input's duration (ffprobe on this machine, under
    hls_encoder's rules for untrusted input); ValueError when the input is
    too long for the visibility timeout. BrokerUnreachable when the broker
    or the result store does not answer. With `split_rungs`, each rung is a
    task of its own that any free worker takes (rung_tasks.py); the result
    is the ladder's all the same, with the rungs' workers and times."""
    input, output = os.path.abspath(input), os.path.abspath(output)
    kwargs: dict = {}
    if resolution is not None:
        kwargs["resolution"] = list(resolution)
    if bitrate is not None:
        kwargs["bitrate"] = list(bitrate)
    if key_info is not None:
        kwargs["key_info"] = os.path.abspath(key_info)
    soft, hard = time_limits(input_duration(input), visibility_timeout)
    _check_broker()
    rungs = planned_rungs(resolution, bitrate)
    try:
        if split_rungs and rungs:
            from .rung_tasks import send_rungs
            return send_rungs(input, output, kwargs, [rung.name for rung in rungs],
                              {"soft_time_limit": soft, "time_limit": hard, "queue": queue},
                              task_id)
        return encode_ladder.apply_async(args=(input, output), kwargs=kwargs, soft_time_limit=soft,
                                         time_limit=hard, queue=queue, task_id=task_id)
    except (OperationalError, OSError, RuntimeError) as error:
        # RuntimeError: Celery's result consumer gives up reconnecting with
        # one that speaks of restarting the application.
        raise BrokerUnreachable(f"could not queue the ladder: the broker or the result store "
                                f"is unreachable ({str(error).strip()})") from None
