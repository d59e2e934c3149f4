"""quorvane_queue end to end: a real Redis on a loopback port, real Celery
workers (prefork, one child each), real encodes on a folder standing in for
the shared storage.

Nothing here is timed: every wait polls for a state with a generous bound."""

from __future__ import annotations

import os
import secrets
import signal
import threading
from pathlib import Path

import pytest
from celery.result import AsyncResult

from conftest import make_source, run_ffmpeg
from media_checks import complete_rendition, probe_frames, probe_streams, read_master_entries
from queue_services import RedisServer, Worker, wait_for

import quorvane_queue
from quorvane_queue import LadderFailed, submit_ladder
from quorvane_queue.attempts import MASTER

app = quorvane_queue.app
RESULT_TIMEOUT = 300
SOFT_LIMIT = 3
SOURCE_SIZE = "160x90"


@pytest.fixture(scope="module")
def broker(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis"))
    app.conf.update(broker_url=server.url(), result_backend=server.url())
    yield server
    app.close()
    server.stop()


@pytest.fixture
def start_worker(broker, tmp_path_factory):
    """Starts workers that the test's end stops, passed or failed."""
    workers: list[Worker] = []

    def start(name: str, queue: str) -> Worker:
        worker = Worker(name, queue, broker.url(), tmp_path_factory.mktemp("workers"))
        workers.append(worker)
        return worker

    yield start
    for worker in workers:
        worker.stop()


@pytest.fixture(scope="module")
def shared_workers(broker, tmp_path_factory):
    """Two workers on the queue "shared", for the tests that need nothing
    special of them."""
    directory = tmp_path_factory.mktemp("shared-workers")
    workers = []
    try:
        for name in ("one", "two"):
            workers.append(Worker(name, "shared", broker.url(), directory))
        for worker in workers:
            worker.wait_ready(app)
        yield workers
    finally:
        for worker in workers:
            worker.stop()


@pytest.fixture
def storage(tmp_path: Path) -> Path:
    """The shared storage: inputs, a key, ladders. The key's URI is its
    absolute path, so that ffprobe can play a published ladder as it lies."""
    (tmp_path / "ladders").mkdir()
    key = tmp_path / "enc.key"
    key.write_bytes(secrets.token_bytes(16))
    (tmp_path / "ladders" / "enc.keyinfo").write_text(f"{key}\n{key}\n{secrets.token_hex(16)}\n")
    return tmp_path


def source(storage: Path, name: str, seconds: float, **options) -> Path:
    return make_source(storage / name, size=SOURCE_SIZE, seconds=seconds, **options)


def published_ladder_problem(folder: Path) -> str | None:
    """Why `folder` is not a complete 360p ladder, or None when it is."""
    try:
        entries = read_master_entries(folder / MASTER)
        if [uri for _, uri in entries] != ["360p.m3u8"]:
            return f"master lists {entries}"
        complete_rendition("360p", folder)
    except (OSError, AssertionError) as error:
        return f"{type(error).__name__}: {error}"
    return None


def assert_playable(folder: Path, seconds: float) -> None:
    """The ladder plays through its master playlist: every picture of the
    source (30 per second) decrypts and decodes, and there is sound."""
    assert published_ladder_problem(folder) is None, published_ladder_problem(folder)
    frames = probe_frames(folder / MASTER, "v", "pts_time")
    assert abs(len(frames) - 30 * seconds) <= 1, len(frames)
    assert "audio" in {stream["codec_type"] for stream in probe_streams(folder / MASTER)}


def leftovers(parent: Path) -> list[str]:
    return sorted(entry.name for entry in parent.iterdir() if ".attempt-" in entry.name
                  or ".trash-" in entry.name)


def received(workers: list[Worker], task_id: str) -> int:
    line = f"Task quorvane_queue.encode_ladder[{task_id}] received"
    return sum(worker.log_text().count(line) for worker in workers)


def published_lines(workers: list[Worker], output: Path) -> int:
    return sum(worker.log_text().count(f"published {output} (") for worker in workers)


def broker_idle(broker: RedisServer, queue: str) -> bool:
    """Nothing waiting in `queue` and nothing delivered but unacknowledged."""
    with broker.client() as client:
        return client.llen(queue) == 0 and client.hlen("unacked") == 0


class OutputWatch:
    """Polls an output folder in a thread from before the task is sent to
    the end: every time it is there it must be a complete ladder, and once
    there it must stay the same folder."""

    def __init__(self, output: Path):
        self.output = output
        self.problems: list[str] = []
        self.inodes: set[int] = set()
        self.looks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            stopping = self._stop.is_set()
            self._look()
            if stopping:
                return   # the last look came after stop() was called
            self._stop.wait(0.01)

    def _look(self) -> None:
        try:
            inode = self.output.stat().st_ino
        except FileNotFoundError:
            if self.inodes:
                self.problems.append("the published folder went away")
            return
        self.inodes.add(inode)
        self.looks += 1
        problem = published_ladder_problem(self.output)
        if problem:
            self.problems.append(problem)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()


@pytest.fixture
def watch():
    watches: list[OutputWatch] = []

    def start(output: Path) -> OutputWatch:
        watches.append(OutputWatch(output))
        return watches[-1]

    yield start
    for watching in watches:
        watching.stop()


def started_child(result: AsyncResult) -> int:
    """The pid of the worker child running the task (Celery records it
    with the STARTED state)."""
    def started():
        return result.state == "STARTED" and result.info.get("pid")
    return wait_for(started, f"task {result.id} to start", RESULT_TIMEOUT)


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
        assert_playable(ladders / path.stem, 2)
        assert sorted(p.name for p in (ladders / path.stem).iterdir()) == \
            ["360p.m3u8", "360p_000.ts", MASTER]
    # Each child takes one task and reserves none beyond it, so two idle
    # workers both get work.
    assert {outcome["worker"] for outcome in outcomes} == {w.hostname for w in shared_workers}
    assert leftovers(ladders) == []


def test_published_ladder_is_not_encoded_again(shared_workers, storage):
    ladders = storage / "ladders"
    path = source(storage, "once.mp4", 2)
    output = ladders / "once"
    first = submit_ladder(path, output, resolution=["360p"], queue="shared").get(timeout=RESULT_TIMEOUT)
    assert (first["encoded"], first["renditions"]) == (True, ["360p"])
    before = {p.name: (p.stat().st_ino, p.stat().st_mtime_ns) for p in output.iterdir()}

    again = submit_ladder(path, output, resolution=["360p"], queue="shared")
    outcome = again.get(timeout=RESULT_TIMEOUT)

    assert (outcome["encoded"], outcome["renditions"], outcome["delivery"]) == (False, ["360p"], 0)
    assert {p.name: (p.stat().st_ino, p.stat().st_mtime_ns) for p in output.iterdir()} == before
    assert published_lines(shared_workers, output) == 1
    assert leftovers(ladders) == []


def test_input_without_video_fails_once(broker, shared_workers, storage):
    ladders = storage / "ladders"
    path = storage / "sound.mp4"
    run_ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "2",
               "-c:a", "aac", str(path))
    assert [stream["codec_type"] for stream in probe_streams(path)] == ["audio"]
    result = submit_ladder(path, ladders / "sound", queue="shared")

    with pytest.raises(LadderFailed, match="no rendition"):
        result.get(timeout=RESULT_TIMEOUT)
    assert result.state == "FAILURE"
    # Acknowledged, not queued again nor held for a retry: once the broker
    # holds nothing, the task has been received exactly once.
    wait_for(lambda: broker_idle(broker, "shared"), "the broker to hold nothing")
    assert received(shared_workers, result.id) == 1
    assert not (ladders / "sound").exists()
    assert leftovers(ladders) == []


def test_soft_time_limit_fails_cleanly(broker, shared_workers, storage):
    """The soft limit cannot stop FFmpeg inside the call; it ends the task
    as soon as the call returns, with the attempt folder removed. The limit
    leaves the task time to reach the call (a few milliseconds of work); the
    encode is then held until the worker has signalled the limit."""
    ladders = storage / "ladders"
    path = source(storage, "slow.mp4", 8)
    output = ladders / "slow"
    result = quorvane_queue.encode_ladder.apply_async(
        args=(str(path), str(output)), kwargs={"resolution": ["360p"]},
        soft_time_limit=SOFT_LIMIT, time_limit=RESULT_TIMEOUT, queue="shared")
    child = started_child(result)
    wait_for(lambda: list(ladders.glob(".slow.attempt-*/360p_000.ts")), "the first segment")
    os.kill(child, signal.SIGSTOP)
    try:
        assert not list(ladders.glob(".slow.attempt-*/" + MASTER)), "the encode ended before it was held"
        signalled = f"Soft time limit ({SOFT_LIMIT}s) exceeded for quorvane_queue.encode_ladder[{result.id}]"
        wait_for(lambda: any(signalled in w.log_text() for w in shared_workers), "the soft limit")
    finally:
        os.kill(child, signal.SIGCONT)

    with pytest.raises(LadderFailed, match="soft time limit"):
        result.get(timeout=RESULT_TIMEOUT)
    wait_for(lambda: broker_idle(broker, "shared"), "the broker to hold nothing")
    assert received(shared_workers, result.id) == 1
    assert not output.exists()
    assert leftovers(ladders) == []


def test_worker_killed_mid_encode_publishes_once_on_another(broker, start_worker, storage, watch):
    ladders = storage / "ladders"
    seconds = 16
    path = source(storage, "long.mp4", seconds)
    output = ladders / "long"
    first = start_worker("first", "kill")
    first.wait_ready(app)
    watching = watch(output)

    result = submit_ladder(path, output, resolution=["360p"], queue="kill")
    child = started_child(result)
    wait_for(lambda: list(ladders.glob(".long.attempt-*/360p_000.ts")), "the first segment")
    # Freeze the encode, show it is unfinished, and keep the first worker
    # from taking the task back; then kill the child as the kernel's
    # out-of-memory killer would.
    os.kill(child, signal.SIGSTOP)
    try:
        assert not list(ladders.glob(".long.attempt-*/" + MASTER)), "the encode ended before it was held"
        assert not output.exists()
        replies = app.control.cancel_consumer("kill", destination=[first.hostname], reply=True, timeout=30)
        assert replies and "ok" in replies[0][first.hostname], replies
    finally:
        os.kill(child, signal.SIGKILL)
    # The first worker sees its child lost and puts the message back.
    with broker.client() as client:
        wait_for(lambda: client.llen("kill") == 1, "the task to return to the queue")
    assert len(leftovers(ladders)) == 1  # the dead attempt's folder

    second = start_worker("second", "kill")
    outcome = result.get(timeout=RESULT_TIMEOUT)
    watching.stop()

    assert (outcome["encoded"], outcome["delivery"], outcome["worker"]) == (True, 2, second.hostname)
    assert watching.problems == []
    assert watching.looks > 0 and len(watching.inodes) == 1
    assert published_lines([first, second], output) == 1
    assert received([first], result.id) == 1 and received([second], result.id) == 1
    assert_playable(output, seconds)
    assert leftovers(ladders) == []
    wait_for(lambda: broker_idle(broker, "kill"), "the broker to hold nothing")
