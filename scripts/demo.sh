#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job on its built-in default:
# the FIR engine timed on random audio (blocks of 512 samples, 10 s at 96 kHz).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
"$root/build/applications/fir-timing" -N 1024 -s 10
