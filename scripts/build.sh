#!/usr/bin/env bash
# Configures and builds into a build directory.
#   scripts/build.sh [build-dir] [extra cmake arguments...]
# MOBU_BUILD_TARGET=name builds that target only (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build}"
shift || true
# node-addon-api's headers for the Node.js add-ons, as the lock file pins them.
if [ ! -f "$root/node_modules/node-addon-api/napi.h" ] && command -v npm >/dev/null; then
  (cd "$root" && npm ci --no-audit --no-fund --loglevel=error)
fi
# The web interface's packages (ws, uPlot; puppeteer-core for its browser tests).
if [ ! -f "$root/ui/node_modules/puppeteer-core/package.json" ] && command -v npm >/dev/null; then
  (cd "$root/ui" && npm ci --no-audit --no-fund --loglevel=error)
fi
cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${MOBU_BUILD_TARGET:+--target "$MOBU_BUILD_TARGET"}
