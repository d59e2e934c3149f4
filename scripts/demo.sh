#!/usr/bin/env bash
# Sets everything up, then encodes a generated sample into an encrypted
# ladder in demo-out/ and plays it back through FFmpeg's HLS reader.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$repo/scripts/setup.sh"
exec "$repo/.venv/bin/python" "$repo/scripts/demo.py" "${1:-$repo/demo-out}"
