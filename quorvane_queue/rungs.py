"""The rungs a ladder request plans, as hls_encoder resolves them: names it
knows, each once (its first place in the list), each with the bitrate at
that place or the rung's default."""

from __future__ import annotations

from dataclasses import dataclass

# hls_encoder's ladder, in its default order, with each rung's default bitrate.
LADDER_BITRATES = {"1080p": 5_000_000, "720p": 2_500_000, "480p": 1_000_000, "360p": 400_000}


@dataclass(frozen=True)
class Rung:
    name: str
    bitrate: int


def planned_rungs(resolution: list[str] | None, bitrate: list[int] | None) -> list[Rung]:
    """The rungs hls_encoder encodes for these arguments, in its order."""
    names = list(LADDER_BITRATES) if resolution is None else resolution
    rates = list(bitrate or [])
    rungs: list[Rung] = []
    for position, name in enumerate(names):
        if name not in LADDER_BITRATES or any(rung.name == name for rung in rungs):
            continue
        rate = rates[position] if position < len(rates) else LADDER_BITRATES[name]
        rungs.append(Rung(name, rate))
    return rungs
