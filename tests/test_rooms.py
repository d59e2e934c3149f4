"""The C++ code's folders ("rooms") include one another one way only: the
build gives each room a view of the rooms it depends on, and refuses any
other. What the build cannot see: an include that climbs out of the room
("../ladder/x.h") or names a header by its bare file name, and a cycle of
headers inside one room, which #pragma once hides."""

from __future__ import annotations

import re
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
ROOMS = ("ffmpeg", "hls", "source", "rendition", "ladder", "module")
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)


def project_includes() -> dict[str, list[str]]:
    return {f"{path.parent.name}/{path.name}": INCLUDE.findall(path.read_text())
            for room in ROOMS for path in sorted((REPO / room).glob("*.[ch]*"))}


def test_every_include_names_its_room():
    wrong = [(file, header) for file, headers in project_includes().items() for header in headers
             if header.split("/")[0] not in ROOMS or not (REPO / header).is_file()]
    assert wrong == []


def test_no_header_includes_itself_through_others():
    includes = project_includes()
    state: dict[str, str] = {}

    def cycle_from(header: str, trail: list[str]) -> list[str] | None:
        if state.get(header) == "open":
            return trail[trail.index(header):] + [header]
        if state.get(header) == "done":
            return None
        state[header] = "open"
        for included in includes.get(header, []):
            if (found := cycle_from(included, trail + [header])) is not None:
                return found
        state[header] = "done"
        return None

    # The first cycle found; the search stops there.
    cycle = next((found for header in includes if (found := cycle_from(header, [])) is not None),
                 None)
    assert cycle is None
