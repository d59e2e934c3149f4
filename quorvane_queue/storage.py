"""Files on the shared storage, written the way every part of the queue
needs them: durable before anything names them, replaced in one rename,
named by task ids that cannot reach outside their folder."""

from __future__ import annotations

import errno
import getpass
import hashlib
import json
import os
import re
from pathlib import Path


def worker_user() -> str:
    """Who this process runs as, as a refusal names it."""
    try:
        return f"{getpass.getuser()} (uid {os.getuid()})"
    except (KeyError, OSError):   # no name for the uid
        return f"uid {os.getuid()}"


def refusal(error: PermissionError) -> str:
    """A permission the storage refused, said as an operator fixes it: the
    path and the user the worker runs as."""
    path = error.filename or "the shared storage"
    return (f"the worker's user {worker_user()} may not write {path} ({error.strerror}): "
            "give that user the ladders' folder")


def fsync_path(path: Path, flags: int = os.O_RDONLY) -> None:
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def identity(path: Path) -> tuple[int, int] | None:
    """(device, inode) of `path` itself, or None when nothing is there."""
    try:
        status = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return None
    return status.st_dev, status.st_ino


def safe_id(task_id: str) -> str:
    """`task_id` as part of a file name: itself when it is a plain id, else
    a digest of it, the same on every machine."""
    if re.fullmatch(r"[A-Za-z0-9_-]{1,64}", task_id):
        return task_id
    return hashlib.sha256(task_id.encode()).hexdigest()[:16]


def directory_mode() -> int:
    """The mode a plain mkdir would give: mkdtemp makes its folder 0700,
    which a published ladder must not keep."""
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o777 & ~umask


def write_json(path: Path, record: dict) -> None:
    """Replaces `path` with `record` in one rename, durable first."""
    temporary = path.with_name(path.name + ".tmp")
    temporary.write_text(json.dumps(record))
    fsync_path(temporary)
    os.rename(temporary, path)


def read_json(path: Path) -> dict | None:
    try:
        return json.loads(path.read_text())
    except FileNotFoundError:
        return None


def publish_folder(folder: Path, output: Path) -> bool:
    """Renames the finished `folder` to `output`, readable as a folder made
    here would be, and makes the rename durable. False when the name is
    taken: rename(2) never replaces a folder that holds anything, so a
    ladder is published once."""
    os.chmod(folder, directory_mode())
    fsync_path(folder)
    try:
        os.rename(folder, output)
    except OSError as error:
        if error.errno in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
            return False
        raise
    fsync_path(output.parent)
    return True
