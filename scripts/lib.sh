# Shared by the README commands: package installation and the build.
# shellcheck shell=bash

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# Debian packages the build, the program and the tests need.
IPCAM_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core libasound2-dev
  googletest libgtest-dev libgmock-dev
  libcurl4-openssl-dev libpugixml-dev
  libturbojpeg0-dev libgsm1-dev zlib1g-dev
  libavcodec-dev libavutil-dev libswscale-dev
  xvfb xauth dpkg-dev
  ffmpeg
  python3-gi python3-gst-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  openssl libssl-dev python3-aiosmtpd dovecot-core dovecot-pop3d
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    echo "Need root to run: $*" >&2; return 1
  fi
}

# Installs whichever of the packages are missing; does nothing when all are there.
install_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds into the given folder with extra CMake arguments.
build_tree() {
  local dir=$1
  shift
  local root
  root=$(repo_root)
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$(nproc)"
}
