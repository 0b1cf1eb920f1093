#!/usr/bin/env bash
# shellcheck disable=SC2015  # "check && pass || fail" below: pass only prints
# The Debian package of a cross build for the board:
#   check-board-package.sh BUILD_DIR
# with MOBU_DEB_ARCHITECTURE (the target's, e.g. arm64) and MOBU_EMULATOR (e.g.
# qemu-aarch64) in the environment (ctest sets them).  The build must be configured
# for the prefix /usr and have built what the package holds.
# 1. CPack packages the build: the package has the target's architecture and its
#    libraries, plug-ins and tools at the target's multiarch paths.
# 2. dpkg unpacks it into a scratch root (its postinst runs the target's ldconfig,
#    which this machine cannot run), and a tool from that root runs under the
#    emulator, finding the packaged libraries through its run path.
# 3. apt-get (simulating) resolves its dependencies for the target's architecture.
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$(mktemp -d /tmp/mobu-board-package.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
arch="$MOBU_DEB_ARCHITECTURE"
triplet="$(dpkg-architecture -a "$arch" -q DEB_HOST_MULTIARCH 2>/dev/null)"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/deb" >"$scratch/cpack.log" 2>&1 ||
  { tail -20 "$scratch/cpack.log" >&2; echo "FAIL: cpack" >&2; exit 1; }
deb="$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$scratch/cpack.log" | tail -n 1)"
[ -f "$deb" ] || { cat "$scratch/cpack.log" >&2; echo "FAIL: no package written" >&2; exit 1; }

[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] && pass "package architecture $arch" ||
  fail "package architecture $(dpkg-deb -f "$deb" Architecture), wanted $arch"
contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
before=$failures
for f in "usr/lib/$triplet/libMobuEmbedded.so.1" "usr/lib/$triplet/libMobuCal2Impulse.so.1" \
  "usr/lib/$triplet/alsa-lib/libasound_module_pcm_ALSAMobuFIRSwitching.so" \
  "usr/lib/$triplet/pkgconfig/MobuEmbedded.pc" usr/bin/mobu-processor usr/bin/fir-timing; do
  grep -qx "\./$f" <<<"$contents" || fail "package lacks /$f"
done
[ "$failures" = "$before" ] && pass "package holds the libraries, plug-ins and tools under /usr/lib/$triplet and /usr/bin"

pkgroot="$scratch/pkgroot"
mkdir -p "$pkgroot/var/lib/dpkg/info" "$pkgroot/var/lib/dpkg/updates"
: >"$pkgroot/var/lib/dpkg/status"
if dpkg --root="$pkgroot" --add-architecture "$arch" &&
  dpkg --root="$pkgroot" --force-not-root --force-depends --unpack "$deb" >"$scratch/dpkg.log" 2>&1; then
  pass "dpkg unpacks the package into a scratch root"
  # Without options the tool prints how to call it and exits with 255, once its
  # libraries (the package's, through the run path) are loaded.
  status=0
  out="$("$MOBU_EMULATOR" "$pkgroot/usr/bin/fir-timing" 2>&1)" || status=$?
  [ "$status" = 255 ] && grep -q -- "-N" <<<"$out" && pass "the unpacked fir-timing runs under $MOBU_EMULATOR" ||
    fail "unpacked fir-timing: status $status: $out"
else
  fail "dpkg --unpack into a scratch root:"; tail -20 "$scratch/dpkg.log" >&2
fi

if apt-get install -s "$deb" >"$scratch/apt.log" 2>&1 && grep -q "^Conf mobu-embedded:$arch " "$scratch/apt.log"; then
  pass "apt-get resolves the package's dependencies for $arch"
else
  fail "apt-get install -s:"; tail -20 "$scratch/apt.log" >&2
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
