"""What the playlists of a ladder, or of one being encoded, say: read
through the companion module's m3u8 reader, the one the call itself uses."""

from __future__ import annotations

from pathlib import Path

import _quorvane_queue_native as native

MASTER = "master.m3u8"


class NoRendition(Exception):
    """The encode left no complete rendition: nothing to publish."""


def playlist_seconds(path: Path) -> float:
    """The seconds the segments of the media playlist at `path` last; 0
    while there is none."""
    playlist = native.read_playlist(str(path))
    return sum(max(segment["seconds"], 0.0) for segment in playlist["segments"]) if playlist else 0.0


def written_seconds(folder: Path, rungs: list[str], cap: float | None = None) -> float:
    """The media seconds the playlists of `rungs` in `folder` list, all
    rungs counted, each at most `cap`."""
    listed = [playlist_seconds(folder / f"{rung}.m3u8") for rung in rungs]
    return sum(min(seconds, cap) if cap else seconds for seconds in listed)


def master_renditions(master: Path) -> list[str]:
    """Names of the renditions a master playlist lists, in order; empty when
    there is no playlist."""
    return [entry["name"] for entry in native.read_master(str(master)) or []]


def media_segments(path: Path) -> list[str]:
    """Segment URIs of a complete media playlist; NoRendition when the
    playlist is missing or not ended."""
    playlist = native.read_playlist(str(path))
    if playlist is None:
        raise NoRendition(f"{path.name} is missing")
    if not playlist["ended"]:
        raise NoRendition(f"{path.name} is not complete")
    return [segment["uri"] for segment in playlist["segments"]]


def ladder_seconds(folder: Path, renditions: list[str]) -> float:
    """The media the ladder in `folder` holds: its shortest rendition's
    seconds."""
    return min((playlist_seconds(folder / f"{name}.m3u8") for name in renditions), default=0.0)


def published_renditions(output: Path) -> list[str] | None:
    """The renditions of a ladder already published at `output`, or None
    when nothing is there."""
    if not output.is_dir() or not (output / MASTER).is_file():
        return None
    return master_renditions(output / MASTER)
