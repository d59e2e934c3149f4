"""The Celery application: the broker (RabbitMQ for many machines, Redis for
one), the result store, and the settings that let a ladder survive a lost
worker. Clients import it too: what only a worker needs is in the modules
the worker loads (``include``): the tasks, and worker.py.

Workers: ``celery -A quorvane_queue worker --pool prefork --concurrency 1``;
the environment they and the clients read is described in settings.py.
"""

from __future__ import annotations

from celery import Celery

from . import settings
from .limits import hard_limit_ceiling

visibility_timeout = settings.visibility_timeout


# No fixups: the Django one imports the worker into every client.
app = Celery("quorvane_queue", include=["quorvane_queue.tasks", "quorvane_queue.worker"],
             fixups=[])
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
    # too: see worker.py).
    worker_prefetch_multiplier=1,
    worker_concurrency=1,
    worker_pool="prefork",
    # On a broker connection loss running encodes go on; their results are
    # on the shared storage, and a redelivery of a published ladder is a no-op.
    worker_cancel_long_running_tasks_on_connection_loss=False,
    # A result store that restarts (Redis) is waited for, by the tasks
    # storing a ladder's progress or result and by the clients reading it,
    # rather than failing a window whose ladder would then never end.
    result_backend_always_retry=True,
    result_backend_max_retries=60,   # backing off to 10 s: about 10 minutes
    task_track_started=True,
    # Task events, for watching the queue (Flower, celery events): each
    # task sent, started and ended, and each ladder's progress as it goes
    # (task-progress events, base.py).
    worker_send_task_events=True,
    task_send_sent_event=True,
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    result_expires=7 * 24 * 3600,
    task_default_queue="ladders",
    task_time_limit=hard_limit_ceiling(visibility_timeout),
    task_soft_time_limit=int(hard_limit_ceiling(visibility_timeout) * 0.9),
)
