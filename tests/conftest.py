"""Shared fixtures: small generated sources, an AES-128 key-info file, and a
scratch working directory (renditions are written into the working directory)."""

import functools
import json
import os
import subprocess
from pathlib import Path

import pytest

from key_info import write_key_info


def run_ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-hide_banner", "-v", "error", "-y", *args], check=True)


def ffprobe_json(path: str | os.PathLike, *args: str) -> dict:
    """ffprobe's JSON for `path`; HLS playlists are allowed to reference key files."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-allowed_extensions", "ALL", "-of", "json", *args, str(path)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out)


@functools.cache
def _ffmpeg_has_display_rotation() -> bool:
    help_text = subprocess.run(["ffmpeg", "-hide_banner", "-h", "full"], check=True,
                               capture_output=True, text=True).stdout
    return "-display_rotation" in help_text


def copy_with_rotation(source: Path, destination: Path, rotate: int) -> Path:
    """Copies `source`'s streams unchanged into `destination`, its video stream
    marked with the display matrix that FFmpeg 5.1 writes for a "rotate" tag
    of `rotate` degrees. FFmpeg 7.1 ignores that tag; its -display_rotation
    input option with the same angle gives the same matrix."""
    if _ffmpeg_has_display_rotation():
        run_ffmpeg("-display_rotation:v:0", str(rotate), "-i", str(source), "-c", "copy",
                   str(destination))
    else:
        run_ffmpeg("-i", str(source), "-c", "copy", "-metadata:s:v:0", f"rotate={rotate}",
                   str(destination))
    return destination


def make_source(
    path: Path,
    *,
    size: str = "320x240",
    rate: str = "30",
    seconds: float = 3,
    audio: bool = True,
    tone_volume_db: float = -20,
    extra_output_args: tuple[str, ...] = (),
    container_args: tuple[str, ...] = (),
) -> Path:
    """A lavfi test picture with a sine tone, H.264 + AAC."""
    inputs = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}"]
    maps = ["-map", "0:v"]
    if audio:
        inputs += ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000,volume={tone_volume_db}dB"]
        maps += ["-map", "1:a"]
    run_ffmpeg(
        *inputs, *maps, "-t", str(seconds),
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
        *(["-c:a", "aac"] if audio else []),
        *extra_output_args, *container_args, str(path),
    )
    return path


@pytest.fixture
def workdir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A fresh working directory for the call: renditions land here."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def key_info(workdir: Path) -> Path:
    """A random AES-128 key and the key-info file the HLS muxer reads:
    key URI, key file path, IV in hex."""
    return write_key_info(workdir)


@pytest.fixture(scope="session")
def media_dir(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("media")


@pytest.fixture(scope="session")
def landscape_source(media_dir: Path) -> Path:
    return make_source(media_dir / "landscape.mp4", size="320x180")


@pytest.fixture(scope="session")
def portrait_source(media_dir: Path) -> Path:
    return make_source(media_dir / "portrait.mp4", size="180x320")


@pytest.fixture(scope="session")
def sanitized_module(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A folder holding the modules built with AddressSanitizer and UBSan:
    those the whole suite runs against when it does (scripts/test_sanitized.sh),
    else the two the sanitized children here import (pybind11's modules are
    the slowest files of the sanitized build)."""
    from sanitized_build import build_sanitized_modules, sanitized_suite_modules

    return sanitized_suite_modules() or build_sanitized_modules(
        tmp_path_factory.mktemp("sanitized"), ("quorvane", "_quorvane_test_hooks"))


def pytest_configure(config: pytest.Config) -> None:
    """When the suite runs against an installed wheel (scripts/check_wheel.sh
    sets QUORVANE_EXPECTED_SITE) or against the sanitized build
    (scripts/test_sanitized.sh sets QUORVANE_SANITIZED_MODULES), the modules
    must be those, not builds lying in the source tree or elsewhere on sys.path."""
    from sanitized_build import SUITE_MODULES_VARIABLE, sanitized_suite_modules

    sanitized = sanitized_suite_modules()
    wheel_site = os.environ.get("QUORVANE_EXPECTED_SITE")
    if sanitized and wheel_site:
        raise pytest.UsageError(f"QUORVANE_EXPECTED_SITE and {SUITE_MODULES_VARIABLE} exclude each other")
    site = wheel_site or sanitized
    if not site:
        return
    import _quorvane_queue_native
    import _quorvane_test_hooks
    import quorvane

    for module in (quorvane, _quorvane_queue_native, _quorvane_test_hooks):
        if Path(module.__file__).parent != Path(site):
            raise pytest.UsageError(f"{module.__name__} was imported from {module.__file__}, not from {site}")
