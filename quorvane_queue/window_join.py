"""A ladder split in time, so that many machines share one long upload
(ladder_join.py joins the windows).

``submit_ladder(..., window_seconds=W)`` sends one ``plan_windows`` task
under the ladder's id. It plans the upload's windows (plan_windows of the
companion module, in a process of its own: it decodes the whole upload) and
sends one ``encode_window`` task per window, under task ids ``LADDER-wK``,
each with time limits that follow its window's length; the ladder's result
is left to them. An upload that cannot be split is encoded whole by the
planning task, as encode_ladder does, its result the ladder's all the same.

Each window task encodes every rung of its window (encode_window, which
writes each rung's playlist of the window's segments, numbered as the whole
file's) in an attempt folder of its own, ``.NAME.wK.attempt-...``, then moves
the segments into the ladder's staging folder and the playlists aside, into
``.NAME.ladder-ID.window-wK/``, and records how it ended in
``.NAME.ladder-ID.window-wK.json``. The window task that finds every window
ended joins each rung's playlists in time order into the one a call over the
whole file writes, makes its segments' continuity counters follow on across
the seams, measures each joined rung for the master playlist and publishes
the ladder. A window that fails fails the ladder, with its reason
and kept log, once every window has ended (those not yet started are not
encoded): a ladder missing a window is never published.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from celery.exceptions import SoftTimeLimitExceeded

import _quorvane_queue_native as native

from .attempts import NoRendition, _fsync_path, media_segments, playlist_seconds
from .base import LadderTask, distinct, logger, run_plan
from .celery import visibility_timeout
from .ladder_join import LadderJoin, encode_part, run_part
from .limits import decode_seconds, time_limits, window_limits
from .published import read_key_info, segment_iv
from .request import LadderFailed, LadderRequest, check_window_seconds, probe_upload


@dataclass
class WindowRequest(LadderRequest):
    """One window of a ladder, every rung, as its encode is asked for it."""

    window: dict = field(default_factory=dict)

    def encoder_job(self) -> dict:
        return {"call": "encode_window", "input": self.input, "resolution": self.resolution,
                "bitrate": self.encoder_options()["bitrate"], "key": self.key_info,
                "window": self.window}


def window_part(window) -> str:
    """The window's name in the join and in its task id: w0, w1, ..."""
    return f"w{window.get('index')}" if isinstance(window, dict) else repr(window)


def window_label(window: dict) -> str:
    end = f"{window['end']:g} s" if window.get("end") is not None else "the end"
    return f"window {window['index']} ({window['start']:g} s to {end})"


def window_length(window: dict, claimed: float | None, window_seconds: int) -> float | None:
    """The window's media seconds, for its time limits: the last runs to the
    end the upload claims (at least W); unknown when the upload claims none."""
    if window.get("end") is not None:
        return window["end"] - window["start"]
    return None if claimed is None else max(claimed - window["start"], window_seconds)


def continue_counters(folder: Path, playlists: list[Path], key_file: Path) -> None:
    """Makes the MPEG-TS continuity counters of one rung's segments in
    `folder`, listed by its windows' `playlists` in time order, follow on
    across the windows as one muxer's do (each window's muxer counted from
    zero). One segment at a time, each replaced in one rename: a join cut
    short and run again leaves those already rewritten as they are."""
    counters: dict[int, int] = {}
    for path in playlists:
        playlist = native.read_playlist(str(path))
        if playlist is None or not playlist["keys"]:
            raise NoRendition(f"{path} lists no key")
        for sequence, segment in enumerate(playlist["segments"], playlist["media_sequence"]):
            counters = native.continue_counters([str(folder / segment["uri"])], str(key_file),
                                                segment_iv(playlist["keys"][0], sequence), counters)


class WindowJoin(LadderJoin):
    kind = "window"

    @classmethod
    def of(cls, request: LadderRequest, ladder_id: str, count: int) -> WindowJoin:
        return cls(request.output, ladder_id, [f"w{index}" for index in range(count)],
                   [planned.name for planned in request.rungs])

    def playlists_of(self, part: str) -> list[str]:
        return self.rungs

    def failure(self, request: LadderRequest, records: dict[str, dict]) -> LadderFailed | None:
        failed = [records[part] for part in self.parts if records[part]["state"] == "failed"]
        if not failed:
            return None
        reasons = distinct([record["failure"] for record in failed if record.get("failure")])
        return LadderFailed(f"{request.input}: {'; '.join(reasons) or 'a window failed'}")

    def master_entries(self, request: LadderRequest, records: dict[str, dict]) -> list[dict]:
        """Joins each rung's segments and playlists into the staging folder,
        and measures it."""
        written = {entry["name"]: entry for entry in records[self.parts[0]]["renditions"]}
        key_file = read_key_info(Path(request.key_info))[1]
        entries = []
        for rung in self.rungs:
            parts = [self.aside(part) / f"{rung}.m3u8" for part in self.parts]
            playlist = self.staging / f"{rung}.m3u8"
            try:
                native.join_playlists([str(part) for part in parts], str(playlist))
                continue_counters(self.staging, parts, key_file)
            except (ValueError, NoRendition) as error:
                raise LadderFailed(f"{request.input}: the windows of {rung} do not join: {error}") \
                    from None
            _fsync_path(playlist)
            rates = native.measure_rendition(str(playlist))
            if rates is None:
                raise LadderFailed(f"{request.input}: the joined segments of {rung} cannot be "
                                   "measured")
            entries.append({**written[rung], **rates})
        return entries

    def result(self, task: LadderTask, request: LadderRequest, records: dict[str, dict]) -> dict:
        windows = [records[part] for part in self.parts]
        result = task.ladder_result(
            request, self.rungs, True, max(int(window["delivery"]) for window in windows),
            sum(window["cpu"] for window in windows), [], probe_upload(request.input).seconds)
        result["windows"] = [{"start": window["start"], "end": window["end"],
                              "worker": window["worker"], "seconds": window["seconds"]}
                             for window in windows]
        return result


def _window_files(rungs: list[str], window: dict):
    def gather(folder: Path, report: dict) -> tuple[list[str], list[str], dict]:
        if report["reasons"]:
            raise NoRendition("a rung failed")   # worded from the reasons
        written = {entry["name"]: entry for entry in report["renditions"]}
        missing = [rung for rung in rungs if rung not in written]
        if missing:
            raise NoRendition(f"no rendition of {', '.join(missing)}")
        playlists = [f"{rung}.m3u8" for rung in rungs]
        segments = [name for playlist in playlists for name in media_segments(folder / playlist)]
        absent = [name for name in segments if not (folder / name).is_file()]
        if absent:
            raise NoRendition(f"listed but missing: {', '.join(absent)}")
        end = window["end"]
        if end is None:   # the last window ends where its media does
            end = round(window["start"] + min(playlist_seconds(folder / name)
                                              for name in playlists), 3)
        return segments, playlists, {"start": window["start"], "end": end,
                                     "renditions": [written[rung] for rung in rungs]}
    return gather


def _encode_window(task: LadderTask, join: LadderJoin, request: LadderRequest,
                   window: dict) -> str | None:
    part = window_part(window)
    if join.has_failed_part():   # the ladder fails whatever this window does
        join.add_failed(part, {"reasons": [], "log": None, "failure": None})
        return "not encoded: another window failed"
    one = WindowRequest(request.input, request.output, request.resolution, request.bitrate,
                        request.key_info, window)
    return encode_part(task, join, part, one, window_label(window),
                       _window_files(join.rungs, window))


def run_window(task: LadderTask, ladder_id: str, window: dict, count: int, *arguments) -> dict:
    """The window task's work, for the ladder `arguments` ask for (as
    read_request takes them), split in `count` windows: its window encoded
    and joined, unless the ladder is over; the ladder finished when this was
    its last window to end."""
    encoded, failure = run_part(
        task, ladder_id, window_part(window), arguments,
        lambda request: WindowJoin.of(request, ladder_id, count),
        lambda join, request: _encode_window(task, join, request, window))
    return {"window": window_part(window), "encoded": encoded, "failure": failure}


def send_windows(task: LadderTask, request: LadderRequest, window_seconds: int,
                 queue: str | None) -> int:
    """Plans the upload's windows and sends one encode_window task per
    window, its id the planning task's with ``-wK`` added: how many. 0 when
    the upload cannot be split, for the planning task to encode it whole;
    LadderFailed when it is too long for one task too."""
    try:
        check_window_seconds(window_seconds)
    except ValueError as error:
        raise LadderFailed(str(error)) from None
    claimed = probe_upload(request.input).seconds
    try:
        plan = run_plan(request.input, window_seconds, decode_seconds(claimed))
    except SoftTimeLimitExceeded:
        raise LadderFailed(f"{request.input}: planning its windows ran past the soft time "
                           "limit") from None
    if isinstance(plan, str):
        try:
            time_limits(claimed, visibility_timeout)
        except ValueError as error:
            raise LadderFailed(f"{request.input} cannot be split in windows ({plan}), and "
                               f"{error}") from None
        logger.info("%s cannot be split in windows (%s): encoding it as one task", request.input,
                    plan)
        return 0
    ladder_id = task.request.id
    arguments = (request.input, str(request.output), request.resolution, request.bitrate,
                 request.key_info)
    for window in plan:
        soft, hard = window_limits(window_length(window, claimed, window_seconds),
                                   visibility_timeout)
        # Results go where the ladder's go: rpc:// sends them to the client
        # that submitted it.
        task.app.send_task("quorvane_queue.encode_window",
                           args=(ladder_id, *arguments, window, len(plan)),
                           task_id=f"{ladder_id}-{window_part(window)}", soft_time_limit=soft,
                           time_limit=hard, queue=queue, reply_to=task.request.reply_to,
                           add_to_parent=False)
    return len(plan)
