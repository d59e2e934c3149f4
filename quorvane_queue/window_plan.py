"""Planning a ladder split in time: the planning task, under the ladder's
id, runs the companion's planning pass over the upload in a process of its
own (it decodes the untrusted upload: a crash or a hang costs a
LadderFailed, not the worker) and sends one ``encode_window`` task per window
(``LADDER-wK``) the moment the pass announces it, each with time limits that
follow its window's length. The windows announced, the seconds planned and
the pass's end are recorded in the plan (window_join.py), so that a
planning task delivered again sends no window twice, and the ladder is
joined once the plan has ended and every window is done. The steps
themselves are workflow.plan's: counts only grow, the delivery whose pass
ends first sets the plan's, and a delivery that resumes after it stops.

An upload the pass cannot split, or one it fails on before announcing any
window, is encoded whole by the planning task, as encode_ladder does (the
call then gives its own reasons); once windows were sent, a failed pass
fails the ladder with its reason.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from . import children, workflow
from .attempts import Attempt
from .base import LadderTask
from .celery import visibility_timeout
from .ladder_join import LadderProgress
from .limits import decode_seconds, window_limits
from .request import LadderFailed, LadderRequest, probe_upload
from .window_join import WindowJoin, window_part, window_times

PLANNING = "planning its windows"


def window_length(window: dict, claimed: float | None, window_seconds: int) -> float | None:
    """The window's media seconds, for its time limits: the last runs to the
    end the upload states (at least W); unknown when it states none."""
    start, end = window_times(window)
    if end is not None:
        return end - start
    return None if claimed is None else max(claimed - start, window_seconds)


@dataclass
class Planning:
    """The planning pass in an attempt of the planning task (its delivery
    counted, its messages in the attempt's log): the work
    DeliveriesTask.run_attempt runs. Its answer is the pass's last event."""

    task: LadderTask
    join: WindowJoin
    request: LadderRequest
    window_seconds: int
    queue: str | None
    claimed: float | None
    label = PLANNING
    follows_other_tasks = False   # another ladder's plan is followed by the join instead

    @property
    def target(self) -> Path:
        return self.request.output.with_name(f"{self.request.output.name}.plan")

    def already_done(self) -> dict | None:
        plan = self.join.plan()
        return {"ended": True} if plan["ended"] and not plan.get("failure") else None

    def run(self, attempt: Attempt) -> dict:
        # A folder of its own for each run of the pass: windows sent by an
        # earlier delivery may still read theirs.
        folder = self.join.sound_folder(attempt.folder.name.rsplit("-", 1)[-1])
        folder.mkdir(exist_ok=True)
        with children.PlanningPass(self.request.input, self.window_seconds, folder, attempt.log,
                                   decode_seconds(self.claimed)) as planning:
            return workflow.plan(self.join, planning, self.send_window, self.progress)

    def progress(self) -> None:
        LadderProgress(self.task.reporter, self.join, self.claimed)()

    def handed_on(self, attempt: Attempt) -> None:
        return None

    def send_window(self, window: dict) -> None:
        soft, hard = window_limits(window_length(window, self.claimed, self.window_seconds),
                                   visibility_timeout)
        ladder_id, request = self.join.ladder_id, self.request
        # Results go where the ladder's go: rpc:// sends them to the client
        # that submitted it.
        self.task.reporter.send(
            "quorvane_queue.encode_window",
            (ladder_id, request.input, str(request.output), request.resolution, request.bitrate,
             request.key_info, window), {}, f"{ladder_id}-{window_part(window)}", None,
            self.queue, (soft, hard))


class EncodeWhole(Exception):
    """The upload is to be encoded whole, by the planning task: why."""


def plan_ladder(task: LadderTask, request: LadderRequest, window_seconds: int,
                queue: str | None) -> str:
    """The planning task's work: the windows planned and sent, or the ladder
    followed when the same request is already being made; how it ended, for
    the task's log. EncodeWhole when the upload is to be encoded whole,
    LadderFailed when the ladder fails."""
    join = WindowJoin.of(request, task.request.id)
    plan = join.start_plan(request, window_seconds, queue)
    if plan.get("over"):
        return "the ladder is over"
    if plan["announced"] == 0 and not plan["ended"]:
        leader = join.leader(request)
        if leader is not None and leader.follow(join.ladder_id, task.request.reply_to):
            join.discard()
            return f"follows ladder {leader.ladder_id}, which makes the same one"
    end: dict = {}
    if not plan["ended"]:
        claimed = probe_upload(request.input).seconds
        try:
            end = task.run_attempt(Planning(task, join, request, window_seconds, queue, claimed))
            why = end.get("unsplittable") or end.get("failed") and f"{PLANNING}: {end['failed']}"
        except LadderFailed as failure:   # a crash, a hang: the same for every delivery
            end, why = {}, str(failure)
        if why and end and join.plan()["announced"] == 0:   # the call over the whole may do
            join.discard()
            raise EncodeWhole(why)
        if end.get("cancelled"):
            join.finish(task.reporter, request)
            return "cancelled"
        if not end.get("superseded"):
            join.end_plan(end.get("windows", join.plan()["announced"]),
                          end.get("planned_seconds", 0.0), why or None)
    plan = join.plan()   # as it ends: the finish may discard it
    join.finish(task.reporter, request)
    if plan.get("failure"):
        raise LadderFailed(f"{request.input}: {plan['failure']}")
    if end.get("superseded"):
        return "stopped: another delivery planned the ladder"
    return f"sent {plan['announced']} window tasks"
