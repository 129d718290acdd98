# Shared by the README commands: package installation and the build.
# shellcheck shell=bash

# Resolved once, when this file is sourced: later calls may come from any working folder.
IPCAM_REPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
repo_root() { echo "$IPCAM_REPO_ROOT"; }

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
  clang libclang-rt-14-dev
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

# Configures and builds the fuzz targets (clang, libFuzzer, ASan and UBSan) into the folder.
build_fuzz_tree() {
  local dir=$1
  local root
  root=$(repo_root)
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DIPCAM_FUZZ=ON -DIPCAM_BUILD_TESTS=OFF "${launcher[@]}"
  cmake --build "$dir" -j "$(nproc)" --target ipcam_fuzzers
}

# Runs every fuzz target of the build folder for the given seconds, as many at once as there
# are cores: each first replays its seed corpus, then fuzzes. New inputs and anything found go
# to <out>/<target>/ (never into the tree). Fails when a target found a crash, a leak, a hang
# or ran out of memory; the log of that target says which input.
run_fuzz_targets() {
  local dir=$1 seconds=$2 out=$3
  local root
  root=$(repo_root)
  mkdir -p "$out"
  export IPCAM_FUZZ_DIR=$dir IPCAM_FUZZ_SECONDS=$seconds IPCAM_FUZZ_OUT=$out
  export IPCAM_FUZZ_CORPUS=$root/fuzz/corpus
  # shellcheck disable=SC2016
  find "$IPCAM_FUZZ_CORPUS" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort |
    xargs -P "$(nproc)" -I{} bash -c '
      target={}
      mkdir -p "$IPCAM_FUZZ_OUT/$target/corpus"
      if "$IPCAM_FUZZ_DIR/fuzz/$target" "$IPCAM_FUZZ_OUT/$target/corpus" \
          "$IPCAM_FUZZ_CORPUS/$target" -max_total_time="$IPCAM_FUZZ_SECONDS" -timeout=10 \
          -rss_limit_mb=2048 -print_final_stats=1 \
          -artifact_prefix="$IPCAM_FUZZ_OUT/$target/" >"$IPCAM_FUZZ_OUT/$target.log" 2>&1; then
        runs=$(sed -n "s/^stat::number_of_executed_units: *//p" "$IPCAM_FUZZ_OUT/$target.log")
        echo "fuzz $target: ${runs:-?} runs, nothing found"
      else
        echo "fuzz $target: FOUND something, see $IPCAM_FUZZ_OUT/$target.log" >&2
        tail -n 40 "$IPCAM_FUZZ_OUT/$target.log" >&2
        exit 1
      fi'
}
