"""A ladder as it is asked for, on both sides of the queue: its arguments
checked, the rungs hls_encoder plans for them and the upload as the call
judges it. The rules themselves are hls_encoder's, from the companion module
built with it (_quorvane_queue_native): nothing here keeps a copy of them."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import _quorvane_queue_native as native

from . import children, settings
from .playlists import MASTER


# The state a running ladder's task reports its progress in.
PROGRESS = "PROGRESS"


class LadderFailed(Exception):
    """A definite failure: delivering the task again would fail again."""


class LadderCancelled(LadderFailed):
    """The ladder was cancelled (cancel_ladder): nothing of it is published."""

    def __init__(self, ladder_id: str):
        super().__init__(f"ladder {ladder_id} was cancelled")


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


def probe_upload(path: str | os.PathLike) -> Upload:
    """Opens the upload under the call's input rules (the file alone, or a
    playlist's own files), as hls_encoder does before planning a ladder, in
    a process of its own: a file that crashes or hangs the demuxer costs a
    refusal, not the caller's process."""
    try:
        answer = children.probe(os.fspath(path))
    except children.ChildEnded as ended:
        return Upload(str(ended), None)
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


# A ladder is split in time by default once its upload states a duration of
# SPLIT_FROM_WINDOWS windows of DEFAULT_WINDOW_SECONDS or more: each window
# costs a little more CPU than its share (README, "What limits scale-out"),
# which only pays off where several workers can share the upload.
DEFAULT_WINDOW_SECONDS = 60
SPLIT_FROM_WINDOWS = 3


# Windows longer than a day would only ever make one window of a longer
# upload than a task may encode.
MAX_WINDOW_SECONDS = 86400


def check_window_seconds(seconds) -> None:
    """ValueError unless `seconds` is a whole number of segments (windows
    start and end on segment edges) within the bounds."""
    step = native.segment_seconds
    if (isinstance(seconds, bool) or not isinstance(seconds, int)
            or not step <= seconds <= MAX_WINDOW_SECONDS or seconds % step):
        raise ValueError(f"window_seconds must be a multiple of {step} s (the segment length) "
                         f"from {step} to {MAX_WINDOW_SECONDS} s, or 0 for one task; "
                         f"not {seconds!r:.100}")


def check_split(window_seconds: int | None, split_rungs: bool) -> None:
    """ValueError for a split that cannot be asked for: a window length that
    is not 0 (one task) or a whole number of segments, or windows with a
    split by rung."""
    if window_seconds is None or type(window_seconds) is int and window_seconds == 0:
        return
    check_window_seconds(window_seconds)
    if split_rungs:
        raise ValueError("a ladder is split by rung or in time windows, not both")


def split_in_windows(window_seconds: int | None, split_rungs: bool,
                     seconds: float | None) -> int | None:
    """The window length the ladder is split by in time, None for none:
    the one asked for, else (None) DEFAULT_WINDOW_SECONDS for an upload that
    states a duration of SPLIT_FROM_WINDOWS windows or more and is not split
    by rung; 0 asks for no split in time."""
    if window_seconds is None:
        long = seconds is not None and seconds >= SPLIT_FROM_WINDOWS * DEFAULT_WINDOW_SECONDS
        return DEFAULT_WINDOW_SECONDS if long and not split_rungs else None
    return window_seconds or None


def arguments_shown(args: tuple) -> str:
    """A task's arguments as the broker's tools and the worker show them:
    a window by its name and times, never its resume state; long values
    cut short."""
    def shown(value) -> str:
        if isinstance(value, dict) and "first_slot" in value:
            slots = native.slots_per_second
            first, end = value.get("first_slot"), value.get("end_slot")
            if isinstance(first, int) and (end is None or isinstance(end, int)):
                until = "the end" if end is None else f"{end / slots:g} s"
                return f"<window w{value.get('index')}: {first / slots:g} s to {until}>"
        text = repr(value)
        return text if len(text) <= 120 else text[:117] + "..."
    return f"({', '.join(map(shown, args))})"


def _absolute_path(label: str, path) -> str:
    if not isinstance(path, str) or not os.path.isabs(path) or "\0" in path:
        raise LadderFailed(f"{label} must be an absolute path on the shared storage, "
                           f"not {path!r:.200}")
    return path


def read_ladder_id(ladder_id) -> str:
    """The id a part task names its ladder by; LadderFailed when it is not one."""
    if not isinstance(ladder_id, str) or not ladder_id or "\0" in ladder_id:
        raise LadderFailed(f"ladder_id must be a task id, not {ladder_id!r:.100}")
    return ladder_id


def _bitrate(rate) -> bool:
    """A bitrate hls_encoder takes: a signed 32-bit integer."""
    return isinstance(rate, int) and not isinstance(rate, bool) and -2**31 <= rate < 2**31


def read_request(input, output, resolution, bitrate, key_info) -> LadderRequest:
    """The request, checked as far as nothing but its values tells."""
    output = _absolute_path("output", output)
    if key_info is None:
        key_info = os.path.join(os.path.dirname(output), "enc.keyinfo")
    if resolution is not None and not (
            isinstance(resolution, list) and all(isinstance(name, str) for name in resolution)):
        raise LadderFailed(f"resolution must be a list of names, not {resolution!r:.200}")
    if bitrate is not None and not (isinstance(bitrate, list) and all(map(_bitrate, bitrate))):
        raise LadderFailed(f"bitrate must be a list of 32-bit integers, not {bitrate!r:.200}")
    return LadderRequest(_absolute_path("input", input), Path(output), resolution, bitrate,
                         _absolute_path("key_info", key_info))


def _inside(path: str, folders: tuple[str, ...]) -> bool:
    """Whether `path`, its symbolic links resolved, lies in one of `folders`."""
    real = os.path.realpath(path)
    return any(os.path.commonpath([real, os.path.realpath(folder)]) == os.path.realpath(folder)
               for folder in folders)


def check_confined(input: str | None, output: str, key_info: str | None) -> None:
    """LadderFailed when the upload, the ladder or the key-info file lies
    outside the folders the settings confine them to (none: anywhere)."""
    uploads, ladders = settings.upload_folders, settings.ladder_folders
    if input and uploads and not _inside(input, uploads):
        raise LadderFailed(f"{input} is not in an upload folder ({', '.join(uploads)})")
    if ladders and not _inside(output, ladders):
        raise LadderFailed(f"{output} is not in a ladder folder ({', '.join(ladders)})")
    if key_info and (uploads or ladders) and not _inside(key_info, uploads + ladders):
        raise LadderFailed(f"{key_info} is in neither an upload nor a ladder folder")


def check_files(request: LadderRequest) -> None:
    """LadderFailed unless the input, the key-info file and the output's
    folder are there, where the settings let ladders read and write."""
    check_confined(request.input, str(request.output), request.key_info)
    folder = request.output.parent
    if not folder.is_dir():
        raise LadderFailed(f"the output's folder {folder} does not exist: make it (and its "
                           "key-info file) on the shared storage first")
    if not os.path.exists(request.input):
        raise LadderFailed(f"no input at {request.input}")
    if not os.path.isfile(request.key_info):
        raise LadderFailed(f"no key-info file at {request.key_info} (see the README's "
                           "\"Making a key\")")
