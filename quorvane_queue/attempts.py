"""Attempt folders: where one delivery of a ladder task encodes, and how a
finished attempt becomes the published ladder.

hls_encoder writes its renditions into the working directory, so every
attempt works in a fresh folder beside the output folder, on the same file
system: ``.<output name>.attempt-<task id>-<random>`` (tempfile.mkdtemp). The
attempt holds a POSIX record lock on the file beside it, the folder's name
with ``.lock`` added, for as long as it lives; the file also records the
task and the delivery. The kernel (or the NFS server, once the dead client's
lease has run out) drops that lock when the process dies, however it dies,
so an attempt whose lock can be taken is the leftover of a dead one, and a
locked one belongs to a live attempt and is left alone. The lock file lies
beside the folder, not in it, so that nothing of the attempt's bookkeeping
can end up inside a published ladder.

A leftover is removed by whoever takes its lock: it renames the folder to a
``.trash-`` name first and deletes it after, then removes the lock file, so
that an attempt making a new folder at that moment either fails to take the
lock of its own folder or finds the folder gone, and starts again in another.

FFmpeg's messages for an attempt go to a log file beside its folder, its name
with ``.log`` added; it goes with the attempt, unless a failed task keeps it
as ``.<output name>.failed-<task id>.log``.

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
import secrets
import shutil
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

from .playlists import MASTER, NoRendition, master_renditions, media_segments
from .storage import directory_mode, fsync_path, identity, publish_folder, safe_id

ATTEMPT_MARK = ".attempt-"
TRASH_MARK = ".trash-"
LOCK_SUFFIX = ".lock"
LOG_SUFFIX = ".log"
BOOKKEEPING_SUFFIXES = (LOCK_SUFFIX, LOG_SUFFIX)


class AlreadyPublished(Exception):
    """The output name was taken while this attempt encoded."""


def failed_log(output: Path, task_id: str) -> Path:
    """Where the messages of a task at `output` that failed are kept."""
    return output.with_name(f".{output.name}.failed-{safe_id(task_id)}{LOG_SUFFIX}")


def cancel_mark(output: Path, ladder_id: str) -> Path:
    """The file whose presence says the ladder `ladder_id` at `output` was
    cancelled: every task of the ladder looks for it, as it starts and as
    it runs, whatever the broker knows. It stays, as a failed ladder's log
    does, so that a task that comes late finds the ladder over."""
    return output.with_name(f".{output.name}.cancelled-{safe_id(ladder_id)}")


def is_cancelled(output: Path, ladder_id: str) -> bool:
    return cancel_mark(output, ladder_id).exists()


def _lock_path(folder: Path) -> Path:
    return folder.with_name(folder.name + LOCK_SUFFIX)


def _log_path(folder: Path) -> Path:
    return folder.with_name(folder.name + LOG_SUFFIX)


def _try_lock(path: Path) -> int | None:
    """Opens `path` (creating it) and takes its lock without waiting. The
    descriptor, or None when another process holds the lock or the folder
    is gone. A descriptor is only returned while `path` still names the
    locked file (a remover may have unlinked it meanwhile)."""
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
    status = os.fstat(fd)
    if identity(path) != (status.st_dev, status.st_ino):
        os.close(fd)
        return None
    return fd


def _read_owner(fd: int) -> dict:
    try:
        record = json.loads(os.pread(fd, 4096, 0) or b"{}")
    except ValueError:
        return {}
    return record if isinstance(record, dict) else {}


def _throw_away(folder: Path) -> None:
    """Renames `folder` out of the way, then deletes it; nothing when it is
    already gone."""
    trash = folder.with_name(f"{folder.name}{TRASH_MARK}{secrets.token_hex(6)}")
    try:
        os.rename(folder, trash)
    except FileNotFoundError:
        return
    shutil.rmtree(trash, ignore_errors=True)


def _live_record(lock: Path) -> dict:
    """The record of an attempt whose lock another process holds (empty
    while it is being written)."""
    try:
        fd = os.open(lock, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return {}
    try:
        return _read_owner(fd)
    finally:
        os.close(fd)


def _remove_if_dead(folder: Path) -> tuple[bool, dict]:
    """Removes the attempt `folder`, its lock file and its log when no live
    process holds its lock. (whether it was dead, the attempt's record)."""
    lock = _lock_path(folder)
    fd = _try_lock(lock)
    if fd is None:
        return False, _live_record(lock)
    try:
        record = _read_owner(fd)
        _throw_away(folder)
        _log_path(folder).unlink(missing_ok=True)
        lock.unlink(missing_ok=True)   # still ours: we hold its lock
        return True, record
    finally:
        os.close(fd)


@dataclass
class Sweep:
    """What a sweep found of one task's earlier attempts at one output: the
    highest delivery among them, dead or alive (0 when there was none), and
    the records of those still alive; and the records of other tasks'
    attempts alive at that output."""

    delivery: int = 0
    live: list[dict] = field(default_factory=list)
    others: list[dict] = field(default_factory=list)


def remove_dead_attempts(output: Path, task_id: str) -> Sweep:
    """Removes, in `output`'s folder, the leftovers of dead attempts at any
    output name, the lock and log files they left and the trash of removals
    that were cut short. A leftover that cannot be removed is left for the
    next sweep. Says what it found of the earlier attempts of `task_id` at
    `output`: a task is only delivered again when the broker has given its
    earlier delivery up, so a locked attempt of the same task is either
    still encoding on a live worker (its connection to the broker was cut)
    or on a machine that froze or was cut off."""
    folders: set[str] = set()
    for entry in os.scandir(output.parent):
        name = entry.name
        if not name.startswith("."):
            continue
        if TRASH_MARK in name:
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
        elif ATTEMPT_MARK in name:
            suffix = next((suffix for suffix in BOOKKEEPING_SUFFIXES if name.endswith(suffix)), None)
            if suffix:
                folders.add(name[: -len(suffix)])
            elif entry.is_dir(follow_symlinks=False):
                folders.add(name)
    sweep = Sweep()
    for name in sorted(folders):
        try:
            dead, record = _remove_if_dead(output.parent / name)
        except OSError:
            continue
        if record.get("output") != str(output):
            continue
        if record.get("task_id") == task_id:
            sweep.delivery = max(sweep.delivery, int(record.get("delivery", 0)))
            if not dead:
                sweep.live.append(record)
        elif not dead:
            sweep.others.append(record)
    return sweep


@dataclass
class Attempt:
    """A live attempt: its folder, the descriptor holding its lock, and the
    folder's identity (device, inode), by which a published ladder is known
    to be this attempt's whatever the attempt's state says.

    Used as a context manager: on leaving, an unpublished folder is removed
    and the lock file goes with the lock."""

    output: Path
    folder: Path
    delivery: int
    _fd: int
    _identity: tuple[int, int]

    @classmethod
    def start(cls, output: Path, task_id: str, delivery: int, owner: dict) -> Attempt:
        """Makes and locks a new attempt folder beside `output`."""
        prefix = f".{output.name}{ATTEMPT_MARK}{safe_id(task_id)}-"
        for _ in range(10):
            folder = Path(tempfile.mkdtemp(prefix=prefix, dir=output.parent))
            fd = _try_lock(_lock_path(folder))
            if fd is None:
                continue  # a remover took the new folder for a dead one: it removes it
            made = identity(folder)
            if made is None:
                # A remover took it between mkdtemp and our lock.
                _lock_path(folder).unlink(missing_ok=True)
                os.close(fd)
                continue
            os.chmod(folder, directory_mode())
            record = {**owner, "task_id": task_id, "output": str(output), "delivery": delivery}
            os.ftruncate(fd, 0)
            os.pwrite(fd, json.dumps(record).encode(), 0)
            return cls(output, folder, delivery, fd, made)
        raise OSError(errno.EAGAIN, f"could not start an attempt folder beside {output}")

    def __enter__(self) -> Attempt:
        return self

    def __exit__(self, *_exc) -> None:
        try:
            if not self.is_published():
                _throw_away(self.folder)
        finally:
            self.close()

    @property
    def log(self) -> Path:
        """Where FFmpeg's messages for this attempt go."""
        return _log_path(self.folder)

    def keep_log(self, task_id: str) -> Path | None:
        """Keeps the attempt's log past its end, for a failed task's reasons:
        its new path, or None when there is none."""
        kept = failed_log(self.output, task_id)
        try:
            os.rename(self.log, kept)
        except FileNotFoundError:
            return None
        return kept

    def is_published(self) -> bool:
        """Whether the output folder is this attempt's folder."""
        return identity(self.output) == self._identity

    def publish(self) -> list[str]:
        """Keeps what the master playlist lists, makes it durable, and
        renames the folder to the output name. Returns the renditions.
        Raises NoRendition when nothing is listed, AlreadyPublished when the
        output name is taken."""
        renditions = master_renditions(self.folder / MASTER)
        if not renditions:
            raise NoRendition("the encode completed no rendition")
        keep = {MASTER}
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
            fsync_path(self.folder / name)
        if not publish_folder(self.folder, self.output):
            raise AlreadyPublished(str(self.output))
        return renditions

    def close(self) -> None:
        """Removes the log and the lock file and lets the lock go."""
        if self._fd >= 0:
            fd, self._fd = self._fd, -1
            try:
                self.log.unlink(missing_ok=True)
                _lock_path(self.folder).unlink(missing_ok=True)
            finally:
                os.close(fd)
