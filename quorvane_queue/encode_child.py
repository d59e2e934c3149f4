"""``python -m quorvane_queue.encode_child``: one call that decodes the
upload, in a process of its own, started by a ladder task (children.py): an
hls_encoder call or one window's encode (in the attempt folder), or the
planning pass of a ladder's windows.

The call holds the interpreter lock until it returns, so the task that
started it watches it from outside: it reads the media playlists the
encode writes, and can stop the encode at a time limit. FFmpeg's messages
go to this process's standard error, which the task points at the attempt's
log. The request comes as JSON on standard input; an encode's report (the
reasons the call gave for failed rungs, and what else it returns) goes out
as JSON on standard output once it returns, the planning pass's events one
JSON line each as they come. The process dies with the task's process,
however that ends."""

from __future__ import annotations

import ctypes
import json
import logging
import os
import signal
import sys

from pathlib import Path

import _quorvane_queue_native as native
import quorvane

from quorvane_queue import workflow

PR_SET_PDEATHSIG = 1
ENCODER_LOGGER = "quorvane"


class _Reasons(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.messages.append(record.getMessage())
        except Exception:   # a malformed record must still leave its text
            self.messages.append(str(record.msg))


def die_with_parent(parent: int) -> None:
    """Asks the kernel to kill this process when the task's process ends (a
    hard time limit, a worker lost), so no encode outlives its attempt."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
    if os.getppid() != parent:   # it ended before the request was made
        os._exit(1)


def encode_ladder(request: dict) -> dict:
    reasons = _Reasons()
    encoder_logger = logging.getLogger(ENCODER_LOGGER)
    encoder_logger.setLevel(logging.WARNING)
    encoder_logger.addHandler(reasons)
    quorvane.hls_encoder(request["input"], request["output"], **request["options"])
    return {"reasons": reasons.messages}


def encode_window(request: dict) -> dict:
    return workflow.encode_window(request["input"], request["resolution"], request["bitrate"],
                                  request["key"], request["window"], Path.cwd())


def _say(event: dict) -> None:
    sys.stdout.write(json.dumps(event) + "\n")
    sys.stdout.flush()


def plan_windows(request: dict) -> None:
    """Each window and each step of progress as the pass announces it, then
    how it ended."""
    try:
        native.plan_windows(request["input"], request["window_seconds"], request["folder"], _say)
    except ValueError as error:   # no seam can be placed: one task encodes it whole
        _say({"unsplittable": str(error)})
    except RuntimeError as error:
        _say({"failed": str(error)})
    else:
        _say({"ended": True})


ENCODES = {"hls_encoder": encode_ladder, "encode_window": encode_window}


def main() -> int:
    request = json.loads(sys.stdin.read())
    die_with_parent(request["parent"])
    if request["call"] == "plan_windows":
        plan_windows(request)
    else:
        json.dump(ENCODES[request["call"]](request), sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
