"""quorvane_queue's attempt folders without a broker: which leftovers the
next attempt removes, how deliveries are counted, what a publish keeps and
that it never replaces a published ladder; and the time limits' bounds."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import make_source
from media_checks import write_key_info
from quorvane_queue.attempts import (
    MASTER,
    OWNER,
    AlreadyPublished,
    Attempt,
    NoRendition,
    published_renditions,
    remove_dead_attempts,
)
from quorvane_queue.limits import hard_limit_ceiling, time_limits

# A process that starts an attempt the way the task does, reports it, then
# either dies on the spot (SIGKILL: no clean-up of any kind) or lives until
# its standard input closes.
_ATTEMPT_CHILD = """
import json, os, signal, sys
from pathlib import Path
from quorvane_queue.attempts import Attempt, remove_dead_attempts
output, task_id, mode = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
delivery = remove_dead_attempts(output, task_id) + 1
attempt = Attempt.start(output, task_id, delivery, {"pid": os.getpid()})
print(json.dumps({"folder": str(attempt.folder), "delivery": delivery}), flush=True)
if mode == "die":
    os.kill(os.getpid(), signal.SIGKILL)
sys.stdin.read()
"""


@pytest.fixture
def attempt_child():
    children: list[subprocess.Popen] = []

    def start(output: Path, task_id: str, mode: str) -> dict:
        child = subprocess.Popen([sys.executable, "-c", _ATTEMPT_CHILD, str(output), task_id, mode],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        children.append(child)
        report = json.loads(child.stdout.readline())
        if mode == "die":
            child.wait()
        return report

    yield start
    for child in children:
        child.stdin.close()
        child.stdout.close()
        child.wait(timeout=60)


def attempt_folders(parent: Path) -> list[str]:
    return sorted(entry.name for entry in parent.iterdir() if entry.name.startswith("."))


def test_dead_attempts_are_removed_live_ones_kept_and_deliveries_counted(tmp_path, attempt_child):
    output = tmp_path / "talk"
    live = attempt_child(output, "other-task", "live")
    dead = [attempt_child(output, "task", "die") for _ in range(3)]

    # Each delivery found the one before it dead, removed it and counted on.
    assert [report["delivery"] for report in dead] == [1, 2, 3]
    assert live["delivery"] == 1
    assert attempt_folders(tmp_path) == sorted(Path(r["folder"]).name for r in (live, dead[-1]))
    # A fourth delivery would be past the task's limit of three.
    assert remove_dead_attempts(output, "task") == 3
    assert attempt_folders(tmp_path) == [Path(live["folder"]).name]
    # The live attempt of another task is neither removed nor counted.
    assert remove_dead_attempts(output, "other-task") == 0
    assert Path(live["folder"], OWNER).is_file()


def test_leftovers_of_other_outputs_and_cut_short_removals(tmp_path, attempt_child):
    other = attempt_child(tmp_path / "other", "task", "die")
    trash = tmp_path / ".talk.trash-0123456789ab"
    (trash / "nested").mkdir(parents=True)
    (trash / "nested" / "360p_000.ts").write_bytes(b"x")

    assert remove_dead_attempts(tmp_path / "talk", "task") == 0
    assert attempt_folders(tmp_path) == [Path(other["folder"]).name]


@pytest.fixture(scope="module")
def encoded_folder(tmp_path_factory) -> Path:
    """A real one-rendition encode, copied into each attempt that needs one."""
    directory = tmp_path_factory.mktemp("encoded")
    source = make_source(directory / "source.mp4", size="160x90", seconds=2)
    key_info = write_key_info(directory)
    ladder = directory / "ladder"
    ladder.mkdir()
    subprocess.run([sys.executable, "-c",
                    "import quorvane, sys; quorvane.hls_encoder(sys.argv[1], 'master.m3u8', "
                    "resolution=['360p'], bitrate=[400000], key=sys.argv[2])",
                    str(source), str(key_info)], cwd=ladder, check=True)
    return ladder


def fill(attempt: Attempt, ladder: Path) -> None:
    for path in ladder.iterdir():
        (attempt.folder / path.name).write_bytes(path.read_bytes())


def test_publish_keeps_the_listed_renditions_and_never_replaces_a_ladder(tmp_path, encoded_folder):
    output = tmp_path / "talk"
    attempt = Attempt.start(output, "task", 1, {})
    fill(attempt, encoded_folder)
    # What a rung that failed half way leaves: files the master does not list.
    (attempt.folder / "1080p.m3u8").write_text("#EXTM3U\n#EXTINF:6.0,\n1080p_000.ts\n")
    (attempt.folder / "1080p_000.ts").write_bytes(b"\0" * 188)
    try:
        assert attempt.publish() == ["360p"]
    finally:
        attempt.close()
    names = sorted(path.name for path in output.iterdir())
    assert names == ["360p.m3u8", "360p_000.ts", MASTER]
    assert attempt_folders(tmp_path) == []
    assert published_renditions(output) == ["360p"]

    before = {path.name: path.read_bytes() for path in output.iterdir()}
    late = Attempt.start(output, "task-2", 1, {})
    fill(late, encoded_folder)
    try:
        with pytest.raises(AlreadyPublished):
            late.publish()
        late.discard()
    finally:
        late.close()
    assert {path.name: path.read_bytes() for path in output.iterdir()} == before
    assert attempt_folders(tmp_path) == []


def _remove_segment(folder: Path) -> None:
    (folder / "360p_000.ts").unlink()


def _unfinish_playlist(folder: Path) -> None:
    playlist = folder / "360p.m3u8"
    playlist.write_text(playlist.read_text().replace("#EXT-X-ENDLIST", ""))


def _empty_master(folder: Path) -> None:
    (folder / MASTER).write_text("#EXTM3U\n")


def _remove_master(folder: Path) -> None:
    (folder / MASTER).unlink()


@pytest.mark.parametrize("spoil", [_remove_master, _empty_master, _remove_segment, _unfinish_playlist])
def test_nothing_is_published_without_a_complete_rendition(tmp_path, encoded_folder, spoil):
    output = tmp_path / "talk"
    attempt = Attempt.start(output, "task", 1, {})
    try:
        fill(attempt, encoded_folder)
        spoil(attempt.folder)
        with pytest.raises(NoRendition):
            attempt.publish()
        attempt.discard()
    finally:
        attempt.close()
    assert not output.exists()
    assert attempt_folders(tmp_path) == []


def test_time_limits_grow_with_the_input_and_stay_under_the_visibility_timeout():
    visibility = 43200
    limits = [time_limits(seconds, visibility) for seconds in (1, 60, 600, 3600)]
    for soft, hard in limits:
        assert 0 < soft < hard <= hard_limit_ceiling(visibility) < visibility
    assert [hard for _, hard in limits] == sorted({hard for _, hard in limits})
    assert time_limits(None, visibility)[1] == hard_limit_ceiling(visibility)
    with pytest.raises(ValueError, match="QUORVANE_VISIBILITY_TIMEOUT"):
        time_limits(5 * 3600, visibility)
