"""A ladder as it is asked for, on both sides of the queue: its arguments
checked, the rungs hls_encoder plans for them and the upload as the call
judges it. The rules themselves are hls_encoder's, from the companion module
built with it (_quorvane_queue_native): nothing here keeps a copy of them."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import _quorvane_queue_native as native

from .attempts import MASTER


# The state a running ladder's task reports its progress in.
PROGRESS = "PROGRESS"


class LadderFailed(Exception):
    """A definite failure: delivering the task again would fail again."""


@dataclass(frozen=True)
class Rung:
    name: str
    bitrate: int


@dataclass(frozen=True)
class Upload:
    """The upload as the call judges it: why it refuses it (worded as the
    call logs it), or the duration its container claims (None when it
    states none)."""

    refused: str | None
    seconds: float | None


# The upload is untrusted and the caller may be a web application: it is
# read in a process of its own, so that a file that crashes or hangs the
# demuxer costs a refusal, not the caller's process.
PROBE_SECONDS = 120
_PROBE = ("import json, sys, _quorvane_queue_native as native; "
          "print(json.dumps(native.probe_upload(sys.argv[1])))")


def probe_upload(path: str | os.PathLike) -> Upload:
    """Opens the upload under the call's input rules (the file alone, or a
    playlist's own files), as hls_encoder does before planning a ladder."""
    try:
        probed = subprocess.run([sys.executable, "-c", _PROBE, os.fspath(path)],
                                capture_output=True, text=True, timeout=PROBE_SECONDS,
                                check=False)
    except subprocess.TimeoutExpired:
        return Upload(f"reading the upload did not end within {PROBE_SECONDS} s", None)
    if probed.returncode != 0:
        ending = (f"signal {signal.Signals(-probed.returncode).name}" if probed.returncode < 0
                  else f"status {probed.returncode}")
        return Upload(f"reading the upload ended with {ending}", None)
    answer = json.loads(probed.stdout.splitlines()[-1])
    return Upload(answer["refused"], answer["seconds"])


def planned_rungs(resolution: list[str] | None, bitrate: list[int] | None) -> list[Rung]:
    """The rungs hls_encoder encodes for these arguments, in its order; with
    no bitrate list each rung gets its own default."""
    return [Rung(rung["name"], rung["bitrate"])
            for rung in native.plan_rungs(resolution, list(bitrate or []))]


@dataclass
class LadderRequest:
    """One ladder as the task was asked for it; paths absolute."""

    input: str
    output: Path
    resolution: list[str] | None
    bitrate: list[int] | None
    key_info: str

    @property
    def rungs(self) -> list[Rung]:
        return planned_rungs(self.resolution, self.bitrate)

    def one_rung(self, rung: Rung) -> LadderRequest:
        return LadderRequest(self.input, self.output, [rung.name], [rung.bitrate], self.key_info)

    def encoder_job(self) -> dict:
        """What the encode process is asked to run (encode_child.py)."""
        return {"call": "hls_encoder", "input": self.input, "output": MASTER,
                "options": self.encoder_options()}

    def encoder_options(self) -> dict:
        # An empty list gives each named rung its own default bitrate, where
        # leaving the argument out would hand out hls_encoder's default list
        # by position (the second name 2.5 Mb/s, whatever it is).
        options: dict = {"key": self.key_info,
                         "bitrate": self.bitrate if self.bitrate is not None else []}
        if self.resolution is not None:
            options["resolution"] = self.resolution
        return options


def check_window_seconds(seconds) -> None:
    """ValueError unless `seconds` is a whole number of segments: windows
    start and end on segment edges."""
    step = native.segment_seconds
    if isinstance(seconds, bool) or not isinstance(seconds, int) or seconds <= 0 or seconds % step:
        raise ValueError(f"window_seconds must be a positive multiple of {step} s (the segment "
                         f"length), not {seconds!r}")


def _absolute_path(label: str, path) -> str:
    if not isinstance(path, str) or not os.path.isabs(path):
        raise LadderFailed(f"{label} must be an absolute path on the shared storage, not {path!r}")
    return path


def read_request(input, output, resolution, bitrate, key_info) -> LadderRequest:
    """The request, checked as far as nothing but its values tells."""
    output = _absolute_path("output", output)
    if key_info is None:
        key_info = os.path.join(os.path.dirname(output), "enc.keyinfo")
    if resolution is not None and not (
            isinstance(resolution, list) and all(isinstance(name, str) for name in resolution)):
        raise LadderFailed(f"resolution must be a list of names, not {resolution!r}")
    if bitrate is not None and not (
            isinstance(bitrate, list)
            and all(isinstance(rate, int) and not isinstance(rate, bool) for rate in bitrate)):
        raise LadderFailed(f"bitrate must be a list of integers, not {bitrate!r}")
    return LadderRequest(_absolute_path("input", input), Path(output), resolution, bitrate,
                         _absolute_path("key_info", key_info))


def check_files(request: LadderRequest) -> None:
    """LadderFailed unless the input, the key-info file and the output's
    folder are there."""
    folder = request.output.parent
    if not folder.is_dir():
        raise LadderFailed(f"the output's folder {folder} does not exist: make it (and its "
                           "key-info file) on the shared storage first")
    if not os.path.exists(request.input):
        raise LadderFailed(f"no input at {request.input}")
    if not os.path.isfile(request.key_info):
        raise LadderFailed(f"no key-info file at {request.key_info} (see the README's "
                           "\"Making a key\")")
