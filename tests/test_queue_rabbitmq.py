"""quorvane_queue end to end on RabbitMQ, the broker for many machines: a
RabbitMQ node of the tests' own on loopback (its own node name, ports and
data, stopped after), real Celery workers (prefork, one child each), real
encodes on a folder standing in for the shared storage.

A worker machine that vanishes is played by freezing a worker's main process
and child together (SIGSTOP: no heartbeat, no closed socket), then killing
them. Nothing is timed against a bound: the times printed are measurements,
every wait polls for a state, and tasks are held at a known point through
the workers' hold hook."""

from __future__ import annotations

import subprocess
import time
from pathlib import Path

import pytest

from media_checks import playlist_input_args
from queue_checks import (RESULT_TIMEOUT, assert_ladder_plays, leftovers,
                          published_lines, received, source, storage, watch)
from queue_services import (RabbitMQServer, Worker, close_result_consumer, free_port, held,
                            hold_at, release, use_broker, wait_for)

import quorvane_queue
from quorvane_queue import submit_ladder
from quorvane_queue.__main__ import main
from quorvane_queue.celery import visibility_timeout

app = quorvane_queue.app
RESULTS = "rpc://"
# Shorter than the workers' default (30 s, a lost machine's ladder back in
# about 90 s), to keep the suite short; the mechanism is the same.
HEARTBEAT = 10
# Waiting for the broker to notice a frozen worker takes a few heartbeats.
LOST_WORKER_TIMEOUT = 30 * HEARTBEAT
__all__ = ["storage", "watch"]   # fixtures


@pytest.fixture(scope="module")
def broker(tmp_path_factory):
    server = RabbitMQServer(tmp_path_factory.mktemp("rabbitmq"), visibility_timeout)
    use_broker(app, server.url(), RESULTS)
    yield server
    close_result_consumer(app)
    app.close()
    server.close()


@pytest.fixture(scope="module")
def hold(tmp_path_factory) -> Path:
    """Where the tests ask the workers to hold a task (queue_hooks.py)."""
    return tmp_path_factory.mktemp("hold")


@pytest.fixture
def start_workers(broker, hold, tmp_path_factory):
    """Starts workers on `queue`, ready, that the test's end stops."""
    workers: list[Worker] = []

    def start(queue: str, *names: str) -> list[Worker]:
        directory = tmp_path_factory.mktemp("workers")
        started = [Worker(name, queue, broker.url(), directory, RESULTS, hold,
                          {"QUORVANE_BROKER_HEARTBEAT": str(HEARTBEAT)}) for name in names]
        workers.extend(started)
        for worker in started:
            worker.wait_ready(app)
        return started

    yield start
    for worker in workers:
        worker.stop()


@pytest.fixture
def report(capsys):
    """Prints a measurement into the test output, past pytest's capture."""
    def say(text: str) -> None:
        with capsys.disabled():
            print(f"\n  {text}")
    return say


def attempt_folders(ladders: Path, output: Path) -> list[Path]:
    return [path for path in ladders.glob(f".{output.name}.attempt-*") if path.is_dir()]


def test_lost_worker_machine_ladder_is_published_by_another(broker, start_workers, storage, watch,
                                                            hold, report):
    ladders = storage / "ladders"
    seconds = 2
    path = source(storage, "lost.mp4", seconds)
    output = ladders / "lost"
    workers = start_workers("lost", "first", "second")
    watching = watch(output)
    hold_at(hold, output)

    result = submit_ladder(path, output, resolution=["360p"], queue="lost")
    wait_for(lambda: held(hold, output), "the encode to be held", RESULT_TIMEOUT)
    [lost] = [worker for worker in workers if received([worker], result.id)]
    [other] = [worker for worker in workers if worker is not lost]

    lost.freeze()
    frozen = time.monotonic()
    wait_for(lambda: received([other], result.id), "the task to be delivered again",
             LOST_WORKER_TIMEOUT, 0.2)
    redelivered = time.monotonic() - frozen
    # Once the other worker's attempt has started (its sweep found the
    # frozen attempt alive) the lost machine's processes die.
    wait_for(lambda: len(attempt_folders(ladders, output)) == 2 or output.exists(),
             "the second attempt to start", RESULT_TIMEOUT)
    lost.kill()
    outcome = result.get(timeout=RESULT_TIMEOUT)
    published = time.monotonic() - frozen
    report(f"RabbitMQ, worker machine lost mid-encode: delivered again after {redelivered:.1f} s, "
           f"published after {published:.1f} s (AMQP heartbeat {HEARTBEAT} s)")

    # The first delivery's attempt still held its lock when the second
    # started (its machine frozen): counted as a lost delivery all the same.
    assert (outcome["encoded"], outcome["delivery"], outcome["worker"]) == (True, 2, other.hostname)
    watching.assert_published_once()
    assert published_lines(workers, output) == 1
    assert_ladder_plays(output, ["360p"], seconds)
    # The dead attempt (its folder, lock file and log) goes with the next
    # task that starts in the folder, here one that finds the ladder published.
    assert len(leftovers(ladders)) == 3
    again = submit_ladder(path, output, resolution=["360p"], queue="lost").get(timeout=RESULT_TIMEOUT)
    assert (again["encoded"], again["renditions"]) == (False, ["360p"])
    assert leftovers(ladders) == []


def test_a_window_whose_worker_machine_is_lost_is_redone_alone_by_another(
        broker, start_workers, storage, watch, hold):
    """A ladder split in windows of 6 s: the machine holding window 1 (after
    its encode, before it joins) vanishes; window 1 alone is delivered
    again, and the ladder is published once, whole."""
    ladders = storage / "ladders"
    seconds = 14
    path = source(storage, "windows.mp4", seconds)
    output = ladders / "windows"
    window = output.with_name("windows.w1")   # window 1's attempts
    workers = start_workers("windows", "first", "second")
    watching = watch(output)
    hold_at(hold, window)

    result = submit_ladder(path, output, resolution=["360p"], queue="windows", window_seconds=6)
    wait_for(lambda: held(hold, window), "window 1 to be held", RESULT_TIMEOUT)
    [lost] = [worker for worker in workers if received([worker], f"{result.id}-w1", "encode_window")]
    [other] = [worker for worker in workers if worker is not lost]
    lost.freeze()
    wait_for(lambda: received([other], f"{result.id}-w1", "encode_window"),
             "window 1 to be delivered again", LOST_WORKER_TIMEOUT, 0.2)
    wait_for(lambda: len(attempt_folders(ladders, window)) == 2 or output.exists(),
             "window 1's second attempt to start", RESULT_TIMEOUT)
    lost.kill()
    outcome = result.get(timeout=RESULT_TIMEOUT)

    assert (outcome["renditions"], outcome["encoded"], outcome["delivery"]) == (["360p"], True, 2)
    assert [(part["start"], part["end"]) for part in outcome["windows"]] == \
        [(0, 6), (6, 12), (12, pytest.approx(seconds, abs=0.1))]
    assert outcome["windows"][1]["worker"] == other.hostname
    watching.assert_published_once()
    assert published_lines(workers, output) == 1
    assert all(received(workers, f"{result.id}-w{index}", "encode_window") == 1
               for index in (0, 2))
    assert_ladder_plays(output, ["360p"], seconds)
    # Read as one transport stream, no packet after a seam is taken for one
    # after lost packets (FFmpeg says so as a warning).
    master = output / "master.m3u8"
    played = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-v", "warning",
                             *playlist_input_args(master), "-i", str(master), "-map", "0",
                             "-f", "null", "-"], capture_output=True, text=True, check=True)
    assert "corrupt" not in played.stderr, played.stderr[-2000:]
    # Nothing of the join is left, only the lost attempt (its folder, lock
    # file and log), which the next task in the folder removes.
    assert len(leftovers(ladders)) == 3
    again = submit_ladder(path, output, resolution=["360p"], queue="windows",
                          window_seconds=6).get(timeout=RESULT_TIMEOUT)
    assert (again["encoded"], again["renditions"]) == (False, ["360p"])
    assert leftovers(ladders) == []


def test_broker_restart_keeps_queued_and_running_ladders(broker, start_workers, storage, watch, hold):
    ladders = storage / "ladders"
    seconds = 2
    outputs = [ladders / f"restart{index}" for index in range(3)]
    paths = [source(storage, f"{output.name}.mp4", seconds) for output in outputs]
    workers = start_workers("restart", "one", "two")
    watches = [watch(output) for output in outputs]
    for output in outputs[:2]:
        hold_at(hold, output)

    results = [submit_ladder(path, output, resolution=["360p"], queue="restart")
               for path, output in zip(paths, outputs)]
    for output in outputs[:2]:
        wait_for(lambda: held(hold, output), f"{output.name} to be held", RESULT_TIMEOUT)
    # Each worker runs one; the third waits in the queue.
    assert broker.queue_state("restart") == (1, 2)

    broker.stop()
    broker.start()
    line = "taking no new task until a child is free"
    wait_for(lambda: all(line in worker.log_text() for worker in workers),
             "both workers to reconnect", RESULT_TIMEOUT)
    # Back: the running ladders' messages (which their old connections can
    # no longer acknowledge) and the queued one, and no worker took one while
    # its child was busy.
    assert broker.queue_state("restart") == (3, 0)

    for output in outputs[:2]:
        release(hold, output)
    outcomes = [result.get(timeout=RESULT_TIMEOUT) for result in results]

    for output, outcome, watching in zip(outputs, outcomes, watches):
        assert outcome["renditions"] == ["360p"]
        watching.assert_published_once()
        assert published_lines(workers, output) == 1
        assert_ladder_plays(output, ["360p"], seconds)
    wait_for(lambda: broker.queue_state("restart") == (0, 2), "every message to be acknowledged")
    assert leftovers(ladders) == []
    # The client's pooled connections died with the node: the next test
    # starts on fresh ones.
    use_broker(app, broker.url(), RESULTS)


def test_a_ladder_split_by_rung_returns_its_result_through_rpc(broker, start_workers, storage,
                                                               watch):
    """Results travel back to the client (rpc://), where Celery's chords
    cannot: the rung that publishes sends the ladder's result there."""
    ladders = storage / "ladders"
    path = source(storage, "split.mp4", 2)
    output = ladders / "split"
    names = ["1080p", "720p", "480p", "360p"]
    workers = start_workers("split", "first", "second")
    watching = watch(output, tuple(names))

    outcome = submit_ladder(path, output, queue="split", split_rungs=True).get(timeout=RESULT_TIMEOUT)

    assert (outcome["renditions"], outcome["encoded"]) == (names, True)
    assert {rung["worker"] for rung in outcome["rungs"].values()} == \
        {worker.hostname for worker in workers}
    watching.assert_published_once()
    assert_ladder_plays(output, names)
    assert leftovers(ladders) == []


@pytest.mark.parametrize("broken", ["nobody listening", "a wrong password"])
def test_a_broker_that_cannot_be_reached_is_said_so(broker, storage, capsys, broken):
    """The command line ends with the broker named and nothing queued,
    whether nothing answers or RabbitMQ refuses the credentials."""
    url = (f"redis://127.0.0.1:{free_port()}/0" if broken == "nobody listening"
           else broker.url().replace("guest:guest@", "guest:wrong@"))
    use_broker(app, url, url if url.startswith("redis") else RESULTS)
    try:
        code = main([str(source(storage, "early.mp4", 1)), str(storage / "ladders" / "early")])
    finally:
        use_broker(app, broker.url(), RESULTS)
    assert code == 2
    assert "is unreachable" in capsys.readouterr().err
