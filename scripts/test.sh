#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$repo/scripts/setup.sh"
cd "$repo"
exec "$repo/.venv/bin/python" -m pytest "$@"
