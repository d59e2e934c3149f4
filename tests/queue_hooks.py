"""The Celery application the test workers load (`-A queue_hooks`):
quorvane_queue's, with one hook. When QUORVANE_TEST_HOLD names a folder
that holds `<output name>.hold`, a task at that output stops once its encode
has returned and before it publishes: it writes `<output name>.held` there
(holding the child's pid) and waits until `<output name>.go` appears. Only
the first task there is held: a later delivery of it goes straight on. A test can then kill, freeze or time out a task
at that known point, rather than racing a signal against an encode."""

from __future__ import annotations

import os
import time
from pathlib import Path

from quorvane_queue import app, tasks

__all__ = ["app"]

_hold = os.environ.get("QUORVANE_TEST_HOLD")

if _hold:
    _real_encode = tasks._encode

    def _encode_then_hold(attempt, *args, **kwargs):
        cpu = _real_encode(attempt, *args, **kwargs)
        folder, name = Path(_hold), attempt.output.name
        if not (folder / f"{name}.hold").exists():
            return cpu
        try:
            with open(folder / f"{name}.held", "x") as marker:
                marker.write(str(os.getpid()))
        except FileExistsError:
            return cpu   # held once already

        while not (folder / f"{name}.go").exists():
            time.sleep(0.05)
        return cpu

    tasks._encode = _encode_then_hold
