"""Memory held by a rendition is given back: a short ladder run under
valgrind memcheck loses no block that our own code allocated, whether the
renditions finish or stop early.

The installed module is stripped, so valgrind names its frames only by the
module file; frames are also matched by our function names for builds that
keep symbols."""

from __future__ import annotations

import re
import time
from pathlib import Path

import pytest

import quorvane
from conftest import make_source
from media_checks import complete_rendition, read_master_entries, run_hls_encoder

MODULE_FILE = Path(quorvane.__file__).resolve()
OUR_FRAMES = re.compile(r"quorvane::|transcode_rendition|run_ladder|hls_encoder")

LOSS_HEADER = re.compile(
    r"^==\d+== (.+? bytes in [\d,]+ blocks) are (definitely|indirectly|possibly) lost "
    r"in loss record")


def _loss_records(report: str) -> list[tuple[str, str, list[str]]]:
    """(size text, kind, stack lines) for every lost-block record in a memcheck log."""
    records: list[tuple[str, str, list[str]]] = []
    current: tuple[str, str, list[str]] | None = None
    for line in report.splitlines():
        header = LOSS_HEADER.match(line)
        if header:
            current = (header.group(1), header.group(2), [])
            records.append(current)
        elif current is not None:
            body = line.split("== ", 1)[1] if "== " in line else ""
            if not body.strip():
                current = None
            else:
                current[2].append(body.strip())
    return records


def _passes_through_our_code(stack: list[str]) -> bool:
    return any(OUR_FRAMES.search(frame) or str(MODULE_FILE) in frame
               or MODULE_FILE.name in frame for frame in stack)


def _run_under_memcheck(directory: Path, source: Path, key: Path, resolution: list[str],
                        bitrate: list[int]) -> tuple[str, float]:
    log = directory / "memcheck.log"
    started = time.monotonic()
    finished = run_hls_encoder(
        source, resolution=resolution, bitrate=bitrate, key=key, cwd=directory,
        wrapper=("valgrind", "--leak-check=full", "--num-callers=40",
                 "--errors-for-leak-kinds=definite,indirect", f"--log-file={log}"),
        env={"PYTHONMALLOC": "malloc"}, timeout=900)
    elapsed = time.monotonic() - started
    report = log.read_text()
    assert finished.returncode == 0, (finished.stderr[-2000:], report[-4000:])
    assert "LEAK SUMMARY" in report or "All heap blocks were freed" in report, report[-4000:]
    return report, elapsed


def _lost_inside_ffmpeg_hls_init(stack: list[str]) -> bool:
    """FFmpeg 5.1's HLS muxer keeps its segment buffer when its own set-up
    fails inside avformat_write_header (its deinit frees the inner context
    but not that buffer); nothing outside the muxer can reach it."""
    return (any("avio_open_dyn_buf" in frame for frame in stack)
            and any("avformat_init_output" in frame for frame in stack))


def _lost_inside_a_refused_x264_open(stack: list[str]) -> bool:
    """libx264 keeps what it allocated when x264_encoder_open fails (its
    settings' copies); FFmpeg gets no encoder handle to free it through."""
    return any("x264_encoder_open" in frame for frame in stack)


def _lost_inside_an_import_we_asked_for(stack: list[str]) -> bool:
    """A module our code imports (logging, for the failure records) belongs
    to the interpreter from then on, which does not free all of it at exit:
    the allocation lies inside the import, which lies inside our code."""
    ours = next(i for i, frame in enumerate(stack) if _passes_through_our_code([frame]))
    return any("PyImport_Import" in frame for frame in stack[:ours])


def _our_losses(report: str) -> list[str]:
    return [
        f"{size} {kind} lost:\n    " + "\n    ".join(stack)
        for size, kind, stack in _loss_records(report)
        if kind in ("definitely", "indirectly") and _passes_through_our_code(stack)
        and not _lost_inside_ffmpeg_hls_init(stack)
        and not _lost_inside_a_refused_x264_open(stack)
        and not _lost_inside_an_import_we_asked_for(stack)
    ]


def test_two_rendition_ladder_loses_nothing_of_ours(workdir, key_info, record_property):
    source = make_source(workdir / "tiny.mp4", size="160x90", seconds=1)
    report, elapsed = _run_under_memcheck(workdir, source, key_info, ["360p", "480p"],
                                          [400000, 800000])
    record_property("valgrind_seconds", round(elapsed, 1))
    print(f"valgrind run: {elapsed:.1f} s")

    # The run really produced both renditions, so their whole life was checked.
    for name in ("360p", "480p"):
        complete_rendition(name, workdir)
    assert len(read_master_entries(workdir / "master.m3u8")) == 2
    # The module was loaded and its frames appear in the report's stacks, so
    # a loss of ours would be recognised.
    assert MODULE_FILE.name in report or OUR_FRAMES.search(report), report[-3000:]

    losses = _our_losses(report)
    assert not losses, "\n\n".join(losses[:10])


@pytest.mark.parametrize("failure", ["encoder_refuses_bitrate", "missing_key_file"])
def test_rendition_that_stops_early_loses_nothing_of_ours(workdir, key_info, failure):
    source = make_source(workdir / "tiny.mp4", size="160x90", seconds=1)
    bitrate = 400000
    if failure == "encoder_refuses_bitrate":
        # Input and decoders are opened, then libx264 refuses to open for a
        # bitrate under 1 kb/s, and the rendition gives up.
        key, bitrate = key_info, 999
    else:
        # Decoders, encoders and the muxer are made; the muxer's header fails.
        key = workdir / "broken.keyinfo"
        key.write_text(f"enc.key\n{workdir / 'absent.key'}\n{'00' * 16}\n")
    report, _ = _run_under_memcheck(workdir, source, key, ["360p"], [bitrate])

    assert read_master_entries(workdir / "master.m3u8") == []
    losses = _our_losses(report)
    assert not losses, "\n\n".join(losses[:10])


def test_loss_records_are_attributed_by_their_stacks():
    """The report reader sees a loss of ours and ignores the interpreter's."""
    report = "\n".join([
        "==7== 64 bytes in 1 blocks are definitely lost in loss record 3 of 9",
        "==7==    at 0x48417B4: malloc (vg_replace_malloc.c:381)",
        "==7==    by 0x5A1: av_malloc (mem.c:105)",
        f"==7==    by 0x5B2: ??? (in {MODULE_FILE})",
        "==7== ",
        "==7== 120 (64 direct, 56 indirect) bytes in 1 blocks are definitely lost in loss "
        "record 4 of 9",
        "==7==    at 0x48417B4: malloc (vg_replace_malloc.c:381)",
        "==7==    by 0x4A58DA0: PyUnicode_New (unicodeobject.c:1251)",
        "==7== ",
        "==7== 32 bytes in 1 blocks are indirectly lost in loss record 5 of 9",
        "==7==    at 0x48417B4: malloc (vg_replace_malloc.c:381)",
        "==7==    by 0x6C3: quorvane::transcode_rendition(std::string) (transcode_rendition.cpp:1)",
        "==7== ",
        # A module our code imported, kept by the interpreter: not ours.
        "==7== 48 bytes in 1 blocks are definitely lost in loss record 6 of 9",
        "==7==    at 0x48417B4: malloc (vg_replace_malloc.c:381)",
        "==7==    by 0x4B1B30F: r_object (marshal.c:1158)",
        "==7==    by 0x4B0A94A: PyImport_ImportModule (import.c:2488)",
        "==7==    by 0x5E613FC: quorvane::log_failures(std::vector<quorvane::rung_failure> const&)",
        "==7== ",
        # Ours, made while the interpreter imported our module: ours.
        "==7== 16 bytes in 1 blocks are definitely lost in loss record 7 of 9",
        "==7==    at 0x48417B4: malloc (vg_replace_malloc.c:381)",
        f"==7==    by 0x5B2: ??? (in {MODULE_FILE})",
        "==7==    by 0x4B09EEA: PyImport_ImportModuleLevelObject (import.c:2862)",
        "==7== ",
    ])
    records = _loss_records(report)
    assert [kind for _, kind, _ in records] == ["definitely", "definitely", "indirectly",
                                                "definitely", "definitely"]
    assert [loss.split(" lost:")[0] for loss in _our_losses(report)] == [
        "64 bytes in 1 blocks definitely", "32 bytes in 1 blocks indirectly",
        "16 bytes in 1 blocks definitely"]
