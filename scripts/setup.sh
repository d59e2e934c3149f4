#!/usr/bin/env bash
# Installs what quorvane needs on a Debian machine (FFmpeg's libraries and
# tools, a compiler, valgrind for the leak checks), makes a Python 3.12
# virtual environment in .venv and builds the module into it.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$repo/.venv"

# 1. Debian packages.
packages=(pkg-config g++ make libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev
          libavutil-dev libswresample-dev ffmpeg valgrind)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# 2. Python 3.12: pyenv's if it has one, else a working python3.12 on PATH.
find_python() {
  local root candidate
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  candidate=$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$candidate" ] && "$candidate" -c 'import venv' 2>/dev/null; then
    echo "$candidate"
    return
  fi
  if command -v python3.12 >/dev/null && python3.12 -c 'import venv' 2>/dev/null; then
    command -v python3.12
    return
  fi
  echo "setup: no Python 3.12 found (looked in $root/versions and on PATH)" >&2
  exit 1
}
python=$(find_python)

# 3. The virtual environment, remade if it is not a 3.12 one.
if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r "$repo/requirements-dev.txt"

# 4. The module itself, with the test hooks the driver tests use.
"$venv/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.QUORVANE_TEST_HOOKS=ON "$repo"
echo "setup: quorvane built into $venv"
