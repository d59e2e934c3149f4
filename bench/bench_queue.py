"""Cost of running ladders through quorvane_queue: N short videos through 1
and then 2 Celery worker processes (prefork, one child each) on a Redis of
its own, against calling hls_encoder directly in a loop. Run by hand:

    .venv/bin/python bench/bench_queue.py [--videos 8] [--seconds 4] [--size 320x180]
                                          [--resolution 360p] [--repeats 3]

For each way it prints jobs per minute (wall time from the first submit to the
last result), CPU seconds per job, and for the queue its own overhead: all the
CPU of the workers (main processes and children), of Redis and of the
submitting process, less the CPU the encodes themselves took inside
hls_encoder (each task reports it). Also the Redis commands per job and the
bytes each job reads and writes on the shared storage."""

from __future__ import annotations

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
# The key files are written as the demo and the tests write them.
sys.path.insert(0, str(REPO / "scripts"))
from key_info import write_key_info  # noqa: E402
sys.path.insert(0, str(REPO / "tests"))
from queue_services import free_port, stop_group  # noqa: E402  (the tests' helpers)
TICKS = os.sysconf("SC_CLK_TCK")

# The direct way: one process encoding every input in turn, each into a
# fresh folder, as a script without the queue would.
DIRECT = """
import json, os, resource, sys, time
import quorvane
inputs, work, key_info, resolution = json.loads(sys.argv[1])
start = time.perf_counter()
for index, path in enumerate(inputs):
    folder = os.path.join(work, f"direct-{index}")
    os.mkdir(folder)
    os.chdir(folder)
    quorvane.hls_encoder(path, "master.m3u8", resolution=resolution, key=key_info)
wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"wall": wall, "cpu": usage.ru_utime + usage.ru_stime}))
"""


def make_inputs(directory: Path, count: int, seconds: float, size: str) -> list[Path]:
    paths = []
    for index in range(count):
        path = directory / f"input{index}.mp4"
        subprocess.run(["ffmpeg", "-v", "error", "-y",
                        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30",
                        "-f", "lavfi", "-i", f"sine=frequency={440 + 20 * index}:sample_rate=48000",
                        "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast",
                        "-pix_fmt", "yuv420p", "-c:a", "aac", str(path)], check=True)
        paths.append(path)
    return paths


def process_cpu(pid: int) -> float:
    """CPU seconds (user+sys) of a live process, its reaped children included."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return sum(int(value) for value in fields[11:15]) / TICKS


def children(pid: int) -> list[int]:
    text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    return [int(child) for child in text.split()]


def tree_cpu(pid: int) -> float:
    return process_cpu(pid) + sum(tree_cpu(child) for child in children(pid))


def self_cpu() -> float:
    times = os.times()
    return times.user + times.system


def folder_bytes(folder: Path) -> int:
    return sum(path.stat().st_size for path in folder.iterdir())


def run_direct(inputs: list[Path], work: Path, key_info: Path, resolution: list[str]) -> dict:
    out = subprocess.run([sys.executable, "-c", DIRECT,
                          json.dumps([[str(p) for p in inputs], str(work), str(key_info), resolution])],
                         check=True, capture_output=True, text=True).stdout
    measured = json.loads(out)
    return {"jobs": len(inputs), "wall": measured["wall"], "cpu": measured["cpu"]}


def run_queue(app, submit_ladder, redis_client, redis_pid: int, broker: str, workers: int,
              inputs: list[Path], work: Path, key_info: Path, resolution: list[str]) -> dict:
    env = dict(os.environ, QUORVANE_BROKER_URL=broker, QUORVANE_RESULT_BACKEND=broker,
               PYTHONPATH=str(REPO))
    processes = []
    for index in range(workers):
        folder = work / f"worker{index}"
        folder.mkdir()
        processes.append(subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "quorvane_queue", "worker", "--pool", "prefork",
             "--concurrency", "1", "--queues", "bench", "--hostname", f"bench{index}@%h",
             "--loglevel", "WARNING", "--without-mingle", "--without-gossip", "--without-heartbeat"],
            cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True))
    try:
        names = {f"bench{index}@{socket.gethostname()}" for index in range(workers)}
        deadline = time.monotonic() + 120
        while {name for reply in app.control.ping(timeout=0.5) for name in reply} < names:
            if time.monotonic() > deadline:
                raise RuntimeError("the workers did not answer")
        time.sleep(1)   # let the workers' start-up settle before the CPU is read
        commands = redis_client.info("stats")["total_commands_processed"]
        cpu_before = sum(tree_cpu(p.pid) for p in processes) + process_cpu(redis_pid) + self_cpu()
        start = time.perf_counter()
        results = [submit_ladder(path, work / f"ladder-{index}", resolution=resolution,
                                 key_info=key_info, queue="bench")
                   for index, path in enumerate(inputs)]
        outcomes = [result.get(timeout=3600) for result in results]
        wall = time.perf_counter() - start
        cpu = sum(tree_cpu(p.pid) for p in processes) + process_cpu(redis_pid) + self_cpu() - cpu_before
        commands = redis_client.info("stats")["total_commands_processed"] - commands
    finally:
        for process in processes:
            stop_group(process)
    assert all(outcome["encoded"] for outcome in outcomes), outcomes
    encode_cpu = sum(outcome["encode_cpu_seconds"] for outcome in outcomes)
    return {"jobs": len(inputs), "wall": wall, "cpu": cpu, "encode_cpu": encode_cpu,
            "redis_commands": commands,
            "output_bytes": sum(folder_bytes(work / f"ladder-{i}") for i in range(len(inputs)))}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--videos", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=4)
    parser.add_argument("--size", default="320x180")
    parser.add_argument("--resolution", default="360p", help="comma-separated rung names")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    resolution = args.resolution.split(",")

    with tempfile.TemporaryDirectory(prefix="bench-queue-") as scratch:
        scratch_path = Path(scratch)
        inputs = make_inputs(scratch_path, args.videos, args.seconds, args.size)
        input_bytes = sum(path.stat().st_size for path in inputs) / len(inputs)
        key_info = write_key_info(scratch_path)

        port = free_port()
        redis_server = subprocess.Popen(
            ["redis-server", "--bind", "127.0.0.1", "--port", str(port), "--save", "",
             "--appendonly", "no", "--dir", scratch],
            stdout=subprocess.DEVNULL, start_new_session=True)
        broker = f"redis://127.0.0.1:{port}/0"
        os.environ["QUORVANE_BROKER_URL"] = broker
        sys.path.insert(0, str(REPO))
        import redis
        from quorvane_queue import app, submit_ladder
        redis_client = redis.Redis(host="127.0.0.1", port=port)
        try:
            while True:
                try:
                    redis_client.ping()
                    break
                except redis.ConnectionError:
                    time.sleep(0.1)
            runs: dict[str, list[dict]] = {"direct": [], "queue-1": [], "queue-2": []}
            for repeat in range(args.repeats):
                for way in runs:   # alternate, so that load from elsewhere hits each alike
                    work = scratch_path / f"{way}-{repeat}"
                    work.mkdir()
                    if way == "direct":
                        runs[way].append(run_direct(inputs, work, key_info, resolution))
                    else:
                        runs[way].append(run_queue(app, submit_ladder, redis_client, redis_server.pid,
                                                   broker, int(way[-1]), inputs, work, key_info,
                                                   resolution))
                    print(f"  {way} run {repeat + 1}: {json.dumps(runs[way][-1])}", flush=True)
        finally:
            redis_client.close()
            app.close()
            stop_group(redis_server)

    print(f"\n{args.videos} videos of {args.seconds:g} s at {args.size}, rungs {','.join(resolution)}; "
          f"medians of {args.repeats} runs; {os.cpu_count()} cores")
    print(f"{'':10} {'jobs/min':>9} {'CPU/job':>9} {'encode CPU/job':>15} {'overhead/job':>13} {'share':>7}")
    for way, measured in runs.items():
        per_minute = statistics.median(m["jobs"] / m["wall"] * 60 for m in measured)
        cpu = statistics.median(m["cpu"] / m["jobs"] for m in measured)
        line = f"{way:10} {per_minute:9.1f} {cpu:8.2f}s"
        if way != "direct":
            encode = statistics.median(m["encode_cpu"] / m["jobs"] for m in measured)
            overhead = statistics.median((m["cpu"] - m["encode_cpu"]) / m["jobs"] for m in measured)
            share = statistics.median((m["cpu"] - m["encode_cpu"]) / m["encode_cpu"] for m in measured)
            line += f" {encode:14.2f}s {overhead:12.3f}s {share:6.1%}"
        print(line)
    queued = runs["queue-1"] + runs["queue-2"]
    commands = statistics.median(m["redis_commands"] / m["jobs"] for m in queued)
    output = statistics.median(m["output_bytes"] / m["jobs"] for m in queued)
    print(f"Redis commands per job: {commands:.0f}")
    print(f"shared storage per job: reads the {input_bytes / 1e6:.2f} MB input whole once per rung "
          f"({len(resolution)}) after a probe of its start, writes {output / 1e6:.2f} MB")


if __name__ == "__main__":
    main()
