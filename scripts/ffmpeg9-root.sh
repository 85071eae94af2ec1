#!/usr/bin/env bash
# Creates, or reuses, a Debian unstable root that carries FFmpeg 9.0 (libavcodec
# 63, libavutil 61, libswscale 10) and the build tools, so the library can be
# built and tested against the newest FFmpeg generation with a plain chroot.
#
#   scripts/ffmpeg9-root.sh [DIR]
#
# DIR defaults to $VANTLE_FFMPEG9_ROOT or /var/cache/vantle-video-runtime/ffmpeg9-root,
# outside any clone so every clone on the machine shares one root. A root is
# reused when its stamp file matches the recipe below; otherwise it is built
# afresh beside DIR and moved into place only once it passed the version check,
# so an interrupted run never leaves a half-made root that looks complete.
# Needs root (uses sudo otherwise), mmdebstrap and Debian's archive.
set -euo pipefail

if ((EUID != 0)); then
  exec sudo --preserve-env=VANTLE_FFMPEG9_ROOT,VANTLE_FFMPEG9_ROOT_LOCK_HELD,VANTLE_FFMPEG9_EXTRA_PACKAGES -- bash "$0" "$@"
fi

root_dir=${1:-${VANTLE_FFMPEG9_ROOT:-/var/cache/vantle-video-runtime/ffmpeg9-root}}
root_dir=$(realpath -m -- "$root_dir")
case $root_dir in
  / | /bin | /boot | /dev | /etc | /home | /lib* | /proc | /root | /run | /sbin | /sys | /tmp | /usr | /var | /var/cache)
    echo "ffmpeg9-root: refusing to use $root_dir as the root" >&2
    exit 2
    ;;
esac

suite=sid
packages=(
  g++ cmake make pkgconf binutils
  libavcodec-dev libavutil-dev libswscale-dev libavformat-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libvulkan1 mesa-vulkan-drivers
  # the Python package's tests and the command-line comparisons
  ffmpeg python3-venv python3-pip python3-setuptools python3-numpy python3-av python3-pytest
)
# More packages for a root of its own (the valgrind leg's); they are part of
# the recipe, so such a root is never mistaken for the plain one.
read -r -a extra_packages <<<"${VANTLE_FFMPEG9_EXTRA_PACKAGES:-}"
packages+=("${extra_packages[@]}")
mmdebstrap_args=(
  --variant=apt
  --aptopt='Acquire::Check-Valid-Until "false"'
  "--include=$(IFS=,; echo "${packages[*]}")"
)
# The stamp records the whole recipe: any change to it rebuilds the root.
recipe="suite=$suite
args=${mmdebstrap_args[*]}
wanted=libavcodec 63 libavutil 61 libswscale 10"
stamp_name=.vantle-ffmpeg9-root.stamp

fail() {
  echo "ffmpeg9-root: $*" >&2
  exit 1
}

# Prints the three FFmpeg library versions the root's pkg-config reports and
# fails unless their major numbers are the FFmpeg 9.0 ones.
check_versions() {
  local dir=$1 versions
  versions=$(chroot "$dir" pkg-config --modversion libavcodec libavutil libswscale) ||
    fail "pkg-config inside $dir cannot find libavcodec, libavutil and libswscale"
  local avcodec avutil swscale
  { read -r avcodec; read -r avutil; read -r swscale; } <<<"$versions"
  if [[ ${avcodec%%.*} != 63 || ${avutil%%.*} != 61 || ${swscale%%.*} != 10 ]]; then
    fail "$dir has libavcodec $avcodec, libavutil $avutil, libswscale $swscale; FFmpeg 9.0 needs libavcodec 63, libavutil 61, libswscale 10"
  fi
  echo "ffmpeg9-root: $dir: libavcodec $avcodec, libavutil $avutil, libswscale $swscale"
}

# Anything still mounted below a root (a killed test run) must not be walked
# by rm -rf: a bind mount there would reach the host's own files.
refuse_if_mounted() {
  local dir=$1
  if awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    fail "something is still mounted below $dir; unmount it first (see /proc/mounts)"
  fi
}

is_complete() {
  [[ -f $root_dir/$stamp_name ]] && [[ $(cat "$root_dir/$stamp_name") == "$recipe" ]] &&
    [[ -x $root_dir/usr/bin/cmake ]]
}

mkdir -p -- "$(dirname -- "$root_dir")"
# One builder at a time per root; test.sh holds this lock already while it
# uses the root and says so through VANTLE_FFMPEG9_ROOT_LOCK_HELD.
if [[ -z ${VANTLE_FFMPEG9_ROOT_LOCK_HELD:-} ]]; then
  exec 9>>"$root_dir.lock"
  flock 9
fi

if is_complete; then
  check_versions "$root_dir"
  echo "ffmpeg9-root: reusing $root_dir"
  exit 0
fi

command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing; run scripts/install-deps.sh"

new_dir=$root_dir.new
refuse_if_mounted "$new_dir"
rm -rf --one-file-system -- "$new_dir"
echo "ffmpeg9-root: creating $root_dir (Debian $suite: ${packages[*]})"
start=$SECONDS
mmdebstrap "${mmdebstrap_args[@]}" "$suite" "$new_dir" </dev/null ||
  fail "mmdebstrap failed to create the $suite root in $new_dir"
check_versions "$new_dir"
printf '%s\n' "$recipe" >"$new_dir/$stamp_name"

refuse_if_mounted "$root_dir"
rm -rf --one-file-system -- "$root_dir"
mv -- "$new_dir" "$root_dir"
echo "ffmpeg9-root: created $root_dir in $((SECONDS - start)) s"
