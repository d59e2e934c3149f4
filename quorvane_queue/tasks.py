"""The worker side: the ladder tasks, thin over LadderTask (base.py), and
the steps of a ladder encoded by one task. rung_join.py has the steps of a
ladder encoded one task per rung, window_join.py those of one split in
time."""

from __future__ import annotations

from celery.exceptions import Ignore, SoftTimeLimitExceeded

from . import rung_join, window_join
from .attempts import MASTER, AlreadyPublished, NoRendition, master_renditions, \
    playlist_seconds, published_renditions
from .base import LadderTask, logger
from .celery import app
from .request import LadderRequest, Rung, check_files, probe_upload, read_request


class ProgressReport:
    """Reads how far an encode is from the media playlists it has written
    in its attempt folder (the muxer rewrites each one after every segment)
    and reports it: media seconds written over all rungs, never less than it
    reported before."""

    def __init__(self, task: LadderTask, folder, rungs: list[Rung], duration: float | None):
        self.task = task
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
        total = self.duration * len(self.rungs) if self.duration and self.rungs else None
        self.task.report_progress(self.task.request.id, self.read(), total)


def encode_and_publish(task: LadderTask, request: LadderRequest) -> dict:
    """Encodes the ladder in a new attempt folder and publishes it."""
    attempt = task.start_attempt(request.output)
    reasons: list[str] = []
    with attempt:
        claimed = probe_upload(request.input).seconds
        progress = ProgressReport(task, attempt.folder, request.rungs, claimed)
        try:
            report, cpu = task.encode(attempt, request, progress)
            reasons = report["reasons"]
            renditions = attempt.publish()
        except SoftTimeLimitExceeded:
            # Past the rename a ladder this attempt published is published.
            if not attempt.is_published():
                raise task.soft_limit_failure(request, attempt) from None
            return task.ladder_result(request, master_renditions(request.output / MASTER), True,
                                      attempt.delivery, 0.0, reasons, claimed)
        except NoRendition as error:
            why = f": {'; '.join(dict.fromkeys(reasons))}" if reasons else ""
            raise task.fail_with_log(f"{request.input}: {error}{why}", attempt) from None
        except AlreadyPublished:
            logger.info("%s was published by another attempt meanwhile", request.output)
            return task.ladder_result(request, published_renditions(request.output) or [], False,
                                      attempt.delivery, 0.0, [], claimed)
    logger.info("published %s (%s), delivery %d", request.output, ", ".join(renditions),
                attempt.delivery)
    return task.ladder_result(request, renditions, True, attempt.delivery, cpu, reasons, claimed)


def _ladder_line(task, arguments: dict) -> str:
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
    if request.output.exists() or request.output.is_symlink():
        return self.answer_from_published(request)
    check_files(request)
    return encode_and_publish(self, request)


def _rung_line(task, arguments: dict) -> str:
    return f"rung {arguments.get('rung')} of {arguments.get('input')} -> {arguments.get('output')}"


def _rung_outcome(task, result: dict) -> str:
    if result.get("failure"):
        return f"rung {result['rung']} failed: {result['failure']}"
    return f"rung {result['rung']} {'encoded' if result['encoded'] else 'had nothing to encode'}"


@app.task(base=LadderTask, bind=True, name="quorvane_queue.encode_rung",
          describe=_rung_line, summarize=_rung_outcome)
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
    (window_join.py); the one that publishes stores the ladder's result
    under this task's id. An upload that cannot be split is encoded whole,
    here, as encode_ladder does."""
    request = read_request(input, output, resolution, bitrate, key_info)
    if request.output.exists() or request.output.is_symlink():
        return self.answer_from_published(request)
    check_files(request)
    sent = window_join.send_windows(self, request, window_seconds, queue)
    if sent:
        raise Ignore(f"sent {sent} window tasks, {self.request.id}-w0 to -w{sent - 1}")
    return encode_and_publish(self, request)


def _window_line(task, arguments: dict) -> str:
    return (f"window {window_join.window_part(arguments.get('window'))} of "
            f"{arguments.get('input')} -> {arguments.get('output')}")


def _window_outcome(task, result: dict) -> str:
    if result.get("failure"):
        return f"window {result['window']} failed: {result['failure']}"
    return f"window {result['window']} {'encoded' if result['encoded'] else 'had nothing to encode'}"


@app.task(base=LadderTask, bind=True, name="quorvane_queue.encode_window",
          describe=_window_line, summarize=_window_outcome)
def encode_window(self, ladder_id: str, input: str, output: str, resolution: list[str] | None,
                  bitrate: list[int] | None, key_info: str | None, window: dict,
                  windows: int) -> dict:
    """Encodes every rung of one of the `windows` windows of the ladder
    `ladder_id` (`window` as plan_windows planned it) and publishes the
    ladder if it is the last window to end (window_join.py)."""
    return window_join.run_window(self, ladder_id, window, windows, input, output, resolution,
                                  bitrate, key_info)
