# Set-up steps shared by the scripts: source it, don't run it.

# install_debian_packages PACKAGE...: apt-get installs those not yet installed.
# Sets apt_updated=yes when it had to refresh the package lists.
apt_updated=no
install_debian_packages() {
  local package missing=() sudo=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing ${missing[*]}"
  # Another apt-get or dpkg may hold the lock: wait for it rather than fail.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt_updated=yes
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}"
}

# find_python312: prints pyenv's newest Python 3.12, else a working python3.12
# on PATH; fails when there is neither.
find_python312() {
  local root candidate
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  candidate=$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$candidate" ] && "$candidate" -c 'import venv' 2>/dev/null; then
    echo "$candidate"
  elif command -v python3.12 >/dev/null && python3.12 -c 'import venv' 2>/dev/null; then
    command -v python3.12
  else
    echo "no Python 3.12 found (looked in $root/versions and on PATH)" >&2
    return 1
  fi
}

# install_queue_brokers: the message brokers the quorvane_queue tests start for themselves.
install_queue_brokers() {
  install_debian_packages redis-server rabbitmq-server
}
