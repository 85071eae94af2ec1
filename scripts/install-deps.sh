#!/usr/bin/env bash
# Installs, from Debian 12's archive, everything the build, the example job and
# the test legs need. Quiet, and a no-op without apt-get when all of it is
# already installed, so running it before every job costs a fraction of a second.
#
# Debian's libavcodec59 brings the encoders the tests make their media with
# (libx264, libx265, libsvtav1, libaom) as dependencies. Packages named as
# arguments are installed too (scripts/bench.sh --alternatives names its own).
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake make pkgconf binutils git
  # FFmpeg 5.1, the system generation; libavformat for the vantle-video tool
  # and the tests' demuxer (the library itself does not use it)
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev valgrind
  # the allocators the benchmark measures the library under
  libjemalloc2 libmimalloc2.0
  # the fuzz targets: clang 14 with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # Vulkan with lavapipe, the software device behind the hardware-frame tests
  libvulkan1 mesa-vulkan-drivers
  # the Debian unstable root of the FFmpeg 9.0 leg
  mmdebstrap
  # the Python package (python/) and its tests: the offline pip install into
  # a venv (venv, pip, setuptools), NumPy, PyAV for demuxing, pytest, Dask's
  # distributed for the scale-out example, and the ffmpeg command line the
  # pictures are checked against
  python3-venv python3-pip python3-setuptools python3-numpy python3-av python3-pytest
  python3-distributed ffmpeg
  "$@"
)
# Installed without their recommendations: python3-torch for the DataLoader
# example (108 packages, 455 MB installed, about a minute on a fresh machine).
lean_packages=(python3-torch)

installed() {
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true) == installed ]]
}
missing=() missing_lean=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
for package in "${lean_packages[@]}"; do
  installed "$package" || missing_lean+=("$package")
done
if ((${#missing[@]} + ${#missing_lean[@]} == 0)); then
  echo "install-deps: all $((${#packages[@]} + ${#lean_packages[@]})) packages present"
  exit 0
fi

as_root=()
if ((EUID != 0)); then
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]} ${missing_lean[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
install=("${as_root[@]}" apt-get install -y -qq -o Dpkg::Use-Pty=0)
if ! { "${as_root[@]}" apt-get update -qq &&
  { ((${#missing[@]} == 0)) || "${install[@]}" "${missing[@]}"; } &&
  { ((${#missing_lean[@]} == 0)) || "${install[@]}" --no-install-recommends "${missing_lean[@]}"; }
  } </dev/null >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "install-deps: apt-get failed" >&2
  exit 1
fi
echo "install-deps: done"
