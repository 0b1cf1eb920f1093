#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the optimised build,
#   2. the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
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
(cd "$root/build-tsan" && ctest --output-on-failure -L concurrency)
