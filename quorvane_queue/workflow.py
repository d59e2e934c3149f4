"""A ladder split in time, step by step, apart from Celery: the planning
pass's events turned into windows sent and a plan ended, a window encoded
in a folder, and the windows joined and published. Each step takes the
join (window_join.py), which keeps the ladder's state on the shared
storage, and a small reporter that says what happens to whoever runs it:
the tasks hand one that sends through Celery (base.TaskReporter), the
tests and bench/bench_windows.py their own.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

import _quorvane_queue_native as native

if TYPE_CHECKING:
    from .window_join import WindowJoin

# How often the planning pass's progress is recorded and reported.
REPORT_SECONDS = 2.0


class Reporter(Protocol):
    """What the steps tell whoever runs them: base.TaskReporter for the
    tasks (through Celery), a plain one for tests and benchmarks."""

    @property
    def worker(self) -> str:
        """Who runs the step, as the ladder's result names it."""

    def store(self, ladder_id: str, value, state: str, reply_to: str | None = None) -> None:
        """Stores `value` as the state (SUCCESS, FAILURE) of the ladder
        `ladder_id`, for the client `reply_to` (None: the one running)."""

    def progress(self, ladder_id: str, info: dict, reply_to: str | None = None) -> None:
        """Reports how far the ladder `ladder_id` is."""

    def send(self, name: str, args: tuple, kwargs: dict, task_id: str, reply_to: str | None,
             queue: str | None, limits: tuple[int, int]) -> None:
        """Sends the task `name` (a window, or the ladder as one task)."""

    def answer_published(self, request, missing_allowed: bool) -> dict:
        """The result of a ladder found published at the request's output
        (LadderFailed when it is another)."""


def plan(join: WindowJoin, events: Iterable[dict], send_window: Callable[[dict], None],
         report_progress: Callable[[], None]) -> dict:
    """Goes through the planning pass's `events` (as children.PlanningPass
    gives them): sends each window that no delivery has sent yet and records
    it sent, records how far the pass has read. Returns the pass's last
    event, with the windows it made (``windows``) and how far it read
    (``planned_seconds``); ``{"superseded": True}`` as soon as another
    delivery has ended the plan, whose count then stands (or the ladder is
    over, its plan gone with its join), ``{"cancelled":
    True}`` as soon as the ladder is cancelled."""
    windows, planned, reported = 0, 0.0, time.monotonic()
    for event in events:
        if join.cancelled():
            return {"cancelled": True}
        if "window" in event:
            window = event["window"]
            windows = window["index"] + 1
            known = join.plan()
            if known["ended"] or not join.exists():   # planned by another, or over
                return {"superseded": True}
            if window["index"] >= known["announced"]:   # else sent by an earlier delivery
                send_window(window)
                join.announce(windows)
        elif "progress" in event:
            planned = max(planned, event["progress"])
            if time.monotonic() - reported >= REPORT_SECONDS:
                join.record_planned(planned)
                report_progress()
                reported = time.monotonic()
        else:
            return {**event, "windows": windows, "planned_seconds": planned}
    raise AssertionError("the planning pass ends with its last event")


def encode_window(input: str, resolution: list[str] | None, bitrate: list[int], key_info: str,
                  window: dict, folder: Path) -> dict:
    """Encodes every rung of `window` into `folder`, in this process:
    ``{"reasons": the rungs' failures, "renditions": the window's master
    entries}``, or ``{"refused": why}`` for a window it refuses. The tasks
    run it in a process of their own (children.py)."""
    here = os.getcwd()
    os.chdir(folder)
    try:
        encoded = native.encode_window(input, resolution, bitrate, key_info, window)
    except ValueError as error:
        return {"refused": str(error), "reasons": []}
    finally:
        os.chdir(here)
    return {"reasons": encoded["failures"], "renditions": encoded["renditions"]}


def join_rungs(windows: list[Path], renditions: list[dict], folder: Path,
               key_info: str) -> list[dict]:
    """Joins each rung's window playlists (``windows``: the folders holding
    them, in time order) into one playlist in `folder`, beside which their
    segments lie, as one call over the whole upload writes it: the master
    playlist's entries of `renditions` (the first window's), measured.
    ValueError when a rung's windows do not join; OSError, the storage's."""
    entries = []
    for rendition in renditions:
        rung = rendition["name"]
        parts = [str(window / f"{rung}.m3u8") for window in windows]
        try:
            rates = native.join_window_rendition(parts, str(folder / f"{rung}.m3u8"), key_info)
        except ValueError as error:
            raise ValueError(f"the windows of {rung} do not join: {error}") from None
        entries.append({**rendition, **rates})
    return entries
