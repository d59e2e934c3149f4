"""A ladder encoded one rung per task, so that free workers share it
(ladder_join.py joins the rungs).

``submit_ladder(..., split_rungs=True)`` sends one ``encode_rung`` task per
rung, under task ids ``LADDER-RUNG``. Each encodes its rung alone
(hls_encoder with that one name and bitrate, which measures it and lists it
in its own master playlist) in an attempt folder of its own, then moves it
into the ladder's staging folder and records how it ended in
``.NAME.ladder-ID.rung-RUNG.json``. The rung task that finds every rung
ended writes the master playlist of the rungs done, in the caller's order,
and publishes the ladder. A ladder is published when at least one rung was
done; a rung that failed is named among its rung failures.
"""

from __future__ import annotations

from pathlib import Path

import _quorvane_queue_native as native

from .base import LadderTask
from .ladder_join import JoinedPart, LadderJoin, run_part
from .playlists import MASTER, NoRendition, media_segments
from .results import distinct, ladder_result
from .workflow import Reporter
from .request import LadderFailed, LadderRequest, probe_upload, read_ladder_id, read_request


def rung_files(folder: Path, rung: str) -> tuple[dict, list[str]]:
    """(the master playlist entry of `rung` that a one-rung call wrote in
    `folder`, the rung's files). NoRendition when the rung is not complete."""
    listed = [entry for entry in native.read_master(str(folder / MASTER)) or []
              if entry["name"] == rung]
    if not listed:
        raise NoRendition("the encode completed no rendition")
    playlist = f"{rung}.m3u8"
    files = [playlist, *media_segments(folder / playlist)]
    missing = [name for name in files if not (folder / name).is_file()]
    if missing:
        raise NoRendition(f"listed but missing: {', '.join(missing)}")
    return listed[0], files


class RungJoin(LadderJoin):
    kind = "rung"
    missing_allowed = True   # a rung may have failed as the ladder was made

    @classmethod
    def of(cls, request: LadderRequest, ladder_id: str) -> RungJoin:
        return cls(request.output, ladder_id, [planned.name for planned in request.rungs])

    def parts(self) -> list[str]:
        return self.rungs

    def playlists_of(self, part: str) -> list[str]:
        return [part]

    def _done(self, records: dict[str, dict]) -> list[str]:
        return [rung for rung in self.rungs if records[rung]["state"] == "done"]

    def failure(self, request: LadderRequest, records: dict[str, dict]) -> LadderFailed | None:
        """No rung was completed: the reasons once each, and the logs kept."""
        if self._done(records):
            return None
        reasons = distinct([reason for rung in self.rungs for reason in records[rung]["reasons"]])
        logs = [records[rung]["log"] for rung in self.rungs if records[rung].get("log")]
        kept = f" (FFmpeg's messages: {', '.join(logs)})" if logs else ""
        return LadderFailed(f"{request.input}: the encode completed no rendition: "
                            f"{'; '.join(reasons)}{kept}")

    def master_entries(self, request: LadderRequest, records: dict[str, dict]) -> list[dict]:
        return [records[rung]["listed"] for rung in self._done(records)]

    def result(self, reporter: Reporter, request: LadderRequest, records: dict[str, dict]) -> dict:
        done = self._done(records)
        result = ladder_result(
            request, done, True, max(int(records[rung].get("delivery", 1)) for rung in done),
            sum(records[rung].get("cpu", 0.0) for rung in done),
            [reason for rung in self.rungs for reason in records[rung]["reasons"]],
            probe_upload(request.input).seconds, reporter.worker)
        result["rungs"] = {rung: {"worker": records[rung]["worker"],
                                  "seconds": records[rung]["seconds"]} for rung in done}
        return result


def _rung_files(rung: str):
    def gather(folder: Path, report: dict) -> tuple[list[str], list[str], dict]:
        listed, files = rung_files(folder, rung)
        return files, [], {"listed": listed}
    return gather


def run_rung(task: LadderTask, ladder_id: str, rung: str, *arguments) -> dict:
    """The rung task's work, for the ladder `arguments` ask for (as
    read_request takes them): its rung encoded and joined, unless the ladder
    is over; the ladder finished when this was its last rung."""
    request = read_request(*arguments)
    join = RungJoin.of(request, read_ladder_id(ladder_id))
    if not isinstance(rung, str) or rung not in join.rungs:
        raise LadderFailed(f"{rung!r:.100} is not a rung of this ladder")
    one = request.one_rung(next(planned for planned in request.rungs if planned.name == rung))
    work = JoinedPart(task, join, rung, request, one.encoder_job(), rung, _rung_files(rung))
    return {"rung": rung, **run_part(task, join, rung, request, work)}
