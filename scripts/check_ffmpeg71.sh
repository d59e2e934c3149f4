#!/usr/bin/env bash
# On a Debian 12 machine (FFmpeg 5.1), checks that the C++ sources also
# compile, without warnings, against Debian 13's FFmpeg 7.1 headers. The
# headers are downloaded into a temporary folder; nothing is installed.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{lists/partial,cache/archives/partial,debs,root}
echo "deb http://deb.debian.org/debian trixie main" > "$work/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
             -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
             -o "APT::Sandbox::User=root")
apt-get "${apt_options[@]}" update -qq
(cd "$work/debs" && apt-get "${apt_options[@]}" download -qq libavcodec-dev libavformat-dev \
  libavfilter-dev libavutil-dev libswscale-dev libswresample-dev)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
include="$work/root/usr/include/$(gcc -dumpmachine)"
echo "checking against libavcodec $(awk '/define LIBAVCODEC_VERSION_MAJOR/ {print $3}' "$include/libavcodec/version_major.h")"
status=0
for source in "$repo"/rendition/*.cpp "$repo"/ladder/*.cpp; do
  g++ -std=c++17 -fsyntax-only -Werror -Wall -Wextra -Wpedantic -Wshadow -Wconversion \
    -Wno-sign-conversion -isystem "$include" "$source" || status=1
done
[ $status -eq 0 ] && echo "all sources compile against FFmpeg 7.1 headers"
exit $status
