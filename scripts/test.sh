#!/usr/bin/env bash
# Configure, build and run every test. Usage: scripts/test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build"
cd "$build"
LC_ALL=C ctest --output-on-failure -j"$(nproc)"
