"""Time limits scaled to the input's duration.

A whole 1080p-to-360p ladder takes about 1.3 s of wall time per second of
input on a 2-core machine running nothing else (README, Performance). The soft
limit allows 4 s per second of input (QUORVANE_SECONDS_PER_INPUT_SECOND) plus
two minutes to start, the hard limit a quarter more and one minute. Both must
end well before the broker's visibility timeout: past it Redis hands the
still-running task to another worker. With the default 12 h visibility timeout
that admits inputs up to about 2 h 20 min.
"""

from __future__ import annotations

import math

from . import settings

STARTUP_SECONDS = 120
SECONDS_PER_INPUT_SECOND = settings.seconds_per_input_second
# Room between the hard limit and the visibility timeout: a retry's countdown
# and the time a message waits in a worker before its child takes it.
VISIBILITY_MARGIN_SECONDS = 600


def hard_limit_ceiling(visibility_timeout: float) -> int:
    """The longest hard limit a task may have under this visibility timeout."""
    return int(visibility_timeout - VISIBILITY_MARGIN_SECONDS)


def time_limits(duration: float | None, visibility_timeout: float) -> tuple[int, int]:
    """(soft, hard) limits in seconds for an input of `duration` seconds;
    the ceiling when the duration is unknown. ValueError when the input is
    too long for the visibility timeout."""
    ceiling = hard_limit_ceiling(visibility_timeout)
    if ceiling < 2 * STARTUP_SECONDS:
        raise ValueError(f"a visibility timeout of {visibility_timeout:.0f} s leaves no room for an encode")
    if duration is None or not math.isfinite(duration) or duration < 0:
        return int(ceiling * 0.9), ceiling
    soft = math.ceil(STARTUP_SECONDS + SECONDS_PER_INPUT_SECOND * duration)
    hard = math.ceil(soft * 1.25 + 60)
    if hard > ceiling:
        raise ValueError(
            f"a {duration:.0f} s input needs a hard time limit of {hard} s, more than the "
            f"{ceiling} s that a visibility timeout of {visibility_timeout:.0f} s allows: "
            "raise QUORVANE_VISIBILITY_TIMEOUT on the workers and the clients"
        )
    return soft, hard
