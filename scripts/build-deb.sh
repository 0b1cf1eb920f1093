#!/usr/bin/env bash
# Builds the Debian package of the user-space parts (libraries, headers, pkg-config
# and CMake files, ALSA plug-ins, tools, Node.js add-ons, service unit):
#   scripts/build-deb.sh [build-dir] [extra cmake arguments...]
# A new build directory (default build-deb) is configured for the prefix /usr without
# tests and benchmarks; the arguments go to cmake (e.g. -DCMAKE_TOOLCHAIN_FILE=... for
# the board: the package's architecture follows the target).  The package goes into
# MOBU_DEB_DIR (default BUILD-DIR/packages); its path is the last line printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-deb}"
shift || true
if [ ! -f "$dir/CMakeCache.txt" ]; then
  MOBU_BUILD_TARGET='' "$root/scripts/build.sh" "$dir" -DCMAKE_INSTALL_PREFIX=/usr -DMOBU_BUILD_TESTS=OFF \
    -DMOBU_BUILD_BENCH=OFF "$@"
else
  [ $# -eq 0 ] || cmake -S "$root" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
fi
out="${MOBU_DEB_DIR:-$dir/packages}"
mkdir -p "$out"
cpack --config "$dir/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log" >&2; exit 1; }
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$out/cpack.log" | tail -n 1)"
[ -f "$deb" ] || { cat "$out/cpack.log" >&2; echo "build-deb: no package written" >&2; exit 1; }
echo "$deb"
