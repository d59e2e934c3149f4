"""The Python face of quorvane: what hls_encoder accepts, what it refuses
before any work starts, and which values it hands on to the ladder."""

import os
import shutil
from pathlib import Path

import pytest

import quorvane
from conftest import make_source
from media_checks import read_master_entries, x264_target_bitrate

HEADER = "#EXTM3U\n#EXT-X-VERSION:3\n"
MISSING = "missing.mp4"
SIGNATURE = (
    "hls_encoder(input: str, output: str, "
    "resolution: collections.abc.Sequence[str] = ['1080p', '720p', '480p', '360p'], "
    "bitrate: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] "
    "= [5000000, 2500000, 1000000, 400000], key: str = 'enc.keyinfo') -> None"
)
SUMMARY = "Transcode video to HLS with dynamic ABR"


class Index:
    """An integer-like object that only offers __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class IntLike:
    """An integer-like object that only offers __int__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __int__(self) -> int:
        return self.value


class Rate(float):
    pass


@pytest.fixture(scope="module")
def clip(media_dir: Path) -> Path:
    """A very short landscape clip, so that real encodes stay quick."""
    return make_source(media_dir / "binding_clip.mp4", size="320x180", seconds=0.2)


def stream_entries(master: Path) -> list[tuple[str, str, int]]:
    """(RESOLUTION, URI, the bit rate its encoder was given) of each entry of
    a master playlist, after checking its header."""
    text = master.read_text()
    assert text.startswith(HEADER)
    return [(attributes["RESOLUTION"], uri, x264_target_bitrate(master.parent / uri))
            for attributes, uri in read_master_entries(master)]


def entry(bandwidth: int, size: str, name: str) -> tuple[str, str, int]:
    return (size, f"{name}.m3u8", bandwidth)


# --- Module surface ---------------------------------------------------------


def test_module_docstring():
    assert quorvane.__doc__ == (
        "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"
    )


def test_function_docstring_shows_signature_and_summary():
    doc = quorvane.hls_encoder.__doc__
    assert doc.splitlines()[0] == SIGNATURE
    assert doc.rstrip("\n").endswith(SUMMARY)


# --- Argument conversion without an encode -----------------------------------
# With an input that does not exist nothing is encoded, so these cases only
# show what the binding lets through to the ladder.


def _generator():
    yield "720p"
    yield "360p"


ACCEPTED = [
    pytest.param(lambda: ((MISSING, "master.m3u8"), {}), id="str-paths"),
    pytest.param(lambda: ((b"missing.mp4", b"master.m3u8"), {"key": b"enc.keyinfo"}), id="bytes-paths"),
    pytest.param(
        lambda: ((bytearray(b"missing.mp4"), bytearray(b"master.m3u8")), {"key": bytearray(b"k")}),
        id="bytearray-paths",
    ),
    pytest.param(lambda: ((MISSING, "m.m3u8", ("720p", "360p")), {}), id="resolution-tuple"),
    pytest.param(lambda: ((MISSING, "m.m3u8", {"720p", "360p"}), {}), id="resolution-set"),
    pytest.param(lambda: ((MISSING, "m.m3u8", frozenset({"720p"})), {}), id="resolution-frozenset"),
    pytest.param(lambda: ((MISSING, "m.m3u8", _generator()), {}), id="resolution-generator"),
    pytest.param(lambda: ((MISSING, "m.m3u8", {"720p": 1}.keys()), {}), id="resolution-dict-keys"),
    pytest.param(lambda: ((MISSING, "m.m3u8", map(str.lower, ["720P"])), {}), id="resolution-map"),
    pytest.param(lambda: ((MISSING, "m.m3u8", ["720p"], [True, False]), {}), id="bitrate-bool"),
    pytest.param(lambda: ((MISSING, "m.m3u8", ["720p"], [Index(7)]), {}), id="bitrate-index"),
    pytest.param(lambda: ((MISSING, "m.m3u8", ["720p"], [IntLike(7)]), {}), id="bitrate-int-like"),
    pytest.param(lambda: ((MISSING, "m.m3u8", ["720p"], (7, 8)), {}), id="bitrate-tuple"),
    pytest.param(
        lambda: ((MISSING, "m.m3u8", ["720p"], [2**31 - 1, -(2**31)]), {}), id="bitrate-int32-bounds"
    ),
    pytest.param(lambda: ((MISSING, "m.m3u8", [], []), {}), id="empty-lists"),
    pytest.param(
        lambda: ((), {"key": "k", "bitrate": [1], "output": "m.m3u8", "resolution": ["720p"],
                      "input": MISSING}),
        id="keywords-any-order",
    ),
    pytest.param(lambda: ((MISSING,), {"key": "k", "output": "m.m3u8"}), id="positional-and-keyword"),
    pytest.param(lambda: ((MISSING, "m.m3u8", ["720p"], [1], "k"), {}), id="all-positional"),
]


@pytest.mark.parametrize("make_call", ACCEPTED)
def test_accepted_arguments_with_missing_input_return_none_and_write_nothing(workdir, make_call):
    args, kwargs = make_call()
    assert quorvane.hls_encoder(*args, **kwargs) is None
    assert os.listdir(workdir) == []


# Refusals use a real source and no key-info file: should a refused argument
# slip through, the ladder would run and leave a master playlist behind.
REFUSED = [
    pytest.param(lambda s: ((None, "m.m3u8"), {}), id="input-none"),
    pytest.param(lambda s: ((s, None), {}), id="output-none"),
    pytest.param(lambda s: ((s, "m.m3u8", None), {}), id="resolution-none"),
    pytest.param(lambda s: ((s, "m.m3u8", ["144p"], None), {}), id="bitrate-none"),
    pytest.param(lambda s: ((s, "m.m3u8", ["144p"], [], None), {}), id="key-none"),
    pytest.param(lambda s: ((Path(s), "m.m3u8"), {}), id="input-pathlib"),
    pytest.param(lambda s: ((s, 5), {}), id="output-number"),
    pytest.param(lambda s: ((s, "m.m3u8", "720p"), {}), id="resolution-bare-str"),
    pytest.param(lambda s: ((s, "m.m3u8", b"720p"), {}), id="resolution-bytes"),
    pytest.param(lambda s: ((s, "m.m3u8", {"720p": 1}), {}), id="resolution-dict"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p", None]), {}), id="resolution-none-item"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], 2500000), {}), id="bitrate-bare-int"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [2500000.0]), {}), id="bitrate-float"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [Rate(2500000.0)]), {}), id="bitrate-float-subclass"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], ["2500000"]), {}), id="bitrate-str"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [2**31]), {}), id="bitrate-above-int32"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [-(2**31) - 1]), {}), id="bitrate-below-int32"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [2500000 + 0j]), {}), id="bitrate-complex"),
    pytest.param(lambda s: (("\udc80", "m.m3u8"), {}), id="input-lone-surrogate"),
    pytest.param(lambda s: ((s, "m\udc80.m3u8"), {}), id="output-lone-surrogate"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p", "\udc80"]), {}), id="resolution-lone-surrogate"),
    pytest.param(lambda s: ((s, "m.m3u8", ["144p"], [], "\udc80"), {}), id="key-lone-surrogate"),
    pytest.param(lambda s: ((), {"output": "m.m3u8"}), id="input-missing"),
    pytest.param(lambda s: ((s,), {}), id="output-missing"),
    pytest.param(lambda s: ((), {}), id="no-arguments"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"], [1], "k", "extra"), {}), id="too-many-positional"),
    pytest.param(lambda s: ((s, "m.m3u8"), {"resolutions": ["720p"]}), id="unknown-keyword"),
    pytest.param(lambda s: ((s, "m.m3u8"), {"input": s}), id="input-given-twice"),
    pytest.param(lambda s: ((s, "m.m3u8", ["720p"]), {"resolution": ["360p"]}), id="resolution-given-twice"),
]


@pytest.mark.parametrize("make_call", REFUSED)
def test_refused_arguments_raise_type_error_and_write_nothing(workdir, clip, make_call):
    args, kwargs = make_call(str(clip))
    with pytest.raises(TypeError):
        quorvane.hls_encoder(*args, **kwargs)
    assert os.listdir(workdir) == []


# --- Values that reach the ladder (real encodes of a tiny clip) --------------


@pytest.mark.parametrize(
    "resolution",
    [["144p"], [], ["1080P", "1080", " 720p", "720p ", ""]],
    ids=["unlisted", "empty", "near-misses"],
)
def test_names_outside_the_ladder_give_a_header_only_master(workdir, key_info, clip, resolution):
    before = set(os.listdir(workdir))
    assert quorvane.hls_encoder(str(clip), "master.m3u8", resolution) is None
    assert (workdir / "master.m3u8").read_text() == HEADER
    assert set(os.listdir(workdir)) - before == {"master.m3u8"}


def test_defaults_encode_the_full_ladder_with_the_default_key_file(workdir, key_info, clip):
    assert key_info.name == "enc.keyinfo"
    quorvane.hls_encoder(str(clip), "master.m3u8")
    assert stream_entries(workdir / "master.m3u8") == [
        entry(5000000, "1920x1080", "1080p"),
        entry(2500000, "1280x720", "720p"),
        entry(1000000, "854x480", "480p"),
        entry(400000, "640x360", "360p"),
    ]
    for name in ("1080p", "720p", "480p", "360p"):
        assert (workdir / f"{name}.m3u8").is_file()


@pytest.mark.parametrize(
    ("resolution", "bandwidth"),
    [
        (["360p"], 5000000),
        (["144p", "360p"], 2500000),
        (["144p", "144p", "360p"], 1000000),
        (["144p", "144p", "144p", "360p"], 400000),
    ],
)
def test_default_bitrates_pair_with_caller_names_by_position(
    workdir, key_info, clip, resolution, bandwidth
):
    quorvane.hls_encoder(str(clip), "master.m3u8", resolution)
    assert stream_entries(workdir / "master.m3u8") == [entry(bandwidth, "640x360", "360p")]


def test_default_lists_are_fresh_on_every_call(workdir, key_info, clip):
    doc_before = quorvane.hls_encoder.__doc__
    # A fifth name gets its own default bitrate appended; a shared default
    # list would carry that extra value into the next call.
    quorvane.hls_encoder(str(clip), "first.m3u8", ["144p"] * 4 + ["480p"])
    assert stream_entries(workdir / "first.m3u8") == [entry(1000000, "854x480", "480p")]
    quorvane.hls_encoder(str(clip), "own.m3u8", ["144p", "360p"], [1, 300000])
    assert stream_entries(workdir / "own.m3u8") == [entry(300000, "640x360", "360p")]
    quorvane.hls_encoder(str(clip), "second.m3u8", ["144p"] * 4 + ["360p"])
    assert stream_entries(workdir / "second.m3u8") == [entry(400000, "640x360", "360p")]
    assert quorvane.hls_encoder.__doc__ == doc_before


def test_non_ascii_paths_reach_the_ladder(workdir, key_info, clip):
    source = workdir / "clip é 片.mp4"
    shutil.copy(clip, source)
    os.rename(key_info, workdir / "schlüssel.keyinfo")
    quorvane.hls_encoder(source.name, "mäster.m3u8", ["360p"], [300000], "schlüssel.keyinfo")
    assert stream_entries(workdir / "mäster.m3u8") == [entry(300000, "640x360", "360p")]


def test_key_argument_names_the_key_info_file(workdir, key_info, clip):
    os.rename(key_info, workdir / "other.keyinfo")
    quorvane.hls_encoder(str(clip), "given.m3u8", ["360p"], [300000], "other.keyinfo")
    # Without a key-info file under the default name the rendition cannot be
    # encrypted, so it is left out.
    quorvane.hls_encoder(str(clip), "default.m3u8", ["360p"], [300000])
    assert stream_entries(workdir / "given.m3u8") == [entry(300000, "640x360", "360p")]
    assert (workdir / "default.m3u8").read_text() == HEADER


def test_caller_lists_are_left_unchanged(workdir, key_info, clip):
    resolution = ["144p", "360p"]
    bitrate = [700000]
    quorvane.hls_encoder(str(clip), "master.m3u8", resolution, bitrate)
    assert resolution == ["144p", "360p"]
    assert bitrate == [700000]
    assert stream_entries(workdir / "master.m3u8") == [entry(400000, "640x360", "360p")]
