#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the optimised build,
#   2. the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the tests of code shared between threads built with ThreadSanitizer,
#   4. the board's build (aarch64, cross-compiled): the tests that run within
#      their own process, under qemu-aarch64, and the kernel modules for arm64.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

echo "== Optimised build"
"$root/scripts/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
"$root/scripts/build.sh" "$root/build-asan" -DMOBU_SANITIZE=address -DMOBU_BUILD_BENCH=OFF
(cd "$root/build-asan" && ctest --output-on-failure -j "$(nproc)")

echo "== ThreadSanitizer build (tests of code shared between threads)"
MOBU_BUILD_TARGET=concurrency-tests "$root/scripts/build.sh" "$root/build-tsan" -DMOBU_SANITIZE=thread -DMOBU_BUILD_BENCH=OFF
(cd "$root/build-tsan" && ctest --output-on-failure -j "$(nproc)" -L concurrency)

echo "== aarch64 cross build (the board), its tests under qemu-aarch64"
MOBU_BUILD_TARGET=emulated-tests "$root/scripts/build-aarch64.sh" "$root/build-aarch64" -DCMAKE_INSTALL_PREFIX=/usr
(cd "$root/build-aarch64" && ctest --output-on-failure -j "$(nproc)" -L emulated)
echo "Not run under emulation (they run in the optimised build above):"
sed 's/^/  /' "$root/build-aarch64/emulation-skipped.txt"
echo "Spectrum kernels, portable over NEON (a sanity check: emulated times mean nothing absolute):"
qemu-aarch64 "$root/build-aarch64/bench/fir-kernels-bench" -t 0.2
