#!/usr/bin/env bash
# Installs what quorvane needs on a Debian machine (FFmpeg's libraries and
# tools, a compiler, valgrind for the leak checks), makes a Python 3.12
# virtual environment in .venv and builds the module into it.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$repo/.venv"
# shellcheck source=common.sh
source "$repo/scripts/common.sh"

# 1. Debian packages.
install_debian_packages pkg-config g++ make libavformat-dev libavcodec-dev libavfilter-dev \
  libswscale-dev libavutil-dev libswresample-dev ffmpeg valgrind
install_queue_brokers

# 2. Python 3.12: pyenv's if it has one, else a working python3.12 on PATH.
python=$(find_python312)

# 3. The virtual environment, remade if it is not a 3.12 one.
if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$repo/requirements-dev.txt"

# 4. The module itself, with the test hooks the driver tests use, and the
#    celery extra (quorvane_queue's Celery and Redis client).
"$venv/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.QUORVANE_TEST_HOOKS=ON "$repo[celery]"
echo "setup: quorvane built into $venv"
