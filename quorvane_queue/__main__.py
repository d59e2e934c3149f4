"""python -m quorvane_queue INPUT OUTPUT [options]: queue one ladder, wait
for it and print its result (or its failure) as JSON."""

from __future__ import annotations

import argparse
import json
import sys

from . import BrokerUnreachable, submit_ladder


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvane_queue", description=__doc__)
    parser.add_argument("input", help="the video, on storage the workers mount at the same path")
    parser.add_argument("output", help="the ladder folder to publish")
    parser.add_argument("--resolution", help="comma-separated names, e.g. 720p,360p")
    parser.add_argument("--bitrate", help="comma-separated bits per second, e.g. 2500000,400000 "
                        "(default: each rung's own)")
    parser.add_argument("--key-info", help="key-info file (default: enc.keyinfo beside OUTPUT)")
    parser.add_argument("--queue", help="the queue to send to (default: ladders)")
    parser.add_argument("--no-wait", action="store_true", help="print the task id and return")
    args = parser.parse_args(argv)
    try:
        result = submit_ladder(
            args.input, args.output,
            resolution=args.resolution.split(",") if args.resolution else None,
            bitrate=[int(rate) for rate in args.bitrate.split(",")] if args.bitrate else None,
            key_info=args.key_info, queue=args.queue,
        )
    except BrokerUnreachable as error:
        print(f"python -m quorvane_queue: {error}", file=sys.stderr)
        return 2
    if args.no_wait:
        print(result.id)
        return 0
    try:
        print(json.dumps(result.get(propagate=True), indent=2))
    except Exception as error:  # the task's failure, as the worker reported it
        print(f"{result.id}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
