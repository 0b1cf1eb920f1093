#!/usr/bin/env bash
# shellcheck disable=SC2015  # "check && pass || fail" below: pass only prints
# The installed tree and the Debian package of a build:
#   run-install-test.sh BUILD_DIR
# with MOBU_LIBDIR, MOBU_ALSA_PLUGIN_DIR (as configured), MOBU_DEB_ARCHITECTURE and
# MOBU_NODE_ADDONS (1 when the add-ons are built) in the environment (ctest sets them).
#
# 1. cmake --install into a scratch DESTDIR under another prefix than the build's;
#    the expected files are there and the service unit names the installed processor.
# 2. consumer.cpp is built against that tree through pkg-config and through
#    find_package and run: it filters through FIRMobu and checks the result, and
#    uses libMobuCal2Impulse.  Every public header compiles with the pkg-config flags.
# 3. alsa-lib loads the installed pink-noise plug-in, defined by the installed example
#    asound.conf, with a file PCM on the null device as its slave: silence played into
#    it comes out as noise.
# 4. scripts/build-deb.sh packages the build; the package holds the expected files,
#    has the build's architecture and dependencies, installs into a scratch root with
#    dpkg, and apt-get (simulating) resolves its dependencies on this system.
set -euo pipefail
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
scratch="$(mktemp -d /tmp/mobu-install-test.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# --- 1. the installed tree
prefix=/opt/mobu
root="$scratch/root"
tree="$root$prefix"
DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
case "$MOBU_ALSA_PLUGIN_DIR" in /*) plugins="$root$MOBU_ALSA_PLUGIN_DIR" ;; *) plugins="$tree/$MOBU_ALSA_PLUGIN_DIR" ;; esac
lib="$tree/$MOBU_LIBDIR"
expected=(
  "$lib/libMobuEmbedded.so.1" "$lib/libMobuEmbedded.so" "$lib/libMobuCal2Impulse.so.1" "$lib/libMobuPlatform.a"
  "$tree/include/MobuEmbedded/FIRMobu.h" "$tree/include/MobuEmbedded/platform/Thread.h"
  "$tree/include/MobuCal2Impulse/LevinsonDurban.h" "$tree/include/MobuCal2Impulse/RoomCorrection.h"
  "$lib/pkgconfig/MobuEmbedded.pc" "$lib/pkgconfig/MobuCal2Impulse.pc"
  "$lib/cmake/MobuEmbedded/MobuEmbeddedConfigVersion.cmake" "$lib/cmake/MobuCal2Impulse/MobuCal2ImpulseConfig.cmake"
  "$plugins/libasound_module_pcm_ALSAMobuFIRSwitching.so" "$plugins/libasound_module_pcm_ALSAMobuFIRPlugin.so"
  "$plugins/libasound_module_pcm_ALSAMobuPinkGenerator.so"
  "$tree/bin/mobu-processor" "$tree/bin/mobu-measure" "$tree/bin/mobu-correct" "$tree/bin/fir-timing" "$tree/bin/eq-impulse"
  "$tree/bin/eq-fir-render" "$tree/lib/systemd/system/mobu-processor.service"
  "$tree/share/doc/mobu-embedded/examples/asound.conf")
[ "${MOBU_NODE_ADDONS:-0}" = 1 ] && expected+=("$lib/node/libMobuCal2ImpulseJS.node" "$lib/node/libLevelMeter.node"
  "$lib/node/libNodeBridge.node")
missing=""
for f in "${expected[@]}"; do [ -e "$f" ] || missing="$missing ${f#"$root"}"; done
[ -z "$missing" ] && pass "installed tree complete (${#expected[@]} files)" || fail "not installed:$missing"
soname="$(readelf -d "$lib/libMobuEmbedded.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
[ "$soname" = libMobuEmbedded.so.1 ] && pass "soname $soname" || fail "libMobuEmbedded's soname is '$soname'"
exec_start="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$tree/lib/systemd/system/mobu-processor.service")"
[ "$exec_start" = "$prefix/bin/mobu-processor" ] && pass "service runs $exec_start" ||
  fail "service ExecStart is '$exec_start', not $prefix/bin/mobu-processor"

# --- 2. programs built against it
export PKG_CONFIG_PATH="$lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
cxx="${CXX:-c++}"
for h in "$tree"/include/MobuEmbedded/*.h "$tree"/include/MobuCal2Impulse/*.h; do
  echo "#include <$(basename "$(dirname "$h")")/$(basename "$h")>"
done | sed 's|<MobuCal2Impulse/|<|' >"$scratch/all-headers.cpp"
# shellcheck disable=SC2046
if "$cxx" -std=c++17 -fsyntax-only "$scratch/all-headers.cpp" $(pkg-config --cflags MobuCal2Impulse) 2>"$scratch/headers.log"; then
  pass "every public header compiles with pkg-config's flags"
else
  fail "public headers with pkg-config's flags:"; head -20 "$scratch/headers.log" >&2
fi
# shellcheck disable=SC2046
if "$cxx" -std=c++17 -O1 "$here/consumer.cpp" -o "$scratch/consumer-pkgconfig" $(pkg-config --cflags --libs MobuCal2Impulse) \
     2>"$scratch/pkgconfig.log"; then
  out="$(LD_LIBRARY_PATH="$lib" "$scratch/consumer-pkgconfig" 2>&1)" && pass "pkg-config build: ${out##*$'\n'}" ||
    fail "pkg-config build ran wrong: $out"
else
  fail "pkg-config build:"; head -20 "$scratch/pkgconfig.log" >&2
fi
if cmake -S "$here" -B "$scratch/consumer-cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$tree" \
     >"$scratch/cmake.log" 2>&1 && cmake --build "$scratch/consumer-cmake" >>"$scratch/cmake.log" 2>&1; then
  out="$(LD_LIBRARY_PATH="$lib" "$scratch/consumer-cmake/consumer" 2>&1)" && pass "find_package build: ${out##*$'\n'}" ||
    fail "find_package build ran wrong: $out"
else
  fail "find_package build:"; tail -20 "$scratch/cmake.log" >&2
fi

# --- 3. the installed plug-in in alsa-lib, without LD_LIBRARY_PATH: it finds
# libMobuEmbedded through its run path.
alsa_conf="$(pkg-config --variable=prefix alsa)/share/alsa/alsa.conf"
cat >"$scratch/test.conf" <<CONF
pcm_type.ALSAMobuPinkGenerator { lib "$plugins/libasound_module_pcm_ALSAMobuPinkGenerator.so" }
pcm.pink.slave.pcm "captured"
pcm.pink.fifopath "$scratch/pink.fifo"
pcm.captured { type file slave.pcm null file "$scratch/pink.raw" format raw }
CONF
head -c $((24000 * 8)) /dev/zero >"$scratch/silence.raw"
if ALSA_CONFIG_PATH="$alsa_conf:$tree/share/doc/mobu-embedded/examples/asound.conf:$scratch/test.conf" \
     aplay -q -D pink -t raw -f S32_LE -c 2 -r 48000 --period-size=1024 --buffer-size=4096 \
       "$scratch/silence.raw" >"$scratch/aplay.log" 2>&1; then
  nonzero="$(tr -d '\000' <"$scratch/pink.raw" | wc -c)"
  [ "$nonzero" -gt 0 ] && pass "plug-in turned silence into noise ($(wc -c <"$scratch/pink.raw") bytes written)" ||
    fail "the pink-noise plug-in passed silence"
else
  fail "aplay through the installed plug-in:"; tail -20 "$scratch/aplay.log" >&2
fi

# --- 4. the Debian package
if deb="$(MOBU_DEB_DIR="$scratch/deb" "$source_dir/scripts/build-deb.sh" "$build" 2>"$scratch/deb.log" | tail -n 1)" &&
   [ -f "$deb" ]; then
  contents="$(dpkg-deb -c "$deb" | awk '{ print $6 }')"
  missing=""
  for f in usr/bin/mobu-processor "usr/lib/systemd/system/mobu-processor.service" \
           "usr/${MOBU_ALSA_PLUGIN_DIR#/usr/}/libasound_module_pcm_ALSAMobuFIRSwitching.so" \
           "usr/$MOBU_LIBDIR/libMobuEmbedded.so.1" "usr/$MOBU_LIBDIR/pkgconfig/MobuCal2Impulse.pc" \
           "usr/$MOBU_LIBDIR/cmake/MobuEmbedded/MobuEmbeddedConfig.cmake" usr/include/MobuEmbedded/FIRMobu.h; do
    grep -qxF "./$f" <<<"$contents" || missing="$missing $f"
  done
  [ -z "$missing" ] && pass "package holds $(grep -vc '/$' <<<"$contents") files" || fail "not in the package:$missing"
  arch="$(dpkg-deb -f "$deb" Architecture)"
  [ "$arch" = "$MOBU_DEB_ARCHITECTURE" ] && pass "package architecture $arch" ||
    fail "package architecture '$arch', the build's is '$MOBU_DEB_ARCHITECTURE'"
  depends="$(dpkg-deb -f "$deb" Depends)"
  grep -q 'libasound2' <<<"$depends" && grep -q 'libfftw3' <<<"$depends" && pass "depends: $depends" ||
    fail "dependencies incomplete: '$depends'"
  # dpkg runs the package's postinst (ldconfig) chrooted into the root, which needs a
  # shell and ldconfig there; without the right to chroot it can only unpack.
  pkgroot="$scratch/pkgroot"
  mkdir -p "$pkgroot/var/lib/dpkg/info" "$pkgroot/var/lib/dpkg/updates" "$pkgroot/etc"
  : >"$pkgroot/var/lib/dpkg/status"
  action=--install
  if [ "$(id -u)" = 0 ]; then
    for f in /bin/sh /sbin/ldconfig $(ldd /bin/sh | grep -o '/[^ ]*'); do
      mkdir -p "$pkgroot$(dirname "$f")" && cp -L "$f" "$pkgroot$f"
    done
  else
    action=--unpack
  fi
  if dpkg --root="$pkgroot" --force-not-root --force-depends "$action" "$deb" >"$scratch/dpkg.log" 2>&1; then
    unit="$pkgroot/usr/lib/systemd/system/mobu-processor.service"
    [ "$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")" = /usr/bin/mobu-processor ] &&
      [ -x "$pkgroot/usr/bin/mobu-processor" ] && pass "dpkg $action: the unit starts /usr/bin/mobu-processor" ||
      fail "installed package: no /usr/bin/mobu-processor or the unit names another"
    if [ "$action" = --install ]; then
      /sbin/ldconfig -p -C "$pkgroot/etc/ld.so.cache" | grep -q 'libMobuEmbedded.so.1 ' &&
        pass "postinst registered libMobuEmbedded.so.1 with ldconfig" || fail "libMobuEmbedded.so.1 not in the root's cache"
    fi
  else
    fail "dpkg $action into a scratch root:"; tail -20 "$scratch/dpkg.log" >&2
  fi
  if apt-get install -s "$deb" >"$scratch/apt.log" 2>&1 && grep -q '^Conf mobu-embedded ' "$scratch/apt.log"; then
    pass "apt-get resolves the package's dependencies"
  else
    fail "apt-get install -s:"; tail -20 "$scratch/apt.log" >&2
  fi
else
  fail "build-deb.sh:"; tail -20 "$scratch/deb.log" >&2
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
