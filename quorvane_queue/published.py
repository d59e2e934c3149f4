"""What a published ladder holds, against what a new request asks for: its
rungs (the master playlist), their bitrates (what x264 was asked for, as it
writes into its stream) and their key (the key URI and IV of the media
playlists, and whether the first segment decrypts with the key file)."""

from __future__ import annotations

import re
import subprocess
from pathlib import Path

import _quorvane_queue_native as native

from .playlists import MASTER, master_renditions
from .request import Rung

DECRYPT_TIMEOUT_SECONDS = 120


def read_key_info(key_info: Path) -> tuple[str, Path, str | None]:
    """(key URI, key file, IV in hex or None) of a key-info file; ValueError
    for an IV that is not one."""
    lines = key_info.read_text().splitlines() + ["", "", ""]
    iv = lines[2].strip() or None
    return lines[0].strip(), Path(lines[1].strip()), iv and native.segment_iv(iv, 0)


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
    playlist = native.read_playlist(str(folder / f"{rung.name}.m3u8"))
    if playlist is None or not playlist["segments"]:
        return [f"{rung.name} has no segments"]
    tag = (playlist["keys"] or [{"uri": None, "iv": None}])[0]
    if tag["uri"] != key_uri:
        return [f"{rung.name} names the key {tag['uri']!r}, not {key_uri!r}"]
    if iv is not None and (tag["iv"] is None or native.segment_iv(tag["iv"], 0) != iv):
        return [f"{rung.name} is encrypted with another IV"]
    encoded = _encoded_bitrate(folder / playlist["segments"][0]["uri"], key,
                               native.segment_iv(tag["iv"], playlist["media_sequence"]))
    if encoded is None:
        return [f"{rung.name} is encrypted with another key"]
    if encoded != rung.bitrate:
        return [f"{rung.name} is encoded at {encoded} b/s, not {rung.bitrate}"]
    return []


def ladder_differences(folder: Path, rungs: list[Rung], key_info: Path,
                       missing_allowed: bool = False) -> list[str]:
    """How the ladder published in `folder` differs from one of `rungs`
    encrypted as `key_info` says; empty when it is that ladder. A ladder
    that lacks a rung asked for is another ladder, unless `missing_allowed`
    (the rung may have failed as this very ladder was made)."""
    held = master_renditions(folder / MASTER)
    asked = [rung.name for rung in rungs]
    remaining = iter(asked)
    if not held or not (held == asked or (missing_allowed and all(name in remaining
                                                                  for name in held))):
        return [f"it holds {', '.join(held) or 'no rung'}, not {', '.join(asked) or 'no rung'}"]
    rungs = [rung for rung in rungs if rung.name in held]
    try:
        key_uri, key_file, iv = read_key_info(key_info)
        key = key_file.read_bytes()
    except (OSError, ValueError) as error:
        return [f"the key cannot be read ({error})"]
    return [difference for rung in rungs
            for difference in _rung_differences(folder, rung, key_uri, key, iv)]
