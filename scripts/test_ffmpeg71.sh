#!/usr/bin/env bash
# Runs the whole test suite against FFmpeg 7.1 on a Debian 12 machine, whose
# own FFmpeg is 5.1. Run by hand; scripts/test.sh stays the 5.1 run.
#
# 1. Adds a deb-src entry for Debian 13 "trixie" (main) and fetches FFmpeg
#    7.1's Debian source with `apt-get source ffmpeg/trixie`.
# 2. Builds it with Debian 12's libraries (x264, x265, libvpx, opus, zimg,
#    libxml2) as shared libraries plus the ffmpeg and ffprobe programs, into
#    build/ffmpeg71. An existing build made from the same source with the same
#    options is reused; delete build/ffmpeg71 to redo it.
# 3. Builds the module and the test-hooks module against it (pkg-config of that
#    build) into their own venv, build/ffmpeg71-venv; .venv is not touched.
# 4. Runs pytest with PATH and LD_LIBRARY_PATH set so that the tests' ffmpeg
#    and ffprobe are the 7.1 ones and the modules load the 7.1 libraries,
#    which is shown first. Extra arguments go to pytest.
#
# Runs as root or with sudo (apt-get). Exits with pytest's status.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
ffmpeg_sources="$build/ffmpeg71-src"   # apt-get source unpacks here
ffmpeg_objects="$build/ffmpeg71-obj"   # out-of-tree FFmpeg build
ffmpeg_prefix="$build/ffmpeg71"        # the installed FFmpeg 7.1
venv="$build/ffmpeg71-venv"            # Python with the module built against it
module_build="$build/ffmpeg71-module"  # the module's CMake build folder
trixie_sources=/etc/apt/sources.list.d/quorvane-trixie-src.sources
# shellcheck source=common.sh
source "$repo/scripts/common.sh"

# 1. Debian 12 packages: the compiler and assembler, the external libraries
#    FFmpeg is built with (the module needs x264 and zimg; the tests make
#    their inputs with x265, libvpx, opus and LAME (songs as MP3) too, and read DASH manifests,
#    whose demuxer needs libxml2, as Debian's own FFmpeg has it), dpkg-dev for
#    `apt-get source`, and what the tests themselves run (valgrind; g++ for
#    the sanitizer build; the brokers for the queue tests), as scripts/setup.sh
#    installs them.
install_debian_packages build-essential nasm pkg-config dpkg-dev xz-utils zlib1g-dev \
  libx264-dev libx265-dev libvpx-dev libopus-dev libmp3lame-dev libzimg-dev libxml2-dev valgrind
install_queue_brokers

# 2. FFmpeg 7.1's Debian source. Debian 12 lists no trixie entries; a file of
#    our own adds trixie's source entries only, so no binary package comes
#    from trixie. The suite is named in `apt-get source`, so bookworm's 5.1
#    source (which build_wheel.sh fetches) is never picked here.
source_tree() { ls -d "$ffmpeg_sources"/ffmpeg-7.1*/ 2>/dev/null | sort -V | tail -n 1; }
if [ -z "$(source_tree)" ]; then
  add_deb_src_entries "$trixie_sources" trixie
  fetch_debian_source "$ffmpeg_sources" ffmpeg/trixie
fi
src=$(source_tree)
src=${src%/}
[ -n "$src" ] || { echo "test_ffmpeg71: trixie did not give an FFmpeg 7.1 source" >&2; exit 1; }
debian_version=$(cd "$src" && dpkg-parsechangelog -S Version)
log "FFmpeg source: $src (Debian $debian_version)"

# 3. FFmpeg 7.1: shared libraries, ffmpeg and ffprobe. Only the libraries
#    named here are linked (no autodetection, so the result does not depend on
#    what else the machine has installed); every built-in component is on,
#    so that lavfi, the encoders (prores_ks, qtrle, mjpeg, wmv2, wmav2,
#    mpeg2video, ac3, png, aac, ...) and the filters (tonemap, bwdif, idet,
#    ebur128, ...) the tests make and measure media with are there; zscale
#    comes with libzimg. The programs find their libraries by run path.
configure_options=(
  --prefix="$ffmpeg_prefix"
  --enable-shared --disable-static --disable-doc --disable-ffplay --disable-debug
  --disable-autodetect --enable-zlib --enable-pthreads
  --enable-gpl --enable-libx264 --enable-libx265 --enable-libvpx --enable-libopus --enable-libzimg
  --enable-libmp3lame --enable-libxml2
  --extra-ldflags="-Wl,-rpath,$ffmpeg_prefix/lib"
)
build_ffmpeg "$src" "$ffmpeg_objects" "$ffmpeg_prefix" "${configure_options[@]}"
build_time=$(cat "$ffmpeg_prefix/build-time.txt" 2>/dev/null || echo "build time not recorded")
ffmpeg_version=$("$ffmpeg_prefix/bin/ffmpeg" -hide_banner -version | head -n 1)
log "$ffmpeg_version, $build_time"

# From here on everything runs against that build: its .pc files come first
# for pkg-config (also for the tests' sanitizer build), its programs first on
# PATH, its libraries first for the loader (the modules' own run path,
# $ORIGIN/quorvane.libs, only serves a wheel).
export PKG_CONFIG_PATH="$ffmpeg_prefix/lib/pkgconfig"
export LD_LIBRARY_PATH="$ffmpeg_prefix/lib"
export PATH="$ffmpeg_prefix/bin:$PATH"

# 4. The venv and the modules (with the celery extra, as scripts/setup.sh
#    installs them), built afresh so that every compiler warning shows, in a
#    build folder of their own; scripts/setup.sh's .venv and build/ are left
#    as they are.
make_python312_venv "$venv"
"$venv/bin/python" -m pip install -q -r "$repo/requirements-dev.txt"
rm -rf "$module_build"
log "building quorvane and _quorvane_test_hooks against $ffmpeg_prefix"
"$venv/bin/python" -m pip install -v --no-build-isolation \
  -C build-dir="$module_build/{wheel_tag}" -C cmake.define.QUORVANE_TEST_HOOKS=ON "$repo[celery]" \
  > "$build/ffmpeg71-module.log" 2>&1 || { tail -n 60 "$build/ffmpeg71-module.log"; exit 1; }
for library in avcodec avformat avfilter swscale avutil swresample; do
  grep -qx "pkgcfg_lib_FFMPEG_$library:FILEPATH=$ffmpeg_prefix/lib/lib$library.so" \
    "$module_build"/*/CMakeCache.txt || {
    echo "test_ffmpeg71: lib$library was not taken from $ffmpeg_prefix" >&2; exit 1; }
done
warnings=$(grep -E "^$repo/(rendition|ladder|module)/.*warning:" "$build/ffmpeg71-module.log" || true)
warning_count=$(printf '%s' "$warnings" | grep -c . || true)
log "both modules linked against $ffmpeg_prefix/lib; compiler warnings in our sources: $warning_count"
[ -z "$warnings" ] || echo "$warnings"

# 5. What the tests will run and load: the tools on PATH, and, in a child
#    Python, the FFmpeg libraries the kernel mapped for the modules with the
#    libavcodec version the loaded library reports about itself.
cd "$repo"
log "ffmpeg: $(command -v ffmpeg) ($(ffmpeg -hide_banner -version | head -n 1))"
log "ffprobe: $(command -v ffprobe) ($(ffprobe -hide_banner -version | head -n 1))"
[ "$(command -v ffmpeg)" = "$ffmpeg_prefix/bin/ffmpeg" ] && [ "$(command -v ffprobe)" = "$ffmpeg_prefix/bin/ffprobe" ] ||
  { echo "test_ffmpeg71: the tools on PATH are not the 7.1 build" >&2; exit 1; }
loaded_avcodec=$("$venv/bin/python" - "$ffmpeg_prefix/lib" <<'EOF'
import ctypes, sys
import _quorvane_test_hooks, quorvane  # noqa: F401  (loaded for their libraries)

prefix_lib = sys.argv[1]
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split()[-1] for line in maps
                     if "/libav" in line or "/libsw" in line or "/libpostproc" in line})
for path in mapped:
    print(f"  mapped: {path}", file=sys.stderr)
outside = [path for path in mapped if not path.startswith(prefix_lib + "/")]
avcodec = [path for path in mapped if "/libavcodec.so" in path]
if outside or len(avcodec) != 1:
    sys.exit(f"FFmpeg libraries from outside {prefix_lib}: {outside or mapped}")
version = ctypes.CDLL(avcodec[0]).avcodec_version()
print(f"libavcodec {version >> 16}.{(version >> 8) & 0xFF}.{version & 0xFF} from {avcodec[0]}")
EOF
)
log "the modules loaded $loaded_avcodec"

# 6. The whole suite.
log "running the test suite against FFmpeg 7.1"
pytest_log="$build/ffmpeg71-pytest.log"
set +e
"$venv/bin/python" -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$pytest_log"
status=${PIPESTATUS[0]}
set -e
# pytest's closing line, with or without -q's bare form; none found is said below.
result=$(grep -E '( passed| failed| error).* in [0-9.]+s' "$pytest_log" | tail -n 1 |
  sed -E 's/^=+ //; s/ =+$//' || true)

echo
echo "=== FFmpeg 7.1 summary ==="
echo "FFmpeg built:    $ffmpeg_version (Debian source $debian_version) in $ffmpeg_prefix"
echo "FFmpeg build:    $build_time"
echo "module loaded:   $loaded_avcodec"
echo "compiler warnings in our sources: $warning_count"
echo "test suite:      ${result:-no result line (pytest exit status $status)}"
exit "$status"
