"""What only a worker needs, loaded by the worker with the tasks (the
application's ``include``), never by a client: the step that keeps a busy
worker from taking tasks after a reconnection, the refusal of pools
that share one process between tasks, and of ladder folders the worker
cannot write."""

from __future__ import annotations

import tempfile

from celery import bootsteps, signals
from celery.concurrency import get_implementation
from celery.utils.log import get_logger
from celery.worker import state

from . import settings, storage
from .celery import app

logger = get_logger(__name__)


class _ConsumeOnlyWhenFree(bootsteps.StartStopStep):
    """After a reconnection to the broker the new channel's prefetch slot is
    free, though the children still run the tasks they had (their messages
    can no longer be acknowledged and come back to the queue): Celery would
    take one more task per worker and hold it until a child is free. So when
    every child is busy at (re)connection, consume nothing, and start once a
    child is free."""

    requires = ("celery.worker.consumer.tasks:Tasks",)
    CHECK_SECONDS = 1.0

    def __init__(self, consumer, **kwargs):
        super().__init__(consumer, **kwargs)
        self._check = None

    def start(self, consumer) -> None:
        held = len(state.reserved_requests)
        if held < consumer.pool.num_processes:
            return
        task_consumer = consumer.task_consumer
        queues = list(task_consumer.queues)
        for queue in queues:
            task_consumer.cancel_by_queue(queue.name)
        logger.warning("connected while %d task(s) still run: taking no new task until a child "
                       "is free", held)

        def resume() -> None:
            if len(state.reserved_requests) >= consumer.pool.num_processes:
                return
            self._stop_checking()
            for queue in queues:
                task_consumer.add_queue(queue)
            task_consumer.consume()
            logger.warning("a child is free: taking tasks again")

        self._check = consumer.timer.call_repeatedly(self.CHECK_SECONDS, resume)

    def _stop_checking(self) -> None:
        if self._check is not None:
            self._check.cancel()
            self._check = None

    def stop(self, consumer) -> None:
        self._stop_checking()

    shutdown = stop


app.steps["consumer"].add(_ConsumeOnlyWhenFree)

# hls_encoder writes into the process's working directory and holds the GIL
# for the whole encode: tasks in threads (or greenlets) of one process would
# write into each other's folders. Only separate processes, or one task at a
# time, are safe.
SAFE_POOLS = ("celery.concurrency.prefork", "celery.concurrency.solo")


@signals.worker_init.connect
def _refuse_shared_process_pools(sender, **_kwargs) -> None:
    pool = get_implementation(sender.pool_cls)
    if pool.__module__ not in SAFE_POOLS:
        raise SystemExit(
            f"quorvane_queue: the {pool.__module__.rsplit('.', 1)[-1]} pool runs tasks side by side "
            "in one process, whose working directory they would share; use --pool prefork"
        )


@signals.worker_init.connect
def _refuse_ladder_folders_it_cannot_write(**_kwargs) -> None:
    """A worker that could not write where ladders go would take tasks and
    fail each one: it does not start."""
    for folder in settings.ladder_folders:
        try:
            probe = tempfile.NamedTemporaryFile(dir=folder, prefix=".quorvane-worker-check-")
        except OSError as error:
            raise SystemExit(f"quorvane_queue: this worker's user {storage.worker_user()} cannot "
                             f"write the ladder folder {folder} ({error.strerror}): give it the "
                             "folder, or leave it out of QUORVANE_LADDER_FOLDERS") from None
        probe.close()
