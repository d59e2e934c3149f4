#!/usr/bin/env bash
# Checks the wheel that scripts/build_wheel.sh left in dist/: installs it into
# a fresh virtual environment, shows that the module's FFmpeg, libx264 and
# zimg are loaded from quorvane.libs/ and never from the system, runs the demo
# ladder from that environment, then the whole test suite against the
# installed wheel. Extra arguments go to pytest (e.g. -q, -k binding).
#
# The wheel itself needs no FFmpeg package. The checks do: the ffmpeg and
# ffprobe tools to measure what was written, and the tests' sanitizer build
# (tests/sanitized_build.py) compiles its own copy of the module against the
# system's FFmpeg development packages, as scripts/setup.sh installs them.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
venv="$build/wheel-check-venv"
# shellcheck source=common.sh
source "$repo/scripts/common.sh"

wheels=("$repo"/dist/quorvane-*.whl)
hook_wheels=("$build"/test-hooks-wheel/quorvane_test_hooks-*.whl)
if [ ! -f "${wheels[0]}" ] || [ ! -f "${hook_wheels[0]}" ]; then
  echo "check_wheel: no wheel in dist/ (or no test-hooks wheel); run scripts/build_wheel.sh first" >&2
  exit 1
fi
wheel=${wheels[-1]}

# 1. The tools the checks use: the packages the tests need (ffmpeg, valgrind,
#    FFmpeg's development files for the sanitizer build, the brokers the
#    queue tests start).
install_debian_packages ffmpeg valgrind g++ make pkg-config libavformat-dev libavcodec-dev \
  libavfilter-dev libswscale-dev libavutil-dev libswresample-dev
install_queue_brokers

# 2. A fresh Python 3.12 environment with the wheel alone: no build, no index.
rm -rf "$venv"
make_python312_venv "$venv"
"$venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
module=$(ls "$site"/quorvane.cpython-*.so)
log "installed $(basename "$wheel") into $venv"

# 3. Where the loader finds the module's libraries, with no help from the
#    environment: each libav*, libsw*, libx264 and libzimg must come from
#    quorvane.libs.
check_libraries() {  # check_libraries MODULE LIBS-FOLDER [LIBRARY...]: those linked (default: all 8)
  local resolved status=0 module=$1 folder=$2
  shift 2
  [ $# -gt 0 ] || set -- libavcodec libavformat libavfilter libavutil libswscale libswresample libx264 libzimg
  resolved=$(env -u LD_LIBRARY_PATH -u LD_PRELOAD ldd "$module")
  echo "ldd $module:"
  echo "$resolved" | sed 's/^/  /'
  for library in "$@"; do
    line=$(echo "$resolved" | grep -E "^\s*$library[-.]" || true)
    if [ -z "$line" ]; then   # ldd lists what the libraries need too (libx264, libzimg)
      echo "check_wheel: $library is not linked by $module" >&2; status=1
    elif ! echo "$line" | grep -q "=> $folder/"; then
      echo "check_wheel: $library does not resolve from $folder: $line" >&2; status=1
    fi
  done
  if echo "$resolved" | grep -E "lib(av|sw|x264|zimg)" | grep -q "/usr/lib\|/lib/x86_64"; then
    echo "check_wheel: a library resolves from the system" >&2; status=1
  fi
  return $status
}
check_libraries "$module" "$site/quorvane.libs"
# quorvane_queue's companion, built from the same C++, takes FFmpeg from the same folder
# (it probes and reads playlists: no filters, no scaling).
check_libraries "$(ls "$site"/_quorvane_queue_native.cpython-*.so)" "$site/quorvane.libs" \
  libavcodec libavformat libavutil libswresample

# What the loader actually opens when Python imports the module.
cd "$(mktemp -d)"
loaded=$(env -u LD_LIBRARY_PATH LD_DEBUG=libs "$venv/bin/python" -c 'import quorvane' 2>&1 |
         grep -E "calling init: .*lib(av|sw|x264|zimg)" | sed 's/.*calling init: //' | sort -u)
echo "libraries initialised by 'import quorvane' (LD_DEBUG=libs):"
echo "$loaded" | sed 's/^/  /'
[ "$(echo "$loaded" | grep -c "^$site/quorvane.libs/")" -eq 8 ] ||
  { echo "check_wheel: expected 8 libraries from quorvane.libs" >&2; exit 1; }
if echo "$loaded" | grep -qv "^$site/quorvane.libs/"; then
  echo "check_wheel: FFmpeg, x264 or zimg loaded from outside quorvane.libs" >&2; exit 1
fi
"$venv/bin/python" -c 'import quorvane; print("check_wheel: quorvane imported from", quorvane.__file__)'
"$venv/bin/python" -c 'import quorvane; print("check_wheel: quorvane exposes", [n for n in dir(quorvane) if not n.startswith("__")])'

# 4. The demo ladder, encoded by the installed wheel.
log "running the demo from the wheel's environment"
"$venv/bin/python" "$repo/scripts/demo.py" "$build/wheel-demo-out"

# 5. The test suite against the installed wheel: the test tools, the test-only
#    hooks built against the same FFmpeg, and pytest run on the repository's
#    tests/ from outside the repository (nothing of the source tree is
#    importable as quorvane; conftest.py checks where the modules came from).
"$venv/bin/python" -m pip install -q -r "$repo/requirements-dev.txt"
"$venv/bin/python" -m pip install -q --no-index --no-deps "${hook_wheels[-1]}"
check_libraries "$(ls "$site"/_quorvane_test_hooks.cpython-*.so)" "$site/quorvane_test_hooks.libs"
log "running the test suite against the installed wheel"
# valgrind runs in the tests: leave out the loader's false report on the
# libraries' short run path (see the file).
export VALGRIND_OPTS="--suppressions=$repo/scripts/wheel-valgrind.supp ${VALGRIND_OPTS:-}"
QUORVANE_EXPECTED_SITE="$site" "$venv/bin/python" -m pytest -p no:cacheprovider \
  -c "$repo/pyproject.toml" --rootdir "$repo" "$repo/tests" "$@"
