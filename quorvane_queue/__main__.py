"""python -m quorvane_queue INPUT OUTPUT [options]: queue one ladder, wait
for it and print its result (or its failure) as JSON. While it waits it shows
how far the encode is: a bar with the time left when standard error is a
terminal, one line per 10 % otherwise. A broker that restarts meanwhile is
reconnected to."""

from __future__ import annotations

import argparse
import json
import sys
import time
from typing import TextIO

from .client import BrokerUnreachable, LadderResult, LadderStillRunning, cancel_ladder, \
    submit_ladder
from .request import DEFAULT_WINDOW_SECONDS, SPLIT_FROM_WINDOWS, LadderFailed
from .results import progress_said

POLL_SECONDS = 1.0
STEP_PERCENT = 10


class ProgressLines:
    """One line each time the encode passes another 10 %, for logs and
    pipes."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.printed = -STEP_PERCENT

    def show(self, info: dict | None) -> None:
        if info is None:
            return
        percent = int(info["fraction"] * 100)
        step = percent - percent % STEP_PERCENT
        if step > self.printed:
            self.printed = step
            print(f"encoding {step} % ({progress_said(info)})", file=self.stream, flush=True)

    def close(self) -> None:
        pass


class ProgressBar:
    """tqdm's bar in percent, with the time gone and the time left."""

    def __init__(self, stream: TextIO):
        from tqdm import tqdm
        self.bar = tqdm(total=100, unit="%", file=stream, desc="encoding", dynamic_ncols=True,
                        bar_format="{desc} {percentage:3.0f}%|{bar}| {elapsed} gone, {remaining} left")
        self.shown = 0.0

    def show(self, info: dict | None) -> None:
        """Moves the bar on when the fraction has grown, and redraws it
        either way, so that its clock runs while the fraction waits."""
        percent = info["fraction"] * 100 if info else self.shown
        if percent > self.shown:
            self.bar.update(percent - self.shown)
            self.shown = percent
        else:
            self.bar.refresh()

    def close(self) -> None:
        self.bar.close()


def wait_showing_progress(result: LadderResult, stream: TextIO) -> None:
    """Returns once the task has ended, showing its PROGRESS states on
    `stream` until then, and the whole done once it has succeeded."""
    display = ProgressBar(stream) if stream.isatty() else ProgressLines(stream)
    last = None
    try:
        while not result.ready():
            info = result.progress()
            if info is not None and info.get("fraction") is not None:
                last = info
            display.show(last)
            time.sleep(POLL_SECONDS)
        # The last state reported may fall short of the end by a segment.
        if result.successful() and last is not None:
            display.show({**last, "fraction": 1.0, "seconds_done": last["seconds_total"]})
    finally:
        display.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvane_queue", description=__doc__)
    parser.add_argument("input", nargs="?",
                        help="the video, on storage the workers mount at the same path")
    parser.add_argument("output", nargs="?", help="the ladder folder to publish")
    parser.add_argument("--resolution", help="comma-separated names, e.g. 720p,360p")
    parser.add_argument("--bitrate", help="comma-separated bits per second, e.g. 2500000,400000 "
                        "(default: each rung's own)")
    parser.add_argument("--key-info", help="key-info file (default: enc.keyinfo beside OUTPUT)")
    parser.add_argument("--queue", help="the queue to send to (default: ladders)")
    parser.add_argument("--split-rungs", action="store_true",
                        help="one task per rung, which free workers share")
    parser.add_argument("--window-seconds", type=int, metavar="W",
                        help="split the upload in windows of about W seconds (a multiple of 6), "
                        f"which free workers share; 0: one task (default: windows of "
                        f"{DEFAULT_WINDOW_SECONDS} s for an upload that states "
                        f"{SPLIT_FROM_WINDOWS * DEFAULT_WINDOW_SECONDS} s or more, else one task)")
    parser.add_argument("--no-wait", action="store_true", help="print the task id and return")
    parser.add_argument("--cancel", metavar="ID", help="cancel the ladder ID (the id --no-wait "
                        "printed) being made at the one folder given: python -m quorvane_queue "
                        "--cancel ID OUTPUT")
    args = parser.parse_args(argv)
    if args.cancel:
        if args.input is None or args.output is not None:
            parser.error("--cancel ID takes the ladder's output folder, and nothing else")
        try:
            cancel_ladder(args.cancel, args.input)
        except (LadderFailed, ValueError, OSError) as error:
            print(f"python -m quorvane_queue: {error}", file=sys.stderr)
            return 1
        return 0
    if args.output is None:
        parser.error("the input and the output folder are required")
    try:
        result = submit_ladder(
            args.input, args.output,
            resolution=args.resolution.split(",") if args.resolution else None,
            bitrate=[int(rate) for rate in args.bitrate.split(",")] if args.bitrate else None,
            key_info=args.key_info, queue=args.queue, split_rungs=args.split_rungs,
            window_seconds=args.window_seconds,
        )
    except BrokerUnreachable as error:
        print(f"python -m quorvane_queue: {error}", file=sys.stderr)
        return 2
    except (LadderFailed, ValueError) as error:   # refused before anything was queued
        print(f"python -m quorvane_queue: {error}", file=sys.stderr)
        return 1
    if args.no_wait:
        print(result.id)
        return 0
    try:
        wait_showing_progress(result, sys.stderr)
        outcome = result.get(propagate=True)
        print(json.dumps(outcome, indent=2))
        for warning in outcome.get("warnings", []):
            print(f"python -m quorvane_queue: warning: {warning}", file=sys.stderr)
    except LadderStillRunning as error:
        print(f"python -m quorvane_queue: {error}", file=sys.stderr)
        return 3
    except Exception as error:  # the task's failure, as the worker reported it
        print(f"{result.id}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
