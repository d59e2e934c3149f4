#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite against the modules
# (quorvane, _quorvane_queue_native, _quorvane_test_hooks) built with
# AddressSanitizer and UndefinedBehaviorSanitizer, in build/sanitized-suite.
# Extra arguments go to pytest (e.g. -q, -k binding, tests/test_queue.py).
#
# The sanitized modules come first on PYTHONPATH and the sanitizer runtime is
# preloaded, for pytest and every process it starts (child Pythons, Celery
# workers and their encodes): a report ends the process it happens in with
# status 86 (AddressSanitizer) or 87 (UBSan), which fails the test that
# started it. AddressSanitizer's reports are also written to
# build/sanitized-suite-reports/asan.PID and shown at the end; UBSan's go to
# the process's stderr only. One in pytest's own process ends the run there.
# Leak detection is off: CPython keeps memory until exit on purpose (the
# leak tests in test_long_life.py turn it on for their own children).
# Exits with pytest's status, or 1 when pytest passed but a report was written.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$repo/scripts/setup.sh"
# shellcheck source=common.sh
source "$repo/scripts/common.sh"
python="$repo/.venv/bin/python"
modules="$repo/build/sanitized-suite"
reports="$repo/build/sanitized-suite-reports"
rm -rf "$reports"
mkdir -p "$reports"

log "building the sanitized modules into $modules"
variables=$("$python" "$repo/tests/sanitized_build.py" "$modules" "$reports")
while IFS= read -r assignment; do
  eval "export $assignment"
done <<< "$variables"

cd "$repo"
"$python" -c 'import quorvane, _quorvane_queue_native, _quorvane_test_hooks as hooks
for module in (quorvane, _quorvane_queue_native, hooks):
    print("test_sanitized: imported", module.__file__)'
set +e
"$python" -m pytest "$@"
status=$?
set -e
case "$status" in
  86|87) log "pytest's own process ended with status $status: a sanitizer report in the test" \
           "then running (-v names each; UBSan's report is lost with pytest's capture: rerun it with -s)" ;;
esac
found=("$reports"/*)
if [ -e "${found[0]}" ]; then
  log "sanitizer reports written during the run (${#found[@]}):"
  for report in "${found[@]}"; do
    echo "=== $report"
    cat "$report"
  done
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
