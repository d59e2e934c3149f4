"""The Celery application the test workers load (`-A queue_hooks`):
quorvane_queue's, with one hook. When QUORVANE_TEST_HOLD names a folder
that holds `<output name>.hold`, a task at that output stops once its encode
has returned and before it publishes: it writes `<output name>.held` there
(holding the child's pid) and waits until `<output name>.go` appears, then
reports its progress once more, as a frozen worker that resumes would. Only
the first task there is held: a later delivery of it goes straight on. A
test can then kill, freeze or time out a task at that known point, or let
it go on late, rather than racing a signal against an encode.

When that folder holds `<output name>.step`, the encode of a task at that
output runs one segment at a time: its process is stopped each time a media
playlist has grown, the task reports its progress, and the process goes on,
so that every progress state between the first segment and the last is
reported while the encode is stopped midway.

When that folder holds `<output name>.plan.hold`, the planning task of a
ladder at that output stops once it has sent and recorded its first window,
while its pass goes on, until `<output name>.plan.go` appears (the first
delivery only, as above)."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

from quorvane_queue import app, children
from quorvane_queue.window_join import WindowJoin

__all__ = ["app"]

_hold = os.environ.get("QUORVANE_TEST_HOLD")


def _output_name(attempt_folder: Path) -> str:
    return attempt_folder.name[1:].split(".attempt-", 1)[0]


def _held_once(name: str) -> bool:
    """Holds the task at `name` until it may go, when asked to and the first
    time only: whether it did."""
    folder = Path(_hold)
    if not (folder / f"{name}.hold").exists():
        return False
    try:
        with open(folder / f"{name}.held", "x") as marker:
            marker.write(str(os.getpid()))
    except FileExistsError:
        return False   # held once already
    while not (folder / f"{name}.go").exists():
        time.sleep(0.05)
    return True


if _hold:
    _real_encode = children.run_encode

    def _encode_then_hold(job, attempt_folder, log, watch):
        encoded = _real_encode(job, attempt_folder, log, watch)
        if _held_once(_output_name(attempt_folder)):
            watch()
        return encoded

    children.run_encode = _encode_then_hold

    _real_announce = WindowJoin.announce

    def _announce_then_hold(join, count):
        plan = _real_announce(join, count)
        _held_once(f"{join.output.name}.plan")
        return plan

    WindowJoin.announce = _announce_then_hold


def _has_ended(pid: int) -> bool:
    """Whether the process has exited, leaving it to be reaped by its waiter."""
    return os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None


def _stepping(child, progress):
    """A watch that lets the encode run until a media playlist has grown,
    stops it there and reports the progress."""
    def step() -> None:
        before = progress.read()
        os.kill(child.pid, signal.SIGCONT)
        while progress.read() <= before and not _has_ended(child.pid):
            time.sleep(0.01)
        if not _has_ended(child.pid):
            os.kill(child.pid, signal.SIGSTOP)
        progress()
    return step


if _hold:
    _real_wait = children.wait_for_encoder

    def _wait_in_steps(child, watch):
        folder = getattr(watch, "folder", None)
        if folder is None or not (Path(_hold) / f"{_output_name(folder)}.step").exists():
            return _real_wait(child, watch)
        try:
            return _real_wait(child, _stepping(child, watch))
        finally:
            if child.returncode is None:
                os.kill(child.pid, signal.SIGCONT)

    children.wait_for_encoder = _wait_in_steps
