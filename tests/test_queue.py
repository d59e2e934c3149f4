"""quorvane_queue end to end on Redis: a real Redis on a loopback port, real
Celery workers (prefork, one child each), real encodes on a folder standing
in for the shared storage.

Nothing here is timed: every wait polls for a state with a generous bound,
and a task is stopped at a known point through the workers' hold hook."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import threading
import uuid
from pathlib import Path

import pytest

from conftest import run_ffmpeg
from media_checks import probe_streams, run_hls_encoder
from queue_checks import (RESULT_TIMEOUT, assert_ladder_plays, leftovers,
                          published_lines, received, source, storage, watch)
from queue_services import RedisServer, Worker, held, hold_at, release, use_broker, wait_for

import quorvane_queue
from quorvane_queue import LadderFailed, children, submit_ladder
from quorvane_queue.__main__ import main
from quorvane_queue.client import _send_rungs
from quorvane_queue.playlists import MASTER
from quorvane_queue.tasks import encode_ladder, encode_rung

app = quorvane_queue.app
SOFT_LIMIT = 3
__all__ = ["storage", "watch"]   # fixtures


@pytest.fixture(scope="module")
def broker(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    use_broker(app, server.url(), server.url())
    yield server
    app.close()
    server.stop()


@pytest.fixture(scope="module")
def hold(tmp_path_factory) -> Path:
    """Where the tests ask the workers to hold a task (queue_hooks.py)."""
    return tmp_path_factory.mktemp("hold")


@pytest.fixture
def start_worker(broker, hold, tmp_path_factory):
    """Starts workers that the test's end stops, passed or failed."""
    workers: list[Worker] = []

    def start(name: str, queue: str) -> Worker:
        worker = Worker(name, queue, broker.url(), tmp_path_factory.mktemp("workers"), hold=hold)
        workers.append(worker)
        return worker

    yield start
    for worker in workers:
        worker.stop()


@pytest.fixture(scope="module")
def shared_workers(broker, hold, tmp_path_factory):
    """Two workers on the queue "shared", for the tests that need nothing
    special of them."""
    directory = tmp_path_factory.mktemp("shared-workers")
    workers = []
    try:
        for name in ("one", "two"):
            workers.append(Worker(name, "shared", broker.url(), directory, hold=hold))
        for worker in workers:
            worker.wait_ready(app)
        yield workers
    finally:
        for worker in workers:
            worker.stop()


class PublishedStates:
    """Every state the Redis result store publishes for one task, in order,
    from before it is sent (Celery publishes each one it stores)."""

    def __init__(self, broker: RedisServer, task_id: str):
        self.client = broker.client()
        self.subscription = self.client.pubsub()
        self.subscription.subscribe(f"celery-task-meta-{task_id}")
        self.states: list[dict] = []

    def collect(self) -> list[dict]:
        while message := self.subscription.get_message(timeout=1):
            if message["type"] == "message":
                self.states.append(json.loads(message["data"]))
        return self.states

    def close(self) -> None:
        self.subscription.close()
        self.client.close()


def broker_idle(broker: RedisServer, queue: str) -> bool:
    """Nothing waiting in `queue` and nothing delivered but unacknowledged."""
    with broker.client() as client:
        return client.llen(queue) == 0 and client.hlen("unacked") == 0


# --- tests --------------------------------------------------------------------


def test_four_videos_on_two_workers_are_all_published_and_playable(shared_workers, storage):
    ladders = storage / "ladders"
    sources = [source(storage, f"video{index}.mp4", 2) for index in range(4)]
    results = [submit_ladder(path, ladders / path.stem, resolution=["360p"], bitrate=[400000],
                             queue="shared") for path in sources]
    outcomes = [result.get(timeout=RESULT_TIMEOUT) for result in results]

    for path, outcome in zip(sources, outcomes):
        assert outcome["output"] == str(ladders / path.stem)
        assert (outcome["renditions"], outcome["encoded"], outcome["delivery"]) == (["360p"], True, 1)
        assert (outcome["media_seconds"], outcome["warnings"]) == (pytest.approx(2, abs=0.1), [])
        assert_ladder_plays(ladders / path.stem, ["360p"], 2)
    # Each child takes one task and reserves none beyond it, so two idle
    # workers both get work.
    assert {outcome["worker"] for outcome in outcomes} == {w.hostname for w in shared_workers}
    assert leftovers(ladders) == []
    # The workers' log says which task started and how it ended; FFmpeg's
    # messages stay out of it.
    log = "".join(worker.log_text() for worker in shared_workers)
    for path, result in zip(sources, results):
        assert log.count(f"task {result.id} started: {path} -> {ladders / path.stem}") == 1
        assert log.count(f"task {result.id} ended: published 360p, delivery 1 (") == 1
    assert "[hls @" not in log and "[libx264 @" not in log
    # The same request again is answered with the ladder, which stays as it is.
    before = {p.name: (p.stat().st_ino, p.stat().st_mtime_ns) for p in (ladders / "video0").iterdir()}
    again = submit_ladder(sources[0], ladders / "video0", resolution=["360p"], bitrate=[400000],
                          queue="shared").get(timeout=RESULT_TIMEOUT)
    assert (again["encoded"], again["renditions"], again["delivery"]) == (False, ["360p"], 0)
    assert {p.name: (p.stat().st_ino, p.stat().st_mtime_ns)
            for p in (ladders / "video0").iterdir()} == before
    assert published_lines(shared_workers, ladders / "video0") == 1


def test_progress_rises_while_the_ladder_encodes(broker, shared_workers, storage, hold):
    """The encode runs one segment at a time (queue_hooks.py): each progress
    state is reported with the encode stopped midway."""
    ladders = storage / "ladders"
    seconds = 12   # two 6-second segments per rung
    path = source(storage, "progress.mp4", seconds)
    output = ladders / "progress"
    (hold / "progress.step").touch()
    task_id = str(uuid.uuid4())
    states = PublishedStates(broker, task_id)
    try:
        result = submit_ladder(path, output, resolution=["480p", "360p"], queue="shared",
                               task_id=task_id)
        outcome = result.get(timeout=RESULT_TIMEOUT)
        published = states.collect()
    finally:
        states.close()

    assert outcome["renditions"] == ["480p", "360p"]
    assert [state["status"] for state in published][-1] == "SUCCESS"
    progress = [state["result"] for state in published if state["status"] == "PROGRESS"]
    fractions = [info["fraction"] for info in progress]
    assert fractions == sorted(fractions)
    # Media seconds of both rungs, counted as the playlists grow by a segment.
    assert [info["seconds_total"] for info in progress] == \
        pytest.approx([2 * seconds] * len(progress), abs=0.2)
    midway = {info["seconds_done"] for info in progress if 0 < info["fraction"] < 1}
    assert len(midway) >= 3, progress
    for info in progress:
        assert info["fraction"] == pytest.approx(info["seconds_done"] / info["seconds_total"])
    assert {stream["codec_type"] for stream in probe_streams(output / MASTER)} >= {"video", "audio"}


@pytest.mark.parametrize("case", ["no video", "no video, split", "soft time limit"])
def test_a_ladder_that_fails_fails_once_with_one_reason_and_its_logs(
        broker, shared_workers, storage, hold, case):
    """Sent past submit_ladder's check (as an upload replaced after it was
    queued), whole or one task per rung, or held past its soft limit after
    its encode (queue_hooks.py), the ladder fails once: its reason once, the
    kept logs named and ended with the failure, its folders removed."""
    ladders = storage / "ladders"
    output, rungs = ladders / case.replace(" ", "-").replace(",", ""), ["720p", "360p"]
    path = storage / "sound.mp4"
    run_ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "2",
               "-c:a", "aac", str(path))
    limit = None
    if case == "soft time limit":
        path, rungs, limit = source(storage, "slow.mp4", 2), ["360p"], SOFT_LIMIT
        hold_at(hold, output)
    if case.endswith("split"):
        result = _send_rungs(str(path), str(output), {"resolution": rungs}, rungs,
                             {"queue": "shared"}, None)
    else:
        result = encode_ladder.apply_async(args=(str(path), str(output)),
                                           kwargs={"resolution": rungs}, queue="shared",
                                           soft_time_limit=limit)
    reason = ("soft time limit" if case == "soft time limit" else
              "completed no rendition: all rungs: probing the input: the input has no video stream")
    with pytest.raises(LadderFailed, match=reason) as failure:
        result.get(timeout=RESULT_TIMEOUT)
    assert str(failure.value).count("all rungs:") <= 1
    # Each rung of a split ladder keeps its log, and the ladder its failure.
    kept = sorted(ladders.glob(f".{output.name}*.failed-*.log"))
    assert len(kept) == (len(rungs) + 1 if case.endswith("split") else 1)
    for log in kept:
        assert str(log) in str(failure.value) or log.name == f".{output.name}.failed-{result.id}.log"
        assert re.match(r"quorvane_queue: task \S+ failed: ", log.read_text().splitlines()[-1])
    # Acknowledged, not queued again nor held for a retry: once the broker
    # holds nothing, each task has been received exactly once.
    wait_for(lambda: broker_idle(broker, "shared"), "the broker to hold nothing")
    ids = [f"{result.id}-{rung}" for rung in rungs] if case.endswith("split") else [result.id]
    task = "encode_rung" if case.endswith("split") else "encode_ladder"
    assert all(received(shared_workers, task_id, task) == 1 for task_id in ids)
    log = "".join(worker.log_text() for worker in shared_workers)
    assert all(re.search(rf"task {task_id} ended: (rung \S+ )?failed: ", log) for task_id in ids)
    assert not output.exists()
    assert leftovers(ladders) == []


LADDER = ["1080p", "720p", "480p", "360p"]


def test_a_ladder_split_by_rung_is_shared_by_two_workers_and_published_once(
        broker, shared_workers, storage, watch):
    ladders = storage / "ladders"
    path = source(storage, "split.mp4", 2)
    output = ladders / "split"
    watching = watch(output, tuple(LADDER))
    ladder_id = str(uuid.uuid4())
    states = PublishedStates(broker, ladder_id)
    try:
        outcome = submit_ladder(path, output, queue="shared", split_rungs=True,
                                task_id=ladder_id).get(timeout=RESULT_TIMEOUT)
        published = states.collect()
    finally:
        states.close()

    assert (outcome["output"], outcome["renditions"], outcome["encoded"]) == \
        (str(output), LADDER, True)
    assert sorted(outcome["rungs"]) == sorted(LADDER)
    assert {rung["worker"] for rung in outcome["rungs"].values()} == \
        {worker.hostname for worker in shared_workers}
    assert all(rung["seconds"] > 0 for rung in outcome["rungs"].values())
    # The ladder's progress, over its four rungs, from both workers: each
    # rung reports as its encode starts, and no report goes back.
    assert [state["status"] for state in published][-1] == "SUCCESS"
    progress = [state["result"] for state in published if state["status"] == "PROGRESS"]
    assert len(progress) >= len(LADDER)
    assert [info["seconds_total"] for info in progress] == \
        pytest.approx([2 * len(LADDER)] * len(progress), abs=0.2)
    fractions = [info["fraction"] for info in progress]
    assert fractions == sorted(fractions)
    watching.assert_published_once()
    assert_ladder_plays(output, LADDER)
    assert leftovers(ladders) == []


def test_a_rung_whose_worker_is_killed_is_redone_alone(broker, shared_workers, storage, watch,
                                                       hold):
    ladders = storage / "ladders"
    path = source(storage, "rungs.mp4", 2)
    output = ladders / "rungs"
    watching = watch(output, ("720p", "360p"))
    hold_at(hold, output.with_name("rungs.720p"))   # the 720p rung's attempt

    result = submit_ladder(path, output, resolution=["720p", "360p"], queue="shared",
                           split_rungs=True)
    marker = wait_for(lambda: held(hold, output.with_name("rungs.720p")),
                      "the 720p rung to be held", RESULT_TIMEOUT)
    os.kill(int(marker.read_text()), signal.SIGKILL)
    release(hold, output.with_name("rungs.720p"))
    outcome = result.get(timeout=RESULT_TIMEOUT)

    assert outcome["renditions"] == ["720p", "360p"]
    watching.assert_published_once()
    assert_ladder_plays(output, ["720p", "360p"])
    assert received(shared_workers, f"{result.id}-720p", "encode_rung") == 2
    assert received(shared_workers, f"{result.id}-360p", "encode_rung") == 1
    log = "".join(worker.log_text() for worker in shared_workers)
    assert log.count(f"task {result.id}-360p ended: rung 360p encoded") == 1
    assert log.count(f"task {result.id}-720p ended: rung 720p encoded") == 1
    assert leftovers(ladders) == []
    wait_for(lambda: broker_idle(broker, "shared"), "the broker to hold nothing")


def test_worker_killed_mid_encode_publishes_once_on_another(broker, start_worker, storage, watch,
                                                           hold):
    ladders = storage / "ladders"
    seconds = 2
    path = source(storage, "long.mp4", seconds)
    output = ladders / "long"
    first = start_worker("first", "kill")
    first.wait_ready(app)
    watching = watch(output)
    hold_at(hold, output)

    result = submit_ladder(path, output, resolution=["360p"], queue="kill")
    marker = wait_for(lambda: held(hold, output), "the encode to be held", RESULT_TIMEOUT)
    # Held with a complete encode, not published. Keep the first worker from
    # taking the task back, then kill the child as the kernel's
    # out-of-memory killer would.
    assert len(list(ladders.glob(".long.attempt-*/" + MASTER))) == 1
    assert not output.exists()
    replies = app.control.cancel_consumer("kill", destination=[first.hostname], reply=True, timeout=30)
    assert replies and "ok" in replies[0][first.hostname], replies
    os.kill(int(marker.read_text()), signal.SIGKILL)
    # The first worker sees its child lost and puts the message back.
    with broker.client() as client:
        wait_for(lambda: client.llen("kill") == 1, "the task to return to the queue")
    assert len(leftovers(ladders)) == 3  # the dead attempt's folder, lock file and log

    release(hold, output)
    second = start_worker("second", "kill")
    outcome = result.get(timeout=RESULT_TIMEOUT)

    assert (outcome["encoded"], outcome["delivery"], outcome["worker"]) == (True, 2, second.hostname)
    watching.assert_published_once()
    assert published_lines([first, second], output) == 1
    assert received([first], result.id) == 1 and received([second], result.id) == 1
    assert_ladder_plays(output, ["360p"], seconds)
    assert leftovers(ladders) == []
    wait_for(lambda: broker_idle(broker, "kill"), "the broker to hold nothing")


class WatchedPipe:
    """A named pipe at `path` whose writer side a thread keeps trying to
    open. Opening a pipe for reading waits for a writer, so nobody can open
    it without the thread seeing it; `opened_by_reader()` stops the watch
    and says whether anyone did."""

    def __init__(self, path: Path):
        self.path = path
        os.mkfifo(path)
        self._stop = threading.Event()
        self._opened = False
        self._thread = threading.Thread(target=self._meet_readers, daemon=True)
        self._thread.start()

    def _meet_readers(self) -> None:
        while not self._stop.is_set():
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:   # ENXIO: no reader has it open
                self._stop.wait(0.01)
                continue
            self._opened = True
            os.close(fd)   # the reader sees the end of the file

    def opened_by_reader(self) -> bool:
        self._stop.set()
        self._thread.join()
        return self._opened


# What each upload holds, naming the pipe {entry} (or {name}, beside it); the
# demuxer that plain ffprobe follows it with; where it lies.
DISGUISES = {
    "hls": ("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n{entry}\n#EXT-X-ENDLIST\n",
            "hls", "upload.mp4"),
    "playlist": ("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10.0,\n../{name}\n#EXT-X-ENDLIST\n",
                 None, "inner/upload.m3u8"),
    # The concat demuxer's safe mode takes only plain names beside the script.
    "concat": ("ffconcat version 1.0\nfile {name}\nduration 10\n", "concat", "upload.mp4"),
    "dash": ('<?xml version="1.0"?>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
             'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011" mediaPresentationDuration='
             '"PT10S" minBufferTime="PT1S"><Period><AdaptationSet mimeType="video/mp4">'
             '<Representation id="1" bandwidth="100000" width="160" height="90"><BaseURL>{entry}'
             '</BaseURL></Representation></AdaptationSet></Period></MPD>\n', "dash", "upload.mp4"),
    "pipe": (None, None, "other-user.ts"),
}


@pytest.mark.parametrize("disguise", DISGUISES)
def test_an_upload_the_call_refuses_is_refused_at_submit_with_its_reason(
        broker, tmp_path, capsys, disguise):
    """Nothing is queued, the file the upload names (a pipe that would block
    whoever opens it) is never opened, and the command line shows the call's
    own reason, as it is. Plain ffprobe shows first that each upload really
    names the pipe."""
    text, demuxer, name = DISGUISES[disguise]
    entry, upload = tmp_path / "other-user.ts", tmp_path / name
    if text:
        upload.parent.mkdir(exist_ok=True)
        upload.write_text(text.format(entry=entry, name=entry.name))
    if demuxer:
        listed = WatchedPipe(entry)
        for forced in ([], ["-f", demuxer]):   # FFmpeg 7.1 no longer guesses HLS from an .mp4
            subprocess.run(["ffprobe", "-v", "quiet", *forced, upload.name], cwd=upload.parent,
                           capture_output=True, timeout=120, check=False)
        assert listed.opened_by_reader(), "the upload does not make ffprobe open what it lists"
        entry.unlink()
    listed = WatchedPipe(entry)
    assert main([str(upload), str(tmp_path / "ladder"), "--queue", "refused"]) == 1
    assert not listed.opened_by_reader()
    with broker.client() as client:
        assert client.llen("refused") == 0
    entry.unlink()
    listed = WatchedPipe(entry)
    logged = run_hls_encoder(upload, key="k", cwd=tmp_path).stderr.splitlines()
    assert not listed.opened_by_reader()
    [reason] = [line for line in logged if line.startswith("all rungs: ")]
    assert capsys.readouterr().err == f"python -m quorvane_queue: {upload}: {reason}\n"


def test_an_upload_whose_reader_dies_is_refused_and_the_caller_lives_on(tmp_path, monkeypatch):
    """The upload is read in a process of its own: a file that crashes the
    demuxer (here a reader that dies as it would) costs a refusal."""
    # The default action first: a sanitizer's handler would turn the signal into a report.
    monkeypatch.setattr(children, "_PROBE", "import os, signal; signal.signal(signal.SIGSEGV, "
                        "signal.SIG_DFL); os.kill(os.getpid(), signal.SIGSEGV)")
    with pytest.raises(LadderFailed, match="reading the upload ended with signal SIGSEGV"):
        submit_ladder(tmp_path / "upload.mp4", tmp_path / "ladder")


@pytest.mark.parametrize("late", ["another ladder", "the same rung again"])
def test_a_split_ladder_met_by_a_late_task_answers_and_leaves_nothing(
        broker, shared_workers, storage, hold, late):
    """The first task of the 720p rung is held until the ladder has been
    published by another one: the same ladder submitted again, or its 720p
    rung delivered again. Released, it goes on (reporting its progress, as
    a frozen worker that resumes would): every caller gets the ladder,
    nothing of either join stays beside it, and the late rung is logged as
    thrown away."""
    ladders = storage / "ladders"
    name = "twice" if late == "another ladder" else "again"   # held once per name
    path = source(storage, f"{name}.mp4", 2)
    output = ladders / name
    names = ["720p", "360p"]
    rung = output.with_name(f"{name}.720p")
    hold_at(hold, rung)
    first = submit_ladder(path, output, resolution=names, queue="shared", split_rungs=True)
    wait_for(lambda: held(hold, rung), "the 720p rung to be held", RESULT_TIMEOUT)
    if late == "another ladder":
        second = submit_ladder(path, output, resolution=names, queue="shared", split_rungs=True)
    else:
        second = first
        encode_rung.apply_async(args=(first.id, str(path), str(output), names, None, None, "720p"),
                                task_id=f"{first.id}-720p-again", queue="shared")
    wait_for(output.exists, "the ladder to be published", RESULT_TIMEOUT)
    release(hold, rung)

    outcomes = [result.get(timeout=RESULT_TIMEOUT) for result in (first, second)]
    wait_for(lambda: broker_idle(broker, "shared"), "the broker to hold nothing")
    assert [outcome["renditions"] for outcome in outcomes] == [names, names]
    assert_ladder_plays(output, names)
    assert leftovers(ladders) == []
    # The late task's rung was encoded for nothing, and its line says so.
    log = "".join(worker.log_text() for worker in shared_workers)
    assert log.count(f"task {first.id}-720p ended: rung 720p encoded, discarded: ") == 1


def test_a_one_task_ladder_requested_twice_at_once_is_encoded_once(broker, shared_workers,
                                                                   storage, hold):
    """The second request follows the first, held after its encode, and is
    answered by what it publishes; nothing is encoded for it."""
    ladders, path = storage / "ladders", source(storage, "both.mp4", 2)
    output = ladders / "both"
    hold_at(hold, output)
    first = submit_ladder(path, output, resolution=["360p"], queue="shared")
    wait_for(lambda: held(hold, output), "the first encode to be held", RESULT_TIMEOUT)
    second = submit_ladder(path, output, resolution=["360p"], queue="shared")
    follows = f"task {second.id} follows task {first.id}"
    wait_for(lambda: follows in "".join(worker.log_text() for worker in shared_workers),
             "the second request to follow the first", RESULT_TIMEOUT)
    release(hold, output)
    outcomes = [result.get(timeout=RESULT_TIMEOUT) for result in (first, second)]
    assert [outcome["encoded"] for outcome in outcomes] == [True, False]
    assert leftovers(ladders) == []


@pytest.mark.parametrize("upload", ["cut short", "recordings joined with cat"])
def test_a_truncated_upload_is_published_with_a_warning(shared_workers, storage, monkeypatch,
                                                        upload):
    """An upload cut to its first 30 %, its index at the front, still
    claims its whole duration: the result says how much media the ladder
    holds against it. Two MPEG-TS recordings joined with cat claim nothing
    (FFmpeg guesses their length from the timestamps, more than a thousand
    seconds here): no warning, and no time limit drawn from it, which with a
    visibility timeout of an hour would refuse the upload."""
    if upload == "cut short":
        whole = source(storage, "whole.mp4", 10, container_args=("-movflags", "+faststart"))
        path = storage / "cut.mp4"
        path.write_bytes(whole.read_bytes()[: whole.stat().st_size * 3 // 10])
    else:
        parts = [source(storage, f"part{index}.ts", 4, container_args=(
            "-output_ts_offset", str(1000 * index))) for index in range(2)]
        path = storage / "joined.ts"
        path.write_bytes(b"".join(part.read_bytes() for part in parts))
        guessed = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration",
                                  "-of", "csv=p=0", str(path)], capture_output=True, text=True,
                                 check=True).stdout
        assert float(guessed) > 1000
        monkeypatch.setattr(quorvane_queue.client, "visibility_timeout", 3600)
    outcome = submit_ladder(path, storage / "ladders" / path.stem, resolution=["360p"],
                            queue="shared").get(timeout=RESULT_TIMEOUT)
    if upload == "cut short":
        assert outcome["claimed_seconds"] == pytest.approx(10, abs=0.1)
        assert 0 < outcome["media_seconds"] < 5
        assert outcome["warnings"] == [
            f"the ladder holds {outcome['media_seconds']:.1f} s of media where the upload claims "
            "10.0 s: the upload may have been cut short"]
    else:
        assert (outcome["claimed_seconds"], outcome["warnings"]) == (None, [])
        assert outcome["media_seconds"] == pytest.approx(8, abs=0.5)
