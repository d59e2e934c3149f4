"""What a published ladder holds, against what a new request asks for: its
rungs (the master playlist), their bitrates (what x264 was asked for, as it
writes into its stream) and their key (the key URI and IV of the media
playlists, and whether the first segment decrypts with the key file)."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

from .attempts import MASTER, Playlist, master_renditions, read_playlist
from .rungs import Rung

KEY_TAG = "#EXT-X-KEY:"
DECRYPT_TIMEOUT_SECONDS = 120


def _attribute(tag: str, name: str) -> str | None:
    found = re.search(rf'(?:^|[:,]){name}=("[^"]*"|[^,]*)', tag)
    return found.group(1).strip('"') if found else None


def _normal_iv(iv: str | None) -> str | None:
    if not iv:
        return None
    return iv.lower().removeprefix("0x").rjust(32, "0")


def read_key_info(key_info: Path) -> tuple[str, Path, str | None]:
    """(key URI, key file, IV in hex or None) of a key-info file."""
    lines = key_info.read_text().splitlines() + ["", "", ""]
    return lines[0].strip(), Path(lines[1].strip()), _normal_iv(lines[2].strip())


def _segment_iv(playlist: Playlist, key_tag: str) -> str:
    """The IV of the playlist's first segment: the tag's, or else its media
    sequence number, as the HLS muxer and players use it."""
    explicit = _normal_iv(_attribute(key_tag, "IV"))
    if explicit:
        return explicit
    sequence = next((int(tag.split(":", 1)[1]) for tag in playlist.tags
                     if tag.startswith("#EXT-X-MEDIA-SEQUENCE:")), 0)
    return f"{sequence:032x}"


def _encoded_bitrate(segment: Path, key: bytes, iv: str) -> int | None:
    """The bitrate x264 was asked for in `segment`, decrypted with `key`;
    None when it does not decrypt to an H.264 stream x264 wrote."""
    finished = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "quiet", "-protocol_whitelist", "crypto,file",
         "-key", key.hex(), "-iv", iv, "-i", f"crypto:file:{segment}",
         "-map", "0:v:0", "-c", "copy", "-frames:v", "1", "-f", "h264", "-"],
        capture_output=True, timeout=DECRYPT_TIMEOUT_SECONDS, check=False)
    found = re.search(rb"x264 - core .*? bitrate=(\d+) ", finished.stdout)
    return int(found.group(1)) * 1000 if finished.returncode == 0 and found else None


def _rung_differences(folder: Path, rung: Rung, key_uri: str, key: bytes,
                      iv: str | None) -> list[str]:
    playlist = read_playlist(folder / f"{rung.name}.m3u8")
    if playlist is None or not playlist.uris:
        return [f"{rung.name} has no segments"]
    key_tag = next((tag for tag in playlist.tags if tag.startswith(KEY_TAG)), "")
    if _attribute(key_tag, "URI") != key_uri:
        return [f"{rung.name} names the key {_attribute(key_tag, 'URI')!r}, not {key_uri!r}"]
    if iv is not None and _normal_iv(_attribute(key_tag, "IV")) != iv:
        return [f"{rung.name} is encrypted with another IV"]
    encoded = _encoded_bitrate(folder / playlist.uris[0], key, _segment_iv(playlist, key_tag))
    if encoded is None:
        return [f"{rung.name} is encrypted with another key"]
    if encoded != rung.bitrate:
        return [f"{rung.name} is encoded at {encoded} b/s, not {rung.bitrate}"]
    return []


def ladder_differences(folder: Path, rungs: list[Rung], key_info: Path) -> list[str]:
    """How the ladder published in `folder` differs from one of `rungs`
    encrypted as `key_info` says; empty when it is that ladder, or that
    ladder without some rungs (which failed when it was made)."""
    held = master_renditions(folder / MASTER)
    asked = [rung.name for rung in rungs]
    # A rung that failed when the ladder was made is missing from it: the
    # same request again finds the rest, in its order.
    remaining = iter(asked)
    if not held or not all(name in remaining for name in held):
        return [f"it holds {', '.join(held) or 'no rung'}, not {', '.join(asked) or 'no rung'}"]
    rungs = [rung for rung in rungs if rung.name in held]
    try:
        key_uri, key_file, iv = read_key_info(key_info)
        key = key_file.read_bytes()
    except OSError as error:
        return [f"the key cannot be read ({error})"]
    return [difference for rung in rungs
            for difference in _rung_differences(folder, rung, key_uri, key, iv)]
