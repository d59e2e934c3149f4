"""Playing a ladder the way a viewer's player does, with an HLS implementation
that shares no code with FFmpeg: GStreamer's playbin3 (hlsdemux2, tsdemux),
fetching the master playlist, the media playlist, the AES-128 key and the
segments over HTTP from a server on 127.0.0.1, decoding everything as fast
as it can, and noting each picture it hands to the screen."""

from __future__ import annotations

import functools
import http.server
import re
import subprocess
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

_PICTURE = re.compile(r"/GstBin:vbin/.*last-message = chain .*pts: (\d+):(\d+):([\d.]+), "
                      r"duration: (\d+):(\d+):([\d.]+)")


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args) -> None:  # noqa: A002 (the base class's name)
        pass


@contextmanager
def http_server(root: Path) -> Iterator[str]:
    """Serves the files below `root` on 127.0.0.1 while the block runs; yields its base URL."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(_QuietHandler, directory=str(root)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@dataclass
class Playback:
    returncode: int
    ended: bool  # the pipeline reached end of stream
    errors: list[str] = field(default_factory=list)
    pictures: list[tuple[float, float]] = field(default_factory=list)  # (pts, duration) s

    @property
    def picture_span(self) -> float:
        """From the first picture shown to the end of the last one, in seconds."""
        first = self.pictures[0][0]
        return max(pts + duration for pts, duration in self.pictures) - first


def _seconds(hours: str, minutes: str, seconds: str) -> float:
    return int(hours) * 3600 + int(minutes) * 60 + float(seconds)


def play_with_gstreamer(url: str, timeout: float = 180) -> Playback:
    """Plays `url` with playbin3 into sinks that neither wait for the clock nor
    show anything, and reads what reached the picture sink."""
    finished = subprocess.run(
        ["gst-launch-1.0", "-v", "playbin3", f"uri={url}",
         "video-sink=fakesink sync=false silent=false", "audio-sink=fakesink sync=false"],
        capture_output=True, text=True, timeout=timeout, check=False)
    output = finished.stdout + finished.stderr
    pictures = [(_seconds(*match.groups()[:3]), _seconds(*match.groups()[3:]))
                for match in _PICTURE.finditer(output)]
    errors = [line for line in output.splitlines() if line.startswith(("ERROR", "WARNING"))]
    return Playback(finished.returncode, "Got EOS from element" in output, errors, pictures)
