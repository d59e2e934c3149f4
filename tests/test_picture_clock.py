"""Placing decoded pictures on the 1/30 s grid, driven directly with picture
times: jitter never costs a picture nor moves one by a whole slot, and only a
source faster than 30 pictures per second loses pictures."""

from __future__ import annotations

import math
import random

import pytest
from _quorvane_test_hooks import place_pictures

SLOT = 1 / 30


def placed(times: list[float | None]) -> tuple[list[tuple[int, float | None]], int]:
    """(slot, time) of every picture kept, and how many were left out."""
    slots = place_pictures(times)
    kept = [(slot, time) for slot, time in zip(slots, times) if slot is not None]
    return kept, len(times) - len(kept)


def assert_on_the_grid(kept: list[tuple[int, float | None]]) -> None:
    slots = [slot for slot, _ in kept]
    assert all(later > earlier for earlier, later in zip(slots, slots[1:])), "slots must increase"
    # No picture lands a whole slot away from its own time.
    for slot, time in kept:
        if time is not None:
            assert abs(slot * SLOT - time) < SLOT, (slot, time)


def jittered(count: int, phase: float, jitter: float, *, randomised: bool = False) -> list[float]:
    """A 30 per second cadence starting at `phase` (in slots) whose times wander
    by up to `jitter` seconds, like a browser's or a phone's recording."""
    wander = random.Random(7)
    return [(n + phase) * SLOT + jitter * (wander.uniform(-1, 1) if randomised else math.sin(n * 1.7))
            for n in range(count)]


class TestJitter:
    # Phases around half a slot are where rounding each time on its own
    # dropped one picture in four.
    @pytest.mark.parametrize("phase", [0.0, 0.21, 0.3, 0.45, 0.5, 0.55, 0.8])
    @pytest.mark.parametrize("jitter_ms", [10, 12])
    def test_every_picture_of_a_jittery_cadence_is_kept(self, phase, jitter_ms):
        kept, dropped = placed(jittered(240, phase, jitter_ms / 1000))
        assert dropped == 0
        assert_on_the_grid(kept)
        slots = [slot for slot, _ in kept]
        # No holes: a steady 30 per second source fills consecutive slots.
        assert max(b - a for a, b in zip(slots, slots[1:])) == 1

    def test_random_jitter_keeps_every_picture(self):
        kept, dropped = placed(jittered(600, 0.5, 0.012, randomised=True))
        assert dropped == 0
        assert_on_the_grid(kept)


class TestFrameRates:
    @pytest.mark.parametrize("rate", [60, 60000 / 1001, 50, 120, 48])
    def test_faster_sources_come_out_at_thirty(self, rate):
        seconds = 10
        times = [n / rate for n in range(int(seconds * rate))]
        kept, dropped = placed(times)
        assert_on_the_grid(kept)
        assert dropped > 0
        assert abs(len(kept) - 30 * seconds) <= 1, len(kept)

    @pytest.mark.parametrize("rate", [30, 30000 / 1001, 25, 24, 15])
    def test_slower_sources_keep_every_picture(self, rate):
        kept, dropped = placed([n / rate for n in range(int(10 * rate))])
        assert dropped == 0
        assert_on_the_grid(kept)

    def test_variable_rate_keeps_its_pauses(self):
        # 30 per second, then 10 per second: the slow part leaves holes rather
        # than drifting the pictures earlier.
        times = [n * SLOT for n in range(60)] + [2 + n * 0.1 for n in range(30)]
        kept, dropped = placed(times)
        assert dropped == 0
        assert_on_the_grid(kept)


class TestOddTimes:
    def test_pictures_without_time_follow_the_previous_one(self):
        assert place_pictures([0.0, None, None, 3 * SLOT]) == [0, 1, 2, 3]

    def test_pictures_before_the_origin_are_left_out(self):
        slots = place_pictures([-1.0, -0.5, 0.0, SLOT])
        assert slots == [None, None, 0, 1]

    @pytest.mark.parametrize("time", [1e300, -1e300, float("inf"), float("-inf")])
    def test_absurd_times_are_left_out(self, time):
        assert place_pictures([0.0, time, 2 * SLOT]) == [0, None, 2]
