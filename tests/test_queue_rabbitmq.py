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

import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

from media_checks import playlist_input_args
from queue_checks import (RESULT_TIMEOUT, assert_ladder_plays, leftovers,
                          published_lines, received, source, storage, watch)
from queue_services import (PROJECT_PATH, RabbitMQServer, Worker, close_result_consumer,
                            free_port, held, hold_at, release, use_broker, wait_for)

import quorvane_queue
from quorvane_queue import submit_ladder
from quorvane_queue.__main__ import main
from quorvane_queue.celery import visibility_timeout

app = quorvane_queue.app
RESULTS = "rpc://"
# Shorter than the workers' default (30 s, a lost machine's ladder back in
# about 90 s), to keep the suite short; the mechanism is the same.
HEARTBEAT = 5
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


# A client that submits a ladder and waits for it by its id, as LadderStillRunning
# advises: it says on its standard error once the ladder's first state has
# reached its wait, and prints the ladder and every state it was told.
WAIT_BY_ID = """
import json, sys
from quorvane_queue import ladder_result, submit_ladder
ladder = submit_ladder(sys.argv[1], sys.argv[2], resolution=["360p"], window_seconds=6,
                       queue=sys.argv[3]).id
states = []
def seen(message):
    if message["task_id"] == ladder:
        states.append(message["status"])
        print("waiting for", ladder, file=sys.stderr, flush=True)
outcome = ladder_result(ladder).get(on_message=seen)
print(json.dumps({"outcome": outcome, "states": states}))
"""


@pytest.mark.parametrize("when", ["while windows run", "while planning"])
def test_a_broker_restart_costs_no_encode_and_the_caller_gets_the_ladder(
        broker, start_workers, storage, watch, hold, tmp_path, when):
    """A ladder in windows of 6 s. While windows run, waited for by the
    command line: windows 0 and 1 are held after their encode on the two
    workers, the others queued, when the broker restarts. The workers come
    back taking nothing while their child is busy; the running windows'
    messages return to the queue with the others (queues durable, messages
    persistent). A third worker, free, takes them: it waits for the first
    deliveries rather than encoding their windows again. While planning,
    waited for by its id: the planning task is held once it has sent window
    0, its pass going on, when the broker restarts; it sends the other
    windows once the broker is back, and its message, returned to the queue,
    is delivered again to no effect. Either way the caller reconnects and
    gets the whole ladder, which is never said to have failed."""
    ladders = storage / "ladders"
    seconds = 20
    name = "restart" if when == "while windows run" else "replan"
    path = source(storage, f"{name}.mp4", seconds)
    output = ladders / name
    workers = start_workers(name, "one", "two")
    watching = watch(output)
    running = [output.with_name(f"{name}.w{index}") for index in (0, 1)] \
        if when == "while windows run" else [output.with_name(f"{name}.plan")]
    for part in running:
        hold_at(hold, part)
    environment = {**os.environ, "QUORVANE_BROKER_URL": broker.url(),
                   "QUORVANE_RESULT_BACKEND": RESULTS,
                   "PYTHONPATH": os.pathsep.join(filter(None, [PROJECT_PATH,
                                                               os.environ.get("PYTHONPATH")]))}
    command = [sys.executable, "-m", "quorvane_queue", str(path), str(output), "--resolution",
               "360p", "--window-seconds", "6", "--queue", name] \
        if when == "while windows run" else [sys.executable, "-c", WAIT_BY_ID, str(path),
                                              str(output), name]
    with open(tmp_path / "stderr", "wb") as stderr:
        caller = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                                  stderr=stderr, text=True)
    try:
        for part in running:
            wait_for(lambda: held(hold, part), f"{part.name} to be held", RESULT_TIMEOUT)
        if when == "while windows run":
            queued, consumers = broker.queue_state(name)
            assert consumers == 2
        else:
            wait_for(lambda: "waiting for" in (tmp_path / "stderr").read_text(),
                     "the caller to wait", RESULT_TIMEOUT)

        busy = workers if when == "while windows run" else \
            [worker for worker in workers if "quorvane_queue.plan_windows[" in worker.log_text()]
        broker.stop()
        # Away long enough that the caller's own reconnection gives up.
        wait_for(lambda: "lost the connection to the broker" in (tmp_path / "stderr").read_text(),
                 "the caller to lose the broker", RESULT_TIMEOUT)
        broker.start()
        line = "taking no new task until a child is free"
        wait_for(lambda: all(line in worker.log_text() for worker in busy),
                 "the busy workers to reconnect", RESULT_TIMEOUT)
        use_broker(app, broker.url(), RESULTS)   # the tests' own connections died with it
        if when == "while windows run":
            assert broker.queue_state(name) == (queued + 2, 0)
            [third] = start_workers(name, "three")
            workers.append(third)
            wait_for(lambda: "waits for its earlier delivery" in third.log_text(),
                     "the third worker to wait for a window held", RESULT_TIMEOUT)
        for part in running:
            release(hold, part)
        printed, _ = caller.communicate(timeout=RESULT_TIMEOUT)
    finally:
        caller.kill()
        caller.wait()
    said = (tmp_path / "stderr").read_text()
    assert caller.returncode == 0, said[-3000:]
    outcome = json.loads(printed)
    if when == "while planning":
        outcome, states = outcome["outcome"], outcome["states"]
        assert "FAILURE" not in states and states[-1] == "SUCCESS"
    assert outcome["renditions"] == ["360p"]
    assert [part["start"] for part in outcome["windows"]] == list(range(0, seconds, 6))
    assert outcome["windows"][-1]["end"] == pytest.approx(seconds, abs=0.1)
    watching.assert_published_once()
    assert published_lines(workers, output) == 1
    assert_ladder_plays(output, ["360p"], seconds)
    wait_for(lambda: broker.queue_state(name) == (0, len(workers)),
             "every message to be acknowledged")
    log = "".join(worker.log_text() for worker in workers)
    [ladder] = set(re.findall(r"quorvane_queue\.plan_windows\[(\S+)\] received", log))
    if when == "while windows run":
        assert len(outcome["windows"]) == queued + 2
        for index in (0, 1):
            window = f"{ladder}-w{index}"
            assert received(workers, window, "encode_window") == 2
            assert log.count(f"task {window} ended: window w{index} encoded (") == 1
            assert log.count(f"task {window} ended: window w{index} had nothing to encode") == 1
    else:
        assert received(workers, ladder, "plan_windows") == 2
        # Window 0, sent before the restart, may have been running then.
        assert all(received(workers, f"{ladder}-w{index}", "encode_window") == 1
                   for index in range(1, len(outcome["windows"])))
    assert leftovers(ladders) == []


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
