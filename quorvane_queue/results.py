"""The ladder's result as the client reads it, whichever task or step
makes it."""

from __future__ import annotations

from pathlib import Path

from .playlists import ladder_seconds
from .request import LadderRequest

# A ladder shorter than its upload claims by more than this is reported:
# the upload was most likely cut short. Whole seconds, or a share of longer
# inputs, so that the last frame's rounding never counts.
SHORTFALL_SECONDS = 1.0
SHORTFALL_SHARE = 0.02


def distinct(reasons: list[str]) -> list[str]:
    """The reasons once each, in order: a refusal every rung met is one."""
    return list(dict.fromkeys(reasons))


def media_report(folder: Path, renditions: list[str], claimed: float | None) -> dict:
    """How much media the ladder holds against what the upload claims, and
    a warning when it falls short. Nothing is drawn from a duration the
    container does not state (`claimed` None)."""
    held = round(ladder_seconds(folder, renditions), 3)
    report = {"media_seconds": held, "claimed_seconds": claimed, "warnings": []}
    if claimed and held < claimed - max(SHORTFALL_SECONDS, SHORTFALL_SHARE * claimed):
        report["warnings"].append(
            f"the ladder holds {held:.1f} s of media where the upload claims {claimed:.1f} s: "
            "the upload may have been cut short")
    return report


def progress_said(info: dict) -> str:
    """A PROGRESS state's info in words: the media written (and, for a
    ladder split in time, the upload planned)."""
    total = info.get("seconds_total")
    said = f"{info['seconds_done']:.0f} of {total:.0f} s" if total else \
        f"{info['seconds_done']:.0f} s"
    planned = info.get("planned_seconds")
    return said + " of media written" + ("" if planned is None else
                                         f", {planned:.0f} s of the upload planned")


def ladder_result(request: LadderRequest, renditions: list[str], encoded: bool, delivery: int,
                  cpu: float, reasons: list[str], claimed: float | None, worker: str) -> dict:
    return {"output": str(request.output), "renditions": renditions, "encoded": encoded,
            "delivery": delivery, "worker": worker, "encode_cpu_seconds": cpu,
            "rung_failures": distinct(reasons), **media_report(request.output, renditions, claimed)}
