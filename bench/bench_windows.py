"""Time to publish a long upload split in time, measured on this machine
with each worker pinned to a core of its own (taskset): one hls_encoder call
on one pinned worker, against the planning pass, windows taken by two pinned
workers as they come, and the join (counters, playlists, master). Then what
the windows cost in CPU over the one call, and what a 1 h upload would take
on 8, 16 and 32 two-core machines, worked out from the figures measured here
(planning and join included, both growing with the upload's length). Run by
hand, on an otherwise idle machine:

    .venv/bin/python bench/bench_windows.py [--seconds 300] [--window 60 [30 ...]]
        [--one-call WALL CPU]   # the one call's figures from an earlier run

The workers call the queue's own native functions, as its window tasks do,
without the broker in between."""

import argparse
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from bench_ladder import make_input  # noqa: E402
from key_info import write_key_info  # noqa: E402

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
PLAN = ("import _quorvane_queue_native as native; "
        "open(sys.argv[3], 'w').write(json.dumps(native.plan_windows(sys.argv[2], int(sys.argv[4]))))")
# A worker: takes the next window by renaming its file, encodes it in a
# folder of its own, records its wall and CPU seconds beside it.
WORKER = """
import _quorvane_queue_native as native
source, key, queue = sys.argv[2], sys.argv[3], sys.argv[4]
while True:
    waiting = sorted(os.listdir(queue), key=lambda name: int(name.split('.')[0]) if name.endswith('.json') else 1 << 30)
    waiting = [name for name in waiting if name.endswith('.json')]
    if not waiting:
        break
    claimed = os.path.join(queue, waiting[0] + '.' + str(os.getpid()))
    try:
        os.rename(os.path.join(queue, waiting[0]), claimed)
    except FileNotFoundError:
        continue
    window = json.load(open(claimed))
    folder = os.path.join(queue, 'window-%d' % window['index'])
    os.makedirs(folder)
    os.chdir(folder)
    before, began = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    failures = native.encode_window(source, None, [], key, window)['failures']
    after = resource.getrusage(resource.RUSAGE_SELF)
    os.chdir(queue)
    json.dump({'index': window['index'], 'core': sys.argv[5], 'failures': failures,
               'wall': time.perf_counter() - began,
               'cpu': after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime},
              open(claimed + '.done', 'w'))
"""
JOIN = """
import glob, shutil
import _quorvane_queue_native as native
queue, key_file, output = sys.argv[2], sys.argv[3], sys.argv[4]
os.makedirs(output)
windows = sorted(glob.glob(os.path.join(queue, 'window-*')), key=lambda p: int(p.rsplit('-', 1)[1]))
renditions = native.read_master(os.path.join(windows[0], 'master.m3u8'))
for rendition in renditions:
    name = rendition['name']
    parts = [os.path.join(w, name + '.m3u8') for w in windows]
    counters = {}
    for part in parts:
        listed = native.read_playlist(part)
        segments = []
        for entry in listed['segments']:
            shutil.move(os.path.join(os.path.dirname(part), entry['uri']), output)
            segments.append(os.path.join(output, entry['uri']))
        counters = native.continue_counters(segments, key_file, listed['keys'][0]['iv'], counters)
    native.join_playlists(parts, os.path.join(output, name + '.m3u8'))
    rendition.update(native.measure_rendition(os.path.join(output, name + '.m3u8')))
native.write_master(os.path.join(output, 'master.m3u8'), renditions)
"""


def pinned(core: str, code: str, *args: str, cwd: Path) -> subprocess.Popen:
    return subprocess.Popen(["taskset", "-c", core, sys.executable, "-c", CHILD, code, *args],
                            cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def usage(child: subprocess.Popen) -> dict:
    out, err = child.communicate()
    if child.returncode != 0:
        raise SystemExit(f"a pinned run failed with {child.returncode}: {err[-6000:]}")
    return json.loads(out.splitlines()[-1])


def run_windows(work: Path, source: Path, key: Path, one: dict, seconds: int,
                window_seconds: int) -> None:
    """Plans, encodes over two pinned workers and joins; prints the figures."""
    run = work / f"windows-{window_seconds}"
    run.mkdir()
    started = time.perf_counter()
    plan = usage(pinned("0", PLAN, str(source), str(run / "plan.json"), str(window_seconds),
                        cwd=run))
    windows = json.loads((run / "plan.json").read_text())
    queue = run / "queue"
    queue.mkdir()
    for window in windows:
        (queue / f"{window['index']}.json").write_text(json.dumps(window))
    workers = [pinned(core, WORKER, str(source), str(key), str(queue), core, cwd=queue)
               for core in ("0", "1")]
    worker_usage = [usage(worker) for worker in workers]
    encoded = time.perf_counter()
    join = usage(pinned("0", JOIN, str(queue), str(work / "enc.key"), str(run / "ladder"),
                        cwd=run))
    total = time.perf_counter() - started

    done = sorted((json.loads(p.read_text()) for p in queue.glob("*.done")),
                  key=lambda w: w["index"])
    failures = [f for w in done for f in w["failures"]]
    if failures:
        raise SystemExit(f"windows failed: {failures}")
    window_cpu = sum(w["cpu"] for w in done)
    print(f"planning: wall {plan['wall']:.1f} s, CPU {plan['cpu']:.1f} s "
          f"({len(windows)} windows of {window_seconds} s)")
    for w in done:
        print(f"  window {w['index']} on core {w['core']}: wall {w['wall']:.1f} s, "
              f"CPU {w['cpu']:.1f} s")
    print(f"windows: {encoded - started - plan['wall']:.1f} s over two cores "
          f"(workers' CPU {sum(u['cpu'] for u in worker_usage):.1f} s)")
    print(f"join: wall {join['wall']:.1f} s, CPU {join['cpu']:.1f} s")
    print(f"time to publish: {total:.1f} s against {one['wall']:.1f} s: "
          f"{total / one['wall']:.3f} of the one call's")
    print(f"CPU of the windows against the one call's: {window_cpu:.1f} / {one['cpu']:.1f} s "
          f"= {window_cpu / one['cpu'] - 1:+.1%}; with planning and join: "
          f"{(window_cpu + plan['cpu'] + join['cpu']) / one['cpu'] - 1:+.1%}")

    # A 1 h upload: planning and join grow with the length. A window hears
    # all the sound before it, so its CPU grows with where it starts: a
    # straight line through the windows measured here (the last, shorter
    # or longer, left out), over a two-core machine's two cores.
    full = [w for w in done if windows[w["index"]]["end"] is not None]
    starts = [windows[w["index"]]["start"] for w in full]
    slope, base = line_through(starts, [w["cpu"] for w in full])
    scale = LECTURE_SECONDS / seconds
    lecture_starts = range(0, LECTURE_SECONDS, window_seconds)
    for machines in MACHINES:
        rounds = [lecture_starts[i:i + machines] for i in range(0, len(lecture_starts), machines)]
        encoding = sum(max(base + slope * start for start in batch) / 2 for batch in rounds)
        minutes = (plan["wall"] * scale + encoding + join["wall"] * scale) / 60
        print(f"1 h on {machines} two-core machines: about {minutes:.1f} min (planning "
              f"{plan['wall'] * scale / 60:.1f} min, {len(rounds)} rounds of windows, "
              f"{encoding / 60:.1f} min, join {join['wall'] * scale / 60:.1f} min)")


def line_through(xs: list[float], ys: list[float]) -> tuple[float, float]:
    """Least-squares slope and intercept (a flat line through one point)."""
    if len(xs) < 2:
        return 0.0, sum(ys) / max(len(ys), 1)
    mean_x, mean_y = sum(xs) / len(xs), sum(ys) / len(ys)
    slope = (sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys))
             / sum((x - mean_x) ** 2 for x in xs))
    return slope, mean_y - slope * mean_x

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--window", type=int, nargs="+", default=[60])
    parser.add_argument("--one-call", type=float, nargs=2, metavar=("WALL", "CPU"),
                        help="the one call's figures from an earlier run, not measured again")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-windows-") as scratch:
        work = Path(scratch)
        source = work / "lecture.mp4"
        make_input(source, args.seconds)
        key = write_key_info(work, iv="")

        (work / "one").mkdir()
        one = ({"wall": args.one_call[0], "cpu": args.one_call[1]} if args.one_call else
               usage(pinned("0", ONE_CALL, str(source), str(key), cwd=work / "one")))
        print(f"one call, one core: wall {one['wall']:.1f} s, CPU {one['cpu']:.1f} s", flush=True)

        for window_seconds in args.window:
            run_windows(work, source, key, one, args.seconds, window_seconds)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
