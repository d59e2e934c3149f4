"""Attempt folders: where one delivery of a ladder task encodes, and how a
finished attempt becomes the published ladder.

hls_encoder writes its renditions into the working directory, so every
attempt works in a fresh folder beside the output folder, on the same file
system: ``.<output name>.attempt-<task id>-<random>``. The attempt holds a
POSIX record lock on the file ``.owner`` inside it for as long as it lives.
The kernel (or the NFS server, once the dead client's lease has run out) drops
that lock when the process dies, however it dies, so a folder whose lock can
be taken is the leftover of a dead attempt, and a locked one belongs to a live
attempt and is left alone.

A leftover is removed by whoever takes its lock: it renames the folder to
``.<output name>.trash-<random>`` first and deletes it after, so that an
attempt making a new folder at that moment either fails to take the lock of
its own folder or finds the folder gone, and starts again in another.

Publishing is one rename of the attempt folder to the output name, so the
output folder appears complete or not at all. rename(2) does not replace a
directory that holds anything, so a ladder is published once, whichever of two
attempts finishes first.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import re
import secrets
import shutil
from dataclasses import dataclass
from pathlib import Path

OWNER = ".owner"
MASTER = "master.m3u8"


class NoRendition(Exception):
    """The encode left no complete rendition: nothing to publish."""


class AlreadyPublished(Exception):
    """The output name was taken while this attempt encoded."""


def _safe_id(task_id: str) -> str:
    return task_id if re.fullmatch(r"[A-Za-z0-9_-]{1,64}", task_id) else secrets.token_hex(8)


def _attempt_prefix(output: Path) -> str:
    return f".{output.name}.attempt-"


def _trash_prefix(output: Path) -> str:
    return f".{output.name}.trash-"


def _try_lock(path: Path) -> int | None:
    """Opens `path` (creating it) and takes its lock without waiting. The
    descriptor, or None when another process holds the lock or the folder
    is gone."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    except (FileNotFoundError, NotADirectoryError):
        return None
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        os.close(fd)
        if error.errno in (errno.EACCES, errno.EAGAIN):
            return None
        raise
    return fd


def _read_owner(fd: int) -> dict:
    try:
        return json.loads(os.pread(fd, 4096, 0) or b"{}")
    except ValueError:
        return {}


def _fsync_path(path: Path, flags: int = os.O_RDONLY) -> None:
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def remove_dead_attempts(output: Path, task_id: str) -> int:
    """Removes the leftovers of dead attempts at `output` (any task's) and
    the trash of removals that were themselves cut short. Returns the
    highest delivery number found among the dead attempts of `task_id`
    (0 when there was none)."""
    attempt_prefix, trash_prefix = _attempt_prefix(output), _trash_prefix(output)
    own_prefix = f"{attempt_prefix}{_safe_id(task_id)}-"
    highest = 0
    for entry in os.scandir(output.parent):
        if entry.name.startswith(trash_prefix):
            shutil.rmtree(entry.path, ignore_errors=True)
            continue
        if not entry.name.startswith(attempt_prefix) or not entry.is_dir(follow_symlinks=False):
            continue
        fd = _try_lock(Path(entry.path) / OWNER)
        if fd is None:
            continue  # a live attempt, or one removed meanwhile
        try:
            if entry.name.startswith(own_prefix):
                highest = max(highest, int(_read_owner(fd).get("delivery", 0)))
            trash = output.parent / f"{trash_prefix}{secrets.token_hex(6)}"
            try:
                os.rename(entry.path, trash)
            except FileNotFoundError:
                continue
            shutil.rmtree(trash, ignore_errors=True)
        finally:
            os.close(fd)
    return highest


@dataclass
class Attempt:
    """A live attempt: its folder, and the descriptor holding its lock."""

    output: Path
    folder: Path
    delivery: int
    _fd: int

    @classmethod
    def start(cls, output: Path, task_id: str, delivery: int, owner: dict) -> Attempt:
        """Makes and locks a new attempt folder beside `output`."""
        prefix = f"{_attempt_prefix(output)}{_safe_id(task_id)}-"
        for _ in range(10):
            folder = output.parent / f"{prefix}{secrets.token_hex(6)}"
            try:
                os.mkdir(folder)
            except FileExistsError:
                continue
            fd = _try_lock(folder / OWNER)
            if fd is None:
                continue  # a remover took it between mkdir and lock: use another
            try:
                same = os.stat(folder / OWNER).st_ino == os.fstat(fd).st_ino
            except FileNotFoundError:
                same = False
            if not same:
                os.close(fd)
                continue
            record = json.dumps({**owner, "task_id": task_id, "delivery": delivery}).encode()
            os.ftruncate(fd, 0)
            os.pwrite(fd, record, 0)
            return cls(output, folder, delivery, fd)
        raise OSError(errno.EAGAIN, f"could not start an attempt folder beside {output}")

    def publish(self) -> list[str]:
        """Keeps what the master playlist lists, makes it durable, and
        renames the folder to the output name. Returns the renditions.
        Raises NoRendition when nothing is listed, AlreadyPublished when the
        output name is taken."""
        renditions = master_renditions(self.folder / MASTER)
        if not renditions:
            raise NoRendition("the encode completed no rendition")
        keep = {OWNER, MASTER}
        for name in renditions:
            keep.add(f"{name}.m3u8")
            keep.update(media_segments(self.folder / f"{name}.m3u8"))
        missing = [name for name in keep if not (self.folder / name).is_file()]
        if missing:
            raise NoRendition(f"listed but missing: {', '.join(sorted(missing))}")
        # Files of renditions left out of the master playlist go.
        for entry in os.scandir(self.folder):
            if entry.name not in keep:
                if entry.is_dir(follow_symlinks=False):
                    shutil.rmtree(entry.path)
                else:
                    os.unlink(entry.path)
        for name in keep:
            _fsync_path(self.folder / name)
        _fsync_path(self.folder)
        try:
            os.rename(self.folder, self.output)
        except OSError as error:
            if error.errno in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
                raise AlreadyPublished(str(self.output)) from error
            raise
        self.folder = self.output
        _fsync_path(self.output.parent)
        # The owner file has done its work; the lock goes with the descriptor.
        try:
            os.unlink(self.output / OWNER)
        except FileNotFoundError:
            pass
        return renditions

    def discard(self) -> None:
        """Removes the attempt folder (unless it was published)."""
        if self.folder != self.output:
            trash = self.output.parent / f"{_trash_prefix(self.output)}{secrets.token_hex(6)}"
            try:
                os.rename(self.folder, trash)
            except FileNotFoundError:
                return
            shutil.rmtree(trash, ignore_errors=True)

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def master_renditions(master: Path) -> list[str]:
    """Names of the renditions a master playlist lists (from their media
    playlists' file names), in order; empty when there is no playlist."""
    try:
        lines = master.read_text().splitlines()
    except FileNotFoundError:
        return []
    return [Path(line.strip()).stem for line in lines
            if line.strip() and not line.startswith("#")]


def media_segments(playlist: Path) -> list[str]:
    """Segment URIs of a complete media playlist; NoRendition when the
    playlist is missing or not ended."""
    try:
        lines = [line.strip() for line in playlist.read_text().splitlines()]
    except FileNotFoundError as error:
        raise NoRendition(f"{playlist.name} is missing") from error
    if "#EXT-X-ENDLIST" not in lines:
        raise NoRendition(f"{playlist.name} is not complete")
    return [line for line in lines if line and not line.startswith("#")]


def published_renditions(output: Path) -> list[str] | None:
    """The renditions of a ladder already published at `output`, or None
    when nothing is there. Tidies the owner file an attempt killed just
    after its rename may have left."""
    if not output.is_dir() or not (output / MASTER).is_file():
        return None
    owner = output / OWNER
    if owner.exists():
        fd = _try_lock(owner)
        if fd is not None:
            try:
                owner.unlink(missing_ok=True)
            finally:
                os.close(fd)
    return master_renditions(output / MASTER)
