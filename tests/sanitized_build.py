"""The module built with AddressSanitizer and UndefinedBehaviorSanitizer, in a
folder of its own, and the environment a child Python needs to load it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def build_sanitized_module(destination: Path) -> Path:
    import pybind11

    # One build folder per FFmpeg that pkg-config offers (scripts/test_ffmpeg71.sh
    # points it at another build), so that no cached configuration links the
    # module against the other one.
    avcodec = subprocess.run(["pkg-config", "--modversion", "libavcodec"], check=True,
                             capture_output=True, text=True).stdout.strip()
    build = REPO / "build" / f"sanitize-libavcodec-{avcodec}"
    bin_dir = Path(sys.executable).parent
    subprocess.run(
        [str(bin_dir / "cmake"), "-S", str(REPO), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DQUORVANE_SANITIZE=ON", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
         f"-DPython_EXECUTABLE={sys.executable}"],
        check=True, capture_output=True,
    )
    subprocess.run([str(bin_dir / "cmake"), "--build", str(build)], check=True, capture_output=True)
    built = list(build.glob("quorvane*.so"))
    assert len(built) == 1, built
    shutil.copy2(built[0], destination)
    return destination


def sanitizer_environment(module_dir: Path, *, detect_leaks: bool = False) -> dict[str, str]:
    asan = subprocess.run(["g++", "-print-file-name=libasan.so"], check=True,
                          capture_output=True, text=True).stdout.strip()
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=asan,
        PYTHONPATH=str(module_dir),
        ASAN_OPTIONS=(f"detect_leaks={int(detect_leaks)}:abort_on_error=0:exitcode=86"
                      # FFmpeg omits frame pointers: unwind by DWARF to see our frames.
                      ":fast_unwind_on_malloc=0"),
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87",
        LSAN_OPTIONS="exitcode=0:max_leaks=0",
        PYTHONMALLOC="malloc",
    )
    return env
