"""The processes that read the untrusted upload, started and watched from
here: the probe (for the client, before anything is queued), the encode and
the planning pass (for the tasks). Each runs ``python -m
quorvane_queue.encode_child`` or a one-line probe, so that a crash or a hang
in the demuxer or the encoder costs that process, never the caller's, and
the call, which holds the interpreter lock until it returns, can be watched
and stopped from outside."""

from __future__ import annotations

import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator

# How often a running encode is looked at (its progress read and reported).
WATCH_SECONDS = 2.0
PROBE_SECONDS = 120
_PROBE = ("import json, sys, _quorvane_queue_native as native; "
          "print(json.dumps(native.probe_upload(sys.argv[1])))")


class ChildEnded(Exception):
    """The process ended without an answer: it crashed, was killed, or ran
    past its time."""


class EncoderCrashed(ChildEnded):
    """The encode process ended without returning from the call: a crash in
    FFmpeg, or killed (out of memory)."""


def how_it_ended(exit_code: int) -> str:
    if exit_code < 0:
        return f"signal {signal.Signals(-exit_code).name}"
    return f"exit status {exit_code}"


def probe(path: str) -> dict:
    """probe_upload of the companion module, in a process of its own: the
    caller may be a web application."""
    try:
        probed = subprocess.run([sys.executable, "-c", _PROBE, path], capture_output=True,
                                text=True, timeout=PROBE_SECONDS, check=False)
    except subprocess.TimeoutExpired:
        raise ChildEnded(f"reading the upload did not end within {PROBE_SECONDS} s") from None
    if probed.returncode != 0:
        raise ChildEnded(f"reading the upload ended with {how_it_ended(probed.returncode)}")
    return json.loads(probed.stdout.splitlines()[-1])


def _environment() -> dict[str, str]:
    """This process's environment, with this quorvane_queue first on the
    module path (the child runs in the attempt folder, not here)."""
    package_parent = str(Path(__file__).resolve().parent.parent)
    paths = [package_parent, os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in paths if path)}


def start_child(job: dict, folder: Path, log: Path) -> subprocess.Popen:
    """``encode_child`` running `job` in `folder`, its messages in `log`;
    it dies with this process."""
    with open(log, "ab") as messages:
        child = subprocess.Popen([sys.executable, "-m", "quorvane_queue.encode_child"],
                                 cwd=folder, env=_environment(), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=messages)
    child.stdin.write(json.dumps({**job, "parent": os.getpid()}).encode())
    child.stdin.close()
    return child


class _Drained:
    """Reads a child's standard output to its end on a thread of its own,
    as the child writes it: a report of any size never blocks the child
    while the task waits for it to exit."""

    def __init__(self, stream):
        self.chunks: list[bytes] = []
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream) -> None:
        while chunk := stream.read(65536):
            self.chunks.append(chunk)

    def text(self) -> bytes:
        """All the child wrote, once it has exited (its end of the pipe closed)."""
        self._thread.join()
        return b"".join(self.chunks)


def wait_for_encoder(child: subprocess.Popen, watch: Callable[[], None]) -> tuple[int, float]:
    """Waits for the encode, calling `watch` as it starts and every
    WATCH_SECONDS after. Its exit status and CPU seconds. The process is
    killed if the wait is cut short (a soft time limit)."""
    try:
        while True:
            watch()
            pid, status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid:
                child.returncode = os.waitstatus_to_exitcode(status)
                return child.returncode, usage.ru_utime + usage.ru_stime
            time.sleep(WATCH_SECONDS)
    finally:
        if child.returncode is None:
            child.kill()
            child.wait()


def run_encode(job: dict, folder: Path, log: Path,
               watch: Callable[[], None]) -> tuple[dict, float]:
    """Runs the encode `job` asks for (encode_child.py) in `folder`: its
    report (``{"reasons": [...]}``, and what else the call returns) and its
    CPU seconds. EncoderCrashed when it ended without returning."""
    child = start_child(job, folder, log)
    with child.stdout:
        report = _Drained(child.stdout)
        exit_code, cpu = wait_for_encoder(child, watch)
        written = report.text()
    if exit_code != 0:
        raise EncoderCrashed(f"the encode process ended by {how_it_ended(exit_code)}")
    return json.loads(written), cpu


class PlanningPass:
    """The planning pass in a process of its own, read as it goes: iterating
    gives its events as it announces them (``{"window": ...}``,
    ``{"progress": seconds}``), the last one how it ended (``{"ended":
    true}``, ``{"unsplittable": reason}``, ``{"failed": reason}``).
    ChildEnded when it ended without saying, or ran past `timeout`. Used as
    a context manager: leaving it kills the process."""

    def __init__(self, input: str, window_seconds: int, folder: Path, log: Path,
                 timeout: float | None):
        self.timeout = timeout
        self._timed_out = threading.Event()
        self.child = start_child({"call": "plan_windows", "input": input,
                                  "window_seconds": window_seconds, "folder": str(folder)},
                                 folder, log)
        self._lines: queue.SimpleQueue[bytes | None] = queue.SimpleQueue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._timer = None
        if timeout is not None:
            self._timer = threading.Timer(timeout, self._stop)
            self._timer.start()

    def _stop(self) -> None:
        self._timed_out.set()
        self.child.kill()

    def __enter__(self) -> PlanningPass:
        return self

    def __exit__(self, *_exc) -> None:
        if self._timer is not None:
            self._timer.cancel()
        if self.child.poll() is None:
            self.child.kill()
        self.child.wait()
        self._reader.join()   # at the end of the pipe, the process gone
        self.child.stdout.close()

    def _read(self) -> None:
        """Queues the pass's lines as it writes them, then None: the pass
        never waits for what its events lead to (a window sent while the
        broker restarts)."""
        try:
            for line in self.child.stdout:
                self._lines.put(line)
        finally:
            self._lines.put(None)

    def __iter__(self) -> Iterator[dict]:
        while (line := self._lines.get()) is not None:
            try:
                event = json.loads(line)
            except ValueError:   # not the pass's: a library that writes to standard output
                continue
            yield event
            if not {"ended", "unsplittable", "failed"}.isdisjoint(event):
                return
        exit_code = self.child.wait()
        if self._timed_out.is_set():
            raise ChildEnded(f"did not end within {self.timeout:.0f} s")
        raise ChildEnded(f"ended with {how_it_ended(exit_code)}")
