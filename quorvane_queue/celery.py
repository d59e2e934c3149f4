"""The Celery application: the broker (RabbitMQ for many machines, Redis for
one), the result store, and the settings that let a ladder survive a lost
worker.

Workers: ``celery -A quorvane_queue worker --pool prefork --concurrency 1``;
the environment they and the clients read is described in settings.py.
"""

from __future__ import annotations

from celery import Celery, bootsteps, signals
from celery.concurrency import get_implementation
from celery.utils.log import get_logger
from celery.worker import state

from . import settings
from .limits import hard_limit_ceiling

logger = get_logger(__name__)

visibility_timeout = settings.visibility_timeout


app = Celery("quorvane_queue", include=["quorvane_queue.tasks"])
app.conf.update(
    broker_url=settings.broker_url,
    result_backend=settings.result_backend,
    broker_connection_retry_on_startup=True,
    # RabbitMQ: a worker machine that is gone stops sending heartbeats, the
    # broker closes its connection and returns its unacknowledged messages to
    # the queue. (Redis cannot tell; there the visibility timeout decides.)
    broker_heartbeat=settings.broker_heartbeat,
    # Redis: a delivered task stays in the unacknowledged set until it ends;
    # when its worker machine disappears, Redis delivers it again once this
    # timeout has passed. Longer than any hard time limit, or a task still
    # encoding would be handed to a second worker.
    broker_transport_options={"visibility_timeout": visibility_timeout},
    # Queues are declared durable and messages sent persistent, so that
    # RabbitMQ keeps queued and running ladders across its own restart.
    task_default_delivery_mode="persistent",
    # Acknowledge when the task has ended, not when it starts: a worker lost
    # mid-encode leaves the message to be delivered again.
    task_acks_late=True,
    # A worker child killed (out of memory, SIGKILL) puts the task straight
    # back in the queue. The task itself stops a crash loop after a few
    # deliveries.
    task_reject_on_worker_lost=True,
    # A failure or a hard time limit is final: acknowledged, not redelivered.
    task_acks_on_failure_or_timeout=True,
    # Each child takes one task at a time and reserves nothing beyond it,
    # so queued ladders go to whichever child is free (after a reconnection
    # too: see _ConsumeOnlyWhenFree).
    worker_prefetch_multiplier=1,
    worker_concurrency=1,
    worker_pool="prefork",
    # On a broker connection loss running encodes go on; their results are
    # on the shared storage, and a redelivery of a published ladder is a no-op.
    worker_cancel_long_running_tasks_on_connection_loss=False,
    task_track_started=True,
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    result_expires=7 * 24 * 3600,
    task_default_queue="ladders",
    task_time_limit=hard_limit_ceiling(visibility_timeout),
    task_soft_time_limit=int(hard_limit_ceiling(visibility_timeout) * 0.9),
)


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
