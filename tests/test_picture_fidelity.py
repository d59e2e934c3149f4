"""How each rendition's pictures look in a player: colours shown through the
rendition's own tags on small and large rungs, HDR phone video brought down
to SDR, the picture's shape kept inside the frame, interlaced video woven
into whole pictures, transparent areas flattened over black, and plain
sources looking as ffmpeg's own scaler shows them.

Every source is a short generated clip, probed before it is trusted; each
is encoded once per module and the tests read the renditions."""

from __future__ import annotations

import math
import operator
import re
import subprocess
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

import pytest

from conftest import copy_with_rotation, run_ffmpeg
from media_checks import (
    complete_rendition,
    playlist_input_args,
    encode_ok,
    probe_frames,
    read_master_entries,
    write_key_info,
)
from picture_checks import (
    COLOUR_BARS,
    DISC_DIAMETER,
    Picture,
    TONE,
    bar_patches,
    dark_disc_size,
    interlace_count,
    picture_box,
    shown_colour_conversion,
    shown_gray,
    shown_rgb,
    still_clip,
    video_stream,
    worst_channel_error,
    write_colour_bars,
    write_light_field,
    write_rgba_image,
    write_shape_card,
)

RUNGS = {"720p": ((1280, 720), 2500000), "480p": ((854, 480), 1000000),
         "360p": ((640, 360), 400000)}

# What every rung must say about its colours, whatever the source was.
SDR_TAGS = {"color_space": "bt709", "color_primaries": "bt709", "color_transfer": "bt709",
            "color_range": "tv"}


@dataclass
class Encoded:
    directory: Path
    source: Path
    rungs: list[str]

    def playlist(self, rung: str) -> Path:
        return self.directory / f"{rung}.m3u8"


def encode(directory: Path, source: Path, rungs: list[str]) -> Encoded:
    key_info = write_key_info(directory)
    encode_ok(source, resolution=rungs, bitrate=[RUNGS[rung][1] for rung in rungs],
              key=key_info, cwd=directory)
    for rung in rungs:
        complete_rendition(rung, directory)
    return Encoded(directory, source, rungs)


def colour_tags(stream: dict) -> dict[str, str | None]:
    return {name: stream.get(name) for name in SDR_TAGS}


# BT.709 and BT.601 (SMPTE 170M) name matrix, primaries and transfer alike.
def tag_args(matrix: str, colour_range: str) -> tuple[str, ...]:
    """The colour tags as encoder options (libx264 writes these)."""
    return ("-colorspace", matrix, "-color_primaries", matrix, "-color_trc", matrix,
            "-color_range", colour_range)


def converted(matrix: str, colour_range: str, pix_fmt: str, *, tagged: bool = True
              ) -> tuple[str, ...]:
    """Output arguments turning RGB pictures into `pix_fmt` with `matrix` and
    `colour_range`; when `tagged`, the tags go both on the encoder and on the
    pictures themselves: prores_ks writes only the pictures' and silently
    leaves the encoder options out."""
    chain = f"scale=out_color_matrix={matrix}:out_range={colour_range},format={pix_fmt}"
    if not tagged:
        # FFmpeg 7.1's scale filter tags the pictures it converts: untag them.
        return ("-vf", f"{chain},setparams=colorspace=unknown:color_primaries=unknown"
                       ":color_trc=unknown:range=unknown")
    return ("-vf", f"{chain},setparams=colorspace={matrix}:color_primaries={matrix}"
                   f":color_trc={matrix}:range={colour_range}",
            *tag_args(matrix, colour_range))


X264 = ("-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac")
PRORES = ("-c:v", "prores_ks", "-c:a", "aac")


# --- colours -------------------------------------------------------------------

# Each source holds COLOUR_BARS converted to its own kind of picture:
# (file name, size, ffmpeg output arguments, the matrix and range ffprobe
# must find on its decoded pictures).
COLOUR_SOURCES = {
    "h264_bt709": ("bt709.mp4", (640, 360),
                   (*converted("bt709", "tv", "yuv420p"), *X264), ("bt709", "tv")),
    "h264_bt601": ("bt601.mp4", (640, 360),
                   (*converted("smpte170m", "tv", "yuv420p"), *X264), ("smpte170m", "tv")),
    # Untagged: players take BT.601 under 720 lines and BT.709 from 720 up,
    # so each is made with the matrix its size implies.
    "h264_untagged_360_lines": ("untagged_sd.mp4", (640, 360), (
        *converted("smpte170m", "tv", "yuv420p", tagged=False), *X264), (None, None)),
    "h264_untagged_720_lines": ("untagged_hd.mp4", (1280, 720), (
        *converted("bt709", "tv", "yuv420p", tagged=False), *X264), (None, None)),
    "h264_full_range_bt709": ("full_range.mp4", (640, 360),
                              (*converted("bt709", "pc", "yuvj420p"), *X264), ("bt709", "pc")),
    # A webcam's MJPEG: BT.601 at full range (ffprobe calls the matrix bt470bg).
    "mjpeg_webcam": ("webcam.mkv", (640, 360), (
        *converted("smpte170m", "pc", "yuvj420p", tagged=False),
        "-c:v", "mjpeg", "-q:v", "2", "-c:a", "aac"), ("bt470bg", "pc")),
    # A screen capture kept as RGB.
    "rgb_screen_capture": ("screen.mov", (640, 360), (
        "-pix_fmt", "rgb24", "-c:v", "qtrle", "-c:a", "aac"), (None, None)),
    "prores_bt709_master": ("master.mov", (640, 360), (
        *converted("bt709", "tv", "yuv422p10le"), *PRORES, "-profile:v", "3"), ("bt709", "tv")),
}

# Within one source, the patches come back within this of the colours they
# were drawn with: one 8-bit YUV round trip is off by 1 or 2, a lossy encode
# of flat patches by about as much more.
SOURCE_TOLERANCE = 4
# A rung shows the source's colours within 10 (8-bit): a second 8-bit
# YUV round trip and a lossy encode add a few levels at most, while reading
# pictures through the wrong matrix (BT.601 for BT.709 or back) moves the
# saturated bars by 15 to 33 levels.
RUNG_TOLERANCE = 10


@pytest.fixture(scope="module", params=list(COLOUR_SOURCES))
def colour_run(request, tmp_path_factory) -> tuple[Encoded, list[tuple[float, ...]]]:
    name, (width, height), output_args, (matrix, colour_range) = COLOUR_SOURCES[request.param]
    directory = tmp_path_factory.mktemp(request.param)
    bars = write_colour_bars(directory / "bars.ppm", width, height)
    source = still_clip(directory / name, bars, output_args=output_args)
    stream = video_stream(source)
    assert (stream["width"], stream["height"]) == (width, height)
    # The decoded pictures' tags: FFmpeg 7.1's ProRes decoder gives the range
    # to the pictures only, not to the stream.
    picture = probe_frames(source, "v", "color_space,color_range")[0]
    assert (picture.get("color_space"), picture.get("color_range")) == (matrix, colour_range), (
        picture)
    source_colours = bar_patches(shown_rgb(source))
    assert worst_channel_error(source_colours, COLOUR_BARS) <= SOURCE_TOLERANCE, source_colours
    return encode(directory, source, ["720p", "360p"]), source_colours


class TestColours:
    @pytest.mark.parametrize("rung", ["720p", "360p"])
    def test_rung_shows_the_source_colours(self, colour_run, rung):
        run, source_colours = colour_run
        shown = bar_patches(shown_rgb(run.playlist(rung)))
        error = worst_channel_error(shown, source_colours)
        assert error <= RUNG_TOLERANCE, (
            f"off by {error:.1f}; tags {colour_tags(video_stream(run.playlist(rung)))}",
            [tuple(round(c) for c in patch) for patch in shown])

    def test_every_rung_is_tagged_bt709_limited(self, colour_run):
        run, _ = colour_run
        for rung in run.rungs:
            assert colour_tags(video_stream(run.playlist(rung))) == SDR_TAGS, rung


# --- HDR ---------------------------------------------------------------------------

# SDR bars taken to linear light, then to BT.2020 with the HDR transfer;
# 100 cd/m2 is SDR's reference white.
_TO_LINEAR = ("format=gbrpf32le,zscale=tin=bt709:pin=bt709:min=gbr:rin=full"
              ":t=linear:p=bt709:m=gbr:r=full:npl=100,format=gbrpf32le")
HDR_TRANSFERS = {"hlg": "arib-std-b67", "pq": "smpte2084"}

# The way to SDR that ffmpeg's own filters take: linear light, BT.709
# primaries, a tone-mapping curve, BT.709 transfer and limited range.
TONE_MAPPED = ("zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
               "tonemap=tonemap=hable:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p,"
               "scale=in_color_matrix=bt709:in_range=tv:flags=accurate_rnd+full_chroma_int")
# The BT.2020 values cut to 8 bits and shown as BT.709: the washed-out picture.
NAIVE_COPY = "scale=in_color_matrix=bt709:in_range=tv:flags=accurate_rnd+full_chroma_int"


@pytest.fixture(scope="module", params=list(HDR_TRANSFERS))
def hdr_run(request, tmp_path_factory) -> Encoded:
    transfer = HDR_TRANSFERS[request.param]
    directory = tmp_path_factory.mktemp(f"hdr_{request.param}")
    bars = write_colour_bars(directory / "bars.ppm", 640, 360)
    chain = (f"{_TO_LINEAR},zscale=tin=linear:pin=bt709:min=gbr:rin=full:p=bt2020:t={transfer}"
             f":m=bt2020nc:r=tv:npl=100,format=yuv420p10le")
    source = still_clip(directory / f"{request.param}.mp4", bars, output_args=(
        "-vf", chain, "-colorspace", "bt2020nc", "-color_primaries", "bt2020",
        "-color_trc", transfer, "-color_range", "tv",
        "-c:v", "libx265", "-preset", "ultrafast", "-tag:v", "hvc1",
        "-x265-params",
        f"log-level=error:colorprim=bt2020:transfer={transfer}:colormatrix=bt2020nc",
        "-c:a", "aac"))
    stream = video_stream(source)
    assert (stream["codec_name"], stream["profile"], stream["pix_fmt"]) == (
        "hevc", "Main 10", "yuv420p10le"), stream
    assert colour_tags(stream) == {"color_space": "bt2020nc", "color_primaries": "bt2020",
                                   "color_transfer": transfer, "color_range": "tv"}, stream
    return encode(directory, source, ["720p"])


def _relative_to_white(patches: list[tuple[float, ...]]) -> list[tuple[float, ...]]:
    """The six coloured bars as fractions of the picture's own 75% white."""
    white = sum(patches[0]) / 3
    return [tuple(channel / white for channel in patch) for patch in patches[1:7]]


def _distance(a: list[tuple[float, ...]], b: list[tuple[float, ...]]) -> float:
    return sum(math.dist(pa, pb) for pa, pb in zip(a, b)) / len(a)


class TestHdr:
    def test_hdr_is_tone_mapped_not_copied(self, hdr_run):
        shown = bar_patches(shown_rgb(hdr_run.playlist("720p")))
        tone_mapped = bar_patches(shown_rgb(hdr_run.source, chain=TONE_MAPPED))
        naive = bar_patches(shown_rgb(hdr_run.source, chain=NAIVE_COPY))
        # A tone-mapped 75% white stays a grey well clear of black: ffmpeg's
        # hable, mobius, reinhard and clip curves leave it between 49 (hable
        # taking 1000 cd/m2 as nominal white) and 191. Below 32 the picture
        # is too dim to show, or to judge colours by.
        assert sum(shown[0]) / 3 >= 32, shown[0]
        # Tone-mapping curves differ in how bright they leave the picture, so
        # the bars are compared as fractions of each picture's own white:
        # there the curves agree within 0.02, and the naive copy's greyish
        # bars are 0.3 to 0.6 away.
        to_tone_mapped = _distance(_relative_to_white(shown), _relative_to_white(tone_mapped))
        to_naive = _distance(_relative_to_white(shown), _relative_to_white(naive))
        assert to_tone_mapped < to_naive, (
            f"{to_tone_mapped:.3f} from the tone-mapped picture, "
            f"{to_naive:.3f} from the naive copy",
            [tuple(round(c) for c in patch) for patch in shown])


# HDR graded the usual way, with SDR's white at the HDR reference white of
# 203 cd/m2 (BT.2408): its SDR rendering should look like the SDR grade.
REFERENCE_WHITE = 203
SDR_GRADE = "smptehdbars=size=640x360:rate=30"


def _hdr_still(path: Path, picture: str, transfer: str, white_nits: float) -> Path:
    """`picture` (a lavfi source) as 10-bit HEVC in `transfer`, its SDR white
    put at `white_nits` cd/m2; tagged as phones tag it."""
    run_ffmpeg("-f", "lavfi", "-i", picture, *TONE, "-map", "0:v", "-map", "1:a", "-t", "1",
               "-vf", f"{_TO_LINEAR},zscale=tin=linear:pin=bt709:min=gbr:rin=full:p=bt2020"
                      f":t={transfer}:m=bt2020nc:r=tv:npl={white_nits},format=yuv420p10le",
               "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", transfer,
               "-color_range", "tv", "-c:v", "libx265", "-preset", "ultrafast",
               "-x265-params", f"log-level=error:lossless=1:colorprim=bt2020:transfer={transfer}"
                               ":colormatrix=bt2020nc", "-c:a", "aac", str(path))
    assert colour_tags(video_stream(path))["color_transfer"] == transfer
    return path


def _psnr_against_lavfi(shown: Path, reference: str) -> float:
    """PSNR of a rendition's 10th picture against `reference` (a lavfi
    source) in BT.709 limited-range 4:2:0."""
    log = subprocess.run(
        ["ffmpeg", "-hide_banner", *playlist_input_args(shown), "-i", str(shown),
         "-f", "lavfi", "-i", reference, "-lavfi",
         "[0:v]trim=start_frame=10:end_frame=11,setpts=PTS-STARTPTS,format=yuv420p[a];"
         "[1:v]trim=end_frame=1,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p[b];"
         "[a][b]psnr", "-f", "null", "-"], capture_output=True, text=True, check=True).stderr
    return float(re.search(r"average:([0-9.]+)", log).group(1))


@pytest.fixture(scope="module", params=list(HDR_TRANSFERS))
def graded_hdr_run(request, tmp_path_factory) -> Encoded:
    directory = tmp_path_factory.mktemp(f"graded_{request.param}")
    transfer = HDR_TRANSFERS[request.param]
    source = _hdr_still(directory / "graded.mkv", SDR_GRADE, transfer, REFERENCE_WHITE)
    # Highlights at 400 and 1000 cd/m2 side by side, for the roll-off.
    light = "color=white:size=320x360:rate=30"
    lower = _hdr_still(directory / "400.mkv", light, transfer, 400)
    upper = _hdr_still(directory / "1000.mkv", light, transfer, 1000)
    highlights = directory / "highlights.mkv"
    run_ffmpeg("-i", str(lower), "-i", str(upper), "-filter_complex", "[0:v][1:v]hstack",
               "-map", "0:a", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
               "log-level=error:lossless=1", "-c:a", "copy", "-color_primaries", "bt2020",
               "-color_trc", transfer, "-colorspace", "bt2020nc", "-color_range", "tv",
               str(highlights))
    for name, clip in (("graded", source), ("highlights", highlights)):
        (directory / name).mkdir()
        encode(directory / name, clip, ["360p"])
    return Encoded(directory, source, ["360p"])


class TestHdrCalibration:
    def test_graded_hdr_looks_like_its_sdr_grade(self, graded_hdr_run):
        psnr = _psnr_against_lavfi(graded_hdr_run.directory / "graded" / "360p.m3u8", SDR_GRADE)
        # Taking SDR white as 100 cd/m2 instead gives 25 dB here: too bright.
        assert psnr >= 33, f"{psnr:.1f} dB from the SDR grade"

    def test_highlights_roll_off_rather_than_clip(self, graded_hdr_run):
        shown = shown_gray(graded_hdr_run.directory / "highlights" / "360p.m3u8")
        lower = shown.mean(90, 270, 40, 280)[0]
        upper = shown.mean(90, 270, 360, 600)[0]
        assert upper - lower >= 1, (lower, upper)


# --- the tone map against ffmpeg's floating-point chain -----------------------------

# FFmpeg's own way from HDR to SDR in floats, which the tone map's tables stand
# in for: zimg's linear light and primaries, the mobius curve, zimg's BT.709.
def _float_chain(transfer: str, full_range: bool, peak: float) -> str:
    return (f"zscale=tin={transfer}:pin=bt2020:min=2020_ncl:rin={'full' if full_range else 'limited'}"
            f":t=linear:p=bt709:npl={REFERENCE_WHITE},format=gbrpf32le,"
            f"tonemap=tonemap=mobius:param=0.8:desat=0:peak={peak},"
            "zscale=t=bt709:m=bt709:r=limited,format=yuv420p")


@dataclass(frozen=True)
class ToneMapCase:
    transfer: str          # "hlg" or "pq"
    white_nits: float      # where the SDR picture's white is put
    full_range: bool = False
    max_cll: int = 0       # the content light level the picture is tagged with
    size: tuple[int, int] = (321, 181)  # odd: the last chroma column and row stand alone


TONE_MAP_CASES = {
    "hlg graded": ToneMapCase("hlg", REFERENCE_WHITE),
    "hlg bright": ToneMapCase("hlg", 1000, size=(320, 180)),
    "pq full range": ToneMapCase("pq", REFERENCE_WHITE, full_range=True),
    "pq bright, tagged 4000 cd/m2": ToneMapCase("pq", 1000, max_cll=4000),
    "pq past the curve's peak": ToneMapCase("pq", 4000),
}


def _raw_psnr(a: Path, b: Path, size: tuple[int, int]) -> dict[str, float]:
    raw = ("-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{size[0]}x{size[1]}")
    log = subprocess.run(["ffmpeg", "-hide_banner", *raw, "-i", str(a), *raw, "-i", str(b),
                          "-lavfi", "psnr", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stderr
    return {plane: float(value) if value != "inf" else math.inf
            for plane, value in re.findall(r"\b([yuv]):([0-9.]+|inf)", log)}


def _even_crop(planes: bytes, size: tuple[int, int]) -> bytes:
    """An 8-bit 4:2:0 picture's top left, to even sides."""
    width, height = size
    chroma = ((width + 1) // 2, (height + 1) // 2)
    kept = ((width // 2 * 2, height // 2 * 2), (width // 2, height // 2), (width // 2, height // 2))
    cropped, start = [], 0
    for (plane_width, plane_height), (keep_width, keep_height) in zip(
            ((width, height), chroma, chroma), kept):
        cropped += [planes[start + row * plane_width:start + row * plane_width + keep_width]
                    for row in range(keep_height)]
        start += plane_width * plane_height
    return b"".join(cropped)


@pytest.mark.parametrize("case", TONE_MAP_CASES.values(), ids=TONE_MAP_CASES)
def test_tone_map_matches_the_floating_point_chain(case, tmp_path):
    """zimg takes only even sides for 4:2:0, so an odd picture is compared
    on its even top left, to ffmpeg's chain run on that part of the source."""
    from _quorvane_test_hooks import tone_map_planes

    transfer = HDR_TRANSFERS[case.transfer]
    width, height = case.size
    even = (width // 2 * 2, height // 2 * 2)
    source = tmp_path / "source.yuv"
    # Colours, highlights, and a black border.
    run_ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180", "-frames:v", "1",
               "-vf", f"scale=280:160,format=rgb24,pad={width}:{height}:20:10:black,"
                      f"{_TO_LINEAR},zscale=tin=linear:pin=bt709:min=gbr"
                      f":rin=full:p=bt2020:t={transfer}:m=bt2020nc:r={'full' if case.full_range else 'tv'}"
                      f":npl={case.white_nits},format=yuv444p10le,format=yuv420p10le",
               "-f", "rawvideo", str(source))
    # FFmpeg's curve takes its peak from the picture's content light level,
    # else ten times 100 cd/m2.
    peak = case.max_cll / 100 if case.max_cll else 10
    reference = tmp_path / "reference.yuv"
    run_ffmpeg("-f", "rawvideo", "-pix_fmt", "yuv420p10le", "-s", f"{width}x{height}",
               "-i", str(source), "-vf", f"crop={even[0]}:{even[1]}:0:0,"
               + _float_chain(transfer, case.full_range, peak), "-f", "rawvideo", str(reference))
    mapped = tone_map_planes(source.read_bytes(), width, height, case.transfer,
                             full_range=case.full_range, max_cll=case.max_cll)
    (tmp_path / "mapped.yuv").write_bytes(_even_crop(mapped, case.size))
    psnr = _raw_psnr(tmp_path / "mapped.yuv", reference, even)
    # Tables in place of zimg's floats: the same picture but for rounding
    # (58 to 73 dB). Read to the nearest entry, the tables had saturated
    # highlights' luma off by 4 (45 dB); black came out as 20 (44 dB); chroma
    # made of each pair of rows alone, not weighed over four, gave 44 dB.
    assert min(psnr.values()) >= 55, psnr
    plain = tone_map_planes(source.read_bytes(), width, height, case.transfer,
                            full_range=case.full_range, max_cll=case.max_cll, vector_lanes=False)
    assert plain == mapped, "the vector loop and the plain loop differ"


# --- shape -------------------------------------------------------------------------


@dataclass(frozen=True)
class ShapeCase:
    size: tuple[int, int]  # stored
    sample_aspect: Fraction = Fraction(1)
    rotation: int = 0  # degrees the player turns the picture
    disc: bool = True  # the shape card, or a plain light field
    rungs: tuple[str, ...] = ("360p",)

    @property
    def display_aspect(self) -> Fraction:
        width, height = self.size
        aspect = Fraction(width, height) * self.sample_aspect
        return 1 / aspect if self.rotation % 180 else aspect


SHAPES = {
    "4:3": ShapeCase((320, 240)),
    "square": ShapeCase((240, 240)),
    "cinema_2.35:1": ShapeCase((640, 272)),
    "pal_4:3_sar_16:15": ShapeCase((720, 576), Fraction(16, 15)),
    "pal_16:9_sar_64:45": ShapeCase((720, 576), Fraction(64, 45)),
    "portrait_3:4": ShapeCase((240, 320)),
    # A 4:3 phone picture stored on its side: shown 3:4 once turned.
    "4:3_turned_a_quarter": ShapeCase((320, 240), rotation=90),
    "tiny_16x16": ShapeCase((16, 16), disc=False),
    # 854x480 is 0.1% wider than 16:9: the picture fills it.
    "16:9": ShapeCase((320, 180), rungs=("480p", "360p")),
}


def frame_of(rung: str, case: ShapeCase) -> tuple[int, int]:
    width, height = RUNGS[rung][0]
    return (height, width) if case.display_aspect < 1 else (width, height)


def expected_box(frame: tuple[int, int], display_aspect: Fraction
                 ) -> tuple[Fraction, Fraction, Fraction, Fraction]:
    """The picture fitted inside the frame at its display aspect ratio,
    centred; a shape within 1% of the frame's fills it."""
    width, height = frame
    frame_aspect = Fraction(width, height)
    zero, full_width, full_height = Fraction(0), Fraction(width), Fraction(height)
    if abs(display_aspect / frame_aspect - 1) <= Fraction(1, 100):
        return zero, zero, full_width, full_height
    if display_aspect > frame_aspect:
        shown_height = width / display_aspect
        return zero, (height - shown_height) / 2, full_width, (height + shown_height) / 2
    shown_width = height * display_aspect
    return (width - shown_width) / 2, zero, (width + shown_width) / 2, full_height


@pytest.fixture(scope="module")
def shape_run(request, tmp_path_factory) -> tuple[ShapeCase, Encoded]:
    case = SHAPES[request.param]
    directory = tmp_path_factory.mktemp("shape")
    width, height = case.size
    card = (write_shape_card(directory / "card.pgm", width, height, float(case.sample_aspect))
            if case.disc else write_light_field(directory / "field.pgm", width, height))
    sar = case.sample_aspect
    source = still_clip(directory / "shape.mp4", card, output_args=(
        "-vf", f"format=yuv420p,setsar={sar.numerator}/{sar.denominator}", *X264))
    if case.rotation:
        # The display matrix is written only when the stream is copied.
        source = copy_with_rotation(source, directory / "turned.mp4", case.rotation)
    stream = video_stream(source)
    assert (stream["width"], stream["height"]) == case.size, stream
    assert Fraction(stream.get("sample_aspect_ratio", "1:1").replace(":", "/")) == sar, stream
    rotations = [side.get("rotation") for side in stream.get("side_data_list", [])
                 if "rotation" in side]
    # A quarter turn either way gives the same shape and the same disc.
    assert [abs(round(float(angle))) for angle in rotations] == (
        [case.rotation] if case.rotation else []), stream
    return case, encode(directory, source, list(case.rungs))


# Bicubic scaling blurs an edge over a pixel or two and x264 frames are
# coded in even sizes, so an edge may sit 2 pixels from the exact fit.
EDGE_TOLERANCE = 2
# The disc is about 144 pixels across on a 360-line picture; each end of a
# diameter may move by a pixel or two, so a round disc measures within 4%.
# Stretching a 4:3 picture to 16:9 makes it 33% wider than tall.
ROUNDNESS_TOLERANCE = 0.04


class TestShape:
    @pytest.mark.parametrize("shape_run", list(SHAPES), indirect=True)
    def test_picture_is_fitted_inside_the_frame(self, shape_run):
        case, run = shape_run
        for rung in case.rungs:
            frame = frame_of(rung, case)
            stream = video_stream(run.playlist(rung))
            assert (stream["width"], stream["height"]) == frame, rung
            # Square pixels: 1:1, or no aspect ratio written at all.
            assert stream.get("sample_aspect_ratio", "1:1") in ("1:1", "0:1"), stream
            box = picture_box(shown_gray(run.playlist(rung)))
            expected = expected_box(frame, case.display_aspect)
            assert all(abs(edge - want) <= EDGE_TOLERANCE
                       for edge, want in zip(box, expected)), (
                rung, "picture at (left, top, right, bottom)", box,
                "expected", tuple(round(float(edge), 1) for edge in expected))
        listed = {uri: attributes["RESOLUTION"]
                  for attributes, uri in read_master_entries(run.directory / "master.m3u8")}
        assert listed == {f"{rung}.m3u8": "{}x{}".format(*frame_of(rung, case))
                          for rung in case.rungs}

    @pytest.mark.parametrize(
        "shape_run", [name for name, case in SHAPES.items() if case.disc], indirect=True)
    def test_disc_stays_round(self, shape_run):
        case, run = shape_run
        picture = shown_gray(run.playlist(case.rungs[-1]))
        box = picture_box(picture)
        disc_width, disc_height = dark_disc_size(picture, box)
        assert abs(disc_width / disc_height - 1) <= ROUNDNESS_TOLERANCE, (
            disc_width, disc_height)
        # The disc is 40% of the shown picture's shorter side across.
        shorter_side = min(box[2] - box[0], box[3] - box[1])
        assert abs(disc_height - DISC_DIAMETER * shorter_side) <= 2 * EDGE_TOLERANCE, (
            disc_height, shorter_side)


# --- interlacing -------------------------------------------------------------------

# Moving pictures woven two fields to a picture, top field first, 25 pictures
# per second, 360 lines so that the 360p rung keeps every line. The weaving
# runs in the output's filters: frames coming out of a lavfi input have lost
# their interlacing flags, and libx264 would then mark the fields bottom first.
_WOVEN = "interlace=scan=tff:lowpass=off,setfield=tff"
INTERLACED_SOURCES = {
    "h264_mp4": ("camcorder.mp4", (
        "-c:v", "libx264", "-preset", "ultrafast", "-flags", "+ildct+ilme", "-x264opts", "tff=1",
        "-field_order", "tt", "-pix_fmt", "yuv420p", "-c:a", "aac")),
    "mpeg2_ts_ac3": ("broadcast.ts", (
        "-c:v", "mpeg2video", "-b:v", "4M", "-flags", "+ildct+ilme", "-top", "1",
        "-field_order", "tt", "-c:a", "ac3")),
}
INTERLACED_SECONDS = 3


@pytest.fixture(scope="module", params=list(INTERLACED_SOURCES))
def interlaced_run(request, tmp_path_factory) -> Encoded:
    name, output_args = INTERLACED_SOURCES[request.param]
    directory = tmp_path_factory.mktemp(f"interlaced_{request.param}")
    source = directory / name
    run_ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=50", *TONE,
               "-map", "0:v", "-map", "1:a", "-t", str(INTERLACED_SECONDS), "-vf", _WOVEN,
               *output_args, str(source))
    stream = video_stream(source)
    assert stream.get("field_order") == "tt", stream
    # Each decoded picture says so too: interlaced, top field first.
    flags = {(frame["interlaced_frame"], frame["top_field_first"])
             for frame in probe_frames(source, "v", "interlaced_frame,top_field_first")}
    assert flags == {(1, 1)}, flags
    count = interlace_count(source)
    assert count.interlaced_share > 0.9, count
    return encode(directory, source, ["360p"])


class TestInterlaced:
    def test_pictures_are_deinterlaced(self, interlaced_run):
        # idet calls a few pictures of a well deinterlaced output interlaced
        # (the first, which it has no earlier picture to compare with, and the
        # last): 2 to 4 of these 75 with ffmpeg's own bwdif or ours, against
        # all 75 of the woven source.
        count = interlace_count(interlaced_run.playlist("360p"))
        assert count.interlaced_share < 0.10, count

    def test_one_picture_per_source_picture(self, interlaced_run):
        source_pictures = len(probe_frames(interlaced_run.source, "v", "pts_time"))
        assert source_pictures == 25 * INTERLACED_SECONDS
        output_pictures = len(probe_frames(interlaced_run.playlist("360p"), "v", "pts_time"))
        assert output_pictures == source_pictures


# --- transparency ------------------------------------------------------------------

# Three bands: fully transparent magenta, half-transparent white, opaque green.
ALPHA_BANDS = [(255, 0, 255, 0), (255, 255, 255, 128), (0, 191, 0, 255)]
# Flattened over black: colour times opacity.
FLATTENED = [(0, 0, 0), (128, 128, 128), (0, 191, 0)]
ALPHA_SOURCES = {
    "qtrle_argb_mov": ("animation.mov", "argb",
                       ("-c:v", "qtrle", "-pix_fmt", "argb", "-c:a", "aac")),
    # ProRes 4444 keeps 12 bits of colour whatever it is given.
    "prores_4444_alpha_mov": ("graphics.mov", "yuva444p12le", (
        *converted("bt709", "tv", "yuva444p10le"), *PRORES, "-profile:v", "4444")),
}


@pytest.fixture(scope="module", params=list(ALPHA_SOURCES))
def alpha_run(request, tmp_path_factory) -> Encoded:
    name, pix_fmt, output_args = ALPHA_SOURCES[request.param]
    directory = tmp_path_factory.mktemp(f"alpha_{request.param}")
    image = write_rgba_image(directory / "bands.rgba", 320, 180, ALPHA_BANDS)
    source = still_clip(directory / name, image, output_args=output_args,
                        input_args=("-f", "rawvideo", "-pix_fmt", "rgba", "-video_size", "320x180"))
    assert video_stream(source)["pix_fmt"] == pix_fmt
    # The source really hides magenta under its transparent band.
    bands = _band_means(shown_rgb(source))
    assert worst_channel_error(bands[:1], [(255, 0, 255)]) <= SOURCE_TOLERANCE, bands
    alpha = _band_means(shown_rgb(source, chain="alphaextract,format=gray,format=rgb24"))
    opacity = [(a, a, a) for *_, a in ALPHA_BANDS]
    assert worst_channel_error(alpha, opacity) <= SOURCE_TOLERANCE, alpha
    return encode(directory, source, ["360p"])


def _band_means(picture: Picture) -> list[tuple[float, ...]]:
    """Mean colour of the middle half of each of the three bands."""
    third = picture.width / 3
    top, bottom = picture.height // 4, picture.height * 3 // 4
    return [picture.mean(top, bottom, int(third * (band + 0.25)), int(third * (band + 0.75)))
            for band in range(3)]


class TestTransparency:
    def test_flattened_over_black(self, alpha_run):
        shown = _band_means(shown_rgb(alpha_run.playlist("360p")))
        assert worst_channel_error(shown, FLATTENED) <= RUNG_TOLERANCE, (
            [tuple(round(c) for c in band) for band in shown], "expected", FLATTENED)


# --- plain sources ---------------------------------------------------------------

# A plain progressive 16:9 source, untagged or tagged BT.709, looks on its
# rung as ffmpeg's own bicubic scaler shows the source at that size. The
# test picture is softened as a camera's would be: at its raw, pixel-sharp
# coloured edges 4:2:0 chroma alone costs a few dB whenever the matrix is
# changed on the way, which says nothing about how the picture looks.
PLAIN_SOURCES = {
    "untagged_to_360p": ((320, 180), (), "smpte170m", "360p"),
    "bt709_to_720p": ((1280, 720), (*tag_args("bt709", "tv"),), "bt709", "720p"),
}
# Encoded at the rung's bitrate, the softened picture stays at 33 dB of PSNR
# or more against the exact scaling, also when it is converted from BT.601
# to BT.709 on the way (swscale or zscale); shown through the wrong matrix
# it gives 24.5 dB, and a picture shifted or squeezed by bars less still.
PLAIN_MIN_PSNR_DB = 29


@pytest.fixture(scope="module", params=list(PLAIN_SOURCES))
def plain_run(request, tmp_path_factory) -> Encoded:
    (width, height), tags, matrix, rung = PLAIN_SOURCES[request.param]
    directory = tmp_path_factory.mktemp(f"plain_{request.param}")
    source = directory / "plain.mp4"
    run_ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate=30,gblur=sigma=1", *TONE,
               "-map", "0:v", "-map", "1:a", "-t", "1", "-pix_fmt", "yuv420p", *tags, *X264,
               str(source))
    stream = video_stream(source)
    assert shown_colour_conversion(stream) == (matrix, "tv"), stream
    assert (stream.get("color_space") is None) == (not tags), stream
    return encode(directory, source, [rung])


# Squares of -255..255, indexed by the (possibly negative) difference itself.
_SQUARES = [d * d for d in range(256)] + [d * d for d in range(-255, 0)]


def _psnr(a: Picture, b: Picture) -> float:
    squared = sum(map(_SQUARES.__getitem__, map(operator.sub, a.data, b.data))) / len(a.data)
    return 10 * math.log10(255 ** 2 / squared) if squared else math.inf


class TestPlainSources:
    @pytest.mark.parametrize("at", [0.2, 0.8])
    def test_looks_as_ffmpeg_scales_it(self, plain_run, at):
        (rung,) = plain_run.rungs
        width, height = RUNGS[rung][0]
        stream = video_stream(plain_run.source)
        matrix, _ = shown_colour_conversion(stream)
        reference = shown_rgb(plain_run.source, at=at, chain=(
            f"scale={width}:{height}:in_color_matrix={matrix}:in_range=tv"
            ":flags=bicubic+accurate_rnd+full_chroma_int"), size=(width, height))
        shown = shown_rgb(plain_run.playlist(rung), at=at)
        assert (shown.width, shown.height) == (width, height)
        assert _psnr(shown, reference) >= PLAIN_MIN_PSNR_DB
