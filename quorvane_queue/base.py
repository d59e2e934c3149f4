"""What the ladder tasks do alike, one concern per class, composed into the
two bases the tasks (tasks.py) are made of: LadderTask, for a task whose
result is the ladder's, and LadderPartTask, for one that makes a part of a
ladder (a rung, a window) whose result is stored under the ladder's id.

How the queue retries
---------------------
Four things can cut a task short, and each is handled in one place here:

1. The worker is lost (killed, out of memory, its machine gone or frozen):
   the message is acknowledged only once the task has ended
   (``task_acks_late``, ``task_reject_on_worker_lost``), so the broker
   delivers it again: RabbitMQ once the heartbeats stop, Redis once the
   visibility timeout has passed. Every delivery works in an attempt folder
   whose lock file records the delivery and its worker (attempts.py);
   DeliveriesTask counts the attempts before it and gives up, for good,
   past MAX_DELIVERIES. An earlier delivery that still runs on a worker
   that says so (its broker connection was cut, not its machine lost) is
   waited for, not repeated.
2. The encode process dies (a crash in FFmpeg, the out-of-memory killer):
   ``DeliveriesTask.encode`` retries the task after ENCODER_RETRY_SECONDS,
   up to MAX_DELIVERIES runs in all, then fails it with the attempt's log
   kept.
3. The shared storage fails (an OSError): StorageRetryTask retries the
   task after 5, 10, then 15 seconds, STORAGE_RETRIES times. A permission
   refused is no blip: it fails the task at once, naming the path and the
   worker's user.
4. The broker or the result store goes away: what the task sends and
   asks of it rides the restart out (broker.py); past that the task gives
   its message back (BrokerAwayTask), storing no failure.

Anything else is a LadderFailed: final, acknowledged, never delivered again.
A ladder split into parts (ladder_join.py) retries each part alone by the
same rules, in an attempt folder of its own; a part recorded done is not
encoded again. The planning pass of a ladder split in time runs in an
attempt too, but a crash or a hang there fails the ladder, since every
delivery would meet the same upload.
"""

from __future__ import annotations

import inspect
import logging
import os
import signal
import socket
import threading
import time
from pathlib import Path
from typing import Callable, Protocol

from celery import Task
from celery.app.task import Context
from celery.exceptions import Ignore, Reject, Retry, SoftTimeLimitExceeded
from celery.utils.log import get_task_logger

from . import broker, children, results, storage
from .attempts import Attempt, failed_log, remove_dead_attempts
from .playlists import NoRendition, published_renditions
from .published import ladder_differences
from .request import PROGRESS, LadderFailed, LadderRequest, arguments_shown, probe_upload
from .results import distinct, progress_said

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
# How much of a retried run's FFmpeg messages, from their end, goes to the
# worker's log once a later run has done the work.
RETRIED_LOG_TAIL = 4096
# A delivery that finds an earlier one of its task still running looks again
# this often, and gives that one's worker this long to say it still runs it.
EARLIER_DELIVERY_SECONDS = 2.0
WORKER_ANSWER_SECONDS = 5.0
def time_limits_of(task: Task) -> tuple[float, float]:
    """(soft, hard) seconds the task was sent with, else the defaults."""
    hard, soft = task.request.timelimit or (None, None)
    return (soft or task.app.conf.task_soft_time_limit, hard or task.app.conf.task_time_limit)


class OwnProcessTask(Task):
    """hls_encoder writes into the process's working directory: a task must
    have its process to itself."""

    def __call__(self, *args, **kwargs):
        if threading.current_thread() is not threading.main_thread():
            raise LadderFailed("tasks must run in a process of their own: start the worker "
                               "with --pool prefork")
        return super().__call__(*args, **kwargs)


class LoggedTask(Task):
    """One line in the worker's log when the task starts and one when it
    ends, at the worker's default level too. The task says what it does
    (describe) and how a result reads (summarize)."""

    def describe(self, arguments: dict) -> str:
        return ", ".join(f"{name}={value!r}" for name, value in arguments.items())

    def summarize(self, result: dict) -> str:
        return "done"

    def arguments(self, args: tuple, kwargs: dict) -> dict:
        try:
            return inspect.signature(self.run).bind(*args, **kwargs).arguments
        except TypeError:   # the call itself fails the same way
            return {}

    def __call__(self, *args, **kwargs):
        started = time.monotonic()
        events.info("task %s started: %s", self.request.id,
                    self.describe(self.arguments(args, kwargs)))
        outcome = "ended by an error"
        try:
            result = super().__call__(*args, **kwargs)
            outcome = self.summarize(result)
            return result
        except LadderFailed as error:
            outcome = f"failed: {error}"
            raise
        except Retry as retry:
            outcome = f"to be retried: {retry.exc}"
            raise
        except Ignore as handed_on:   # its result is left to other tasks
            outcome = str(handed_on)
            raise
        except Reject as given_back:
            outcome = str(given_back.reason)
            raise
        finally:
            events.info("task %s ended: %s (%.1f s)", self.request.id, outcome,
                        time.monotonic() - started)


class BrokerAwayTask(Task):
    """A task that meets the broker (or the result store) gone for longer
    than it rides out gives its message back, unacknowledged, rather than
    failing: its ladder goes on once the broker is back, and no state of
    failure is stored for it meanwhile."""

    def __call__(self, *args, **kwargs):
        try:
            return super().__call__(*args, **kwargs)
        except Exception as error:
            if not broker.broker_lost(error, self.app):
                raise
            raise Reject(f"the broker went away ({type(error).__name__}: {error}): "
                         "given back to the queue", requeue=True) from None


# How long after the soft limit the task's own clock lands, when the pool's
# has not: the pool's timers are gone only while the broker is away.
OWN_CLOCK_GRACE_SECONDS = 3


class OwnTimeLimitsTask(Task):
    """The task's time limits kept by its own process too: the prefork
    pool keeps them on the worker's event loop, whose timers a lost broker
    connection clears, so a task running while the broker is away would
    run unlimited. The soft limit raises SoftTimeLimitExceeded as the pool's
    does; the hard one ends the process, which gives the task back to the
    queue (task_reject_on_worker_lost) to be counted as a lost delivery."""

    def __call__(self, *args, **kwargs):
        soft, hard = time_limits_of(self)
        # A task run inside another (eagerly) stays under the outer limits.
        if (not soft or threading.current_thread() is not threading.main_thread()
                or signal.getitimer(signal.ITIMER_REAL)[0] > 0):
            return super().__call__(*args, **kwargs)

        pool_soft_limit = signal.getsignal(signal.SIGUSR1)

        def hard_stage() -> None:
            """The soft limit has landed, by either clock: the other raises
            nothing more, and the hard one runs."""
            signal.signal(signal.SIGUSR1, lambda *_: None)
            signal.signal(signal.SIGALRM, hard_limit)
            signal.setitimer(signal.ITIMER_REAL, max(hard - soft, 1) if hard else 60)

        def soft_limit(_signal, _frame):
            hard_stage()
            raise SoftTimeLimitExceeded(f"soft time limit ({soft} s) exceeded")

        def soft_limit_from_pool(signum, frame):
            hard_stage()
            if callable(pool_soft_limit):
                pool_soft_limit(signum, frame)

        def hard_limit(_signal, _frame):
            events.error("task %s ran past its hard time limit (%s s): ending its process",
                         self.request.id, hard)
            os.kill(os.getpid(), signal.SIGKILL)

        previous = signal.signal(signal.SIGALRM, soft_limit)
        signal.signal(signal.SIGUSR1, soft_limit_from_pool)
        # The pool's clock lands first when it runs (its timer thread looks
        # about once a second): were both to land at once, this clock's
        # signal could wait behind the pool's and then find the hard limit's
        # handler in place, and end a process whose soft limit had landed.
        signal.setitimer(signal.ITIMER_REAL, soft + OWN_CLOCK_GRACE_SECONDS)
        try:
            return super().__call__(*args, **kwargs)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            signal.signal(signal.SIGUSR1, pool_soft_limit)


class StorageRetryTask(Task):
    """A shared storage that fails (an OSError the broker did not cause:
    BrokerAwayTask sees those first) is tried again after 5, 10 and 15 s;
    once STORAGE_RETRIES have failed too, the failure is definite. A worker
    refused by the storage's permissions fails at once, saying who it runs
    as: another run would be refused the same."""

    max_retries = STORAGE_RETRIES

    def __call__(self, *args, **kwargs):
        try:
            return super().__call__(*args, **kwargs)
        except PermissionError as error:
            raise LadderFailed(storage.refusal(error)) from None
        except OSError as error:
            if self.request.retries >= self.max_retries:
                raise LadderFailed(f"the shared storage failed in each of {self.max_retries + 1} "
                                   f"runs: {error}") from None
            raise self.retry(exc=error, countdown=STORAGE_RETRY_SECONDS * (self.request.retries + 1))


class LadderStateTask(Task):
    """The ladder's state as the client sees it: its progress and its
    result, stored under its id whichever task reports them."""

    @property
    def worker(self) -> str:
        return self.request.hostname or socket.gethostname()

    def store_state(self, state_id: str, value, state: str, reply_to: str | None = None) -> None:
        """Stores `value` as the state of `state_id`: this task's own, or
        the ladder's it works for. With rpc:// it goes back to the client
        that sent that ladder (`reply_to`, by default the one that sent this
        task), marked as that id's."""
        if self.request.is_eager:
            return
        request = Context({"id": state_id, "reply_to": reply_to or self.request.reply_to,
                           "correlation_id": state_id})
        self.backend.store_result(state_id, value, state, request=request)

    def report_progress(self, state_id: str, info: dict, reply_to: str | None = None) -> None:
        """Stores the ladder's progress; a broker away meanwhile costs the
        report, not the ladder."""
        try:
            self.store_state(state_id, info, PROGRESS, reply_to)
            if not self.request.is_eager and self.app.conf.worker_send_task_events:
                # For the queue's watchers: which ladder, how far; Flower
                # shows a running task's result, and only the fields it knows.
                fraction = info.get("fraction")
                said = f"{fraction:.0%} ({progress_said(info)})" if fraction is not None \
                    else progress_said(info)
                self.send_event("task-progress", retry=False, ladder=state_id,
                                result=f"ladder {state_id}: {said}", **info)
        except Exception as error:
            if not broker.broker_lost(error, self.app):
                raise
            logger.warning("ladder %s: progress not reported, the broker is away (%s)",
                           state_id, error)

    def ladder_result(self, request: LadderRequest, renditions: list[str], encoded: bool,
                      delivery: int, cpu: float, reasons: list[str],
                      claimed: float | None) -> dict:
        return results.ladder_result(request, renditions, encoded, delivery, cpu, reasons,
                                     claimed, self.worker)

    @property
    def reporter(self) -> TaskReporter:
        return TaskReporter(self)

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
            earlier = remove_dead_attempts(request.output, self.request.id).delivery
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
        logger.info("ladder %s: %s is already published (%s): nothing to encode",
                    self.request.id, request.output, ", ".join(published))
        missing = [f"{rung.name}: not in the ladder published at {request.output}"
                   for rung in request.rungs if rung.name not in published]
        return self.ladder_result(request, published, False, 0, 0.0, missing,
                                  probe_upload(request.input).seconds)


class LadderPartFailureTask(LadderStateTask):
    """A task that makes a part of a ladder (its first argument the
    ladder's id): its definite failure is the ladder's too."""

    def __call__(self, *args, **kwargs):
        try:
            return super().__call__(*args, **kwargs)
        except LadderFailed as error:
            ladder_id = args[0] if args else kwargs.get("ladder_id")
            if isinstance(ladder_id, str):
                self.store_state(ladder_id, error, "FAILURE")
            raise


class AttemptWork(Protocol):
    """What one attempt is for (a ladder, a rung, a window, a planning
    pass), as DeliveriesTask.run_attempt runs it."""

    @property
    def target(self) -> Path:
        """The attempt folders lie beside it, named after it."""

    @property
    def label(self) -> str:
        """How failures name it."""

    # Whether another task's attempt alive at the target is waited for:
    # it makes the same work (for a whole ladder, the same output).
    follows_other_tasks: bool

    def already_done(self):
        """The answer when there is nothing (left) to do, else None."""

    def run(self, attempt: Attempt):
        """Does the work in `attempt` and hands it on (publishes it, adds it
        to its join); NoRendition when it leaves nothing to hand on."""

    def handed_on(self, attempt: Attempt):
        """The answer when a soft time limit lands after the work was handed
        on, else None."""


class DeliveriesTask(LadderStateTask):
    """Deliveries and their attempts: each delivery works in an attempt
    folder of its own, counted against MAX_DELIVERIES, its encode watched
    and retried when it crashes, its log kept when it fails."""

    def soft_limit(self) -> float:
        return time_limits_of(self)[0]

    def run_attempt(self, work: AttemptWork):
        """The one life of an attempt, whatever it is for: nothing when the
        work is done already (after waiting for an earlier delivery still at
        it), else the work in a new attempt folder, a failure with its log
        kept, and a soft time limit that lands after the hand-on answered as
        the work's."""
        try:
            earlier = self.wait_for_earlier_delivery(work.target)
            if work.follows_other_tasks:
                self.wait_for_other_tasks(work.target)
            answer = work.already_done()
            if answer is not None:
                return answer
            with self.start_attempt(work.target, earlier) as attempt:
                try:
                    answer = work.run(attempt)
                    self.log_retried_run(work)
                    return answer
                except (NoRendition, children.ChildEnded) as error:
                    raise self.fail_with_log(f"{work.label}: {error}", attempt) from None
                except SoftTimeLimitExceeded:
                    answer = work.handed_on(attempt)
                    if answer is None:
                        raise self.fail_with_log(f"{work.label}: ran past its soft time limit "
                                                 f"({self.soft_limit()} s)", attempt) from None
                    return answer
        except SoftTimeLimitExceeded:   # while it waited for an earlier delivery
            raise LadderFailed(f"{work.label}: ran past its soft time limit ({self.soft_limit()} s) "
                               "waiting for its earlier delivery") from None

    def start_attempt(self, target: Path, earlier: int = 0) -> Attempt:
        """A new attempt folder beside `target`, after removing dead ones,
        its delivery counted after theirs and `earlier`; LadderFailed once
        the task has been delivered MAX_DELIVERIES times."""
        delivery = max(earlier, remove_dead_attempts(target, self.request.id).delivery) + 1
        if delivery > MAX_DELIVERIES:
            raise LadderFailed(f"the worker was lost in each of {MAX_DELIVERIES} deliveries")
        return Attempt.start(target, self.request.id, delivery,
                             {"host": socket.gethostname(), "pid": os.getpid(),
                              "worker": self.request.hostname})

    def wait_for_earlier_delivery(self, target: Path) -> int:
        """Returns once no earlier delivery of this task runs at `target`
        on a worker that says it still runs it (after a broker restart the
        task comes back while its first delivery goes on encoding), with the
        highest earlier delivery its sweeps found. One whose worker does not
        answer is on a machine lost or frozen, and counts as lost."""
        highest, said = 0, False
        while True:
            sweep = remove_dead_attempts(target, self.request.id)
            highest = max(highest, sweep.delivery)
            if not any(self._still_runs(record) for record in sweep.live):
                return highest
            if not said:
                events.info("task %s waits for its earlier delivery, which still runs",
                            self.request.id)
                said = True
            time.sleep(EARLIER_DELIVERY_SECONDS)

    def wait_for_other_tasks(self, target: Path) -> None:
        """Returns once no other task makes a ladder at `target` on a worker
        that says it still does: the same request sent twice at once is
        made once, the later task then answered by what the earlier
        publishes (or encoding it, should that one have failed)."""
        said = False
        while True:
            others = remove_dead_attempts(target, self.request.id).others
            running = [record for record in others if self._still_runs(record)]
            if not running:
                return
            if not said:
                events.info("task %s follows task %s, which makes a ladder at %s", self.request.id,
                            running[0].get("task_id"), target)
                said = True
            time.sleep(EARLIER_DELIVERY_SECONDS)

    def _still_runs(self, record: dict) -> bool:
        worker, task_id = record.get("worker"), record.get("task_id")
        if not worker or not task_id:   # run in a client's process (eager), or by an older worker
            return False
        replies = broker.ride_out(lambda: self.app.control.inspect(
            [worker], timeout=WORKER_ANSWER_SECONDS).query_task(task_id), self.app) or {}
        state, info = (replies.get(worker) or {}).get(task_id, (None, {}))
        return state == "active" and info.get("worker_pid") == record.get("pid")

    def encode(self, attempt: Attempt, job: dict, label: str,
               watch: Callable[[], None]) -> tuple[dict, float]:
        """The encode `job` asks for, in the attempt folder, in a process
        of its own; the task retried when that process dies."""
        try:
            return children.run_encode(job, attempt.folder, attempt.log, watch)
        except children.EncoderCrashed as error:
            if self.request.retries + 1 >= MAX_DELIVERIES:
                raise self.fail_with_log(f"{label}: {error}, in each of {MAX_DELIVERIES} "
                                         "deliveries", attempt) from None
            attempt.keep_log(self.request.id)
            raise self.retry(exc=error, countdown=ENCODER_RETRY_SECONDS)

    def log_retried_run(self, work: AttemptWork) -> None:
        """An earlier run's log, kept as it was retried, is no failure's once
        the task has done its work: its end goes to the worker's log, where
        the retry was told, and the file beside the ladder goes."""
        kept = failed_log(work.target, self.request.id)
        try:
            with open(kept, "rb") as log:
                log.seek(max(0, os.fstat(log.fileno()).st_size - RETRIED_LOG_TAIL))
                tail = log.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return
        logger.warning("%s (%s): done in delivery %d; the FFmpeg messages that end the run "
                       "retried before:\n%s", work.target.name, work.label,
                       self.request.retries + 1, tail.rstrip("\n"))
        kept.unlink(missing_ok=True)

    def fail_with_log(self, message: str, attempt: Attempt) -> LadderFailed:
        """The failure, with the attempt's log kept and the failure written at
        its end, and the log's path in its message."""
        try:
            fd = os.open(attempt.log, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)
        except OSError:
            fd = -1   # no child process left one
        if fd >= 0:
            with open(fd, "a") as log:
                log.write(f"quorvane_queue: task {self.request.id} failed: {message}\n")
        kept = attempt.keep_log(self.request.id)
        failure = LadderFailed(f"{message} (FFmpeg's messages: {kept})" if kept else message)
        failure.log = str(kept) if kept else None
        return failure


class TaskReporter:
    """What a ladder's steps (workflow.py, the joins) tell, told through
    Celery by the task that runs them: states stored under the ladder's id
    (with rpc://, back to the client that sent it), tasks sent riding out a
    broker restart."""

    def __init__(self, task: LadderStateTask):
        self.task = task

    @property
    def worker(self) -> str:
        return self.task.worker

    def store(self, ladder_id: str, value, state: str, reply_to: str | None = None) -> None:
        self.task.store_state(ladder_id, value, state, reply_to)

    def progress(self, ladder_id: str, info: dict, reply_to: str | None = None) -> None:
        self.task.report_progress(ladder_id, info, reply_to)

    def send(self, name: str, args: tuple, kwargs: dict, task_id: str, reply_to: str | None,
             queue: str | None, limits: tuple[int, int]) -> None:
        app, (soft, hard) = self.task.app, limits
        reply_to = reply_to or self.task.request.reply_to
        broker.ride_out(lambda: app.send_task(
            name, args=args, kwargs=kwargs, task_id=task_id, reply_to=reply_to, queue=queue,
            soft_time_limit=soft, time_limit=hard, add_to_parent=False,
            argsrepr=arguments_shown(args)), app)

    def answer_published(self, request: LadderRequest, missing_allowed: bool) -> dict:
        return self.task.answer_from_published(request, missing_allowed)


class LadderTask(OwnProcessTask, LoggedTask, StorageRetryTask, BrokerAwayTask, OwnTimeLimitsTask,
                 DeliveriesTask):
    """A task whose result is the ladder's."""


class LadderPartTask(OwnProcessTask, LoggedTask, LadderPartFailureTask, StorageRetryTask,
                     BrokerAwayTask, OwnTimeLimitsTask, DeliveriesTask):
    """A task that makes one part of a ladder."""
