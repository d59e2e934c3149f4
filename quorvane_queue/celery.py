"""The Celery application: Redis as broker and result store, and the
settings that let a ladder survive a lost worker.

Workers: ``celery -A quorvane_queue worker --pool prefork --concurrency 1``.
Environment (the same on workers and clients):

- ``QUORVANE_BROKER_URL``: the broker, default ``redis://127.0.0.1:6379/0``.
- ``QUORVANE_RESULT_BACKEND``: where results go, default the broker.
- ``QUORVANE_VISIBILITY_TIMEOUT``: seconds a delivered task may stay
  unacknowledged before Redis hands it to another worker, default 43200
  (12 h). Every hard time limit stays 10 minutes under it.
"""

from __future__ import annotations

import os

from celery import Celery, signals
from celery.concurrency import get_implementation

from .limits import hard_limit_ceiling

broker_url = os.environ.get("QUORVANE_BROKER_URL", "redis://127.0.0.1:6379/0")
visibility_timeout = int(os.environ.get("QUORVANE_VISIBILITY_TIMEOUT", "43200"))

app = Celery("quorvane_queue", include=["quorvane_queue.tasks"])
app.conf.update(
    broker_url=broker_url,
    result_backend=os.environ.get("QUORVANE_RESULT_BACKEND", broker_url),
    broker_connection_retry_on_startup=True,
    # A delivered task stays in Redis's unacknowledged set until it ends;
    # when its worker machine disappears, Redis delivers it again once this
    # timeout has passed. Longer than any hard time limit, or a task still
    # encoding would be handed to a second worker.
    broker_transport_options={"visibility_timeout": visibility_timeout},
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
    # so queued ladders go to whichever child is free.
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
