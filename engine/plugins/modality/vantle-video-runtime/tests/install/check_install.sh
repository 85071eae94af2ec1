#!/usr/bin/env bash
# Installs the build into a fresh prefix with `cmake --install`, then builds
# the small C host out of tree against it twice, through pkg-config and
# through find_package, runs both, and runs the installed tool.
#
#   check_install.sh BUILD_DIR WORK_DIR HOST_SOURCE_DIR [WARNING_FLAGS]
#
# WARNING_FLAGS: added to -Wall -Wextra for the host (-Werror when the build
# was configured with VANTLE_WERROR).
set -euo pipefail

build_dir=$1 work=$2 host_source=$3
warnings="-Wall -Wextra${4:+ $4}"
rm -rf -- "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work.install.log" || {
  cat "$work.install.log"
  exit 1
}
rm -f -- "$work.install.log"
libdir=$(dirname -- "$(find "$prefix" -name 'libvantle_video_runtime.so' -print -quit)")

# A versioned soname and the development link to it.
soname=$(readelf -d "$libdir/libvantle_video_runtime.so" | sed -nE 's/.*\(SONAME\).*\[(.*)\]/\1/p')
echo "soname: $soname"
[[ $soname =~ ^libvantle_video_runtime\.so\.[0-9]+$ ]]
[[ -f $libdir/$soname ]]

echo "== pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
pkg-config --modversion vantle-video-runtime
# shellcheck disable=SC2046,SC2086
cc -std=c11 $warnings -o "$work/host-pkg-config" "$host_source/host.c" \
  $(pkg-config --cflags --libs vantle-video-runtime) -Wl,-rpath,"$(pkg-config --variable=libdir vantle-video-runtime)"
"$work/host-pkg-config"

echo "== find_package"
cmake -S "$host_source" -B "$work/host-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$warnings" >/dev/null
cmake --build "$work/host-build" >/dev/null
"$work/host-build/host"

echo "== installed tool"
"$prefix/bin/vantle-video" info | grep -q '^groups: 3$'
"$prefix/bin/vantle-video" decode --positions 3 --out "$work/frames"
rm -rf -- "$work"
