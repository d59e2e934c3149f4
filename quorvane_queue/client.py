"""The client side of the queue: submit_ladder judges the upload as the
call will, and queues the ladder, as one task, one task per rung, or one
task that splits it in time; the ladder's result is waited for through
broker restarts. It sends the tasks by name: nothing of the worker side is
imported here."""

from __future__ import annotations

import os
from pathlib import Path

from celery.result import AsyncResult
from celery.utils import uuid
from kombu.exceptions import OperationalError

from . import broker
from .attempts import cancel_mark
from .celery import app, visibility_timeout
from .storage import fsync_path
from .limits import planning_limits, time_limits
from .request import LadderFailed, check_confined, check_split, planned_rungs, probe_upload, \
    split_in_windows

class BrokerUnreachable(ConnectionError):
    """The ladder could not be queued: the broker (or the result store) did
    not answer, or refused the connection. Nothing was queued."""


class LadderStillRunning(ConnectionError):
    """The broker stayed away while the ladder was waited for: the ladder
    goes on, and its result can be waited for again by its id."""


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


def _connection_lost(error: BaseException) -> bool:
    """Whether `error` is the broker or the result store going away: a
    client's waits touch nothing else, so any OSError is theirs."""
    return isinstance(error, OSError) or broker.broker_lost(error, app)


def _drop_connections(result_app) -> bool:
    """Drops the connections a broker restart left dead: the result
    consumer's (a wait that starts after starts a new one, declaring its
    reply queue again) and the application's pool, for a new one. Whether
    there was a result consumer (rpc://) to drop."""
    consumer = getattr(result_app.backend, "result_consumer", None)
    dropped = False
    for name in ("_consumer", "_connection"):
        held = getattr(consumer, name, None)
        if held is not None:
            try:
                held.cancel() if name == "_consumer" else held.close()
            except Exception:   # a dead connection fails to close cleanly
                pass
            setattr(consumer, name, None)
            dropped = True
    try:
        result_app.pool.force_close_all()
    except Exception:
        pass
    result_app._pool = result_app.connection_for_write().Pool(
        limit=result_app.conf.broker_pool_limit)
    return dropped


class LadderResult(AsyncResult):
    """The ladder's AsyncResult, whose waits ride out a restart of the
    broker or the result store: the client reconnects and goes on waiting.
    LadderStillRunning when they stay away longer than RECONNECT_SECONDS."""

    def reconnecting(self, call):
        try:
            return broker.ride_out(call, self.app, _connection_lost, self._drop_connections)
        except Exception as error:
            if not _connection_lost(error):
                raise
            raise LadderStillRunning(
                f"lost the connection to the broker for {broker.RECONNECT_SECONDS} s "
                f"({type(error).__name__}: {error}); ladder {self.id} goes on on the workers: "
                f"wait for it again with quorvane_queue.ladder_result({self.id!r}).get(), "
                "which rides out broker restarts") from None

    def _drop_connections(self) -> None:
        if _drop_connections(self.app):
            # Celery starts a result consumer when a result begins to be
            # waited for, not when one already waited for is waited for
            # again: this one begins again, else its wait would go on
            # without a connection, never to end.
            self.backend.remove_pending_result(self)

    def get(self, *args, **kwargs):
        return self.reconnecting(lambda: super(LadderResult, self).get(*args, **kwargs))

    def ready(self) -> bool:
        return self.reconnecting(super().ready)

    def progress(self) -> dict | None:
        """The PROGRESS state's info, None in any other state."""
        def look():
            state, info = self.state, self.info
            return info if state == "PROGRESS" and isinstance(info, dict) else None
        return self.reconnecting(look)


def ladder_result(ladder_id: str) -> LadderResult:
    """The result of the ladder `ladder_id` (submit_ladder's result's id),
    to wait for again, from any client that reads the result store; its
    waits ride out broker restarts."""
    return LadderResult(ladder_id, app=app)


def cancel_ladder(ladder_id: str, output: str | os.PathLike) -> None:
    """Cancels the ladder `ladder_id` (submit_ladder's result's id) being
    made at `output`, on the shared storage, where every task of it looks:
    its planning stops at the pass's next event, its queued windows or
    rungs are dropped as they start, running ones end within the 2 s of
    their watch, and nothing is published; the join's files and attempt
    folders go, the output folder is as before the request. The ladder's
    result is then a LadderFailed saying it was cancelled. A ladder
    already published stays so."""
    if not isinstance(ladder_id, str) or not ladder_id:
        raise ValueError(f"not a ladder id: {ladder_id!r}")
    output = os.path.abspath(output)
    check_confined(None, output, None)
    mark = cancel_mark(Path(output), ladder_id)
    os.close(os.open(mark, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o644))
    fsync_path(mark)
    fsync_path(mark.parent)


def _send_rungs(input: str, output: str, kwargs: dict, rungs: list[str], options: dict,
                ladder_id: str | None) -> LadderResult:
    """One encode_rung task per rung; the ladder's AsyncResult."""
    ladder_id = ladder_id or uuid()
    for rung in rungs:
        app.send_task("quorvane_queue.encode_rung",
                      args=(ladder_id, input, output, kwargs.get("resolution"),
                            kwargs.get("bitrate"), kwargs.get("key_info"), rung),
                      task_id=f"{ladder_id}-{rung}", **options)
    return LadderResult(ladder_id, app=app)


def submit_ladder(input: str | os.PathLike, output: str | os.PathLike, *,
                  resolution: list[str] | None = None, bitrate: list[int] | None = None,
                  key_info: str | os.PathLike | None = None, queue: str | None = None,
                  task_id: str | None = None, split_rungs: bool = False,
                  window_seconds: int | None = None) -> LadderResult:
    """Queues a ladder. Relative paths are made absolute here, so the shared
    storage must be mounted at the same path on the workers.

    The upload is opened here first, under hls_encoder's rules for untrusted
    input: LadderFailed, with the call's own reason, when the call would
    refuse it, and nothing is queued. The time limits are scaled to the
    duration its container states; ValueError when it is too long for the
    visibility timeout. BrokerUnreachable when the broker or the result
    store does not answer.

    By default an upload that states a duration of at least three windows
    of DEFAULT_WINDOW_SECONDS (request.py) is split in time windows of that
    length, each a task of its own that any free worker takes
    (window_plan.py, window_join.py); a shorter one, or one whose duration
    is unknown, is one task. `window_seconds` (a multiple of the 6 s
    segment from 6 s to MAX_WINDOW_SECONDS, else ValueError) asks for
    windows of that length, 0 for no split in time. With `split_rungs`,
    each rung is a task of its own (rung_join.py), and the default is no
    split in time (a split in both is a ValueError). Uploads and ladders
    outside the folders the settings confine them to are refused
    (LadderFailed), before anything is read. The result is the ladder's
    either way, with the windows' or the rungs' workers and times. An output that exists already is
    answered as a whole."""
    check_split(window_seconds, split_rungs)
    input, output = os.path.abspath(input), os.path.abspath(output)
    check_confined(input, output, key_info and os.path.abspath(key_info))
    upload = probe_upload(input)
    if upload.refused:
        raise LadderFailed(f"{input}: {upload.refused}")
    window_seconds = split_in_windows(window_seconds, split_rungs, upload.seconds)
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
            sent = app.send_task("quorvane_queue.plan_windows",
                                 args=(input, output, window_seconds),
                                 kwargs={**kwargs, "queue": queue}, task_id=task_id, **options)
            return LadderResult(sent.id, app=app)
        if split_rungs and rungs and not os.path.lexists(output):
            return _send_rungs(input, output, kwargs, [rung.name for rung in rungs], options,
                               task_id)
        sent = app.send_task("quorvane_queue.encode_ladder", args=(input, output), kwargs=kwargs,
                             task_id=task_id, **options)
        return LadderResult(sent.id, app=app)
    except (OperationalError, OSError, RuntimeError) as error:
        # RuntimeError: Celery's result consumer gives up reconnecting with
        # one that speaks of restarting the application.
        raise BrokerUnreachable(f"could not queue the ladder: the broker or the result store "
                                f"is unreachable ({str(error).strip()})") from None
