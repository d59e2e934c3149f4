#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz/objects/fuzz and runs each for
# SECONDS (default 60), in turn, from its checked-in corpus fuzz/corpus/TARGET.
# New inputs that cover more go to build/fuzz/corpus/TARGET; a crash, a
# broken property, a sanitizer report, a run over 10 s or an allocation over
# 2 GiB stops the target and leaves its input in build/fuzz/findings. Each
# target's executions are printed at its end.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
#   bash scripts/fuzz.sh --build      # only build them
#   bash scripts/fuzz.sh --coverage   # the lines each target's corpus reaches
#                                     # in the files it aims at (llvm-cov)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$repo/scripts/common.sh"
install_debian_packages clang libclang-rt-14-dev
python="$repo/.venv/bin/python"
[ -x "$python" ] || bash "$repo/scripts/setup.sh"
bin=$(dirname "$python")
build="$repo/build/fuzz"
configure() {  # configure FOLDER [OPTION...]
  local folder=$1
  shift
  CC=clang CXX=clang++ "$bin/cmake" -S "$repo" -B "$folder" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVANE_FUZZ=ON -DQUORVANE_MODULE=OFF -DPython_EXECUTABLE="$python" \
    -Dpybind11_DIR="$("$python" -c 'import pybind11; print(pybind11.get_cmake_dir())')" "$@" > /dev/null
}
# The files each target aims at, for its coverage.
declare -A aims=(
  [resume_state]="rendition/timeline_state.cpp rendition/window_admission.cpp"
  [sound_file]="rendition/sound_track.cpp"
  [key_info]="hls/key_info.cpp"
  [transport_counters]="hls/transport_counters.cpp"
  [playlist]="hls/m3u8.cpp hls/playlist_join.cpp"
  [upload_playlist]="source/input_guard.cpp"
  [timeline]="rendition/media_timeline.cpp"
  [rendition]="$(cd "$repo" && echo source/*.cpp rendition/*.cpp ladder/*.cpp)"
)
all_targets() { (cd "$repo/fuzz" && ls *_fuzzer.cpp | sed 's/_fuzzer.cpp$//'); }
if [ "${1:-}" = --build ]; then
  configure "$build/objects"
  exec "$bin/cmake" --build "$build/objects" -j2 > /dev/null
fi
if [ "${1:-}" = --coverage ]; then
  configure "$build/coverage" -DQUORVANE_FUZZ_COVERAGE=ON
  "$bin/cmake" --build "$build/coverage" -j2 > /dev/null
  mkdir -p "$build/scratch" "$build/profiles"
  for target in $(all_targets); do
    mkdir -p "$build/corpus/$target"
    TMPDIR="$build/scratch" LLVM_PROFILE_FILE="$build/profiles/$target.profraw" \
      "$build/coverage/fuzz/fuzz_$target" -runs=0 -detect_leaks=0 -timeout=60 \
      "$build/corpus/$target" "$repo/fuzz/corpus/$target" > /dev/null 2>&1 ||
      echo "$target: a run of its corpus failed (the fuzz run tells which)"
    llvm-profdata-14 merge -o "$build/profiles/$target.profdata" "$build/profiles/$target.profraw"
    echo "== $target"
    (cd "$repo" && llvm-cov-14 report "$build/coverage/fuzz/fuzz_$target" \
       -instr-profile="$build/profiles/$target.profdata" ${aims[$target]}) |
      awk '/^TOTAL/ || /\.cpp/ { print $1, "lines", $8, "missed", $9, "line coverage", $10 }'
  done
  exit 0
fi
configure "$build/objects"
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(all_targets)
fi
"$bin/cmake" --build "$build/objects" -j2 $(printf -- '--target fuzz_%s ' "${targets[@]}") > /dev/null
mkdir -p "$build/findings" "$build/scratch"
status=0
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  echo "== $target: ${seconds} s"
  # FFmpeg omits frame pointers: the whole call's leaks are traced by DWARF,
  # so that the one FFmpeg leak fuzz/lsan.supp names is told from ours.
  unwind=$([ "$target" = rendition ] && echo fast_unwind_on_malloc=0 || echo fast_unwind_on_malloc=1)
  TMPDIR="$build/scratch" UBSAN_OPTIONS=print_stacktrace=1 ASAN_OPTIONS="$unwind" \
    LSAN_OPTIONS="suppressions=$repo/fuzz/lsan.supp" \
    "$build/objects/fuzz/fuzz_$target" "$build/corpus/$target" "$repo/fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$target-" 2> "$build/$target.log" ||
    { status=1; tail -n 40 "$build/$target.log"; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$target.log" || true
done
exit $status
