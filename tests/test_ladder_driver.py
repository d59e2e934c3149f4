"""The ladder driver run with a stand-in worker: which renditions it starts,
with which sizes and bitrates, on how many threads, how it copes with workers
that fail or cannot be started, the master playlist it writes, and the
reason it logs for each rung that failed or was skipped."""

import os
import shutil
from pathlib import Path

import pytest

from _quorvane_test_hooks import run_ladder_with_stand_in
from conftest import copy_with_rotation, make_source, run_ffmpeg

HEADER = "#EXTM3U\n#EXT-X-VERSION:3\n"
FULL_LADDER = ["1080p", "720p", "480p", "360p"]
FULL_RATES = [5000000, 2500000, 1000000, 400000]
# Landscape frame size of each rendition.
SIZES = {"1080p": (1920, 1080), "720p": (1280, 720), "480p": (854, 480), "360p": (640, 360)}


def run(source, resolution, bitrate, *, output="master.m3u8", key="enc.keyinfo", **options):
    return run_ladder_with_stand_in(str(source), str(output), resolution, bitrate, key, **options)


def logged(caplog) -> list[str]:
    """The messages of the quorvane logger's records, each asserted a WARNING."""
    records = [record for record in caplog.records if record.name == "quorvane"]
    assert all(record.levelname == "WARNING" for record in records), records
    return [record.getMessage() for record in records]


def renditions(calls) -> list[tuple[str, int]]:
    """(playlist, bitrate) of each call, in start order."""
    return [(playlist, rate) for _, playlist, _, _, rate, _ in calls]


def master_for(entries: list[tuple[str, int]], uri=lambda playlist: playlist) -> str:
    """The master playlist listing `entries` (landscape sizes) in order, with
    the rates measured from what the stand-in writes: 1000 bits per second
    whatever the target; the targets reach the workers (see `renditions`)."""
    text = HEADER
    for playlist, _rate in entries:
        width, height = SIZES[playlist.removesuffix(".m3u8")]
        text += (f"#EXT-X-STREAM-INF:BANDWIDTH=1000,AVERAGE-BANDWIDTH=1000,"
                 f"RESOLUTION={width}x{height},FRAME-RATE=30.000\n{uri(playlist)}\n")
    return text


@pytest.fixture(scope="module")
def audio_only(media_dir: Path) -> Path:
    path = media_dir / "tone.m4a"
    run_ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "0.5",
               "-c:a", "aac", str(path))
    return path


@pytest.fixture(scope="module")
def square_source(media_dir: Path) -> Path:
    return make_source(media_dir / "square.mp4", size="96x96", seconds=0.2, audio=False)


# --- The default ladder -------------------------------------------------------


@pytest.mark.parametrize("orientation", ["landscape", "portrait"])
def test_full_ladder_starts_one_thread_per_rendition(
    workdir, landscape_source, portrait_source, orientation, caplog
):
    source = landscape_source if orientation == "landscape" else portrait_source
    calls, finished, threads = run(source, FULL_LADDER, FULL_RATES, key="keys/a key.keyinfo")
    expected = []
    for name, rate in zip(FULL_LADDER, FULL_RATES):
        width, height = SIZES[name]
        if orientation == "portrait":
            width, height = height, width
        expected.append((str(source), f"{name}.m3u8", width, height, rate, "keys/a key.keyinfo"))
    assert calls == expected
    assert threads == 4
    assert sorted(finished) == sorted(f"{name}.m3u8" for name in FULL_LADDER)
    assert logged(caplog) == []  # every rung completed: nothing to say


def test_workers_run_at_the_same_time(workdir, landscape_source):
    # Each stand-in waits until all four are running before it finishes: a
    # driver that ran them one after another would leave the first waiting
    # in vain, and its rendition failed. No clock is read.
    calls, _, threads = run(landscape_source, FULL_LADDER, FULL_RATES, rendezvous=4)
    assert len(calls) == 4 and threads == 4
    assert (workdir / "master.m3u8").read_text() == master_for(list(zip(
        [f"{name}.m3u8" for name in FULL_LADDER], FULL_RATES)))


def test_relative_input_path_is_passed_through(workdir, landscape_source):
    shutil.copy(landscape_source, workdir / "clip é 1.mp4")
    calls, _, _ = run_ladder_with_stand_in("clip é 1.mp4", "master.m3u8", ["720p"], [], "k")
    assert [(path, key) for path, *_, key in calls] == [("clip é 1.mp4", "k")]


@pytest.mark.parametrize(
    ("rotation", "portrait"),
    [(0, False), (90, True), (180, False), (270, True)],
)
def test_displayed_orientation_decides_the_frame_sizes(
    workdir, landscape_source, rotation, portrait
):
    # A landscape picture turned a quarter turn is shown portrait.
    rotated = workdir / f"rotated{rotation}.mp4"
    copy_with_rotation(landscape_source, rotated, rotation)
    calls, _, _ = run(rotated, ["720p", "360p"], [])
    sizes = [(width, height) for _, _, width, height, _, _ in calls]
    assert sizes == ([(720, 1280), (360, 640)] if portrait else [(1280, 720), (640, 360)])


def test_square_source_gets_landscape_sizes(workdir, square_source):
    calls, _, _ = run(square_source, ["1080p"], [])
    assert [(width, height) for _, _, width, height, _, _ in calls] == [(1920, 1080)]


# --- Names, bitrates and the master playlist ----------------------------------


@pytest.mark.parametrize(
    ("resolution", "bitrate", "expected"),
    [
        pytest.param(["720p"], [], [("720p.m3u8", 2500000)], id="missing-rate-defaults"),
        pytest.param(["720p", "360p"], [5000000], [("720p.m3u8", 5000000), ("360p.m3u8", 400000)],
                     id="short-rate-list-completed"),
        pytest.param(["720p"], [5000000, 400000], [("720p.m3u8", 5000000)],
                     id="extra-rates-ignored"),
        pytest.param(["144p", "360p"], [2500000], [("360p.m3u8", 400000)],
                     id="unlisted-name-consumes-a-rate"),
        pytest.param(["foo", "720p"], [], [("720p.m3u8", 2500000)], id="unlisted-name-skipped"),
        pytest.param(["1080P", "1080", " 720p", "720p ", ""], [], [], id="near-miss-names"),
        pytest.param([], [], [], id="no-names"),
        pytest.param([], [1, 2], [], id="rates-without-names"),
        pytest.param(["360p", "1080p"], [], [("360p.m3u8", 400000), ("1080p.m3u8", 5000000)],
                     id="caller-order-kept"),
        pytest.param(["360p", "720p"], [0, -5], [("360p.m3u8", 0), ("720p.m3u8", -5)],
                     id="zero-and-negative-rates"),
        pytest.param(["480p", "1080p"], [2**31 - 1, -(2**31)],
                     [("480p.m3u8", 2**31 - 1), ("1080p.m3u8", -(2**31))], id="int32-extremes"),
        pytest.param(["720p", "360p", "720p"], [1, 2, 3], [("720p.m3u8", 1), ("360p.m3u8", 2)],
                     id="repeat-encoded-once"),
        pytest.param(["720p", "720p", "360p"], [1, 2], [("720p.m3u8", 1), ("360p.m3u8", 400000)],
                     id="repeat-consumes-its-rate"),
        pytest.param(["360p", "360p"], [], [("360p.m3u8", 400000)], id="repeat-with-defaults"),
    ],
)
def test_names_pair_with_bitrates_by_position(workdir, landscape_source, resolution, bitrate,
                                              expected):
    calls, finished, threads = run(landscape_source, resolution, bitrate)
    assert renditions(calls) == expected
    assert [(w, h) for _, playlist, w, h, _, _ in calls] == [
        SIZES[playlist.removesuffix(".m3u8")] for playlist, _ in expected
    ]
    assert threads == len(expected)
    assert sorted(finished) == sorted(playlist for playlist, _ in expected)
    assert (workdir / "master.m3u8").read_text() == master_for(expected)


def test_master_playlist_bytes(workdir, landscape_source):
    run(landscape_source, ["720p", "360p"], [])
    assert (workdir / "master.m3u8").read_bytes() == (
        b"#EXTM3U\n#EXT-X-VERSION:3\n"
        b"#EXT-X-STREAM-INF:BANDWIDTH=1000,AVERAGE-BANDWIDTH=1000,RESOLUTION=1280x720,"
        b"FRAME-RATE=30.000\n720p.m3u8\n"
        b"#EXT-X-STREAM-INF:BANDWIDTH=1000,AVERAGE-BANDWIDTH=1000,RESOLUTION=640x360,"
        b"FRAME-RATE=30.000\n360p.m3u8\n"
    )


def test_existing_master_is_replaced(workdir, landscape_source):
    (workdir / "master.m3u8").write_text("old content\n" * 100)
    run(landscape_source, ["720p"], [])
    assert (workdir / "master.m3u8").read_text() == master_for([("720p.m3u8", 2500000)])


def test_skipped_and_failed_rungs_are_logged_in_the_callers_order(workdir, landscape_source,
                                                                  caplog):
    run(landscape_source, ["720p", "144p", "360p", "720p", "480p"], [],
        outcomes={"360p.m3u8": "fail"})
    messages = logged(caplog)
    assert [message.split(": ", 2)[:2] for message in messages] == [
        ["144p", "planning the ladder"], ["360p", "stand-in"], ["720p", "planning the ladder"]]
    assert "no rung of that name" in messages[0] and "1080p, 720p, 480p, 360p" in messages[0]
    assert "named again" in messages[2]


# --- Workers that fail, and threads that cannot be had -------------------------


# What the driver logs for a stand-in that fails ("stand-in" is the step the
# stand-in itself names) or throws.
FAILED_WORKER_MESSAGE = {
    "fail": "720p: stand-in: told to fail",
    "throw": "720p: running the worker: it threw: stand-in worker failed",
    "throw_other": "720p: running the worker: it threw an exception of unknown type",
}


@pytest.mark.parametrize("outcome", ["fail", "throw", "throw_other"])
def test_failed_rendition_is_left_out_of_the_master(workdir, landscape_source, outcome, caplog):
    calls, finished, _ = run(landscape_source, FULL_LADDER, FULL_RATES,
                             outcomes={"720p.m3u8": outcome})
    assert logged(caplog) == [FAILED_WORKER_MESSAGE[outcome]]
    assert [playlist for _, playlist, *_ in calls] == [f"{name}.m3u8" for name in FULL_LADDER]
    assert sorted(finished) == sorted(f"{name}.m3u8" for name in FULL_LADDER)
    assert (workdir / "master.m3u8").read_text() == master_for(
        [("1080p.m3u8", 5000000), ("480p.m3u8", 1000000), ("360p.m3u8", 400000)]
    )


def test_rendition_whose_files_cannot_be_measured_is_left_out(workdir, landscape_source, caplog):
    # The master states only rates measured from a rendition's own files.
    run(landscape_source, ["720p", "360p"], [], outcomes={"720p.m3u8": "finish_without_files"})
    assert logged(caplog) == [
        "720p: measuring the rendition: its media playlist or a segment cannot be read"]
    assert (workdir / "master.m3u8").read_text() == master_for([("360p.m3u8", 400000)])


def test_no_finished_rendition_gives_a_header_only_master(workdir, landscape_source):
    outcomes = {"1080p.m3u8": "fail", "720p.m3u8": "throw", "480p.m3u8": "throw_other",
                "360p.m3u8": "fail"}
    calls, _, _ = run(landscape_source, FULL_LADDER, FULL_RATES, outcomes=outcomes)
    assert len(calls) == 4
    assert (workdir / "master.m3u8").read_text() == HEADER


def test_failed_first_occurrence_is_not_retried_by_a_repeat(workdir, landscape_source):
    calls, _, _ = run(landscape_source, ["720p", "720p"], [], outcomes={"720p.m3u8": "fail"})
    assert renditions(calls) == [("720p.m3u8", 2500000)]
    assert (workdir / "master.m3u8").read_text() == HEADER


@pytest.mark.parametrize(
    ("resolution", "limit", "expected"),
    [
        pytest.param(FULL_LADDER, 0, [], id="none"),
        pytest.param(FULL_LADDER, 2, [("1080p.m3u8", 5000000), ("720p.m3u8", 2500000)],
                     id="two-of-four"),
        pytest.param(FULL_LADDER, 4, list(zip([f"{n}.m3u8" for n in FULL_LADDER], FULL_RATES)),
                     id="exactly-enough"),
        pytest.param(["720p", "720p", "144p", "360p", "480p", "1080p"], 3,
                     [("720p.m3u8", 2500000), ("360p.m3u8", 400000), ("480p.m3u8", 1000000)],
                     id="skipped-names-take-no-thread"),
    ],
)
def test_refused_thread_stops_new_workers_and_keeps_started_ones(
    workdir, landscape_source, resolution, limit, expected, caplog
):
    calls, finished, threads = run(landscape_source, resolution, [], thread_limit=limit)
    # Each rung of the ladder left without a thread says so, the refused one
    # with the system's reason.
    started = {playlist for playlist, _ in expected}
    unstarted = [name for name in dict.fromkeys(resolution)
                 if name in SIZES and f"{name}.m3u8" not in started]
    thread_messages = [m for m in logged(caplog) if ": starting its thread: " in m]
    assert [m.split(":", 1)[0] for m in thread_messages] == unstarted
    if unstarted:
        assert thread_messages[0].endswith(": Resource temporarily unavailable")
    assert renditions(calls) == expected
    assert threads == len(expected)
    assert sorted(finished) == sorted(playlist for playlist, _ in expected)
    assert (workdir / "master.m3u8").read_text() == master_for(expected)


# --- Where the master playlist goes ------------------------------------------


@pytest.mark.parametrize(
    ("output", "prefix"),
    [
        pytest.param("master.m3u8", "", id="bare-name"),
        pytest.param("./master.m3u8", "", id="dot-slash"),
        pytest.param("{cwd}/master.m3u8", "", id="absolute-same-directory"),
        pytest.param("alias/master.m3u8", "", id="symlink-to-working-directory"),
        pytest.param("out/master.m3u8", "../", id="subdirectory"),
        pytest.param("{cwd}/out/deep/master.m3u8", "../../", id="absolute-nested"),
        pytest.param("../master.m3u8", "media/", id="parent"),
        pytest.param("../other/master.m3u8", "../media/", id="sibling"),
    ],
)
def test_master_reaches_media_playlists_from_its_own_directory(
    workdir, landscape_source, monkeypatch, output, prefix
):
    cwd = workdir / "media"
    for directory in (cwd / "out" / "deep", workdir / "other"):
        directory.mkdir(parents=True)
    (cwd / "alias").symlink_to(cwd, target_is_directory=True)
    monkeypatch.chdir(cwd)
    output = output.format(cwd=cwd)

    run(landscape_source, ["720p", "360p"], [], output=output)

    expected = [("720p.m3u8", 2500000), ("360p.m3u8", 400000)]
    master = Path(output)
    assert master.read_text() == master_for(expected, uri=lambda playlist: prefix + playlist)
    for uri in master.read_text().splitlines()[3::2]:
        # Resolved against the master's own directory, the URI names the
        # playlist the worker writes into the working directory.
        target = os.path.realpath(os.path.join(master.parent, uri))
        assert Path(target).parent == cwd.resolve()


@pytest.mark.parametrize(
    "output",
    [
        pytest.param("nodir/master.m3u8", id="missing-directory"),
        pytest.param("out", id="existing-directory"),
        pytest.param("", id="empty"),
    ],
)
def test_unwritable_output_leaves_no_file_and_returns(workdir, landscape_source, output):
    (workdir / "out").mkdir()
    before = sorted(os.listdir(workdir))
    calls, _, _ = run(landscape_source, ["720p"], [], output=output)
    assert renditions(calls) == [("720p.m3u8", 2500000)]
    # Only the stand-in's rendition files: no master playlist anywhere.
    assert sorted(os.listdir(workdir)) == sorted(before + ["720p.m3u8", "720p_000.ts"])
    assert os.listdir(workdir / "out") == []


# --- Inputs without a usable video stream --------------------------------------


# Why the whole call was refused, as logged.
NO_VIDEO_MESSAGE = {
    "missing": "all rungs: opening the input: No such file or directory",
    "audio-only": "all rungs: probing the input: the input has no video stream",
    "text": "all rungs: opening the input: Invalid data found when processing input",
    "directory": "all rungs: input refused: the input is a folder",
}


@pytest.mark.parametrize("kind", ["missing", "audio-only", "text", "directory"])
def test_input_without_video_starts_nothing_and_writes_no_master(
    workdir, audio_only, kind, caplog
):
    if kind == "missing":
        source = workdir / "missing.mp4"
    elif kind == "audio-only":
        source = audio_only
    elif kind == "text":
        source = workdir / "notes.mp4"
        source.write_text("not a video\n" * 50)
    else:
        source = workdir / "folder.mp4"
        source.mkdir()
    calls, finished, threads = run(source, FULL_LADDER, FULL_RATES)
    assert (calls, finished, threads) == ([], [], 0)
    assert not (workdir / "master.m3u8").exists()
    assert logged(caplog) == [NO_VIDEO_MESSAGE[kind]]
