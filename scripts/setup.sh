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
# GStreamer: the second, independent HLS player the output-contract tests play each ladder with.
install_debian_packages gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  gstreamer1.0-plugins-bad gstreamer1.0-libav
install_queue_brokers
# clang with libFuzzer and the sanitizers' runtimes: the fuzz targets (scripts/fuzz.sh).
install_debian_packages clang libclang-rt-14-dev

# 2. The virtual environment: pyenv's newest Python 3.12, else a working
#    python3.12 on PATH; remade if it is not a 3.12 one.
make_python312_venv "$venv"
"$venv/bin/python" -m pip install -q -r "$repo/requirements-dev.txt"

# 3. The module itself, with the test hooks the driver tests use, the
#    celery extra (quorvane_queue's Celery and Redis client) and the watch
#    extra (Flower, to watch the queue).
"$venv/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.QUORVANE_TEST_HOOKS=ON "$repo[celery,watch]"
echo "setup: quorvane built into $venv"
