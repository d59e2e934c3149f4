"""The worker side: the ladder tasks, thin over the bases of base.py, and
the work of a ladder encoded by one task. rung_join.py has the work of a
ladder encoded one task per rung, window_plan.py and window_join.py that of
one split in time."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from celery.exceptions import Ignore

from . import rung_join, window_join, window_plan
from .attempts import AlreadyPublished, Attempt, is_cancelled
from .base import LadderPartTask, LadderTask, events, logger
from .celery import app, visibility_timeout
from .limits import time_limits
from .playlists import MASTER, NoRendition, master_renditions, playlist_seconds, \
    published_renditions
from .results import distinct
from .request import LadderCancelled, LadderFailed, LadderRequest, Rung, arguments_shown, \
    check_files, check_window_seconds, probe_upload, read_request


class ProgressReport:
    """Reads how far an encode is from the media playlists it has written
    in its attempt folder (the muxer rewrites each one after every segment)
    and reports it: media seconds written over all rungs, never less than it
    reported before."""

    def __init__(self, task: LadderTask, output: Path, folder: Path, rungs: list[Rung],
                 duration: float | None):
        self.task = task
        self.output = output
        self.folder = folder
        self.rungs = rungs
        self.duration = duration
        self.seconds_done = 0.0

    def read(self) -> float:
        seconds = [playlist_seconds(self.folder / f"{rung.name}.m3u8") for rung in self.rungs]
        done = sum(min(rung, self.duration) if self.duration else rung for rung in seconds)
        self.seconds_done = max(self.seconds_done, done)
        return self.seconds_done

    def __call__(self) -> None:
        if is_cancelled(self.output, self.task.request.id):   # the encode ends here
            raise LadderCancelled(self.task.request.id)
        total = self.duration * len(self.rungs) if self.duration and self.rungs else None
        done = self.read()
        self.task.report_progress(self.task.request.id, {
            "fraction": min(1.0, done / total) if total else None,
            "seconds_done": round(done, 3), "seconds_total": total})


@dataclass
class WholeLadder:
    """The ladder encoded by one task in an attempt folder and published
    by renaming it: the work DeliveriesTask.run_attempt runs."""

    task: LadderTask
    request: LadderRequest
    claimed: float | None = None   # the upload's duration, once read
    reasons: list[str] = field(default_factory=list)   # the encoder's, once it ran
    # The same ladder asked for twice at once is made by the first task.
    follows_other_tasks = True

    @property
    def target(self) -> Path:
        return self.request.output

    @property
    def label(self) -> str:
        return self.request.input

    def already_done(self) -> dict | None:
        if self.request.output.exists() or self.request.output.is_symlink():
            return self.task.answer_from_published(self.request)
        return None

    def run(self, attempt: Attempt) -> dict:
        task, request = self.task, self.request
        self.claimed = probe_upload(request.input).seconds
        report, cpu = task.encode(attempt, request.encoder_job(), request.input,
                                  ProgressReport(task, request.output, attempt.folder,
                                                 request.rungs, self.claimed))
        reasons = self.reasons = report["reasons"]
        if is_cancelled(request.output, task.request.id):
            raise LadderCancelled(task.request.id)
        try:
            renditions = attempt.publish()
        except NoRendition as error:
            raise NoRendition(f"{error}: {'; '.join(distinct(reasons))}" if reasons else error) \
                from None
        except AlreadyPublished:
            logger.info("ladder %s: %s was published by another attempt meanwhile",
                        task.request.id, request.output)
            return task.ladder_result(request, published_renditions(request.output) or [], False,
                                      attempt.delivery, 0.0, [], self.claimed)
        events.info("ladder %s: published %s (%s), delivery %d", task.request.id, request.output,
                    ", ".join(renditions), attempt.delivery)
        return task.ladder_result(request, renditions, True, attempt.delivery, cpu, reasons,
                                  self.claimed)

    def handed_on(self, attempt: Attempt) -> dict | None:
        """Past the rename a ladder this attempt published is published."""
        if not attempt.is_published():
            return None
        return self.task.ladder_result(self.request, master_renditions(self.request.output / MASTER),
                                       True, attempt.delivery, 0.0, self.reasons, self.claimed)


def _ladder_line(task, arguments: dict) -> str:
    # The task's id, which the line starts with, is the ladder's.
    return f"{arguments.get('input')} -> {arguments.get('output')}"


def _ladder_outcome(task, result: dict) -> str:
    if result["encoded"]:
        return f"published {', '.join(result['renditions'])}, delivery {result['delivery']}"
    return f"already published ({', '.join(result['renditions'])})"


@app.task(base=LadderTask, bind=True, name="quorvane_queue.encode_ladder",
          describe=_ladder_line, summarize=_ladder_outcome)
def encode_ladder(self, input: str, output: str, resolution: list[str] | None = None,
                  bitrate: list[int] | None = None, key_info: str | None = None) -> dict:
    """Encodes `input` into the ladder folder `output` and publishes it whole.

    Paths are absolute, on storage every worker mounts. `resolution` is
    hls_encoder's (its default ladder when left out); a missing or short
    `bitrate` list gives each rung its own default bitrate. `key_info`
    defaults to ``enc.keyinfo`` beside the output folder. While it encodes
    the task is in state PROGRESS, with ``{"fraction", "seconds_done",
    "seconds_total"}`` (media seconds written, all rungs counted). Returns
    ``{"output", "renditions", "encoded", "delivery", "worker",
    "encode_cpu_seconds", "rung_failures", "media_seconds",
    "claimed_seconds", "warnings"}``; ``encoded`` is False when the ladder
    asked for was already published, ``rung_failures`` says why each rung
    that is missing failed, ``warnings`` says when the ladder holds less
    media than the upload claims. Raises LadderFailed, once, for what another
    delivery would not change (bad arguments, an input that yields no
    rendition, time limits, an output that holds another ladder), with the
    encoder's reasons and its log's path in its message.
    """
    request = read_request(input, output, resolution, bitrate, key_info)
    whole = WholeLadder(self, request)
    answer = whole.already_done()
    if answer is not None:
        return answer
    check_files(request)
    return self.run_attempt(whole)


def _part_outcome(kind: str):
    def summarize(task, result: dict) -> str:
        said = f"{kind} {result[kind]}"
        if result.get("failure"):
            return f"{said} failed: {result['failure']}"
        if result.get("discarded"):
            done = "encoded" if result["encoded"] else "not encoded"
            return f"{said} {done}, discarded: {result['discarded']}"
        return f"{said} {'encoded' if result['encoded'] else 'had nothing to encode'}"
    return summarize


def _rung_line(task, arguments: dict) -> str:
    return (f"ladder {arguments.get('ladder_id')!s:.64} rung {arguments.get('rung')!r:.64} of "
            f"{arguments.get('input')} -> {arguments.get('output')}")


@app.task(base=LadderPartTask, bind=True, name="quorvane_queue.encode_rung",
          describe=_rung_line, summarize=_part_outcome("rung"))
def encode_rung(self, ladder_id: str, input: str, output: str, resolution: list[str] | None,
                bitrate: list[int] | None, key_info: str | None, rung: str) -> dict:
    """Encodes one rung of the ladder `ladder_id` (the arguments are the
    whole ladder's, as encode_ladder takes them) and publishes the ladder
    if it is the last rung to end (rung_join.py)."""
    return rung_join.run_rung(self, ladder_id, rung, input, output, resolution, bitrate, key_info)


@app.task(base=LadderTask, bind=True, name="quorvane_queue.plan_windows",
          describe=_ladder_line, summarize=_ladder_outcome)
def plan_windows(self, input: str, output: str, window_seconds: int,
                 resolution: list[str] | None = None, bitrate: list[int] | None = None,
                 key_info: str | None = None, queue: str | None = None) -> dict:
    """Splits the ladder (encode_ladder's arguments) in windows of about
    `window_seconds` and sends one encode_window task per window to `queue`
    as the planning pass announces it (window_plan.py); the task that
    publishes stores the ladder's result under this task's id. An upload
    that cannot be split is encoded whole, here, as encode_ladder does."""
    request = read_request(input, output, resolution, bitrate, key_info)
    try:
        check_window_seconds(window_seconds)
    except ValueError as error:
        raise LadderFailed(str(error)) from None
    if queue is not None and not isinstance(queue, str):
        raise LadderFailed(f"queue must be a queue's name, not {queue!r:.100}")
    if request.output.exists() or request.output.is_symlink():
        if (self.request.delivery_info or {}).get("redelivered"):
            raise Ignore("already published: its join stored the ladder's result")
        return self.answer_from_published(request)
    check_files(request)
    try:
        raise Ignore(window_plan.plan_ladder(self, request, window_seconds, queue))
    except window_plan.EncodeWhole as why:
        try:
            time_limits(probe_upload(request.input).seconds, visibility_timeout)
        except ValueError as error:
            raise LadderFailed(f"{request.input} cannot be split in windows ({why}), and "
                               f"{error}") from None
        logger.info("ladder %s: %s cannot be split in windows (%s): encoding it as one task",
                    self.request.id, input, why)
        return self.run_attempt(WholeLadder(self, request))


def _window_line(task, arguments: dict) -> str:
    return (f"ladder {arguments.get('ladder_id')!s:.64} "
            f"{arguments_shown((arguments.get('window'),))[1:-1]} of "
            f"{arguments.get('input')} -> {arguments.get('output')}")


@app.task(base=LadderPartTask, bind=True, name="quorvane_queue.encode_window",
          describe=_window_line, summarize=_part_outcome("window"))
def encode_window(self, ladder_id: str, input: str, output: str, resolution: list[str] | None,
                  bitrate: list[int] | None, key_info: str | None, window: dict) -> dict:
    """Encodes every rung of one window of the ladder `ladder_id` (`window`
    as the planning pass announced it) and publishes the ladder if it is
    the last window to end after the plan's (window_join.py)."""
    return window_join.run_window(self, ladder_id, window, input, output, resolution, bitrate,
                                  key_info)
