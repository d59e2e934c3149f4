# Set-up steps shared by the scripts: source it, don't run it.

# install_debian_packages PACKAGE...: apt-get installs those not yet installed.
# Sets apt_updated=yes when it had to refresh the package lists.
apt_updated=no
install_debian_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}"
  # Another apt-get or dpkg may hold the lock: wait for it rather than fail.
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt_updated=yes
  as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
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

# log MESSAGE...: a line of progress, led by the running script's name.
log() { echo "$(basename "$0" .sh): $*"; }

# as_root COMMAND...: runs COMMAND as root, through sudo unless already root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# make_python312_venv FOLDER: a Python 3.12 virtual environment in FOLDER with
# an up-to-date pip; one already there is kept unless it is not a 3.12 one.
make_python312_venv() {
  local venv=$1
  if ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    rm -rf "$venv"
    "$(find_python312)" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip
}

# add_deb_src_entries FILE SUITE...: writes FILE (in /etc/apt/sources.list.d)
# with deb-src entries of Debian's main component for each SUITE, a
# "*-security" suite from the security archive. Only source entries: no binary
# package ever comes from them. Leaves an existing FILE as it is.
add_deb_src_entries() {
  local file=$1 suite archive_suites=() security_suites=()
  shift
  [ ! -f "$file" ] || return 0
  for suite in "$@"; do
    case "$suite" in
      *-security) security_suites+=("$suite") ;;
      *) archive_suites+=("$suite") ;;
    esac
  done
  log "adding deb-src entries for $* in $file"
  {
    if [ ${#archive_suites[@]} -gt 0 ]; then
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\n' "${archive_suites[*]}"
      printf 'Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
    if [ ${#security_suites[@]} -gt 0 ]; then
      [ ${#archive_suites[@]} -eq 0 ] || echo
      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: %s\n' "${security_suites[*]}"
      printf 'Components: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n'
    fi
  } | as_root tee "$file" >/dev/null
  apt_updated=no   # the new entries need a refresh of the package lists
}

# fetch_debian_source FOLDER PACKAGE: `apt-get source PACKAGE` ("ffmpeg=7:5.1.6-0+deb12u1",
# "ffmpeg/trixie") unpacked into FOLDER, emptied first. Refreshes the package
# lists unless this script already did since its last change of entries.
fetch_debian_source() {
  local folder=$1 package=$2
  [ "$apt_updated" = yes ] || as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt_updated=yes
  rm -rf "$folder"
  mkdir -p "$folder"
  log "fetching the Debian source $package"
  (cd "$folder" && apt-get source -qq "$package")
}

# build_ffmpeg SOURCE OBJECTS PREFIX OPTION...: configures FFmpeg's SOURCE
# with the configure OPTIONs (which include --prefix=PREFIX), builds it out of
# tree in OBJECTS with make -j2 and installs it into PREFIX, recording the
# build time in PREFIX/build-time.txt. A build in PREFIX made from the same
# source with the same options is reused: delete PREFIX to redo it.
build_ffmpeg() {
  local src=$1 objects=$2 prefix=$3 start seconds
  shift 3
  local stamp="$prefix/.configured-with" wanted="$src $*"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] &&
     [ -f "$prefix/lib/pkgconfig/libavcodec.pc" ] &&
     { [[ " $* " == *" --disable-programs "* ]] || [ -x "$prefix/bin/ffprobe" ]; }; then
    log "reusing the FFmpeg build in $prefix ($(cat "$prefix/build-time.txt" 2>/dev/null || echo 'build time not recorded'))"
    return 0
  fi
  rm -rf "$objects" "$prefix"
  mkdir -p "$objects"
  log "configuring FFmpeg"
  start=$(date +%s)
  (cd "$objects" && "$src/configure" "$@" > configure.log) || {
    tail -n 30 "$objects/configure.log"; tail -n 30 "$objects/ffbuild/config.log"; return 1; }
  log "compiling FFmpeg with make -j2 (log: $objects/make.log)"
  make -C "$objects" -j2 > "$objects/make.log" 2>&1 || { tail -n 40 "$objects/make.log"; return 1; }
  make -C "$objects" install > "$objects/install.log" 2>&1 || { tail -n 40 "$objects/install.log"; return 1; }
  seconds=$(( $(date +%s) - start ))
  echo "FFmpeg $(basename "$src") configured and built with make -j2 on $(nproc) cores in ${seconds} s ($((seconds / 60)) min $((seconds % 60)) s)" \
    > "$prefix/build-time.txt"
  # Written last: a build cut short is never taken for a finished one.
  echo "$wanted" > "$stamp"
  log "$(cat "$prefix/build-time.txt")"
}
