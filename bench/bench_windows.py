"""Time to publish a long upload split in time, measured on this machine
with each worker pinned to a core of its own (taskset), as a two-worker
queue runs it: one hls_encoder call on one pinned worker, against the
planning pass on worker 0 (handing each window over as soon as it can be
encoded), worker 1 taking windows as they come and worker 0 joining it once
planning ends, then the join (each rung's playlists, counters and rates).
Then what the windows cost in CPU against the one call, each window's CPU
against where it starts, and what a 1 h upload would take on 8, 16 and 32
two-core machines, worked out from the figures measured here by replaying
the queue: windows handed over as planning reaches them, each taken by the
first free worker. Run by hand, on an otherwise idle machine:

    .venv/bin/python bench/bench_windows.py [--seconds 300] [--window 60 [30 ...]]
        [--input FILE]              # an upload made before (default: made here)
        [--one-call WALL CPU]       # the one call's figures from an earlier run
        [--side-by-side]            # CPU only: the split ladder on core 0, all of it,
                                    # while the one call runs on core 1

Side by side, both see the same machine: on a shared machine whose speed
moves by a fifth within an hour, the CPU of two runs made one after the
other cannot be compared to a few per cent.

The workers call the queue's own native functions, as its tasks do, without
the broker in between: planning, windows and the join go through the
queue's own steps (quorvane_queue.workflow)."""

import argparse
import heapq
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from bench_ladder import make_input  # noqa: E402
from key_info import write_key_info  # noqa: E402

from _quorvane_queue_native import slots_per_second  # noqa: E402

MACHINES = (8, 16, 32)

LECTURE_SECONDS = 3600

# One pinned process: `code` run with the arguments, its usage as JSON.
CHILD = """
import json, os, resource, sys, time
start = time.perf_counter()
exec(sys.argv[1])
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"wall": time.perf_counter() - start, "cpu": usage.ru_utime + usage.ru_stime}))
"""

ONE_CALL = "import quorvane; quorvane.hls_encoder(sys.argv[2], 'master.m3u8', key=sys.argv[3])"
# Worker 0 plans first, through the queue's own planning step (a plan kept
# on the storage, each window sent once): each window sent is put in the
# queue folder (whole, by a rename) with when it came; the end of planning
# is a file too.
PLAN = """
import queue as events, threading
from pathlib import Path
import _quorvane_queue_native as native
from quorvane_queue import workflow
from quorvane_queue.request import LadderRequest
from quorvane_queue.window_join import WindowJoin
source, queue, seconds = sys.argv[2], sys.argv[3], int(sys.argv[4])
request = LadderRequest(source, Path(queue) / 'ladder', None, None, os.path.join(queue, 'key'))
join = WindowJoin.of(request, 'bench')
join.start_plan(request, seconds, None)
os.makedirs(os.path.join(queue, 'sound'))
said = events.SimpleQueue()
def plan_pass():
    try:
        native.plan_windows(source, seconds, os.path.join(queue, 'sound'), said.put)
        said.put({'ended': True})
    except (ValueError, RuntimeError) as error:
        said.put({'failed': str(error)})
threading.Thread(target=plan_pass).start()
def send(window):
    window = dict(window, handed=time.perf_counter() - start)
    path = os.path.join(queue, '%d.json' % window['index'])
    json.dump(window, open(path + '.tmp', 'w'))
    os.rename(path + '.tmp', path)
end = workflow.plan(join, iter(said.get, None), send, lambda: None)
if 'failed' in end:
    raise SystemExit(end['failed'])
usage = resource.getrusage(resource.RUSAGE_SELF)
json.dump({'wall': time.perf_counter() - start, 'cpu': usage.ru_utime + usage.ru_stime},
          open(os.path.join(queue, 'planned'), 'w'))
"""
# A worker: takes the first window waiting by renaming its file, encodes it
# through the queue's own step in a folder of its own and records its wall
# and CPU seconds beside it; waits while planning goes on and nothing waits.
WORKER = """
from pathlib import Path
from quorvane_queue import workflow
source, key, queue, core = sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
while True:
    waiting = sorted((name for name in os.listdir(queue) if name.endswith('.json')
                      and name[0].isdigit()), key=lambda name: int(name.split('.')[0]))
    if not waiting:
        if os.path.exists(os.path.join(queue, 'planned')):
            break
        time.sleep(0.1)
        continue
    claimed = os.path.join(queue, waiting[0] + '.' + str(os.getpid()))
    try:
        os.rename(os.path.join(queue, waiting[0]), claimed)
    except FileNotFoundError:
        continue
    window = json.load(open(claimed))
    folder = os.path.join(queue, 'window-%d' % window['index'])
    os.makedirs(folder)
    before, began = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    encoded = workflow.encode_window(source, None, [], key, {
        field: window[field] for field in ('index', 'first_slot', 'end_slot', 'resume', 'sound')},
        Path(folder))
    after = resource.getrusage(resource.RUSAGE_SELF)
    json.dump({'index': window['index'], 'first_slot': window['first_slot'],
               'end_slot': window['end_slot'], 'handed': window['handed'], 'core': core,
               'failures': encoded.get('refused') and [encoded['refused']] or encoded['reasons'],
               'began': began - start, 'wall': time.perf_counter() - began,
               'cpu': after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime},
              open(claimed + '.done', 'w'))
"""
PLAN_THEN_WORK = PLAN + WORKER.replace("source, key, queue, core = sys.argv[2], sys.argv[3], "
                                       "sys.argv[4], sys.argv[5]",
                                       "key, core = sys.argv[5], sys.argv[6]")
# The join, as the queue's last window task makes it: each rung's segments
# moved beside its joined playlist, then the queue's own join of the rungs.
JOIN = """
import glob, shutil
from pathlib import Path
import _quorvane_queue_native as native
from quorvane_queue import workflow
queue, key_info, output = sys.argv[2], sys.argv[3], sys.argv[4]
os.makedirs(output)
windows = sorted(glob.glob(os.path.join(queue, 'window-*')), key=lambda p: int(p.rsplit('-', 1)[1]))
renditions = native.read_master(os.path.join(windows[0], 'master.m3u8'))
for rendition in renditions:
    for window in windows:
        part = os.path.join(window, rendition['name'] + '.m3u8')
        for entry in native.read_playlist(part)['segments']:
            shutil.move(os.path.join(window, entry['uri']), output)
entries = workflow.join_rungs([Path(w) for w in windows], renditions, Path(output), key_info)
native.write_master(os.path.join(output, 'master.m3u8'), entries)
"""


def pinned(core: str, code: str, *args: str, cwd: Path) -> subprocess.Popen:
    # This checkout's quorvane_queue, whatever the child's working directory.
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        filter(None, [str(Path(__file__).resolve().parent.parent), os.environ.get("PYTHONPATH")]))}
    return subprocess.Popen(["taskset", "-c", core, sys.executable, "-c", CHILD, code, *args],
                            cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def usage(child: subprocess.Popen) -> dict:
    out, err = child.communicate()
    if child.returncode != 0:
        raise SystemExit(f"a pinned run failed with {child.returncode}: {err[-6000:]}")
    return json.loads(out.splitlines()[-1])


def finished_windows(queue: Path, seconds: float, window_seconds: int) -> tuple[dict, list]:
    """The planning pass's figures and each window's, printed."""
    plan = json.loads((queue / "planned").read_text())
    done = sorted((json.loads(p.read_text()) for p in queue.glob("*.done")),
                  key=lambda w: w["index"])
    failures = [f for w in done for f in w["failures"]]
    if failures:
        raise SystemExit(f"windows failed: {failures}")
    print(f"planning: wall {plan['wall']:.1f} s ({seconds / plan['wall']:.1f} times real "
          f"time), CPU {plan['cpu']:.1f} s; {len(done)} windows of {window_seconds} s, handed "
          f"over at {', '.join(f'{w['handed']:.1f}' for w in done)} s")
    for w in done:
        print(f"  window {w['index']} from {w['first_slot'] / slots_per_second:g} s on core "
              f"{w['core']}: "
              f"began at {w['began']:.1f} s, wall {w['wall']:.1f} s, CPU {w['cpu']:.1f} s")
    return plan, done


def run_side_by_side(work: Path, source: Path, key: Path, seconds: float,
                     window_seconds: int) -> None:
    """The whole split ladder on core 0 (planning, then every window, then
    the join) while the one call runs on core 1; prints their CPU."""
    run = work / f"side-by-side-{window_seconds}"
    queue = run / "queue"
    queue.mkdir(parents=True)
    (run / "one").mkdir()
    one_call = pinned("1", ONE_CALL, str(source), str(key), cwd=run / "one")
    try:
        split = usage(pinned("0", PLAN_THEN_WORK, str(source), str(queue), str(window_seconds),
                             str(key), "0", cwd=queue))
        join = usage(pinned("0", JOIN, str(queue), str(key), str(run / "ladder"), cwd=run))
    except BaseException:
        one_call.kill()   # not left encoding in a folder about to be removed
        raise
    one = usage(one_call)
    plan, done = finished_windows(queue, seconds, window_seconds)
    window_cpu = sum(w["cpu"] for w in done)
    print(f"join: CPU {join['cpu']:.1f} s")
    print(f"side by side: one call on core 1 CPU {one['cpu']:.1f} s; split on core 0 CPU "
          f"{split['cpu'] + join['cpu']:.1f} s: windows {window_cpu:.1f} s "
          f"({window_cpu / one['cpu'] - 1:+.1%}), planning {plan['cpu']:.1f} s, "
          f"join {join['cpu']:.1f} s: {(split['cpu'] + join['cpu']) / one['cpu']:.3f} of "
          "the one call's")


def run_windows(work: Path, source: Path, key: Path, one: dict, seconds: float,
                window_seconds: int) -> None:
    """Plans, encodes over two pinned workers and joins; prints the figures."""
    run = work / f"windows-{window_seconds}"
    queue = run / "queue"
    queue.mkdir(parents=True)
    started = time.perf_counter()
    workers = [pinned("0", PLAN_THEN_WORK, str(source), str(queue), str(window_seconds),
                      str(key), "0", cwd=queue),
               pinned("1", WORKER, str(source), str(key), str(queue), "1", cwd=queue)]
    worker_usage = [usage(worker) for worker in workers]
    encoded = time.perf_counter()
    join = usage(pinned("0", JOIN, str(queue), str(key), str(run / "ladder"), cwd=run))
    total = time.perf_counter() - started

    plan, done = finished_windows(queue, seconds, window_seconds)
    window_cpu = sum(w["cpu"] for w in done)
    print(f"windows encoded by {encoded - started:.1f} s (workers' CPU "
          f"{sum(u['cpu'] for u in worker_usage):.1f} s with planning)")
    print(f"join: wall {join['wall']:.1f} s, CPU {join['cpu']:.1f} s")
    print(f"time to publish: {total:.1f} s against {one['wall']:.1f} s: "
          f"{total / one['wall']:.3f} of the one call's")
    all_cpu = window_cpu + plan["cpu"] + join["cpu"]
    print(f"CPU against the one call's {one['cpu']:.1f} s: windows {window_cpu:.1f} s "
          f"({window_cpu / one['cpu'] - 1:+.1%}), with planning and join {all_cpu:.1f} s "
          f"({all_cpu / one['cpu']:.3f} of it)")
    full = [w for w in done if w["end_slot"] is not None]
    per_window = sum(w["cpu"] for w in full) / len(full) if full else done[0]["cpu"]
    for machines in MACHINES:
        minutes = replayed_lecture(machines, window_seconds, per_window,
                                   seconds / plan["wall"], join["wall"] / seconds) / 60
        print(f"1 h on {machines} two-core machines: about {minutes:.1f} min (planning "
              f"{LECTURE_SECONDS / (seconds / plan['wall']) / 60:.1f} min of it)")


def replayed_lecture(machines: int, window_seconds: int, window_cpu: float,
                     planning_speed: float, join_per_second: float) -> float:
    """Seconds to publish a 1 h upload on two-core machines, one worker a
    core: planning on one worker hands window k over once it has planned
    past its end, free workers take windows in order as they come, the join
    follows the last. Each window costs what one full window cost here."""
    count = LECTURE_SECONDS // window_seconds
    planning = LECTURE_SECONDS / planning_speed
    handed = [min(planning, (k + 1) * window_seconds / planning_speed + 2) for k in range(count)]
    free = [0.0] * (2 * machines - 1) + [planning]  # the planning worker joins once it is done
    heapq.heapify(free)
    finished = 0.0
    for at in handed:
        start = max(heapq.heappop(free), at)
        end = start + window_cpu
        finished = max(finished, end)
        heapq.heappush(free, end)
    return finished + join_per_second * LECTURE_SECONDS


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--window", type=int, nargs="+", default=[60])
    parser.add_argument("--input", type=Path, help="an upload made before")
    parser.add_argument("--one-call", type=float, nargs=2, metavar=("WALL", "CPU"),
                        help="the one call's figures from an earlier run, not measured again")
    parser.add_argument("--side-by-side", action="store_true",
                        help="CPU only: the split ladder on core 0 while the one call runs on core 1")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-windows-") as scratch:
        work = Path(scratch)
        source = args.input.resolve() if args.input else work / "lecture.mp4"
        if not args.input:
            make_input(source, args.seconds)
        key = write_key_info(work, iv="")
        if args.side_by_side:
            for window_seconds in args.window:
                run_side_by_side(work, source, key, args.seconds, window_seconds)
            return 0
        (work / "one").mkdir()
        one = ({"wall": args.one_call[0], "cpu": args.one_call[1]} if args.one_call else
               usage(pinned("0", ONE_CALL, str(source), str(key), cwd=work / "one")))
        print(f"one call, one core: wall {one['wall']:.1f} s, CPU {one['cpu']:.1f} s", flush=True)
        for window_seconds in args.window:
            run_windows(work, source, key, one, args.seconds, window_seconds)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
