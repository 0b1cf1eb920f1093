#!/usr/bin/env bash
# Builds every kernel module directory under drivers/ (each drivers/*/ with a
# Kbuild or Makefile) against the installed kernel headers with the kernel's
# extra warnings (W=1), and fails on any compiler warning.  Out-of-tree builds write into their source directory, so
# each directory is built in a scratch copy; the copies sit side by side, as
# some directories include headers of a sibling (drivers/analogue).
#   scripts/build-drivers.sh [KDIR]
#   scripts/build-drivers.sh --arm64
# MOBU_DRIVERS_OUT=DIR copies the built modules into DIR/<directory>/.
# --arm64 cross-builds for the board's architecture against Debian's arm64
# headers package of the same kernel as the installed linux-headers-amd64:
# the package is downloaded and unpacked (not installed: its build tools are
# arm64 programs, so it would replace this machine's), and its links to the
# kbuild tools point at this machine's linux-kbuild, which is what a cross
# build runs.  The board's own 4.19 kernel needs its own build tree instead.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
make_args=()
if [ "${1:-}" = --arm64 ]; then
  shift
  hv="$(dpkg-query -W -f='${Depends}' linux-headers-amd64 2>/dev/null | grep -o 'linux-headers-[^ ,]*' | head -n 1 || true)"
  [ -n "$hv" ] || { echo "linux-headers-amd64 is not installed"; exit 1; }
  kver="${hv#linux-headers-}"
  kver="${kver%-amd64}"
  pkg="linux-headers-$kver-arm64"
  cache="${MOBU_ARM64_HEADERS:-$root/build-aarch64/kernel-headers}"
  kdir="$cache/usr/src/$pkg"
  # This machine's kbuild tools, as its own headers of that kernel link them.
  kbuild="$(readlink -f "/usr/src/linux-headers-$kver-amd64/scripts" || true)"
  kbuild="${kbuild%/scripts}"
  [ -x "$kbuild/scripts/basic/fixdep" ] || { echo "no kbuild tools for $kver (linux-kbuild)"; exit 1; }
  if [ ! -e "$kdir/Makefile" ]; then
    command -v aarch64-linux-gnu-gcc-12 >/dev/null || { echo "no aarch64-linux-gnu-gcc-12 (scripts/build-aarch64.sh installs it)"; exit 1; }
    mkdir -p "$cache"
    (cd "$cache" && rm -f ./*.deb && apt-get download "$pkg:arm64" >/dev/null 2>&1) ||
      { echo "cannot download $pkg:arm64 (is the arm64 architecture added?)"; exit 1; }
    dpkg-deb -x "$cache"/"$pkg"_*.deb "$cache"
  fi
  # Set every time: an unpacking cut short leaves the package's own (dangling) links.
  ln -sfn "$kbuild/scripts" "$kdir/scripts"
  ln -sfn "$kbuild/tools" "$kdir/tools"
  make_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
fi
kdir="${kdir:-${1:-${KDIR:-}}}"
if [ -n "$kdir" ]; then
  [ -e "$kdir/Makefile" ] || { echo "no kernel build tree at $kdir"; exit 1; }
else
  for d in /lib/modules/*/build; do
    [ -e "$d/Makefile" ] && { kdir="$d"; break; }
  done
  if [ -z "$kdir" ]; then
    echo "skipped: no kernel headers installed"
    exit 0
  fi
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

for dir in "$root"/drivers/*/; do
  cp -r "$dir" "$scratch/$(basename "$dir")"
done

status=0
found=0
for dir in "$root"/drivers/*/; do
  [ -e "$dir/Kbuild" ] || [ -e "$dir/Makefile" ] || continue
  found=1
  name="$(basename "$dir")"
  log="$scratch/$name.log"
  echo "== drivers/$name against $kdir"
  # W=1: the kernel's extra warnings, which the drivers keep clean too.
  if ! make -C "$kdir" "${make_args[@]}" M="$scratch/$name" W=1 -j2 modules >"$log" 2>&1; then
    cat "$log"
    echo "FAILED: drivers/$name does not build"
    status=1
    continue
  fi
  if grep -E "warning:|error:" "$log"; then
    echo "FAILED: drivers/$name builds with warnings"
    status=1
    continue
  fi
  (cd "$scratch/$name" && for ko in ./*.ko; do echo "$ko ($(readelf -h "$ko" | sed -n 's/^ *Machine: *//p'))"; done)
  if [ -n "${MOBU_DRIVERS_OUT:-}" ]; then
    mkdir -p "$MOBU_DRIVERS_OUT/$name"
    cp "$scratch/$name"/*.ko "$MOBU_DRIVERS_OUT/$name/"
  fi
done
[ "$found" -eq 1 ] || echo "no driver directories under drivers/"
exit $status
