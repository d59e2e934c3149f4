"""The ladder task and the call that submits it."""

from __future__ import annotations

import os
import resource
import socket
import threading
from pathlib import Path

import quorvane
from celery.exceptions import SoftTimeLimitExceeded
from celery.result import AsyncResult
from celery.utils.log import get_task_logger

from .attempts import MASTER, AlreadyPublished, Attempt, NoRendition, published_renditions, \
    remove_dead_attempts
from .celery import app, visibility_timeout
from .limits import input_duration, time_limits

logger = get_task_logger(__name__)

# Deliveries of one task that may end with the worker lost (killed, out of
# memory, crashed) before it fails for good instead of looping.
MAX_DELIVERIES = 3
STORAGE_RETRIES = 3


class LadderFailed(Exception):
    """A definite failure: delivering the task again would fail again."""


def _check_arguments(input: str, output: str, resolution, bitrate, key_info) -> None:
    for label, path in (("input", input), ("key_info", key_info)):
        if not isinstance(path, str) or not os.path.isabs(path):
            raise LadderFailed(f"{label} must be an absolute path on the shared storage, not {path!r}")
    if not os.path.exists(input):
        raise LadderFailed(f"no input at {input}")
    if not os.path.isfile(key_info):
        raise LadderFailed(f"no key-info file at {key_info}")
    if not Path(output).parent.is_dir():
        raise LadderFailed(f"the folder {Path(output).parent} does not exist")
    if resolution is not None and not (
            isinstance(resolution, list) and all(isinstance(name, str) for name in resolution)):
        raise LadderFailed(f"resolution must be a list of names, not {resolution!r}")
    if bitrate is not None and not (
            isinstance(bitrate, list)
            and all(isinstance(rate, int) and not isinstance(rate, bool) for rate in bitrate)):
        raise LadderFailed(f"bitrate must be a list of integers, not {bitrate!r}")


def _cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _encode(attempt: Attempt, input: str, resolution, bitrate, key_info: str) -> float:
    """Runs hls_encoder in the attempt folder; returns the CPU seconds it took
    (all of this process's threads: the renditions' and x264's)."""
    options: dict = {"key": key_info}
    if resolution is not None:
        options["resolution"] = resolution
    if bitrate is not None:
        options["bitrate"] = bitrate
    previous = os.getcwd()
    os.chdir(attempt.folder)
    try:
        before = _cpu_seconds()
        quorvane.hls_encoder(input, MASTER, **options)
        return _cpu_seconds() - before
    finally:
        os.chdir(previous)


@app.task(bind=True, name="quorvane_queue.encode_ladder", max_retries=STORAGE_RETRIES)
def encode_ladder(self, input: str, output: str, resolution: list[str] | None = None,
                  bitrate: list[int] | None = None, key_info: str | None = None) -> dict:
    """Encodes `input` into the ladder folder `output` and publishes it whole.

    Paths are absolute, on storage every worker mounts. `resolution` and
    `bitrate` are hls_encoder's (its default ladder when left out);
    `key_info` defaults to ``enc.keyinfo`` beside the output folder.
    Returns ``{"output", "renditions", "encoded", "delivery", "worker",
    "encode_cpu_seconds"}``; ``encoded`` is False when the ladder was already
    published. Raises LadderFailed, once, for what another delivery would not
    change (bad arguments, an input that yields no rendition, time limits).
    """
    if threading.current_thread() is not threading.main_thread():
        raise LadderFailed("tasks must run in a process of their own: start the worker with --pool prefork")
    if not isinstance(output, str) or not os.path.isabs(output):
        raise LadderFailed(f"output must be an absolute path on the shared storage, not {output!r}")
    target = Path(output)
    worker = self.request.hostname or socket.gethostname()

    def result(renditions: list[str], encoded: bool, delivery: int, cpu: float = 0.0) -> dict:
        return {"output": output, "renditions": renditions, "encoded": encoded,
                "delivery": delivery, "worker": worker, "encode_cpu_seconds": cpu}

    # A ladder already published (by an earlier delivery whose acknowledgement
    # was lost, or another task) is the result, whatever became of the input.
    if target.exists() or target.is_symlink():
        published = published_renditions(target)
        if published is None:
            raise LadderFailed(f"{output} exists and is not a published ladder")
        logger.info("%s is already published (%s): nothing to encode", output, ", ".join(published))
        return result(published, False, 0)
    if key_info is None:
        key_info = os.path.join(os.path.dirname(output), "enc.keyinfo")
    _check_arguments(input, output, resolution, bitrate, key_info)

    def past_soft_limit() -> LadderFailed:
        soft = (self.request.timelimit or (None, None))[1] or self.app.conf.task_soft_time_limit
        return LadderFailed(f"{input}: ran past its soft time limit ({soft} s)")

    try:
        delivery = remove_dead_attempts(target, self.request.id) + 1
        if delivery > MAX_DELIVERIES:
            raise LadderFailed(f"the worker was lost in each of {MAX_DELIVERIES} deliveries of this ladder")
        attempt = Attempt.start(target, self.request.id, delivery,
                                {"host": socket.gethostname(), "pid": os.getpid()})
    except OSError as error:
        raise self.retry(exc=error, countdown=5 * (self.request.retries + 1))
    except SoftTimeLimitExceeded:
        raise past_soft_limit() from None

    try:
        try:
            cpu = _encode(attempt, input, resolution, bitrate, key_info)
            renditions = attempt.publish()
        except AlreadyPublished:
            attempt.discard()
            logger.info("%s was published by another attempt meanwhile", output)
            return result(published_renditions(target) or [], False, delivery)
        except NoRendition as error:
            attempt.discard()
            raise LadderFailed(f"{input}: {error}") from None
        except SoftTimeLimitExceeded:
            # FFmpeg inside the call does not see signals: the soft limit
            # arrives once the call returns, or in the steps around it.
            if attempt.folder == target:
                return result(published_renditions(target) or [], True, delivery)
            attempt.discard()
            raise past_soft_limit() from None
        except OSError as error:
            attempt.discard()
            raise self.retry(exc=error, countdown=5 * (self.request.retries + 1))
    finally:
        attempt.close()
    logger.info("published %s (%s), delivery %d", output, ", ".join(renditions), delivery)
    return result(renditions, True, delivery, cpu)


def submit_ladder(input: str | os.PathLike, output: str | os.PathLike, *,
                  resolution: list[str] | None = None, bitrate: list[int] | None = None,
                  key_info: str | os.PathLike | None = None, queue: str | None = None,
                  task_id: str | None = None) -> AsyncResult:
    """Queues a ladder. Relative paths are made absolute here, so the shared
    storage must be mounted at the same path on the workers. The time limits
    are scaled to the input's duration (ffprobe on this machine); ValueError
    when the input is too long for the visibility timeout."""
    input, output = os.path.abspath(input), os.path.abspath(output)
    kwargs: dict = {}
    if resolution is not None:
        kwargs["resolution"] = list(resolution)
    if bitrate is not None:
        kwargs["bitrate"] = list(bitrate)
    if key_info is not None:
        kwargs["key_info"] = os.path.abspath(key_info)
    soft, hard = time_limits(input_duration(input), visibility_timeout)
    return encode_ladder.apply_async(args=(input, output), kwargs=kwargs, soft_time_limit=soft,
                                     time_limit=hard, queue=queue, task_id=task_id)
