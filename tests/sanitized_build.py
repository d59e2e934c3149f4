"""The modules built with AddressSanitizer and UndefinedBehaviorSanitizer, in a
folder of their own, and the environment a Python needs to load them.

Run as a script (scripts/test_sanitized.sh does) with a folder for the modules
and one for the reports, it builds the modules and prints, as shell
assignments, the environment that runs the whole suite against them."""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MODULES = ("quorvane", "_quorvane_queue_native", "_quorvane_test_hooks")
# Set by scripts/test_sanitized.sh: the folder of sanitized modules the whole
# suite runs against.
SUITE_MODULES_VARIABLE = "QUORVANE_SANITIZED_MODULES"


def build_sanitized_modules(destination: Path, modules: tuple[str, ...] = MODULES) -> Path:
    """Builds `modules` with the sanitizers and copies them into `destination`."""
    import pybind11

    # One build folder per FFmpeg that pkg-config offers (scripts/test_ffmpeg71.sh
    # points it at another build), so that no cached configuration links the
    # modules against the other one.
    avcodec = subprocess.run(["pkg-config", "--modversion", "libavcodec"], check=True,
                             capture_output=True, text=True).stdout.strip()
    build = REPO / "build" / f"sanitize-libavcodec-{avcodec}"
    bin_dir = Path(sys.executable).parent
    for step in (
        [str(bin_dir / "cmake"), "-S", str(REPO), "-B", str(build), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         # -O1, as AddressSanitizer advises: whole stacks, and the pybind11
         # modules build in two thirds of the time -O2 takes.
         "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG",
         "-DQUORVANE_SANITIZE=ON", "-DQUORVANE_TEST_HOOKS=ON",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", f"-DPython_EXECUTABLE={sys.executable}"],
        [str(bin_dir / "cmake"), "--build", str(build), "--target", *modules],
    ):
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(step)} failed:\n{done.stdout[-6000:]}{done.stderr[-6000:]}")
    destination.mkdir(parents=True, exist_ok=True)
    for name in modules:
        built = list(build.glob(f"{name}.cpython-*.so"))
        assert len(built) == 1, (name, built)
        shutil.copy2(built[0], destination)
    return destination


def sanitized_suite_modules() -> Path | None:
    """The folder of sanitized modules the whole suite runs against, if it does."""
    folder = os.environ.get(SUITE_MODULES_VARIABLE)
    return Path(folder) if folder else None


def sanitizer_variables(module_dir: Path, *, detect_leaks: bool = False,
                        reports: Path | None = None) -> dict[str, str]:
    """The variables a Python needs to load the sanitized modules in
    `module_dir`, first on its path; any report ends it with exit status 86
    (AddressSanitizer) or 87 (UBSan). With `reports`, a folder,
    AddressSanitizer's reports go to files there (asan.PID) rather than to
    stderr, which pytest captures and loses when its own process is the one
    ended."""
    log_path = f":log_path={reports / 'asan'}" if reports else ""
    # Python is not built with the sanitizers: the runtime must be loaded
    # before anything else. The module's own libubsan may follow it in. The
    # runtime finds the real __cxa_throw when it starts: libstdc++ must be
    # loaded by then, or the first C++ throw stops the process.
    preloaded = [subprocess.run(["g++", f"-print-file-name={library}"], check=True,
                                capture_output=True, text=True).stdout.strip()
                 for library in ("libasan.so", "libstdc++.so")]
    variables = {
        "LD_PRELOAD": " ".join(preloaded),
        "PYTHONPATH": str(module_dir),
        # A report's own stack is always unwound by DWARF. FFmpeg omits frame
        # pointers: a leak's stack needs DWARF too to reach our frames, at ten
        # times the cost of every allocation (Python's included).
        "ASAN_OPTIONS": (f"detect_leaks={int(detect_leaks)}:halt_on_error=1:abort_on_error=0"
                         f":exitcode=86:fast_unwind_on_malloc={int(not detect_leaks)}"
                         + log_path),
        # With AddressSanitizer loaded, UBSan ignores log_path: its reports go to stderr.
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:exitcode=87",
        # Python's own allocator would hide its blocks from AddressSanitizer.
        "PYTHONMALLOC": "malloc",
    }
    if detect_leaks:
        # Leaks are reported and judged by the caller, the process ends with 0
        # all the same. The exit code is one setting for AddressSanitizer and
        # LeakSanitizer: here any other report stops the call before it prints
        # its outcome, which the caller sees.
        variables["LSAN_OPTIONS"] = "exitcode=0:max_leaks=0"
    return variables


def sanitizer_environment(module_dir: Path, *, detect_leaks: bool = False) -> dict[str, str]:
    """This process's environment with sanitizer_variables."""
    return {**os.environ, **sanitizer_variables(module_dir, detect_leaks=detect_leaks)}


if __name__ == "__main__":
    modules = build_sanitized_modules(Path(sys.argv[1]).resolve())
    variables = {**sanitizer_variables(modules, reports=Path(sys.argv[2]).resolve()),
                 SUITE_MODULES_VARIABLE: str(modules)}
    for name, value in variables.items():
        print(f"{name}={shlex.quote(value)}")
