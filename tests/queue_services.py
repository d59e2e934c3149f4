"""The real parts the quorvane_queue tests run: a Redis server on a free
loopback port and Celery worker processes, each stopped by its owner (the
fixtures) whatever the test did. Every wait is a poll with a generous bound:
nothing here measures time."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

import redis

import quorvane_queue

PROJECT_PATH = str(Path(quorvane_queue.__file__).resolve().parent.parent)


def wait_for(condition: Callable[[], object], what: str, timeout: float = 120, pause: float = 0.05):
    """Polls `condition` until it returns something true; fails after
    `timeout` seconds with `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what} after {timeout} s")
        time.sleep(pause)


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _stop_group(process: subprocess.Popen, first_signal: int, grace: float) -> None:
    """Sends `first_signal` to the process, gives it `grace` seconds, then
    kills its whole process group. The leader is reaped last, so the group's
    id cannot have been reused when it is signalled."""
    if process.poll() is not None:
        return
    try:
        os.kill(process.pid, first_signal)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        if os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
            break
        time.sleep(0.05)
    try:
        os.killpg(process.pid, signal.SIGKILL)   # the leader, if still there, and its children
    except ProcessLookupError:
        pass
    process.wait()


class RedisServer:
    """redis-server on 127.0.0.1 only, without persistence, its working
    directory (and anything it might write) in `directory`."""

    def __init__(self, directory: Path):
        self.directory = directory
        directory.mkdir(parents=True, exist_ok=True)
        self.process: subprocess.Popen | None = None
        self.port = 0
        for _ in range(5):   # another program may take the free port first
            self.port = _free_port()
            log = open(directory / f"redis-{self.port}.log", "wb")
            self.process = subprocess.Popen(
                ["redis-server", "--bind", "127.0.0.1", "--port", str(self.port),
                 "--save", "", "--appendonly", "no", "--dir", str(directory),
                 "--protected-mode", "yes", "--daemonize", "no"],
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
            log.close()
            if self._wait_ready():
                return
            self.stop()
        raise AssertionError(f"redis-server did not start; see {directory}")

    def _wait_ready(self) -> bool:
        client = redis.Redis(host="127.0.0.1", port=self.port)
        try:
            deadline = time.monotonic() + 60
            while self.process.poll() is None and time.monotonic() < deadline:
                try:
                    return bool(client.ping())
                except redis.ConnectionError:
                    time.sleep(0.05)
            return False
        finally:
            client.close()

    def url(self, database: int = 0) -> str:
        return f"redis://127.0.0.1:{self.port}/{database}"

    def client(self) -> redis.Redis:
        return redis.Redis(host="127.0.0.1", port=self.port)

    def stop(self) -> None:
        if self.process is not None:
            _stop_group(self.process, signal.SIGTERM, 30)


class Worker:
    """`celery -A quorvane_queue worker` with the prefork pool and one
    child, consuming `queue`, logging to its own file."""

    def __init__(self, name: str, queue: str, broker_url: str, directory: Path):
        self.hostname = f"{name}@queue-test"
        self.queue = queue
        self.directory = directory / name
        self.directory.mkdir(parents=True)
        self.log = self.directory / "worker.log"
        env = dict(os.environ)
        env.update(QUORVANE_BROKER_URL=broker_url, QUORVANE_RESULT_BACKEND=broker_url)
        # The workers run the same quorvane_queue as the tests.
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [PROJECT_PATH, env.get("PYTHONPATH")]))
        output = open(self.directory / "stdout.log", "wb")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "quorvane_queue", "worker",
             "--pool", "prefork", "--concurrency", "1", "--queues", queue,
             "--hostname", self.hostname, "--loglevel", "INFO", "--logfile", str(self.log),
             "--without-mingle", "--without-gossip", "--without-heartbeat"],
            cwd=self.directory, env=env, stdout=output, stderr=subprocess.STDOUT,
            start_new_session=True)
        output.close()

    def wait_ready(self, app) -> None:
        def answers():
            if self.process.poll() is not None:
                raise AssertionError(f"worker {self.hostname} exited: {self.log_text()[-3000:]}")
            return app.control.ping(destination=[self.hostname], timeout=0.5)
        wait_for(answers, f"worker {self.hostname} to answer")

    def log_text(self) -> str:
        text = self.log.read_text(errors="replace") if self.log.exists() else ""
        return text + (self.directory / "stdout.log").read_text(errors="replace")

    def stop(self) -> None:
        # Warm shutdown first: the worker finishes what it runs and returns
        # unacknowledged messages to Redis.
        _stop_group(self.process, signal.SIGTERM, 60)
