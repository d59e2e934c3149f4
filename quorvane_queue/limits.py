"""Time limits scaled to the input's duration.

A whole 1080p-to-360p ladder takes about 1.3 s of wall time per second of
input on a 2-core machine running nothing else (README, Performance). The soft
limit allows 4 s per second of input (QUORVANE_SECONDS_PER_INPUT_SECOND) plus
two minutes to start, the hard limit a quarter more and one minute. Both must
end well before the broker's visibility timeout: past it Redis hands the
still-running task to another worker. With the default 12 h visibility timeout
that admits inputs up to about 2 h 20 min.

A ladder split in time has limits of two kinds. Each window's task has the
limits of its window's length, so an upload longer than one task admits can
be encoded in windows. The task that plans the windows decodes the whole
upload once and encodes nothing: its limits follow the upload's length at
decoding speed, DECODE_SECONDS_PER_INPUT_SECOND. Planning runs far faster
than that (20 s of 1080p H.264 in 2.9 s of wall time on a 2-core machine at
load 3), but a 4K HEVC upload, or a machine shared with encodes, runs nearer
it. When no seam can be placed the planning task encodes the upload whole,
so it gets the one-task limits wherever they fit.
"""

from __future__ import annotations

import math

from . import settings

STARTUP_SECONDS = 120
SECONDS_PER_INPUT_SECOND = settings.seconds_per_input_second
# Room between the hard limit and the visibility timeout: a retry's countdown
# and the time a message waits in a worker before its child takes it.
VISIBILITY_MARGIN_SECONDS = 600
DECODE_SECONDS_PER_INPUT_SECOND = 1.0


def hard_limit_ceiling(visibility_timeout: float) -> int:
    """The longest hard limit a task may have under this visibility timeout."""
    return int(visibility_timeout - VISIBILITY_MARGIN_SECONDS)


def _scaled_limits(duration: float | None, per_input_second: float,
                   visibility_timeout: float) -> tuple[int, int]:
    ceiling = hard_limit_ceiling(visibility_timeout)
    if ceiling < 2 * STARTUP_SECONDS:
        raise ValueError(f"a visibility timeout of {visibility_timeout:.0f} s leaves no room for an encode")
    if duration is None or not math.isfinite(duration) or duration < 0:
        return int(ceiling * 0.9), ceiling
    soft = math.ceil(STARTUP_SECONDS + per_input_second * duration)
    hard = math.ceil(soft * 1.25 + 60)
    if hard > ceiling:
        raise ValueError(
            f"a {duration:.0f} s input needs a hard time limit of {hard} s, more than the "
            f"{ceiling} s that a visibility timeout of {visibility_timeout:.0f} s allows: "
            "raise QUORVANE_VISIBILITY_TIMEOUT on the workers and the clients"
        )
    return soft, hard


def time_limits(duration: float | None, visibility_timeout: float) -> tuple[int, int]:
    """(soft, hard) limits in seconds for an input of `duration` seconds;
    the ceiling when the duration is unknown. ValueError when the input is
    too long for the visibility timeout."""
    return _scaled_limits(duration, SECONDS_PER_INPUT_SECOND, visibility_timeout)


def window_limits(seconds: float | None, visibility_timeout: float) -> tuple[int, int]:
    """time_limits for a window of `seconds`; the ceiling for a window too
    long for them (where no seam could be placed for hours)."""
    try:
        return time_limits(seconds, visibility_timeout)
    except ValueError:
        return time_limits(None, visibility_timeout)


def decode_seconds(duration: float | None) -> float | None:
    """How long planning the windows of an upload of `duration` seconds may
    take; None when its duration is unknown."""
    if duration is None or not math.isfinite(duration) or duration < 0:
        return None
    return STARTUP_SECONDS + DECODE_SECONDS_PER_INPUT_SECOND * duration


def planning_limits(duration: float | None, visibility_timeout: float) -> tuple[int, int]:
    """(soft, hard) limits for the task that plans an upload's windows: the
    one-task limits when they fit under the visibility timeout, else those
    of decoding it. ValueError when even decoding it would outlast the
    visibility timeout."""
    try:
        return time_limits(duration, visibility_timeout)
    except ValueError:
        return _scaled_limits(duration, DECODE_SECONDS_PER_INPUT_SECOND, visibility_timeout)
