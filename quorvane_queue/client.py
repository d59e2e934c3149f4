"""The client side of the queue: submit_ladder judges the upload as the
call will, and queues the ladder, as one task, one task per rung, or one
task that splits it in time. It sends the tasks by name: nothing of the
worker side is imported here."""

from __future__ import annotations

import os

from celery.result import AsyncResult
from celery.utils import uuid
from kombu.exceptions import OperationalError

from .celery import app, visibility_timeout
from .limits import planning_limits, time_limits
from .request import LadderFailed, check_window_seconds, planned_rungs, probe_upload


class BrokerUnreachable(ConnectionError):
    """The ladder could not be queued: the broker (or the result store) did
    not answer, or refused the connection. Nothing was queued."""


def _check_broker() -> None:
    """BrokerUnreachable unless the broker answers within a few seconds and
    takes this client's credentials."""
    connection = app.connection_for_write()
    refused = (OperationalError, *connection.connection_errors, *connection.channel_errors)
    try:
        connection.ensure_connection(max_retries=2, interval_start=0.5, interval_step=0.5,
                                     timeout=5)
    except refused as error:
        raise BrokerUnreachable(
            f"the broker at {connection.as_uri()} is unreachable ({error}); nothing was queued"
        ) from None
    finally:
        connection.release()


def _send_rungs(input: str, output: str, kwargs: dict, rungs: list[str], options: dict,
                ladder_id: str | None) -> AsyncResult:
    """One encode_rung task per rung; the ladder's AsyncResult."""
    ladder_id = ladder_id or uuid()
    for rung in rungs:
        app.send_task("quorvane_queue.encode_rung",
                      args=(ladder_id, input, output, kwargs.get("resolution"),
                            kwargs.get("bitrate"), kwargs.get("key_info"), rung),
                      task_id=f"{ladder_id}-{rung}", **options)
    return AsyncResult(ladder_id, app=app)


def submit_ladder(input: str | os.PathLike, output: str | os.PathLike, *,
                  resolution: list[str] | None = None, bitrate: list[int] | None = None,
                  key_info: str | os.PathLike | None = None, queue: str | None = None,
                  task_id: str | None = None, split_rungs: bool = False,
                  window_seconds: int | None = None) -> AsyncResult:
    """Queues a ladder. Relative paths are made absolute here, so the shared
    storage must be mounted at the same path on the workers.

    The upload is opened here first, under hls_encoder's rules for untrusted
    input: LadderFailed, with the call's own reason, when the call would
    refuse it, and nothing is queued. The time limits are scaled to the
    duration its container claims; ValueError when it is too long for the
    visibility timeout. BrokerUnreachable when the broker or the result
    store does not answer. With `split_rungs`, each rung is a task of its
    own that any free worker takes (rung_join.py); the result is the
    ladder's all the same, with the rungs' workers and times. An output that
    exists already is answered as a whole.

    With `window_seconds` (a positive multiple of the 6 s segment, else
    ValueError), one task splits the ladder in windows of about that many
    seconds of the upload, each a task of its own that any free worker
    takes (window_join.py); the result is the ladder's, with the windows'
    times and workers. Each window's time limits follow its length, so an
    upload too long for one task can be encoded in windows. Not with
    `split_rungs` (ValueError)."""
    if window_seconds is not None:
        check_window_seconds(window_seconds)
        if split_rungs:
            raise ValueError("a ladder is split by rung or in time windows, not both")
    input, output = os.path.abspath(input), os.path.abspath(output)
    upload = probe_upload(input)
    if upload.refused:
        raise LadderFailed(f"{input}: {upload.refused}")
    kwargs: dict = {}
    if resolution is not None:
        kwargs["resolution"] = list(resolution)
    if bitrate is not None:
        kwargs["bitrate"] = list(bitrate)
    if key_info is not None:
        kwargs["key_info"] = os.path.abspath(key_info)
    if window_seconds is not None:
        soft, hard = planning_limits(upload.seconds, visibility_timeout)
    else:
        soft, hard = time_limits(upload.seconds, visibility_timeout)
    _check_broker()
    rungs = planned_rungs(resolution, bitrate)
    options = {"soft_time_limit": soft, "time_limit": hard, "queue": queue}
    try:
        if window_seconds is not None:
            return app.send_task("quorvane_queue.plan_windows", args=(input, output, window_seconds),
                                 kwargs={**kwargs, "queue": queue}, task_id=task_id, **options)
        if split_rungs and rungs and not os.path.lexists(output):
            return _send_rungs(input, output, kwargs, [rung.name for rung in rungs], options,
                               task_id)
        return app.send_task("quorvane_queue.encode_ladder", args=(input, output), kwargs=kwargs,
                             task_id=task_id, **options)
    except (OperationalError, OSError, RuntimeError) as error:
        # RuntimeError: Celery's result consumer gives up reconnecting with
        # one that speaks of restarting the application.
        raise BrokerUnreachable(f"could not queue the ladder: the broker or the result store "
                                f"is unreachable ({str(error).strip()})") from None
