"""A ladder split in time, so that many machines share one long upload
(ladder_join.py joins the windows; window_plan.py plans them).

Each window task encodes every rung of its window (encode_window, which
writes each rung's playlist of the window's segments, numbered as the whole
file's) in an attempt folder of its own, ``.NAME.wK.attempt-...``, then moves
the segments into the ladder's staging folder and the playlists aside, into
``.NAME.ladder-ID.window-wK/``, and records how it ended in
``.NAME.ladder-ID.window-wK.json``.

How many windows there are is known once the planning pass has ended: the
plan, ``.NAME.ladder-ID.plan.json``, records the request, the windows
announced so far and the pass's end; the windows' sound lies in
``.NAME.ladder-ID.sound-RUN/``, one folder per run of the pass. The task that
finds the plan ended and every window ended, a window's or the planning
task itself, joins each rung's playlists in time order into the one a call
over the whole file writes (the companion's join_window_rendition: the
segments' continuity counters follow on across the seams, the rung
measured for the master playlist) and publishes the ladder. A window that
fails fails the ladder, with its reason and kept log, once every window has
ended (those not yet started are not encoded): a ladder missing a window is
never published. Windows that do not join are encoded again as one task.

The same request submitted again while its ladder is planned or encoded
follows it (``.NAME.ladder-ID.follower-OTHER.json``): the join stores its
result under both ids, and nothing is encoded for the second.
"""

from __future__ import annotations

import glob
import os
import time
from pathlib import Path
from typing import Callable

import _quorvane_queue_native as native

from .base import LadderTask, logger
from .celery import visibility_timeout
from .ladder_join import JoinedPart, LadderJoin, run_part
from .limits import time_limits
from .playlists import NoRendition, media_segments, playlist_seconds
from .request import LadderFailed, LadderRequest, probe_upload, read_ladder_id, read_request
from .results import distinct, ladder_result
from .storage import read_json, safe_id, write_json
from . import workflow
from .workflow import Reporter


# Window times are slots over slots_per_second: a seam's two sides agree
# to far better than this.
SEAM_TOLERANCE_SECONDS = 0.001


class WindowsDoNotJoin(Exception):
    """The windows of a rung cannot be joined into the one-call playlist."""


def window_part(window) -> str:
    """The window's name in the join and in its task id: w0, w1, ..."""
    return f"w{window.get('index')}" if isinstance(window, dict) else repr(window)


def window_times(window: dict) -> tuple[float, float | None]:
    """(start, end) of the window in seconds of the timeline; end None for
    the last window, which runs to the end of the media."""
    per_second = native.slots_per_second
    end = window["end_slot"]
    return window["first_slot"] / per_second, None if end is None else end / per_second


def window_label(window: dict) -> str:
    start, end = window_times(window)
    return f"window {window['index']} ({start:g} s to {'the end' if end is None else f'{end:g} s'})"


def same_request(plan: dict, request: LadderRequest) -> bool:
    return plan.get("request") == request_record(request)


def request_record(request: LadderRequest) -> dict:
    """What makes two requests ask for the same ladder."""
    return {"input": request.input, "key_info": request.key_info,
            "rungs": [[rung.name, rung.bitrate] for rung in request.rungs]}


class WindowJoin(LadderJoin):
    kind = "window"
    started_by_parts = False   # the planning task starts it

    @classmethod
    def of(cls, request: LadderRequest, ladder_id: str) -> WindowJoin:
        return cls(request.output, ladder_id, [planned.name for planned in request.rungs])

    # --- the plan -------------------------------------------------------------

    @property
    def plan_path(self) -> Path:
        return self._beside(".plan.json")

    def plan(self) -> dict:
        return read_json(self.plan_path) or {"announced": 0, "ended": False}

    def sound_folder(self, run: str) -> Path:
        return self._beside(f".sound-{run}")

    def start_plan(self, request: LadderRequest, window_seconds: int, queue: str | None) -> dict:
        """The plan, started (with the join) unless it was already: a
        planning task delivered again goes on from the windows announced."""
        with self.locked(start=True) as live:
            if not live:
                return {"over": True}
            if not self.plan_path.exists():
                write_json(self.plan_path, {
                    "ladder_id": self.ladder_id, "request": request_record(request),
                    "window_seconds": window_seconds, "queue": queue, "started": time.time(),
                    "announced": 0, "ended": False, "failure": None, "planned_seconds": 0.0})
            return self.plan()

    def _change_plan(self, change: Callable[[dict], dict | None]) -> dict:
        """The plan after `change` (the changes to make to the plan as it
        is, or None for none), made under the lock while the join lives."""
        with self.locked() as live:
            plan = self.plan()
            changes = change(plan) if live else None
            if changes:
                plan = {**plan, **changes}
                write_json(self.plan_path, plan)
            return plan

    def announce(self, count: int) -> dict:
        """Records windows up to `count` as sent. Deliveries of the planning
        task overlap (one frozen, then resumed after another has planned):
        the count only grows."""
        return self._change_plan(
            lambda plan: {"announced": count} if count > plan["announced"] else None)

    def record_planned(self, seconds: float) -> dict:
        """Records how far planning has read the upload, never less than
        before."""
        return self._change_plan(lambda plan: {"planned_seconds": seconds}
                                 if seconds > plan.get("planned_seconds", 0.0) else None)

    def end_plan(self, windows: int, planned_seconds: float, failure: str | None) -> dict:
        """Ends the plan with the pass that ended first: how many windows it
        made, how far it read, how it failed. A delivery that ends after it
        changes nothing."""
        def end(plan: dict) -> dict | None:
            if plan["ended"]:
                return None
            return {"ended": True, "windows": windows, "failure": failure,
                    "planned_seconds": max(planned_seconds, plan.get("planned_seconds", 0.0))}
        return self._change_plan(end)

    # --- the same request again ----------------------------------------------

    def _follower_path(self, ladder_id: str) -> Path:
        return self._beside(f".follower-{safe_id(ladder_id)}.json")

    def listeners(self) -> list[tuple[str, str | None]]:
        followers = [read_json(path) for path in self.output.parent.glob(
            glob.escape(self._beside(".follower-").name) + "*.json")]
        return [(self.ladder_id, None),
                *((follower["ladder_id"], follower["reply_to"]) for follower in followers if follower)]

    def follow(self, follower_id: str, reply_to: str | None) -> bool:
        """Records the ladder `follower_id` as waiting for this one's result:
        False when this one is over or failing."""
        with self.locked() as live:
            if not live or self.failed_so_far():
                return False
            write_json(self._follower_path(follower_id), {"ladder_id": follower_id,
                                                           "reply_to": reply_to})
            return True

    def leader(self, request: LadderRequest) -> WindowJoin | None:
        """Another ladder being made of the same request, begun before this
        one (ties go by id), that this one can follow."""
        own = self.plan()
        mine = (own.get("started", float("inf")), self.ladder_id)
        pattern = f".{glob.escape(self.output.name)}.ladder-*.plan.json"
        for path in sorted(self.output.parent.glob(pattern)):
            plan = read_json(path) or {}
            if plan.get("ladder_id") in (None, self.ladder_id) or not same_request(plan, request):
                continue
            if (plan.get("started", 0), plan["ladder_id"]) < mine:
                return WindowJoin(self.output, plan["ladder_id"], self.rungs)
        return None

    # --- what a window is -------------------------------------------------------

    def parts(self) -> list[str]:
        """The windows sent so far; once the plan has ended, those its pass
        made (and any sent beyond them, which the join then refuses)."""
        plan = self.plan()
        count = max(plan["announced"], plan.get("windows") or 0)
        return [f"w{index}" for index in range(count)]

    def all_parts_known(self) -> bool:
        return bool(self.plan()["ended"])

    def playlists_of(self, part: str) -> list[str]:
        return self.rungs

    def failed_so_far(self) -> str | None:
        plan = self.plan()
        if plan.get("failure"):
            return f"planning failed: {plan['failure']}"
        failed = [part for part, record in self.records().items() if record["state"] == "failed"]
        return f"window {failed[0][1:]} failed" if failed else None

    def failure(self, request: LadderRequest, records: dict[str, dict]) -> LadderFailed | None:
        failed = [records[part] for part in self.parts() if records[part]["state"] == "failed"]
        planning = self.plan().get("failure") or (None if self.parts() else "no window planned")
        if not failed and not planning:
            planning = self.incomplete(records)
        if not failed and not planning:
            return None
        reasons = distinct([reason for reason in (planning, *(record.get("failure")
                                                               for record in failed)) if reason])
        return LadderFailed(f"{request.input}: {'; '.join(reasons) or 'a window failed'}")

    def incomplete(self, records: dict[str, dict]) -> str | None:
        """Why the windows done are not the whole ladder the plan planned,
        or None: a ladder is published whole or not at all."""
        plan, parts = self.plan(), self.parts()
        planned = plan.get("windows")
        if planned is not None and len(parts) != planned:
            return f"{len(parts)} windows were sent where the plan made {planned}"
        times = [(records[part]["start"], records[part]["end"]) for part in parts]
        gaps = [f"w{index + 1}" for index, ((_, end), (start, _)) in
                enumerate(zip(times, times[1:])) if abs(end - start) > SEAM_TOLERANCE_SECONDS]
        if gaps or times[0][0] > SEAM_TOLERANCE_SECONDS:
            return f"the windows do not follow on at {', '.join(gaps) or 'w0'}"
        # The last window runs to the end of the media; the pass read it all.
        short = plan.get("planned_seconds", 0.0) - native.segment_seconds
        if times[-1][1] < short:
            return (f"the windows hold {times[-1][1]:.1f} s of media where planning read "
                    f"{plan['planned_seconds']:.1f} s")
        return None

    def master_entries(self, request: LadderRequest, records: dict[str, dict]) -> list[dict]:
        """Joins each rung's playlists into the staging folder, and measures
        it. WindowsDoNotJoin when its windows are not one rung; OSError, the
        storage's, when a file cannot be read or written."""
        written = {entry["name"]: entry for entry in records[self.parts()[0]]["renditions"]}
        try:
            return workflow.join_rungs([self.aside(part) for part in self.parts()],
                                       [written[rung] for rung in self.rungs], self.staging,
                                       request.key_info)
        except ValueError as error:
            raise WindowsDoNotJoin(str(error)) from None

    def complete(self, reporter: Reporter, request: LadderRequest,
                 records: dict[str, dict]) -> None:
        try:
            super().complete(reporter, request, records)
        except WindowsDoNotJoin as error:
            self.fall_back(reporter, request, str(error))

    def fall_back(self, reporter: Reporter, request: LadderRequest, why: str) -> None:
        """Encodes the ladder again as one task, under the ladder's id:
        windows that do not join are a fault of the split, which one call
        over the whole upload does not have. LadderFailed when the upload is
        too long for one task. Each ladder following this one gets a task of
        its own; the first to publish answers the others."""
        try:
            soft, hard = time_limits(probe_upload(request.input).seconds, visibility_timeout)
        except ValueError as error:
            raise LadderFailed(f"{request.input}: {why}, and {error}") from None
        logger.warning("ladder %s: %s: %s: encoding the ladder as one task", self.ladder_id,
                       request.input, why)
        options = {"resolution": request.resolution, "bitrate": request.bitrate,
                   "key_info": request.key_info}
        for ladder_id, reply_to in self.listeners():
            reporter.send("quorvane_queue.encode_ladder", (request.input, str(self.output)),
                          options, ladder_id, reply_to, self.plan().get("queue"), (soft, hard))

    def result(self, reporter: Reporter, request: LadderRequest, records: dict[str, dict]) -> dict:
        windows = [records[part] for part in self.parts()]
        result = ladder_result(
            request, self.rungs, True, max(int(window["delivery"]) for window in windows),
            sum(window["cpu"] for window in windows), [], probe_upload(request.input).seconds,
            reporter.worker)
        result["windows"] = [{"start": window["start"], "end": window["end"],
                              "worker": window["worker"], "seconds": window["seconds"]}
                             for window in windows]
        return result

    def progress_info(self, done: float, duration: float) -> dict:
        """Media seconds written, all rungs counted, with the planning pass
        counted in the fraction as one more pass over the upload."""
        plan = self.plan()
        planned = duration if plan["ended"] else min(plan.get("planned_seconds", 0.0), duration)
        total = duration * len(self.rungs)
        return {"fraction": min(1.0, (planned + done) / (duration + total)),
                "seconds_done": round(done, 3), "seconds_total": total,
                "planned_seconds": round(planned, 3)}


def _window_files(rungs: list[str], window: dict):
    def gather(folder: Path, report: dict) -> tuple[list[str], list[str], dict]:
        if report.get("refused"):
            raise NoRendition(f"refused: {report['refused']}")
        if report["reasons"]:
            raise NoRendition("; ".join(distinct(report["reasons"])))
        written = {entry["name"]: entry for entry in report["renditions"]}
        missing = [rung for rung in rungs if rung not in written]
        if missing:
            raise NoRendition(f"no rendition of {', '.join(missing)}")
        playlists = [f"{rung}.m3u8" for rung in rungs]
        segments = [name for playlist in playlists for name in media_segments(folder / playlist)]
        absent = [name for name in segments if not (folder / name).is_file()]
        if absent:
            raise NoRendition(f"listed but missing: {', '.join(absent)}")
        start, end = window_times(window)
        if end is None:   # the last window ends where its media does
            end = round(start + min(playlist_seconds(folder / name) for name in playlists), 3)
        return segments, playlists, {"start": start, "end": end,
                                     "renditions": [written[rung] for rung in rungs]}
    return gather


# A window's fields as the planning pass writes them, and what each holds.
WINDOW_FIELDS = {"index": "a non-negative integer", "first_slot": "an integer",
                 "end_slot": "an integer or null", "resume": "a string", "sound": "a string"}


def _holds(field: str, value) -> bool:
    if field in ("resume", "sound"):
        return isinstance(value, str) and "\0" not in value
    if field == "end_slot" and value is None:
        return True
    integer = isinstance(value, int) and not isinstance(value, bool)
    return integer and (field != "index" or value >= 0)


def read_window(window, join: WindowJoin) -> dict:
    """The window as the ladder's planning pass made it; else LadderFailed
    saying which field is wrong (types here, ranges and the resume state by
    the rules encode_window applies), before anything is encoded. Its sound
    must lie in one of the ladder's sound folders."""
    if not isinstance(window, dict):
        raise LadderFailed(f"window refused: {window!r:.100} is not a window")
    index = window.get("index")
    name = f"window {index}" if _holds("index", index) else "window"
    wrong = [f"{field} is not {kind}" for field, kind in WINDOW_FIELDS.items()
             if not _holds(field, window.get(field))]
    extra = sorted(map(str, set(window) - set(WINDOW_FIELDS)))
    if extra:
        wrong.append(f"{', '.join(extra)}: not a field of a window")
    if not wrong:
        try:
            native.check_window(window)
        except ValueError as error:
            wrong.append(str(error).removeprefix("the window's "))
    if not wrong:
        sound = Path(window["sound"])
        folders = join.sound_folder("")
        if not (os.path.isabs(sound) and sound.parent.parent == folders.parent
                and sound.parent.name.startswith(folders.name) and sound.name != ".."):
            wrong.append("sound is not in the ladder's sound folders")
    if wrong:
        raise LadderFailed(f"{name} refused: {'; '.join(wrong)}")
    return window


def run_window(task: LadderTask, ladder_id: str, window: dict, *arguments) -> dict:
    """The window task's work, for the ladder `arguments` ask for (as
    read_request takes them): its window encoded and joined, unless the
    ladder is over; the ladder finished when this was its last window to
    end after the plan's."""
    request = read_request(*arguments)
    join = WindowJoin.of(request, read_ladder_id(ladder_id))
    window = read_window(window, join)
    part = window_part(window)
    job = {"call": "encode_window", "input": request.input, "resolution": request.resolution,
           "bitrate": request.encoder_options()["bitrate"], "key": request.key_info,
           "window": window}
    work = JoinedPart(task, join, part, request, job, window_label(window),
                      _window_files(join.rungs, window))
    return {"window": part, **run_part(task, join, part, request, work)}
