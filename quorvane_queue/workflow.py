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
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

import _quorvane_queue_native as native

if TYPE_CHECKING:
    from .window_join import WindowJoin

# How often the planning pass's progress is recorded and reported.
REPORT_SECONDS = 2.0


class Reporter(Protocol):
    """What a step tells whoever runs it."""

    def send_window(self, window: dict) -> None:
        """Hands `window` to whoever encodes it (a task, a worker)."""

    def progress(self) -> None:
        """The ladder has moved on: report how far it is."""


def plan(join: WindowJoin, events: Iterable[dict], reporter: Reporter) -> dict:
    """Goes through the planning pass's `events` (as children.PlanningPass
    gives them): sends each window that no delivery has sent yet and records
    it sent, records how far the pass has read. Returns the pass's last
    event, with the windows it made (``windows``) and how far it read
    (``planned_seconds``); ``{"superseded": True}`` as soon as another
    delivery has ended the plan, whose count then stands."""
    windows, planned, reported = 0, 0.0, time.monotonic()
    for event in events:
        if "window" in event:
            window = event["window"]
            windows = window["index"] + 1
            known = join.plan()
            if known["ended"]:
                return {"superseded": True}
            if window["index"] >= known["announced"]:   # else sent by an earlier delivery
                reporter.send_window(window)
                join.announce(windows)
        elif "progress" in event:
            planned = max(planned, event["progress"])
            if time.monotonic() - reported >= REPORT_SECONDS:
                join.record_planned(planned)
                reporter.progress()
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
