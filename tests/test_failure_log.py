"""Every rung that fails says why. The call still returns None, but once its
workers have joined it logs one WARNING record per failed rung through the
logger "quorvane", as "<rung>: <step>: <reason>" with FFmpeg's error text or
the rule that refused; "all rungs" when the whole call was refused. A ladder
that was completed logs nothing."""

from __future__ import annotations

import logging
import shutil
from pathlib import Path

import pytest

import quorvane
from conftest import make_source, run_ffmpeg


@pytest.fixture(scope="module")
def clip(media_dir: Path) -> Path:
    return make_source(media_dir / "failure_log_clip.ts", size="160x90", seconds=1)


def quorvane_records(caplog: pytest.LogCaptureFixture) -> list[logging.LogRecord]:
    return [record for record in caplog.records if record.name == "quorvane"]


# Each fault, with the rungs it fails and what each one's message must hold.
FAULTS = {
    # The working directory is gone: no segment or playlist can be made.
    "unwritable-folder": {"720p": ["No such file or directory"],
                          "360p": ["No such file or directory"]},
    "missing-key-file": {"720p": ["No such file or directory"],
                         "360p": ["No such file or directory"]},
    "refused-input": {"all rungs": [
        "all rungs: input refused: entry ../x.ts lies outside the playlist's folder"]},
    # libx264 refuses to open for a bitrate under 1 kb/s ("bitrate not
    # specified" in FFmpeg's log); the other rung is made.
    "encoder-refuses-bitrate": {"720p": ["encoder", "Generic error in an external library"]},
    # The deinterlacer refuses pictures under 4 lines when the chain is
    # configured: FFmpeg's reason, not a generic one.
    "failing-picture-chain": {"720p": ["720p: building the picture chain: Invalid argument"],
                              "360p": ["360p: building the picture chain: Invalid argument"]},
    # Every rung is made; the master playlist's folder does not exist.
    "unwritable-master": {"all rungs": [
        "all rungs: writing the master playlist ", "/missing/master.m3u8: No such file or directory"]},
}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_each_failed_rung_is_logged_with_its_reason(workdir, key_info, clip, monkeypatch, caplog,
                                                    fault):
    source, rates, key = str(clip), [2500000, 400000], str(key_info)
    output = workdir / "master.m3u8"
    if fault == "unwritable-folder":
        gone = workdir / "gone"
        gone.mkdir()
        monkeypatch.chdir(gone)
        gone.rmdir()
    elif fault == "missing-key-file":
        key = str(workdir / "missing.keyinfo")
    elif fault == "refused-input":
        (workdir / "upload").mkdir()
        shutil.copy(clip, workdir / "upload" / "seg.ts")
        shutil.copy(clip, workdir / "x.ts")
        playlist = workdir / "upload" / "list.m3u8"
        playlist.write_text("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nseg.ts\n"
                            "#EXTINF:1.0,\n../x.ts\n#EXT-X-ENDLIST\n")
        source = str(playlist)
    elif fault == "failing-picture-chain":
        source = str(workdir / "tiny_interlaced.mkv")
        # Flagged on the pictures and on the stream, as every FFmpeg CLI writes it.
        run_ffmpeg("-f", "lavfi", "-i", "testsrc=s=16x2:r=30:d=1", "-vf", "setfield=tff",
                   "-c:v", "ffv1", "-field_order", "tt", source)
    elif fault == "unwritable-master":
        output = workdir / "missing" / "master.m3u8"
    else:
        rates = [999, 400000]
    assert quorvane.hls_encoder(source, str(output), ["720p", "360p"], rates, key) is None
    records = quorvane_records(caplog)
    assert all(record.levelno == logging.WARNING for record in records), records
    messages = [record.getMessage() for record in records]
    expected = FAULTS[fault]
    assert [message.split(": ", 1)[0] for message in messages] == list(expected), messages
    for message, fragments in zip(messages, expected.values()):
        assert message.count(": ") >= 2, message  # the rung, the step, the reason
        for fragment in fragments:
            assert fragment in message, message


def test_completed_ladder_logs_nothing(workdir, key_info, clip, caplog):
    caplog.set_level(logging.DEBUG, logger="quorvane")
    quorvane.hls_encoder(str(clip), "master.m3u8", ["480p", "360p"], [1000000, 400000],
                         str(key_info))
    assert (workdir / "master.m3u8").read_text().count("#EXT-X-STREAM-INF") == 2
    assert quorvane_records(caplog) == []
