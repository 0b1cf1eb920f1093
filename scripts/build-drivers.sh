#!/usr/bin/env bash
# Builds every kernel module directory under drivers/ (each drivers/*/ with a
# Kbuild or Makefile) against the installed kernel headers, and fails on any
# compiler warning.  Out-of-tree builds write into their source directory, so
# each directory is built in a scratch copy; the copies sit side by side, as
# some directories include headers of a sibling (drivers/analogue).
#   scripts/build-drivers.sh [KDIR]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kdir="${1:-${KDIR:-}}"
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
  if ! make -C "$kdir" M="$scratch/$name" -j2 modules >"$log" 2>&1; then
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
  (cd "$scratch/$name" && ls ./*.ko)
done
[ "$found" -eq 1 ] || echo "no driver directories under drivers/"
exit $status
