"""The ladder task and the call that submits it."""

from __future__ import annotations

import logging
import os
import resource
import socket
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import quorvane
from celery.exceptions import SoftTimeLimitExceeded
from celery.result import AsyncResult
from celery.utils.log import get_task_logger
from kombu.exceptions import OperationalError

from .attempts import MASTER, AlreadyPublished, Attempt, NoRendition, master_renditions, \
    published_renditions, remove_dead_attempts
from .celery import app, visibility_timeout
from .limits import time_limits
from .probe import input_duration

logger = get_task_logger(__name__)

# Deliveries of one task that may end with the worker lost (killed, out of
# memory, crashed) before it fails for good instead of looping.
MAX_DELIVERIES = 3
STORAGE_RETRIES = 3
# hls_encoder logs why a rung failed or was skipped, one WARNING record per
# rung, to this logger once its workers have joined.
ENCODER_LOGGER = "quorvane"


class LadderFailed(Exception):
    """A definite failure: delivering the task again would fail again."""


class BrokerUnreachable(ConnectionError):
    """The ladder could not be queued: the broker (or the result store) did
    not answer. Nothing was queued."""


class _RecordCollector(logging.Handler):
    """Keeps the messages of the records it is handed. logging.Handler.handle
    takes the handler's lock around emit, so records from any thread are
    kept whole."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.messages.append(record.getMessage())
        except Exception:   # a malformed record must still leave its text
            self.messages.append(str(record.msg))


@contextmanager
def encoder_reasons() -> Iterator[list[str]]:
    """Collects, while the block runs, the messages hls_encoder logs to the
    "quorvane" logger: why each failed or skipped rung failed."""
    encoder_logger = logging.getLogger(ENCODER_LOGGER)
    collector = _RecordCollector()
    # A logger configured above WARNING would drop the records before any
    # handler saw them.
    raised_level = not encoder_logger.isEnabledFor(logging.WARNING)
    previous_level = encoder_logger.level
    if raised_level:
        encoder_logger.setLevel(logging.WARNING)
    encoder_logger.addHandler(collector)
    try:
        yield collector.messages
    finally:
        encoder_logger.removeHandler(collector)
        if raised_level:
            encoder_logger.setLevel(previous_level)


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


def _encode(attempt: Attempt, input: str, resolution, bitrate, key_info: str,
            reasons: list[str]) -> float:
    """Runs hls_encoder in the attempt folder; returns the CPU seconds it took
    (all of this process's threads: the renditions' and x264's). What the
    encoder logs about failed rungs is added to `reasons`."""
    # An empty list gives each named rung its own default bitrate, where
    # leaving the argument out would hand out hls_encoder's default list by
    # position (the second name 2.5 Mb/s, whatever it is).
    options: dict = {"key": key_info, "bitrate": bitrate if bitrate is not None else []}
    if resolution is not None:
        options["resolution"] = resolution
    previous = os.getcwd()
    os.chdir(attempt.folder)
    try:
        before = _cpu_seconds()
        with encoder_reasons() as messages:
            try:
                quorvane.hls_encoder(input, MASTER, **options)
            finally:
                reasons.extend(messages)
        return _cpu_seconds() - before
    finally:
        os.chdir(previous)


def _sweep(target: Path, task_id: str) -> int:
    """remove_dead_attempts, for a task that needs no count: failures are
    left to the next sweep."""
    try:
        return remove_dead_attempts(target, task_id)
    except OSError as error:
        logger.warning("could not sweep dead attempts beside %s: %s", target, error)
        return 0


@app.task(bind=True, name="quorvane_queue.encode_ladder", max_retries=STORAGE_RETRIES)
def encode_ladder(self, input: str, output: str, resolution: list[str] | None = None,
                  bitrate: list[int] | None = None, key_info: str | None = None) -> dict:
    """Encodes `input` into the ladder folder `output` and publishes it whole.

    Paths are absolute, on storage every worker mounts. `resolution` is
    hls_encoder's (its default ladder when left out); a missing or short
    `bitrate` list gives each rung its own default bitrate. `key_info`
    defaults to ``enc.keyinfo`` beside the output folder. Returns
    ``{"output", "renditions", "encoded", "delivery", "worker",
    "encode_cpu_seconds", "rung_failures"}``; ``encoded`` is False when the
    ladder was already published, ``rung_failures`` says why each rung that
    is missing failed. Raises LadderFailed, once, for what another delivery
    would not change (bad arguments, an input that yields no rendition, time
    limits), with the encoder's reasons in its message.
    """
    if threading.current_thread() is not threading.main_thread():
        raise LadderFailed("tasks must run in a process of their own: start the worker with --pool prefork")
    if not isinstance(output, str) or not os.path.isabs(output):
        raise LadderFailed(f"output must be an absolute path on the shared storage, not {output!r}")
    target = Path(output)
    worker = self.request.hostname or socket.gethostname()
    reasons: list[str] = []

    def result(renditions: list[str], encoded: bool, delivery: int, cpu: float = 0.0) -> dict:
        return {"output": output, "renditions": renditions, "encoded": encoded,
                "delivery": delivery, "worker": worker, "encode_cpu_seconds": cpu,
                "rung_failures": list(reasons)}

    # A ladder already published (by an earlier delivery whose acknowledgement
    # was lost, or another task) is the result, whatever became of the input.
    if target.exists() or target.is_symlink():
        published = published_renditions(target)
        if published is None:
            raise LadderFailed(f"{output} exists and is not a published ladder")
        if target.parent.is_dir():
            _sweep(target, self.request.id)
        logger.info("%s is already published (%s): nothing to encode", output, ", ".join(published))
        return result(published, False, 0)
    if key_info is None:
        key_info = os.path.join(os.path.dirname(output), "enc.keyinfo")
    _check_arguments(input, output, resolution, bitrate, key_info)

    def past_soft_limit() -> LadderFailed:
        soft = (self.request.timelimit or (None, None))[1] or self.app.conf.task_soft_time_limit
        return LadderFailed(f"{input}: ran past its soft time limit ({soft} s)")

    attempt: Attempt | None = None
    delivery = 0
    try:
        delivery = remove_dead_attempts(target, self.request.id) + 1
        if delivery > MAX_DELIVERIES:
            raise LadderFailed(f"the worker was lost in each of {MAX_DELIVERIES} deliveries of this ladder")
        attempt = Attempt.start(target, self.request.id, delivery,
                                {"host": socket.gethostname(), "pid": os.getpid()})
        with attempt:
            cpu = _encode(attempt, input, resolution, bitrate, key_info, reasons)
            renditions = attempt.publish()
        logger.info("published %s (%s), delivery %d", output, ", ".join(renditions), delivery)
        return result(renditions, True, delivery, cpu)
    except SoftTimeLimitExceeded:
        # FFmpeg inside the call does not see signals: the soft limit arrives
        # once the call returns, or in the steps around it, after the rename
        # too: a ladder this attempt published is published.
        if attempt is not None and attempt.is_published():
            return result(master_renditions(target / MASTER), True, delivery)
        raise past_soft_limit() from None
    except AlreadyPublished:
        logger.info("%s was published by another attempt meanwhile", output)
        return result(published_renditions(target) or [], False, delivery)
    except NoRendition as error:
        why = f": {'; '.join(reasons)}" if reasons else ""
        raise LadderFailed(f"{input}: {error}{why}") from None
    except OSError as error:
        raise self.retry(exc=error, countdown=5 * (self.request.retries + 1))


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
                  task_id: str | None = None) -> AsyncResult:
    """Queues a ladder. Relative paths are made absolute here, so the shared
    storage must be mounted at the same path on the workers. The time limits
    are scaled to the input's duration (ffprobe on this machine, under
    hls_encoder's rules for untrusted input); ValueError
    when the input is too long for the visibility timeout. BrokerUnreachable
    when the broker or the result store does not answer."""
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
    try:
        return encode_ladder.apply_async(args=(input, output), kwargs=kwargs, soft_time_limit=soft,
                                         time_limit=hard, queue=queue, task_id=task_id)
    except (OperationalError, OSError, RuntimeError) as error:
        # RuntimeError: Celery's result consumer gives up reconnecting with
        # one that speaks of restarting the application.
        raise BrokerUnreachable(f"could not queue the ladder: the broker or the result store "
                                f"is unreachable ({str(error).strip()})") from None
