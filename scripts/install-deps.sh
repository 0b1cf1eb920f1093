#!/usr/bin/env bash
# Installs the Debian packages the project builds, runs and tests with.
# Idempotent: packages already present are skipped, and the package lists are
# refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libeigen3-dev libfftw3-dev libjsoncpp-dev
  libsox-dev libsox-fmt-all sox
  libasound2-dev alsa-utils
  libgtest-dev googletest libnss-wrapper
  libzita-convolver-dev
  python3-numpy python3-scipy
  gnuplot-nox
  jackd2 libjack-jackd2-dev
  swig
  chromium  # the web interface's browser tests (driven by puppeteer-core, no browser download)
  file dpkg-dev  # CPack's Debian package: its ELF files (file), their dependencies (dpkg-shlibdeps)
)
# Kernel headers to build the drivers against; on a PC also what boots them in a QEMU guest.
arch="$(dpkg --print-architecture)"
PACKAGES+=("linux-headers-$arch")
[ "$arch" != amd64 ] || PACKAGES+=(qemu-system-x86 busybox-static linux-image-amd64 kmod cpio)
# ... and the arm64 guest of the same stage: its QEMU and the cross compiler of its modules.
[ "$arch" != amd64 ] || PACKAGES+=(qemu-system-arm gcc-12-aarch64-linux-gnu)
# The drivers' device-tree fragment and bindings: dtc compiles it, dt-schema validates both.
PACKAGES+=(device-tree-compiler dt-schema)
# The Node.js add-ons build for the node on the path (with its headers); Debian's when there is none.
command -v node >/dev/null || PACKAGES+=(nodejs npm libnode-dev)
PACKAGES+=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
