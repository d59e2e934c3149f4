"""Types of _quorvane_queue_native, quorvane_queue's private share of
hls_encoder's rules: what each function takes and returns."""

from collections.abc import Callable
from typing import TypedDict

segment_seconds: int  # windows start and end on segment edges
slots_per_second: int  # the timeline counts in 1/30 s slots

class Upload(TypedDict):
    refused: str | None  # the call's reason, worded as it logs it
    seconds: float | None  # the duration the container states; None when it only guesses
    width: int
    height: int

class Rung(TypedDict):
    name: str
    bitrate: int

class Segment(TypedDict):
    uri: str
    seconds: float

class Key(TypedDict):
    uri: str
    iv: str | None

class MediaPlaylist(TypedDict):
    segments: list[Segment]
    keys: list[Key]
    ended: bool
    media_sequence: int

class Rendition(TypedDict):
    name: str
    width: int
    height: int
    peak: int
    average: int
    video_codec: str

class Window(TypedDict):
    """One window of a ladder split in time, as plan_windows gives it."""

    index: int
    first_slot: int  # a segment's first slot
    end_slot: int | None  # the slot after its last; None for the last window
    resume: str  # the state it resumes from; empty for the first window
    sound: str  # the file its sound packets are taken from

class WindowEvent(TypedDict, total=False):
    window: Window  # a window that can be encoded now
    progress: float  # seconds of the timeline planned so far

class EncodedWindow(TypedDict):
    renditions: list[Rendition] | None
    failures: list[str]

class Rates(TypedDict):
    peak: int
    average: int

def probe_upload(path: str) -> Upload: ...
def plan_rungs(resolution: list[str] | None, bitrate: list[int]) -> list[Rung]: ...
def read_playlist(path: str) -> MediaPlaylist | None: ...
def read_master(path: str) -> list[Rendition] | None: ...
def write_master(path: str, renditions: list[Rendition]) -> None: ...
def plan_windows(input: str, window_seconds: int, folder: str,
                 on_event: Callable[[WindowEvent], object]) -> None: ...
def encode_window(input: str, resolution: list[str] | None, bitrate: list[int], key: str,
                  window: Window) -> EncodedWindow: ...
def check_window(window: Window) -> None: ...
def join_window_rendition(parts: list[str], output: str, key_info: str) -> Rates: ...
def segment_iv(iv: str | None, sequence: int) -> str: ...
