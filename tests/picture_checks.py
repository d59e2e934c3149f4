"""Helpers for looking at pictures the way a player shows them: still test
cards written as raw images, encoded into short clips with a tone; decoded
pictures as RGB through the stream's own colour tags (or, for untagged
pictures, the matrix players assume), patch colours, where the black bars
end, the size of a dark disc, and ffmpeg's interlace detector."""

from __future__ import annotations

import math
import re
import subprocess
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

from conftest import run_ffmpeg
from media_checks import playlist_input_args, probe_streams

# 75% colour bars laid out as a 4x2 grid of patches, row by row; the last is
# near-black so that a lifted or crushed black shows.
COLOUR_BARS: list[tuple[int, int, int]] = [
    (191, 191, 191), (191, 191, 0), (0, 191, 191), (0, 191, 0),
    (191, 0, 191), (191, 0, 0), (0, 0, 191), (16, 16, 16),
]
BAR_COLUMNS, BAR_ROWS = 4, 2

TONE = ("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000")


def write_colour_bars(path: Path, width: int, height: int) -> Path:
    """COLOUR_BARS as a binary PPM (8-bit RGB)."""
    rows = []
    for bar_row in range(BAR_ROWS):
        colours = COLOUR_BARS[bar_row * BAR_COLUMNS:(bar_row + 1) * BAR_COLUMNS]
        line = b"".join(bytes(colours[x * BAR_COLUMNS // width]) for x in range(width))
        first = bar_row * height // BAR_ROWS
        last = (bar_row + 1) * height // BAR_ROWS
        rows.append(line * (last - first))
    path.write_bytes(b"P6\n%d %d\n255\n" % (width, height) + b"".join(rows))
    return path


def write_rgba_image(path: Path, width: int, height: int,
                     columns: list[tuple[int, int, int, int]]) -> Path:
    """Raw RGBA bytes, the picture split into equal vertical bands of `columns`."""
    line = b"".join(bytes(columns[x * len(columns) // width]) for x in range(width))
    path.write_bytes(line * height)
    return path


# The shape card: a light field with a dark disc in the middle. Light and
# dark are 8-bit gray levels before the conversion to limited range.
CARD_LIGHT, CARD_DARK = 200, 0
DISC_DIAMETER = 0.4  # of the displayed picture's shorter side


def write_shape_card(path: Path, width: int, height: int, sample_aspect: float = 1.0) -> Path:
    """A binary PGM of the shape card for pixels `sample_aspect` wide (width
    over height): the disc is round once the picture is shown at its display
    aspect ratio, so on the stored pixels it is an ellipse when the pixels are
    not square."""
    radius = DISC_DIAMETER * min(width * sample_aspect, height) / 2
    cx, cy = width / 2, height / 2
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            inside = math.hypot((x + 0.5 - cx) * sample_aspect, y + 0.5 - cy) <= radius
            rows.append(CARD_DARK if inside else CARD_LIGHT)
    path.write_bytes(b"P5\n%d %d\n255\n" % (width, height) + bytes(rows))
    return path


def write_light_field(path: Path, width: int, height: int) -> Path:
    """A binary PGM of the shape card's light field alone."""
    path.write_bytes(b"P5\n%d %d\n255\n" % (width, height) + bytes([CARD_LIGHT]) * (width * height))
    return path


def still_clip(path: Path, image: Path, *, output_args: tuple[str, ...], seconds: float = 1,
               input_args: tuple[str, ...] = ()) -> Path:
    """`image` held for `seconds` at 30 pictures per second, with a tone."""
    run_ffmpeg("-stream_loop", "-1", "-framerate", "30", *input_args, "-i", str(image), *TONE,
               "-map", "0:v", "-map", "1:a", "-t", str(seconds), *output_args, str(path))
    return path


# --- decoding as a player does ---------------------------------------------

# ffprobe's colour matrix names as the scale filter's in_color_matrix takes them.
_SCALE_MATRIX = {
    "bt709": "bt709", "smpte170m": "smpte170m", "bt470bg": "bt470", "bt2020nc": "bt2020",
    "bt2020c": "bt2020", "fcc": "fcc", "smpte240m": "smpte240m",
}
_RGB_FORMATS = re.compile(r"^(gbr|rgb|bgr|argb|abgr|rgba|bgra|0rgb|rgb0|bgr0|0bgr)")


def video_stream(path: str | Path) -> dict:
    streams = [s for s in probe_streams(path) if s.get("codec_type") == "video"]
    assert streams, f"no video stream in {path}"
    return streams[0]


def shown_colour_conversion(stream: dict) -> tuple[str, str] | None:
    """(matrix, range) a player uses to turn the stream's YUV into RGB: the
    stream's own tags, or for untagged pictures BT.601 under 720 lines and
    BT.709 from 720 up, limited range. None for RGB pictures."""
    if _RGB_FORMATS.match(stream["pix_fmt"]):
        return None
    matrix = _SCALE_MATRIX.get(stream.get("color_space", ""))
    if matrix is None:
        matrix = "bt709" if int(stream["height"]) >= 720 else "smpte170m"
    full = stream.get("color_range") == "pc" or stream["pix_fmt"].startswith("yuvj")
    colour_range = "pc" if full else "tv"
    return matrix, colour_range


@dataclass
class Picture:
    width: int
    height: int
    channels: int
    data: bytes

    def pixel_rows(self, top: int, bottom: int, left: int, right: int) -> Iterator[bytes]:
        step = self.channels
        for y in range(top, bottom):
            start = (y * self.width) * step
            yield self.data[start + left * step:start + right * step]

    def mean(self, top: int, bottom: int, left: int, right: int) -> tuple[float, ...]:
        sums = [0] * self.channels
        for row in self.pixel_rows(top, bottom, left, right):
            for channel in range(self.channels):
                sums[channel] += sum(row[channel::self.channels])
        count = (bottom - top) * (right - left)
        return tuple(total / count for total in sums)


def _decode_one(path: str | Path, chain: str, pix_fmt: str, at: float) -> bytes:
    return subprocess.run(
        ["ffmpeg", "-hide_banner", "-v", "error", *playlist_input_args(path), "-i", str(path),
         "-ss", str(at), "-frames:v", "1", "-vf", f"{chain},format={pix_fmt}",
         "-f", "rawvideo", "-"],
        capture_output=True, check=True).stdout


def shown_rgb(path: str | Path, *, at: float = 0.5, chain: str | None = None,
              size: tuple[int, int] | None = None) -> Picture:
    """One picture of `path` near `at` seconds, at its own size, as 8-bit RGB
    converted with the stream's own colour tags (see shown_colour_conversion).
    `chain` replaces that conversion (for reference pictures; `size` is the
    size it gives, when not the stream's own)."""
    stream = video_stream(path)
    width, height = size or (int(stream["width"]), int(stream["height"]))
    if chain is None:
        conversion = shown_colour_conversion(stream)
        chain = "null" if conversion is None else (
            f"scale=in_color_matrix={conversion[0]}:in_range={conversion[1]}"
            ":flags=bicubic+accurate_rnd+full_chroma_int")
    data = _decode_one(path, chain, "rgb24", at)
    assert len(data) == width * height * 3, (len(data), width, height)
    return Picture(width, height, 3, data)


def shown_gray(path: str | Path, *, at: float = 0.5) -> Picture:
    """One picture as 8-bit full-range luma (black 0, white 255)."""
    stream = video_stream(path)
    width, height = int(stream["width"]), int(stream["height"])
    data = _decode_one(path, "scale=flags=accurate_rnd", "gray", at)
    assert len(data) == width * height, (len(data), width, height)
    return Picture(width, height, 1, data)


def bar_patches(picture: Picture) -> list[tuple[float, ...]]:
    """Mean colour of the middle half (each way) of each COLOUR_BARS patch;
    the edges, where scaling and chroma subsampling blend neighbours, are left out."""
    patches = []
    for index in range(len(COLOUR_BARS)):
        row, column = divmod(index, BAR_COLUMNS)
        left = int((column + 0.25) * picture.width / BAR_COLUMNS)
        right = int((column + 0.75) * picture.width / BAR_COLUMNS)
        top = int((row + 0.25) * picture.height / BAR_ROWS)
        bottom = int((row + 0.75) * picture.height / BAR_ROWS)
        patches.append(picture.mean(top, bottom, left, right))
    return patches


def worst_channel_error(measured: list[tuple[float, ...]],
                        expected: list[tuple[float, ...]]) -> float:
    return max(abs(m - e) for pm, pe in zip(measured, expected) for m, e in zip(pm, pe))


# --- geometry ----------------------------------------------------------------


def _lit_fraction(picture: Picture, *, column: int | None = None, row: int | None = None,
                  level: int) -> float:
    if column is not None:
        values = picture.data[column::picture.width]
    else:
        values = picture.data[row * picture.width:(row + 1) * picture.width]
    return sum(1 for value in values if value > level) / len(values)


def picture_box(picture: Picture, level: int = 100) -> tuple[int, int, int, int]:
    """(left, top, right, bottom) of the lit picture inside its black bars
    (right and bottom exclusive). A column or row belongs to the picture when
    over a quarter of it is lighter than `level`: the shape card's disc covers
    at most 40% of any line, the bars none of it."""
    columns = [x for x in range(picture.width)
               if _lit_fraction(picture, column=x, level=level) > 0.25]
    rows = [y for y in range(picture.height)
            if _lit_fraction(picture, row=y, level=level) > 0.25]
    assert columns and rows, "no lit picture found"
    return columns[0], rows[0], columns[-1] + 1, rows[-1] + 1


def dark_disc_size(picture: Picture, box: tuple[int, int, int, int],
                   level: int = 100) -> tuple[int, int]:
    """(width, height) of the dark disc inside `box`, measured through its
    centre lines: the longest dark run along the middle row and column."""
    left, top, right, bottom = box
    margin = 3  # keep clear of the bars' edges
    middle_y = (top + bottom) // 2
    middle_x = (left + right) // 2

    def longest_dark_run(values: bytes) -> int:
        longest = run = 0
        for value in values:
            run = run + 1 if value < level else 0
            longest = max(longest, run)
        return longest

    row_start = middle_y * picture.width
    row = picture.data[row_start + left + margin:row_start + right - margin]
    column = picture.data[(top + margin) * picture.width + middle_x:
                          (bottom - margin) * picture.width:picture.width]
    return longest_dark_run(row), longest_dark_run(column)


# --- interlacing -------------------------------------------------------------


@dataclass
class InterlaceCount:
    top_first: int
    bottom_first: int
    progressive: int
    undetermined: int

    @property
    def interlaced_share(self) -> float:
        total = self.top_first + self.bottom_first + self.progressive + self.undetermined
        return (self.top_first + self.bottom_first) / total


def interlace_count(path: str | Path) -> InterlaceCount:
    """ffmpeg's idet verdict on each picture by itself. Its multi-frame
    verdict is not used: it holds an interlaced verdict for several pictures
    after one borderline picture, so one such picture near the start moves
    the count by four (5 or 8 of 75 for one deinterlaced output, with the
    bitrate and the FFmpeg version)."""
    log = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostats", *playlist_input_args(path), "-i", str(path),
         "-map", "0:v:0", "-vf", "idet", "-f", "null", "-"],
        capture_output=True, text=True, check=True).stderr
    # FFmpeg 7.1's ffmpeg also reports for a first filter graph it configures
    # and drops before any picture: the last report is the run's.
    reports = re.findall(r"Single frame detection: TFF:\s*(\d+) BFF:\s*(\d+) "
                         r"Progressive:\s*(\d+) Undetermined:\s*(\d+)", log)
    assert reports, log[-2000:]
    return InterlaceCount(*(int(group) for group in reports[-1]))
