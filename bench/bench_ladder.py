"""Side-by-side cost of the default ladder: quorvane.hls_encoder against the
ffmpeg command-line tool producing the same ladder in one process (one
decode split to four bicubic scalers, the same x264, loudness, AAC and HLS
settings, the same rate cap and buffer). Run by hand:

    .venv/bin/python bench/bench_ladder.py [--seconds 60] [--repeats 3]
    .venv/bin/python bench/bench_ladder.py --growth     # 30 s against 120 s
    .venv/bin/python bench/bench_ladder.py --parts      # also each rendition alone
    .venv/bin/python bench/bench_ladder.py --against DIR  # against another build in DIR
    .venv/bin/python bench/bench_ladder.py --against DIR --rate 25  # a 25 fps input
    .venv/bin/python bench/bench_ladder.py --kinds      # plain, HDR (and its pictures in SDR), interlaced
    .venv/bin/python bench/bench_ladder.py --against DIR --rate 1   # a slideshow
    .venv/bin/python bench/bench_ladder.py --against DIR --still    # one picture, then only sound
    .venv/bin/python bench/bench_ladder.py --cores      # one core against two (taskset)
    .venv/bin/python bench/bench_ladder.py --side-by-side  # CPU: both at once, a core each
    .venv/bin/python bench/bench_ladder.py --side-by-side --against DIR --kind hdr

Each run is a child process; its wall time, CPU time (user+sys) and peak RSS
come from that child's resource usage."""

import argparse
import contextlib
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The key files are written as the demo and the tests write them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from key_info import write_key_info  # noqa: E402

LADDER = [("1080p", 1920, 1080, 5000000), ("720p", 1280, 720, 2500000),
          ("480p", 854, 480, 1000000), ("360p", 640, 360, 400000)]
# The call caps each rung's video at 1.1 times its rate with a one-second buffer.
MAX_RATE = 1.1
BUFFER_SECONDS = 1.0
LOUDNESS = "loudnorm=I=-14:LRA=11:TP=-1.5,aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo"

# Runs one command and prints its resource usage as JSON.
MEASURE = """
import json, resource, subprocess, sys, time
start = time.perf_counter()
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(json.dumps({"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss_mib": usage.ru_maxrss / 1024}))
"""


# How each kind of 1080p source is made: a plain progressive SDR picture, an
# HLG picture in 10-bit HEVC as phones record it, and 1080i25 H.264.
SOURCE_KINDS = {
    "plain": ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"],
    "hdr": ["-vf", "zscale=tin=bt709:pin=bt709:min=bt709:t=arib-std-b67:p=bt2020:m=2020_ncl:npl=100,"
                   "format=yuv420p10le",
            "-c:v", "libx265", "-preset", "veryfast", "-x265-params", "log-level=error",
            "-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-colorspace", "bt2020nc"],
    "interlaced": ["-vf", "interlace=scan=tff,setfield=tff", "-c:v", "libx264", "-preset", "veryfast",
                   "-flags", "+ildct+ilme", "-x264-params", "tff=1", "-pix_fmt", "yuv420p"],
}


# The HDR source's own pictures in SDR (ffmpeg's HLG to BT.709 mapping, coded
# as finely as x264 allows at speed): what x264 then spends on the pictures is
# the same for both, so the HDR source's extra cost is the pipeline's alone.
# x265's coding and the mapping leave pictures that cost x264 more than plain
# testsrc2 does (the 1080p rung alone: about 1.4x).
SDR_TWIN = ("zscale=tin=arib-std-b67:pin=bt2020:min=2020_ncl:t=linear:p=bt709:npl=203,format=gbrpf32le,"
            "tonemap=tonemap=mobius:param=0.8:desat=0,zscale=t=bt709:m=bt709:r=limited,format=yuv420p")


def make_sdr_twin(hdr_source: Path, path: Path) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(hdr_source), "-vf", SDR_TWIN,
                    "-c:v", "libx264", "-preset", "veryfast", "-crf", "12", "-c:a", "copy", str(path)],
                   check=True)


def make_still_input(path: Path, seconds: int) -> None:
    """A podcast episode: one 1080p picture at the start, then `seconds` of sound."""
    picture = path.with_name("picture.mkv")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080",
                    "-frames:v", "1", *SOURCE_KINDS["plain"], str(picture)], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(picture),
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000,volume=-20dB",
                    "-map", "0:v", "-map", "1:a", "-t", str(seconds), "-c:v", "copy", "-c:a", "aac",
                    str(path)], check=True)


def make_input(path: Path, seconds: int, kind: str = "plain", rate: int = 30) -> None:
    rate = 50 if kind == "interlaced" else rate
    subprocess.run(["ffmpeg", "-v", "error", "-y",
                    "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate={rate}",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000,volume=-20dB",
                    "-t", str(seconds), *SOURCE_KINDS[kind], "-c:a", "aac", str(path)], check=True)


def rate_cap(rate: int) -> list[str]:
    return ["-maxrate", str(int(rate * MAX_RATE)), "-bufsize", str(int(rate * BUFFER_SECONDS))]


def ffmpeg_ladder_command(source: Path) -> list[str]:
    split = f"[0:v]split={len(LADDER)}" + "".join(f"[v{i}]" for i in range(len(LADDER)))
    scalers = [f"[v{i}]scale={w}:{h}:flags=bicubic[s{i}]" for i, (_, w, h, _) in enumerate(LADDER)]
    audio = f"[0:a]{LOUDNESS},asplit={len(LADDER)}" + "".join(f"[a{i}]" for i in range(len(LADDER)))
    command = ["ffmpeg", "-y", "-i", str(source), "-filter_complex", ";".join([split, *scalers, audio])]
    for i, (name, _, _, rate) in enumerate(LADDER):
        command += ["-map", f"[s{i}]", "-map", f"[a{i}]",
                    "-c:v", "libx264", "-preset", "fast", "-b:v", str(rate), *rate_cap(rate),
                    "-r", "30", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "128000", "-ar", "44100", "-ac", "2",
                    "-f", "hls", "-hls_time", "6", "-hls_list_size", "0",
                    "-hls_key_info_file", "enc.keyinfo",
                    "-hls_segment_filename", f"cli_{name}_%03d.ts", f"cli_{name}.m3u8"]
    return command


def ffmpeg_rendition_command(source: Path, name: str, width: int, height: int, rate: int) -> list[str]:
    """One rendition alone: its own decode, scaler, x264, loudness chain, AAC and muxer."""
    return ["ffmpeg", "-y", "-i", str(source), "-map", "0:v", "-map", "0:a",
            "-vf", f"scale={width}:{height}:flags=bicubic", "-af", LOUDNESS,
            "-c:v", "libx264", "-preset", "fast", "-b:v", str(rate), *rate_cap(rate),
            "-r", "30", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0", "-pix_fmt", "yuv420p",
            "-c:a", "aac", "-b:a", "128000", "-ar", "44100", "-ac", "2",
            "-f", "hls", "-hls_time", "6", "-hls_list_size", "0", "-hls_key_info_file", "enc.keyinfo",
            "-hls_segment_filename", f"part_{name}_%03d.ts", f"part_{name}.m3u8"]


def start_measured(command: list[str], cwd: Path, env: dict[str, str] | None = None,
                   core: str | None = None) -> subprocess.Popen:
    pinned = ["taskset", "-c", core] if core is not None else []
    # A group of its own, so that the measured tool goes with it (stop_measured).
    return subprocess.Popen([*pinned, sys.executable, "-c", MEASURE, *command], cwd=cwd,
                            stdout=subprocess.PIPE, text=True, env=env, start_new_session=True)


def stop_measured(child: subprocess.Popen) -> None:
    with contextlib.suppress(ProcessLookupError):
        os.killpg(child.pid, signal.SIGKILL)
    child.wait()


def measured(child: subprocess.Popen) -> dict:
    out, _ = child.communicate()
    if child.returncode != 0:
        raise SystemExit(f"a measured run failed with {child.returncode}")
    return json.loads(out)


def measure(command: list[str], cwd: Path, env: dict[str, str] | None = None) -> dict:
    return measured(start_measured(command, cwd, env))


def hls_encoder_command(source: Path, rungs: list[str] | None = None) -> list[str]:
    names = "" if rungs is None else f", {rungs!r}"
    return [sys.executable, "-c",
            f"import quorvane; quorvane.hls_encoder({str(source)!r}, 'master.m3u8'{names})"]


def with_module_from(directory: Path) -> dict[str, str]:
    """The environment that makes a child import the module built in `directory`."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(directory)
    return env


def compare(source: Path, work: Path, repeats: int, against: Path | None = None) -> dict[str, list[dict]]:
    ours = ("quorvane", hls_encoder_command(source), None)
    if against is None:
        other = ("ffmpeg", ffmpeg_ladder_command(source), None)
    else:
        other = ("baseline", hls_encoder_command(source), with_module_from(against))
    results: dict[str, list[dict]] = {ours[0]: [], other[0]: []}
    for round_ in range(repeats):
        # Alternate the order so neither contender always runs on a warmer machine.
        order = [ours, other]
        if round_ % 2:
            order.reverse()
        for name, command, env in order:
            results[name].append(measure(command, work, env))
            print(f"  {name:9} run {round_ + 1}: {results[name][-1]}", flush=True)
    return results


def summary(runs: list[dict]) -> dict:
    return {key: statistics.median(run[key] for run in runs) for key in ("wall", "cpu", "rss_mib")}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--growth", action="store_true", help="compare a 30 s and a 120 s input")
    parser.add_argument("--parts", action="store_true",
                        help="also cost the ladder's parts alone: each rendition as its own ffmpeg process")
    parser.add_argument("--against", type=Path,
                        help="compare with the module built in this folder instead of the ffmpeg tool")
    parser.add_argument("--rate", type=int, default=30,
                        help="pictures per second of the plain input (e.g. 15 or 25)")
    parser.add_argument("--still", action="store_true",
                        help="an input of one picture and then only sound, as podcasts are")
    parser.add_argument("--kinds", action="store_true",
                        help="an HDR source against a plain one and its own pictures in SDR; 1080i")
    parser.add_argument("--cores", action="store_true",
                        help="the default ladder and a 1080p rung alone, on one core and on two")
    parser.add_argument("--side-by-side", action="store_true",
                        help="CPU only: the call and the ffmpeg ladder (or --against) at the same "
                             "time, each pinned to a core of its own, the cores swapped each round")
    parser.add_argument("--kind", choices=list(SOURCE_KINDS), default="plain",
                        help="with --side-by-side: the kind of input both encode")
    args = parser.parse_args()
    if args.side_by_side:
        return compare_side_by_side(args.seconds, args.repeats, args.against, args.kind)
    if args.kinds:
        return compare_kinds(args.seconds, args.repeats)
    if args.cores:
        return compare_cores(args.seconds, args.repeats)
    work = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    try:
        write_key_info(work)
        lengths = [30, 120] if args.growth else [args.seconds]
        table = {}
        for seconds in lengths:
            source = work / f"source_{seconds}s.mp4"
            if args.still:
                print(f"making a 1920x1080 still picture with {seconds} s of sound", flush=True)
                make_still_input(source, seconds)
            else:
                print(f"making a 1920x1080 {args.rate} fps {seconds} s input", flush=True)
                make_input(source, seconds, rate=args.rate)
            repeats = 1 if args.growth else args.repeats
            table[seconds] = {name: summary(runs)
                              for name, runs in compare(source, work, repeats, args.against).items()}
            if args.parts:
                parts = [measure(ffmpeg_rendition_command(source, *rung), work) for rung in LADDER]
                table[seconds]["parts"] = {"wall": sum(p["wall"] for p in parts),
                                           "cpu": sum(p["cpu"] for p in parts),
                                           "rss_mib": sum(p["rss_mib"] for p in parts)}
        for seconds, tools in table.items():
            print(f"\n{seconds} s input, medians:")
            for name, numbers in tools.items():
                print(f"  {name:9} wall {numbers['wall']:7.1f} s  cpu {numbers['cpu']:7.1f} s  "
                      f"peak RSS {numbers['rss_mib']:7.1f} MiB")
            ours, other = tools["quorvane"], tools["baseline" if args.against else "ffmpeg"]
            print(f"  ratios    wall {ours['wall'] / other['wall']:.3f}x  cpu {ours['cpu'] / other['cpu']:.3f}x  "
                  f"rss {ours['rss_mib'] / other['rss_mib']:.3f}x")
            if "parts" in tools:
                print(f"  against the parts alone (four single-rendition ffmpeg runs, summed): "
                      f"cpu {ours['cpu'] / tools['parts']['cpu']:.3f}x")
        if args.growth:
            short, long_ = table[30]["quorvane"], table[120]["quorvane"]
            print(f"\n120 s / 30 s for quorvane: wall {long_['wall'] / short['wall']:.2f}x  "
                  f"cpu {long_['cpu'] / short['cpu']:.2f}x  rss {long_['rss_mib'] / short['rss_mib']:.2f}x")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def compare_kinds(seconds: int, repeats: int) -> int:
    """hls_encoder's cost on each kind of source, the kinds taking turns."""
    work = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    try:
        write_key_info(work)
        sources = {}
        for kind in SOURCE_KINDS:
            sources[kind] = work / f"source_{kind}.mkv"
            print(f"making a 1920x1080 {kind} {seconds} s input", flush=True)
            make_input(sources[kind], seconds, kind)
        sources["hdr in sdr"] = work / "source_hdr_in_sdr.mkv"
        make_sdr_twin(sources["hdr"], sources["hdr in sdr"])
        runs: dict[str, list[dict]] = {kind: [] for kind in sources}
        for round_ in range(repeats):
            kinds = list(sources)
            if round_ % 2:
                kinds.reverse()
            for kind in kinds:
                runs[kind].append(measure(hls_encoder_command(sources[kind]), work))
                print(f"  {kind:10} run {round_ + 1}: {runs[kind][-1]}", flush=True)
        plain = summary(runs["plain"])
        print(f"\n{seconds} s inputs, medians:")
        for kind, kind_runs in runs.items():
            numbers = summary(kind_runs)
            print(f"  {kind:10} wall {numbers['wall']:7.1f} s  cpu {numbers['cpu']:7.1f} s  "
                  f"peak RSS {numbers['rss_mib']:7.1f} MiB  cpu {numbers['cpu'] / plain['cpu']:.2f}x plain")
        twin = summary(runs["hdr in sdr"])
        print(f"  hdr against its own pictures in SDR: cpu {summary(runs['hdr'])['cpu'] / twin['cpu']:.2f}x")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def compare_side_by_side(seconds: int, repeats: int, against: Path | None = None,
                         kind: str = "plain") -> int:
    """CPU of the call against the ffmpeg ladder (or the build in `against`)
    with both running at once, each on a core of its own: both see the same
    machine, whose speed moves by a fifth within an hour when it is shared.
    On one core each, x264 takes one thread in both."""
    work = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    try:
        source = work / "source.mkv"
        print(f"making a 1920x1080 {kind} {seconds} s input", flush=True)
        make_input(source, seconds, kind)
        other_name = "ffmpeg" if against is None else "baseline"
        contenders = {"quorvane": (hls_encoder_command(source), None),
                      other_name: (ffmpeg_ladder_command(source), None) if against is None
                      else (hls_encoder_command(source), with_module_from(against))}
        for name in contenders:
            (work / name).mkdir()
            write_key_info(work / name)
        runs: dict[str, list[dict]] = {name: [] for name in contenders}
        for round_ in range(repeats):
            cores = dict(zip(contenders, ("0", "1") if round_ % 2 == 0 else ("1", "0")))
            children = {name: start_measured(command, work / name, env, core=cores[name])
                        for name, (command, env) in contenders.items()}
            try:
                for name, child in children.items():
                    runs[name].append(measured(child))
                    print(f"  {name:9} run {round_ + 1} on core {cores[name]}: {runs[name][-1]}",
                          flush=True)
            except BaseException:
                for child in children.values():
                    stop_measured(child)   # not left encoding in a folder about to be removed
                raise
        ours, other = summary(runs["quorvane"]), summary(runs[other_name])
        ratios = [a["cpu"] / b["cpu"] for a, b in zip(runs["quorvane"], runs[other_name])]
        print(f"\n{seconds} s input, side by side: quorvane cpu {ours['cpu']:.1f} s, {other_name} cpu "
              f"{other['cpu']:.1f} s (medians); each round's ratio "
              f"{', '.join(f'{r:.3f}' for r in ratios)}, median {statistics.median(ratios):.3f}x")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


def compare_cores(seconds: int, repeats: int) -> int:
    """The call pinned to one core and to two (taskset), taking turns."""
    work = Path(tempfile.mkdtemp(prefix="quorvane-bench-"))
    try:
        write_key_info(work)
        source = work / "source.mp4"
        print(f"making a 1920x1080 30 fps {seconds} s input", flush=True)
        make_input(source, seconds)
        for label, rungs in (("default ladder", None), ("1080p alone", ["1080p"])):
            runs: dict[str, list[dict]] = {"0": [], "0,1": []}
            for round_ in range(repeats):
                cores = ["0", "0,1"] if round_ % 2 == 0 else ["0,1", "0"]
                for core in cores:
                    command = ["taskset", "-c", core, *hls_encoder_command(source, rungs)]
                    runs[core].append(measure(command, work))
                    print(f"  {label}, cores {core:4} run {round_ + 1}: {runs[core][-1]}", flush=True)
            one, two = summary(runs["0"]), summary(runs["0,1"])
            print(f"{label}: one core wall {one['wall']:.1f} s cpu {one['cpu']:.1f} s; "
                  f"two cores wall {two['wall']:.1f} s cpu {two['cpu']:.1f} s; "
                  f"two/one wall {two['wall'] / one['wall']:.3f}", flush=True)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
