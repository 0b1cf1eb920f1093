#!/usr/bin/env bash
# Cross-builds the libraries, plug-ins, tools and tests for the board (64-bit
# ARM) on a Debian PC, installing what that needs first: the cross compiler,
# the arm64 development packages (through multiarch) and qemu-user, which runs
# the results here.
#   scripts/build-aarch64.sh [build-dir] [extra cmake arguments...]
# (default build-dir: build-aarch64).  The Node.js add-ons (built for the
# node of the build machine) and the benchmarks against the comparison library
# are left out.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-aarch64}"
shift || true

TARGET_PACKAGES=(
  libfftw3-dev libjsoncpp-dev libsox-dev libsox-fmt-all libasound2-dev
  libjack-jackd2-dev libgtest-dev libnss-wrapper pkgconf
)
HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user libeigen3-dev cmake ninja-build pkgconf)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${HOST_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
for p in "${TARGET_PACKAGES[@]}"; do installed "$p:arm64" || missing+=("$p:arm64"); done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx arm64 || $SUDO dpkg --add-architecture arm64
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
  -DMOBU_BUILD_NODE_ADDONS=OFF "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${MOBU_BUILD_TARGET:+--target "$MOBU_BUILD_TARGET"}
