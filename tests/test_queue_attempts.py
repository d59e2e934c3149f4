"""quorvane_queue's attempt folders and tasks without a broker: which
leftovers a task's start removes, how deliveries are counted, what a publish
keeps, that it never replaces a published ladder nor leaves bookkeeping in
one; the task's reasons for failed rungs, its soft limit after the rename,
its bitrates; the time limits' bounds and the splits submit makes or
refuses; a ladder split in time, planned and joined, however it ends; what
a client imports."""

from __future__ import annotations

import errno
import io
import itertools
import logging
import json
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path
from unittest import mock

import pytest
from hypothesis import HealthCheck, given
from hypothesis import settings as examples
from hypothesis import strategies as st
from kombu.exceptions import OperationalError
from celery.exceptions import Reject, SoftTimeLimitExceeded
from celery.result import AsyncResult

from conftest import make_source
from media_checks import read_master_entries, write_key_info
import tqdm.std
import _quorvane_queue_native as native
import quorvane_queue
from quorvane_queue import (LadderFailed, LadderStillRunning, base, broker, cancel_ladder,
                            children, client, ladder_result, settings, submit_ladder, worker,
                            workflow)
from quorvane_queue import storage as shared_storage
from quorvane_queue import __main__ as cli
from quorvane_queue.__main__ import wait_showing_progress
from quorvane_queue.attempts import AlreadyPublished, Attempt, remove_dead_attempts
from quorvane_queue.limits import hard_limit_ceiling, planning_limits, time_limits
from quorvane_queue.playlists import MASTER, NoRendition, published_renditions
from quorvane_queue.request import PROGRESS, check_split, read_request, split_in_windows
from quorvane_queue.tasks import encode_ladder, encode_window, plan_windows
from quorvane_queue.window_join import WINDOW_FIELDS, WindowJoin
from queue_services import wait_for

# A process that starts an attempt the way the task does, reports it, then
# dies on the spot (SIGKILL: no clean-up of any kind), lives until its
# standard input closes, or publishes a copy of a ladder and dies right after
# the rename.
_ATTEMPT_CHILD = """
import json, os, shutil, signal, sys
from pathlib import Path
from quorvane_queue import attempts, storage
output, task_id, mode = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
delivery = attempts.remove_dead_attempts(output, task_id).delivery + 1
attempt = attempts.Attempt.start(output, task_id, delivery, {"pid": os.getpid()})
print(json.dumps({"folder": str(attempt.folder), "delivery": delivery}), flush=True)
if mode == "die":
    os.kill(os.getpid(), signal.SIGKILL)
if mode.startswith("publish-then-die:"):
    shutil.copytree(mode.split(":", 1)[1], attempt.folder, dirs_exist_ok=True)
    def die_on_parent(path, *args):
        if Path(path) == output.parent:
            os.kill(os.getpid(), signal.SIGKILL)
    storage.fsync_path = die_on_parent
    attempt.publish()
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
        if mode != "live":
            child.wait()
        return report

    yield start
    for child in children:
        child.stdin.close()
        child.stdout.close()
        child.wait(timeout=60)


def hidden_entries(parent: Path) -> list[str]:
    return sorted(entry.name for entry in parent.iterdir() if entry.name.startswith("."))


def attempt_entries(*reports: dict) -> list[str]:
    """The folder and the lock file of each attempt reported."""
    names = [Path(report["folder"]).name for report in reports]
    return sorted(names + [name + ".lock" for name in names])


def test_dead_attempts_are_removed_live_ones_kept_and_deliveries_counted(tmp_path, attempt_child):
    """A start also removes what a ladder stopped by its hard limit, or
    cancelled, left at any output name, and removals cut short."""
    output = tmp_path / "talk"
    live = attempt_child(output, "other-task", "live")
    attempt_child(tmp_path / "other", "task", "die")   # not this task's: another output
    (tmp_path / ".talk.attempt-x-y.trash-0123456789ab" / "nested").mkdir(parents=True)
    (tmp_path / "ladder-a").mkdir()
    dead = [attempt_child(output, "task", "die") for _ in range(3)]

    # Each delivery found the one before it dead, removed it and counted on;
    # the live attempt of another task was neither removed nor counted.
    assert [report["delivery"] for report in dead] == [1, 2, 3]
    assert live["delivery"] == 1
    assert hidden_entries(tmp_path) == attempt_entries(live, dead[-1])
    assert (tmp_path / "ladder-a").is_dir()
    # A fourth delivery would be past the task's limit of three.
    assert remove_dead_attempts(output, "task").delivery == 3
    assert hidden_entries(tmp_path) == attempt_entries(live)
    # A task delivered again while its earlier attempt still holds its lock
    # (its worker cut off from the broker, or its machine frozen) finds that
    # delivery alive, and leaves the attempt alone.
    sweep = remove_dead_attempts(output, "other-task")
    assert (sweep.delivery, [record["delivery"] for record in sweep.live]) == (1, [1])
    assert hidden_entries(tmp_path) == attempt_entries(live)


@pytest.fixture(scope="module")
def encoded_folder(tmp_path_factory) -> Path:
    """A real one-rendition encode (360p at 400 kb/s), copied into each
    attempt that needs one."""
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
    (tmp_path / "plain").mkdir()
    with Attempt.start(output, "task", 1, {}) as attempt:
        fill(attempt, encoded_folder)
        # What a rung that failed half way leaves: files the master does not list.
        (attempt.folder / "1080p.m3u8").write_text("#EXTM3U\n#EXTINF:6.0,\n1080p_000.ts\n")
        (attempt.folder / "1080p_000.ts").write_bytes(b"\0" * 188)
        assert attempt.publish() == ["360p"]
    names = sorted(path.name for path in output.iterdir())
    assert names == ["360p.m3u8", "360p_000.ts", MASTER]
    assert hidden_entries(tmp_path) == []
    assert published_renditions(output) == ["360p"]
    # Readable as any folder made here would be, not mkdtemp's owner-only.
    assert output.stat().st_mode == (tmp_path / "plain").stat().st_mode

    before = {path.name: path.read_bytes() for path in output.iterdir()}
    with Attempt.start(output, "task-2", 1, {}) as late:
        fill(late, encoded_folder)
        with pytest.raises(AlreadyPublished):
            late.publish()
    assert {path.name: path.read_bytes() for path in output.iterdir()} == before
    assert hidden_entries(tmp_path) == []


def test_crash_right_after_the_rename_leaves_no_bookkeeping_in_the_ladder(
        tmp_path, encoded_folder, attempt_child):
    output = tmp_path / "talk"
    attempt_child(output, "task", f"publish-then-die:{encoded_folder}")

    assert sorted(path.name for path in output.iterdir()) == ["360p.m3u8", "360p_000.ts", MASTER]
    assert [name for name in hidden_entries(tmp_path) if name.endswith(".lock")]
    remove_dead_attempts(tmp_path / "next", "task-2")
    assert hidden_entries(tmp_path) == []
    assert published_renditions(output) == ["360p"]


@pytest.mark.parametrize("spoil", [
    lambda folder: (folder / MASTER).unlink(),
    lambda folder: (folder / MASTER).write_text("#EXTM3U\n"),
    lambda folder: (folder / "360p_000.ts").unlink(),
    lambda folder: (folder / "360p.m3u8").write_text(
        (folder / "360p.m3u8").read_text().replace("#EXT-X-ENDLIST", ""))],
    ids=["no master", "empty master", "a segment gone", "an unfinished playlist"])
def test_nothing_is_published_without_a_complete_rendition(tmp_path, encoded_folder, spoil):
    output = tmp_path / "talk"
    with Attempt.start(output, "task", 1, {}) as attempt:
        fill(attempt, encoded_folder)
        spoil(attempt.folder)
        with pytest.raises(NoRendition):
            attempt.publish()
    assert not output.exists()
    assert hidden_entries(tmp_path) == []


# --- the task, run in this process (Celery's eager apply) ---------------------


@pytest.fixture
def storage(tmp_path: Path) -> Path:
    (tmp_path / "ladders").mkdir()
    write_key_info(tmp_path / "ladders")
    source = make_source(tmp_path / "talk.mp4", size="160x90", seconds=2)
    return source.parent


def fake_encode(ladder: Path | None, reasons: list[str]):
    """Stands in for the task's encode process: copies `ladder` (when given)
    into the attempt folder and hands back `reasons` as the encode process
    reports what hls_encoder logged."""
    def encode(job, folder, log, watch):
        if ladder is not None:
            shutil.copytree(ladder, folder, dirs_exist_ok=True)
        return {"reasons": reasons}, 0.0
    return encode


def run_task(storage: Path, output: str = "talk", **kwargs) -> dict:
    return encode_ladder.apply(args=(str(storage / "talk.mp4"), str(storage / "ladders" / output)),
                               kwargs=kwargs, task_id=f"task-{output}").get()


def test_the_encoders_reasons_reach_the_result(storage, encoded_folder, monkeypatch):
    failed_720p = "720p: opening the output 720p_000.ts: Permission denied"
    monkeypatch.setattr(children, "run_encode", fake_encode(encoded_folder, [failed_720p]))
    outcome = run_task(storage, resolution=["720p", "360p"])
    assert (outcome["renditions"], outcome["rung_failures"]) == (["360p"], [failed_720p])
    assert hidden_entries(storage / "ladders") == []


def test_a_retried_encode_that_then_succeeds_logs_the_crashed_run_but_leaves_no_file(
        storage, encoded_folder, monkeypatch, caplog):
    """The crashed run's messages end up in the worker's log, where its retry
    was told, not in a file beside the published ladder."""
    runs = []

    def crash_once(job, folder, log, watch):
        runs.append(folder)
        if len(runs) == 1:
            log.write_text("x" * 9000 + "\ndecoding: invalid NAL unit\n")
            raise children.EncoderCrashed("the encode process ended by signal SIGKILL")
        return fake_encode(encoded_folder, [])(job, folder, log, watch)
    monkeypatch.setattr(children, "run_encode", crash_once)
    monkeypatch.setattr(base, "ENCODER_RETRY_SECONDS", 0)
    with caplog.at_level(logging.WARNING, logger=base.logger.name):
        assert run_task(storage)["encoded"] and len(runs) == 2
    assert hidden_entries(storage / "ladders") == []
    [told] = [record.getMessage() for record in caplog.records if "delivery 2" in record.getMessage()]
    assert told.endswith("x\ndecoding: invalid NAL unit") and len(told) < 4096 + 200, told


def test_soft_limit_after_the_rename_reports_the_published_ladder(storage, encoded_folder, monkeypatch):
    monkeypatch.setattr(children, "run_encode", fake_encode(encoded_folder, []))
    fsync = shared_storage.fsync_path

    def limit_after_rename(path, *args):
        if Path(path) == storage / "ladders":   # the parent's fsync follows the rename
            raise SoftTimeLimitExceeded()
        fsync(path, *args)
    monkeypatch.setattr(shared_storage, "fsync_path", limit_after_rename)

    outcome = run_task(storage)
    assert (outcome["encoded"], outcome["renditions"]) == (True, ["360p"])
    assert sorted(path.name for path in (storage / "ladders" / "talk").iterdir()) == \
        ["360p.m3u8", "360p_000.ts", MASTER]
    assert hidden_entries(storage / "ladders") == []


def test_time_limits_grow_with_the_input_and_stay_under_the_visibility_timeout():
    visibility = 43200
    limits = [time_limits(seconds, visibility) for seconds in (1, 60, 600, 3600)]
    for soft, hard in limits:
        assert 0 < soft < hard <= hard_limit_ceiling(visibility) < visibility
    assert [hard for _, hard in limits] == sorted({hard for _, hard in limits})
    assert time_limits(None, visibility)[1] == hard_limit_ceiling(visibility)
    with pytest.raises(ValueError, match="QUORVANE_VISIBILITY_TIMEOUT"):
        time_limits(5 * 3600, visibility)
    # Split in time, such an upload is planned at decoding speed, each
    # window then limited by its own length.
    assert planning_limits(5 * 3600, visibility)[1] <= hard_limit_ceiling(visibility)


@pytest.mark.parametrize("options, refusal", [
    ({"window_seconds": 10}, "multiple of 6 s .* from 6 to 86400 s, or 0 for one task"),
    ({"window_seconds": -6}, "multiple of 6 s"),
    ({"window_seconds": 10**12}, "multiple of 6 s"),
    ({"window_seconds": 12.0}, "multiple of 6 s"),
    ({"window_seconds": 12, "split_rungs": True}, "by rung or in time windows, not both")])
def test_a_split_that_cannot_be_made_is_refused_before_anything_else(tmp_path, options, refusal):
    """Refused before the upload is read (there is none) or the broker asked."""
    with pytest.raises(ValueError, match=refusal):
        submit_ladder(tmp_path / "missing.mp4", tmp_path / "ladder", **options)


@pytest.mark.parametrize("where", ["an upload linked from elsewhere", "a ladder elsewhere",
                                   "a ladder folder the worker cannot write"])
def test_uploads_and_ladders_are_confined_to_their_folders(storage, monkeypatch, tmp_path_factory,
                                                           where):
    """Refused at submit, before anything is read or queued, and again by
    the task; a worker that cannot write a ladder folder does not start."""
    elsewhere = tmp_path_factory.mktemp("elsewhere")
    ladders, upload, output = storage / "ladders", storage / "talk.mp4", storage / "ladders/talk"
    monkeypatch.setattr(settings, "upload_folders", (str(storage / "uploads"),))
    monkeypatch.setattr(settings, "ladder_folders", (str(ladders),))
    (storage / "uploads").mkdir()
    if where == "a ladder folder the worker cannot write":
        monkeypatch.setattr(settings, "ladder_folders", (str(elsewhere / "gone"),))
        with pytest.raises(SystemExit, match=r"user \S+ \(uid \d+\) cannot write the ladder "
                                             r"folder \S+/gone \(No such file"):
            worker._refuse_ladder_folders_it_cannot_write()
        return
    if where == "an upload linked from elsewhere":
        upload = storage / "uploads" / "talk.mp4"
        upload.symlink_to(storage / "talk.mp4")
        refusal = "talk.mp4 is not in an upload folder"
    else:
        shutil.copy(storage / "talk.mp4", storage / "uploads")
        upload, output = storage / "uploads/talk.mp4", elsewhere / "talk"
        refusal = "talk is not in a ladder folder"
    with pytest.raises(LadderFailed, match=refusal):
        submit_ladder(upload, output)
    with pytest.raises(LadderFailed, match=refusal):
        encode_ladder.apply(args=(str(upload), str(output)),
                            kwargs={"key_info": str(ladders / "enc.keyinfo")}).get()
    assert hidden_entries(ladders) == [] and not output.exists()


@pytest.mark.parametrize("window_seconds, split_rungs, seconds, windows", [
    (None, False, 179.9, None), (None, False, 180.0, 60), (None, False, None, None),
    (None, True, 3600.0, None), (0, False, 3600.0, None), (0, True, 3600.0, None),
    (12, False, 10.0, 12)])
def test_a_long_upload_is_split_in_time_unless_asked_otherwise(window_seconds, split_rungs,
                                                               seconds, windows):
    """By default from three windows of 60 s of stated duration; never from
    a duration the container does not state."""
    assert split_in_windows(window_seconds, split_rungs, seconds) == windows


def test_a_new_request_for_a_published_folder_is_refused_with_what_differs(storage):
    """The same request again is answered with the published ladder; one
    that asks for other rungs, bitrates or key says what differs and leaves
    the ladder as it is. Named without bitrates, each rung got its own."""
    ladders = storage / "ladders"
    first = run_task(storage, resolution=["720p", "360p"])
    assert (first["encoded"], first["renditions"]) == (True, ["720p", "360p"])
    before = {path.name: path.read_bytes() for path in (ladders / "talk").iterdir()}

    again = run_task(storage, resolution=["720p", "360p"])
    assert (again["encoded"], again["renditions"]) == (False, ["720p", "360p"])

    with pytest.raises(LadderFailed, match=r"holds 720p, 360p, not 360p\b"):
        run_task(storage, resolution=["360p"])
    with pytest.raises(LadderFailed, match=r"holds 720p, 360p, not 1080p, 720p, 360p\b"):
        run_task(storage, resolution=["1080p", "720p", "360p"])
    with pytest.raises(LadderFailed, match=r"360p is encoded at 400000 b/s, not 300000"):
        run_task(storage, resolution=["720p", "360p"], bitrate=[2500000, 300000])
    old_key = (ladders / "enc.key").read_bytes()
    old_iv = (ladders / "enc.keyinfo").read_text().splitlines()[2]
    write_key_info(ladders, iv=old_iv)   # a new key under the same URI and IV
    assert (ladders / "enc.key").read_bytes() != old_key
    with pytest.raises(LadderFailed, match=r"720p is encrypted with another key"):
        run_task(storage, resolution=["720p", "360p"])
    write_key_info(ladders, key=old_key)   # the same key with a new IV
    with pytest.raises(LadderFailed, match=r"720p is encrypted with another IV"):
        run_task(storage, resolution=["720p", "360p"])

    assert {path.name: path.read_bytes() for path in (ladders / "talk").iterdir()} == before


# --- a ladder split in time, its tasks run here one after another -----------


@pytest.fixture(scope="module")
def windows_of_14_seconds(tmp_path_factory) -> tuple[Path, Path, list[dict], Path]:
    """A 14 s upload, its windows of 6 s as the planning pass announces them,
    and each window encoded (360p) in a folder of its own: (upload, key-info
    file, windows, folder of the encoded windows)."""
    directory = tmp_path_factory.mktemp("windows")
    upload = make_source(directory / "upload.mp4", size="160x90", seconds=14)
    key_info = write_key_info(directory)
    (directory / "sound").mkdir()
    events: list[dict] = []
    native.plan_windows(str(upload), 6, str(directory / "sound"), events.append)
    windows = [event["window"] for event in events if "window" in event]
    for window in windows:
        (directory / str(window["index"])).mkdir()
        assert workflow.encode_window(str(upload), ["360p"], [400000], str(key_info), window,
                                      directory / str(window["index"]))["reasons"] == []
    return upload, key_info, windows, directory


class LostWorker(BaseException):
    """The worker running the task is gone: nothing of the task goes on."""


@pytest.fixture
def windowed(windows_of_14_seconds, tmp_path, monkeypatch):
    """Runs a windowed ladder's tasks here: the planning pass replays
    `script` (the real windows, with progress between them), window encodes
    copy the windows encoded once, the tasks the ladder sends are kept in
    `sent` to be run by the test, the states stored in `stored`."""
    upload, key_info, windows, encoded = windows_of_14_seconds
    state = {"sent": [], "stored": [], "lose_at": None, "happened": [], "broker_away_at": None,
             "refusals": 3, "shown": [],
             "script": [{"progress": 2.0}, {"window": windows[0]}, {"progress": 8.0},
                        {"window": windows[1]}, {"progress": 12.0}, {"window": windows[2]},
                        {"ended": True}]}

    class ScriptedPass:
        def __init__(self, input, window_seconds, folder, *_args):
            self.folder = folder   # where this run of the pass puts the windows' sound

        def __enter__(self):
            return self

        def __exit__(self, *_exc):
            pass

        def __iter__(self):
            for event in list(state["script"]):
                if isinstance(event, Exception):
                    raise event
                if callable(event):   # something that happens meanwhile, once
                    if event not in state["happened"]:
                        state["happened"].append(event)
                        event()
                    continue
                if "window" in event:
                    sound = self.folder / Path(event["window"]["sound"]).name
                    event = {"window": {**event["window"], "sound": str(sound)}}
                yield event

    def encode(job, folder, log, watch):
        if job["call"] == "hls_encoder":   # the ladder encoded whole: its windows' ladder will do
            shutil.copytree(encoded / "0", folder, dirs_exist_ok=True)
            return {"reasons": []}, 0.0
        window = encoded / str(job["window"]["index"])
        shutil.copytree(window, folder, dirs_exist_ok=True)
        watch()
        return {"reasons": [], "renditions": native.read_master(str(window / MASTER))}, 1.0

    def send(name, args=(), kwargs=None, task_id=None, **_options):
        if task_id == state["broker_away_at"] and state["refusals"]:
            state["refusals"] -= 1
            raise OperationalError("[Errno 111] Connection refused")
        if task_id == state["lose_at"]:
            state["lose_at"] = None
            raise LostWorker()
        state["sent"].append((name, task_id, args, kwargs))
        state["shown"].append(_options.get("argsrepr"))

    def store(task, state_id, value, status, reply_to=None):
        state["stored"].append((state_id, status, value))

    monkeypatch.setattr(children, "PlanningPass", ScriptedPass)
    monkeypatch.setattr(children, "run_encode", encode)
    monkeypatch.setattr(children, "WATCH_SECONDS", 0)
    monkeypatch.setattr(workflow, "REPORT_SECONDS", 0)
    monkeypatch.setattr(broker, "RECONNECT_PAUSE_SECONDS", 0)
    monkeypatch.setattr(quorvane_queue.app, "send_task", send)
    monkeypatch.setattr(base.LadderStateTask, "store_state", store)
    (tmp_path / "ladders").mkdir()
    state["plan"] = lambda ladder: plan_windows.apply(
        args=(str(upload), str(tmp_path / "ladders" / "talk"), 6),
        kwargs={"resolution": ["360p"], "key_info": str(key_info)}, task_id=ladder)
    state["ladders"] = tmp_path / "ladders"
    state["windows"] = windows
    state["windows_of"] = windows_of_14_seconds
    return state


def run_sent(windowed: dict) -> list:
    """Runs the tasks sent so far, in order, as workers would."""
    tasks = {"quorvane_queue.encode_window": encode_window,
             "quorvane_queue.encode_ladder": encode_ladder}
    ran = []
    while windowed["sent"]:
        name, task_id, args, kwargs = windowed["sent"].pop(0)
        ran.append(tasks[name].apply(args=args, kwargs=kwargs, task_id=task_id))
    return ran


@pytest.mark.parametrize("ending", ["published", "the same request twice", "planning fails",
                                    "the pass crashes", "windows that do not join", "no seam",
                                    "the broker restarts"])
def test_a_windowed_ladder_ends_once_and_late_windows_leave_nothing(windowed, monkeypatch, caplog,
                                                                   ending):
    """Windows are sent as the planning pass announces them, once each, a
    planning task delivered again going on from the windows sent; progress
    counts planning; the ladder ends once (published, failed, or encoded
    whole by one task) and a window that comes after leaves nothing."""
    ladders, output = windowed["ladders"], windowed["ladders"] / "talk"
    if ending == "published":
        windowed["lose_at"] = "ladder-w1"   # its worker lost as it sends window 1
        with pytest.raises(LostWorker):
            windowed["plan"]("ladder")
    if ending == "the broker restarts":   # as window 1 is sent: the send waits for it
        windowed["broker_away_at"] = "ladder-w1"
    if ending == "planning fails":
        windowed["script"][3:] = [{"failed": "decoding: broken packet"}]
    if ending == "the pass crashes":   # the same for every delivery: no encode whole either
        windowed["script"][:] = [children.ChildEnded("ended with signal SIGSEGV")]
    if ending == "no seam":
        windowed["script"][:] = [{"unsplittable": "planning the windows: no seam can be placed"}]
    if ending == "windows that do not join":
        def refuse(parts, playlist, key_info):
            raise ValueError(f"{parts[1]}: starts at segment 3")
        monkeypatch.setattr(native, "join_window_rendition", refuse)

    planned = windowed["plan"]("ladder")
    if ending == "the same request twice":
        assert windowed["plan"]("again").state == "IGNORED"
    if ending in ("planning fails", "the pass crashes"):
        with pytest.raises(LadderFailed, match="planning its windows: (decoding: broken packet|"
                                               "ended with signal SIGSEGV)"):
            planned.get()
    elif ending == "no seam":
        assert (planned.get()["encoded"], "windows" in planned.get()) == (True, False)
    else:
        assert planned.state == "IGNORED"
    sent_windows = [task_id for name, task_id, _, _ in windowed["sent"]
                    if name.endswith("encode_window")]
    assert sent_windows == {"no seam": [], "the pass crashes": [],
                            "planning fails": ["ladder-w0"]}.get(
        ending, ["ladder-w0", "ladder-w1", "ladder-w2"])
    late = windowed["sent"][:1]
    ran = run_sent(windowed)
    if ending == "windows that do not join":   # encoded again as one task, under its id
        assert (ran[-1].id, ran[-1].get()["encoded"]) == ("ladder", True)
    stored = {(state_id, status): value for state_id, status, value in windowed["stored"]}
    if ending in ("published", "the same request twice", "the broker restarts"):
        assert [status for _, status, _ in windowed["stored"] if status == "FAILURE"] == []
        for ladder in ("ladder", "again")[:1 + (ending == "the same request twice")]:
            result = stored[ladder, "SUCCESS"]
            assert (result["encoded"], [(w["start"], w["end"]) for w in result["windows"]]) == \
                (True, [(0, 6), (6, 12), (12, pytest.approx(14, abs=0.1))])
        assert read_master_entries(output / MASTER)[0][1] == "360p.m3u8"
        # Watched: a window task shown by its name and times, the publish logged.
        assert "<window w1: 6 s to 12 s>" in windowed["shown"][-2]
        assert not any("resume" in shown for shown in windowed["shown"])
        assert "ladder ladder: published " in caplog.text
        progress = [value for state_id, status, value in windowed["stored"]
                    if (state_id, status) == ("ladder", PROGRESS)]
        planned_seconds = [info["planned_seconds"] for info in progress]
        assert planned_seconds == sorted(planned_seconds) and 0 < planned_seconds[0] < 14
        assert [info["fraction"] for info in progress] == \
            sorted(info["fraction"] for info in progress)
    if ending in ("planning fails", "the pass crashes"):   # kept, as one task keeps its log
        assert "planning its windows: " in (ladders / ".talk.failed-ladder.log").read_text()
        assert isinstance(stored["ladder", "FAILURE"], LadderFailed) and not output.exists()
    # A window delivered after the ladder's end finds nothing to do there.
    before = hidden_entries(ladders)
    for _, task_id, args, kwargs in late:
        assert encode_window.apply(args=args, task_id=task_id).get()["discarded"] == \
            "the ladder is over"
    assert hidden_entries(ladders) == before
    assert [name for name in before if ".ladder-" in name or ".attempt-" in name] == []


@pytest.mark.parametrize("case", ["a delivery resumes after another ended the plan",
                                  "planning read more than the windows hold"])
def test_a_ladder_is_published_whole_or_not_at_all(windowed, caplog, case):
    """A planning delivery frozen after its first window, resumed once
    another has planned the whole upload, lowers nothing; a join whose
    windows fall short of what planning read publishes nothing."""
    ladders, output = windowed["ladders"], windowed["ladders"] / "talk"
    script = windowed["script"]
    if case.startswith("a delivery resumes"):
        def another_delivery_plans_it_all():
            windowed["script"] = [event for event in script if not callable(event)]
            assert windowed["plan"]("ladder").state == "IGNORED"
        script.insert(2, another_delivery_plans_it_all)
        # Workers encode what was sent while the late delivery goes on.
        script.insert(script.index({"window": windowed["windows"][1]}) + 1,
                      lambda: run_sent(windowed))
    else:
        script.insert(-1, {"progress": 30.0})
    windowed["plan"]("ladder")
    run_sent(windowed)
    stored = {(state_id, status): value for state_id, status, value in windowed["stored"]}
    if case.startswith("a delivery resumes"):
        windows = stored["ladder", "SUCCESS"]["windows"]
        assert [(w["start"], w["end"]) for w in windows] == \
            [(0, 6), (6, 12), (12, pytest.approx(14, abs=0.1))]
        assert "ended: stopped: another delivery planned the ladder" in caplog.text
    else:
        assert "where planning read 30.0 s" in str(stored["ladder", "FAILURE"])
        assert not output.exists()
    assert [name for name in hidden_entries(ladders) if ".ladder-" in name] == []


@pytest.mark.parametrize("when", ["while planning", "with its windows queued",
                                  "one task, while it encodes"])
def test_a_cancelled_ladder_publishes_nothing_and_leaves_only_its_mark(windowed, encoded_folder,
                                                                     monkeypatch, when):
    ladders, output = windowed["ladders"], windowed["ladders"] / "talk"
    if when == "one task, while it encodes":
        def encode(job, folder, log, watch):
            shutil.copytree(encoded_folder, folder, dirs_exist_ok=True)
            cli.main(["--cancel", "ladder", str(output)])
            watch()
            return {"reasons": []}, 0.0
        monkeypatch.setattr(children, "run_encode", encode)
        upload, key_info = windowed["windows_of"][:2]
        ran = encode_ladder.apply(args=(str(upload), str(output)),
                                  kwargs={"key_info": str(key_info)}, task_id="ladder")
        with pytest.raises(LadderFailed, match="ladder ladder was cancelled"):
            ran.get()
    else:
        if when == "while planning":
            windowed["script"].insert(2, lambda: cancel_ladder("ladder", output))
        windowed["plan"]("ladder")
        if when == "with its windows queued":
            cancel_ladder("ladder", output)
        assert {task.get()["discarded"] for task in run_sent(windowed)} == \
            {"the ladder was cancelled"}
        failures = [value for _, status, value in windowed["stored"] if status == "FAILURE"]
        assert [str(failure) for failure in failures] == ["ladder ladder was cancelled"]
    assert not output.exists()
    assert hidden_entries(ladders) == [".talk.cancelled-ladder"]


def test_a_client_that_loses_the_broker_is_told_a_wait_that_rides_out_a_restart(monkeypatch):
    answers: list = [ConnectionRefusedError(errno.ECONNREFUSED, "Connection refused")] * 3 + [
        {"output": "/ladders/talk"}]

    def get(self, *args, **kwargs):
        answer = answers.pop(0)
        if isinstance(answer, Exception):
            raise answer
        return answer
    monkeypatch.setattr(AsyncResult, "get", get)
    monkeypatch.setattr(client, "_drop_connections", lambda app: None)
    monkeypatch.setattr(broker, "RECONNECT_PAUSE_SECONDS", 0)
    monkeypatch.setattr(broker, "RECONNECT_SECONDS", -1)   # the broker stays away too long
    with pytest.raises(LadderStillRunning) as still:
        ladder_result("ladder").get()
    advice = re.search(r"again with (\S+\.get\(\))", str(still.value)).group(1)
    monkeypatch.setattr(broker, "RECONNECT_SECONDS", 600)
    assert eval(advice, {"quorvane_queue": quorvane_queue}) == {"output": "/ladders/talk"}


MISSING = object()
JSON_LIKE = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner,
                                                                max_size=3),
    max_leaves=5)
WINDOW_MESSAGE_FIELDS = [*WINDOW_FIELDS, "ladder_id", "input", "output", "resolution",
                         "bitrate", "key_info"]


class Encoded(Exception):
    """The message was taken as a window the encode accepts."""


@pytest.fixture(scope="module")
def window_message(windows_of_14_seconds) -> dict:
    """A window task's arguments as the planning task sends them, by name,
    for a ladder being planned."""
    upload, key_info, windows, _ = windows_of_14_seconds
    output = upload.parent / "ladders" / "talk"
    output.parent.mkdir(exist_ok=True)
    arguments = {"ladder_id": "ladder", "input": str(upload), "output": str(output),
                 "resolution": ["360p"], "bitrate": [400000], "key_info": str(key_info)}
    join = WindowJoin(output, "ladder", ["360p"])
    join.start_plan(read_request(*list(arguments.values())[1:]), 6, None)
    window = {**windows[1], "sound": str(join.sound_folder("run") / "w1.sound")}
    return {**arguments, "window": window}


def encode_if_accepted(job, folder, log, watch):
    """The window encode, up to its judgement of the window."""
    native.check_window(job["window"])
    raise Encoded()


@examples(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(field=st.sampled_from(WINDOW_MESSAGE_FIELDS),
       value=st.just(MISSING) | JSON_LIKE | st.integers(min_value=2**62) | st.text())
def test_a_hostile_window_message_is_refused_at_once_naming_its_field(window_message, field,
                                                                     value):
    """Whatever a field holds, the window task answers at once: a refusal
    that names the field, or the run of a message whose window the encode
    would take (stopped there, or found over)."""
    arguments = {**window_message, "window": dict(window_message["window"])}
    where = arguments["window"] if field in WINDOW_FIELDS else arguments
    if value is MISSING:
        where.pop(field)
    else:
        where[field] = value
    names = ["ladder_id", "input", "output", "resolution", "bitrate", "key_info", "window"]
    if field not in WINDOW_FIELDS and value is MISSING:
        arguments[field] = None
    with mock.patch.object(children, "run_encode", encode_if_accepted):
        result = encode_window.apply(args=[arguments[name] for name in names],
                                     task_id="ladder-w1")
    if isinstance(result.result, Encoded) or result.state == "SUCCESS":   # a valid message
        return
    assert isinstance(result.result, LadderFailed), result.traceback
    refusal = str(result.result)
    if field in WINDOW_FIELDS:
        assert re.match(r"window (\d+ )?refused: ", refusal), refusal
    else:   # another ladder's name, or folder, no longer holds the window's sound
        names = (field, field.replace("_", "-"), "sound is not in the ladder's")
        assert any(name in refusal for name in names), refusal


@examples(max_examples=30, deadline=None)
@given(seconds=st.just(0) | JSON_LIKE | st.integers().map(lambda n: n * 6))
def test_window_seconds_are_refused_at_submit_and_by_the_planning_task_with_the_bounds(
        tmp_path_factory, seconds):
    """A refusal that states the bounds, or a length the planning task
    takes (here it then finds no output folder: nothing is planned)."""
    folder = tmp_path_factory.getbasetemp()
    try:
        check_split(seconds, False)
    except ValueError as error:
        assert "from 6 to 86400 s, or 0 for one task" in str(error)
        valid = False
    else:   # the default split or none: no planning task is sent for either
        valid = seconds not in (0, None)
    planned = plan_windows.apply(args=(str(folder / "talk.mp4"), str(folder / "no" / "talk"),
                                       seconds), task_id="plan")
    assert isinstance(planned.result, LadderFailed), planned.traceback
    assert ("output's folder" if valid else "window_seconds must be") in str(planned.result)


class ReportingTask:
    """A task whose PROGRESS states are `fractions` of 240 s of media, one
    per look, and that then succeeds."""

    def __init__(self, fractions: list[float]):
        self.reports = [{"fraction": part, "seconds_done": part * 240, "seconds_total": 240.0}
                        for part in fractions]
        self.info = None

    def ready(self) -> bool:
        self.info = self.reports.pop(0) if self.reports else None
        return self.info is None

    def progress(self) -> dict | None:
        return self.info

    def successful(self) -> bool:
        return not self.reports


def test_the_waiting_cli_shows_progress_to_the_end(monkeypatch):
    """A line per 10 % passed, however unevenly the states come, and the
    end once the ladder is published; on a terminal, a bar whose clock runs
    on while the fraction waits."""
    monkeypatch.setattr(cli, "POLL_SECONDS", 0)
    lines = io.StringIO()
    wait_showing_progress(ReportingTask([0, .03, .05, .29, .29, .31, .6, .97]), lines)
    assert lines.getvalue().splitlines() == [
        "encoding 0 % (0 of 240 s of media written)",
        "encoding 20 % (70 of 240 s of media written)",
        "encoding 30 % (74 of 240 s of media written)",
        "encoding 60 % (144 of 240 s of media written)",
        "encoding 90 % (233 of 240 s of media written)",
        "encoding 100 % (240 of 240 s of media written)",
    ]
    clock = itertools.count(0, 60)   # a minute passes at every look at the clock
    monkeypatch.setattr(tqdm.std, "time", lambda: next(clock))
    terminal = io.StringIO()
    terminal.isatty = lambda: True
    wait_showing_progress(ReportingTask([.5, .5, .5]), terminal)
    frames = [frame for frame in terminal.getvalue().split("\r") if "|" in frame]
    waiting = [frame.split("| ")[1].split(" gone")[0] for frame in frames if " 50%|" in frame]
    assert len(set(waiting)) >= 3, frames
    assert " 100%|" in frames[-1], frames


@pytest.mark.parametrize("fault, failure, runs", [
    ("the encode process dies", r"ended by signal SIGKILL, in each of 3 deliveries", 3),
    ("the storage fails", r"the shared storage failed in each of 4 runs: .*Input/output error", 4),
    ("the storage refuses", r"user \S+ \(uid \d+\) may not write \S+/ladders/", 1),
    ("the broker goes away", r"the broker went away .*given back to the queue", 1)])
def test_a_task_cut_short_is_retried_then_fails_for_good(storage, monkeypatch, fault, failure,
                                                        runs):
    """An encode process killed (out of memory) or crashed, or shared
    storage that fails, leaves no ladder: the task runs again, and fails for
    good after a few runs, keeping the last encode's log. A worker the
    storage refuses says who it runs as, and is not retried; a broker that
    goes away is no storage fault: the task is given back to the queue."""
    starts = []

    def start_failing_encoder(job, folder, log):
        starts.append(folder)
        if fault == "the storage fails":
            raise OSError(errno.EIO, "Input/output error", str(log))
        if fault == "the storage refuses":
            raise PermissionError(errno.EACCES, "Permission denied", str(folder))
        if fault == "the broker goes away":
            raise ConnectionResetError(errno.ECONNRESET, "Connection reset by peer")
        with open(log, "ab") as log:
            return subprocess.Popen(
                [sys.executable, "-c", "import os, signal, sys; sys.stderr.write('decoding\\n'); "
                 "sys.stderr.flush(); os.kill(os.getpid(), signal.SIGKILL)"],
                stdout=subprocess.PIPE, stderr=log)
    monkeypatch.setattr(children, "start_child", start_failing_encoder)

    with pytest.raises((LadderFailed, Reject), match=failure) as failed:
        result = encode_ladder.apply(args=(str(storage / "talk.mp4"),
                                           str(storage / "ladders/talk")),
                                     kwargs={"resolution": ["360p"]}, task_id="task-talk")
        raise result.result if result.state == "REJECTED" else result.get()
    assert len(starts) == runs
    kept = [path for path in (storage / "ladders").iterdir() if path.name.startswith(".")]
    assert [path.name for path in kept] == ([] if runs != 3 else [".talk.failed-task-talk.log"])
    assert all(str(path) in str(failed.value) and path.read_text().startswith("decoding\n")
               for path in kept)
    assert not (storage / "ladders" / "talk").exists()


@pytest.mark.parametrize("child", ["writes a report of 1 MiB", "runs past the soft limit"])
def test_a_task_reads_its_child_as_it_runs_and_keeps_its_own_time_limit(storage, monkeypatch,
                                                                       child):
    """A report bigger than a pipe holds does not block the encode process;
    the soft limit holds without the pool (whose timers a lost broker
    connection clears): eager here, the task keeps it alone."""
    script, failure = {
        "writes a report of 1 MiB": ("import json, sys; json.dump({'reasons': ['r' * 1024] * 1024}"
                                     ", sys.stdout)", r"completed no rendition: r{1024} \(FFmpeg"),
        "runs past the soft limit": ("import time; time.sleep(3600)",
                                     r"ran past its soft time limit \(1 s\)")}[child]

    def start(job, folder, log):
        with open(log, "ab") as messages:
            return subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                    stderr=messages)
    monkeypatch.setattr(children, "start_child", start)
    if child == "runs past the soft limit":
        monkeypatch.setattr(encode_ladder, "soft_time_limit", 1)
    with pytest.raises(LadderFailed, match=failure):
        run_task(storage, resolution=["360p"])


# Starts an encode as the task does, reports the encode process and its log,
# and waits for its standard input to close.
_ENCODING_PARENT = """
import sys
from pathlib import Path
from quorvane_queue import children
from quorvane_queue.attempts import Attempt
from quorvane_queue.request import LadderRequest
output, source, key_info = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
attempt = Attempt.start(output, "task", 1, {})
job = LadderRequest(source, output, ["360p"], [], key_info).encoder_job()
child = children.start_child(job, attempt.folder, attempt.log)
print(child.pid, attempt.log, flush=True)
sys.stdin.read()
"""


def process_state(pid: int) -> str | None:
    """The kernel's one-letter state of process `pid`; None once it is gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def test_the_encode_process_dies_with_the_task_process(tmp_path):
    """A hard time limit or a lost worker kills the task's process; the
    encode must not go on writing into an attempt nobody owns."""
    source = make_source(tmp_path / "long.mp4", size="320x180", seconds=30)
    key_info = write_key_info(tmp_path)
    parent = subprocess.Popen([sys.executable, "-c", _ENCODING_PARENT, str(tmp_path / "talk"),
                               str(source), str(key_info)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        pid_text, log = parent.stdout.readline().split()
        encoder = int(pid_text)
        # FFmpeg has spoken: the encode runs, past the request to die with its parent.
        wait_for(lambda: Path(log).stat().st_size > 0, "the encode to start")
        os.kill(encoder, signal.SIGSTOP)
        # Running, sleeping or in the disk: the stop is on its way.
        wait_for(lambda: process_state(encoder) not in ("R", "S", "D"), "the encode to stop")
        assert process_state(encoder) == "T"   # stopped midway, not finished
        parent.kill()
        parent.wait()
        wait_for(lambda: process_state(encoder) in (None, "Z"), "the encode process to die")
    finally:
        parent.kill()
        parent.wait()
        parent.stdin.close()
        parent.stdout.close()


def test_a_client_imports_nothing_of_the_worker():
    """submit_ladder runs in web applications: its module loads neither the
    tasks nor Celery's worker."""
    loaded = subprocess.run([sys.executable, "-c", "import sys, quorvane_queue.client; "
                             "print(' '.join(sys.modules))"], capture_output=True, text=True,
                            check=True).stdout.split()
    assert [name for name in loaded if name.startswith("celery.worker") or name in (
        "quorvane_queue.tasks", "quorvane_queue.worker", "quorvane_queue.base")] == []
