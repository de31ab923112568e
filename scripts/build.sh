#!/usr/bin/env bash
# Configures and builds into the given directory with any extra CMake arguments.
# Usage: scripts/build.sh <build-dir> [cmake args...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
cmake -S "$root" -B "$build" -G Ninja -DZEL_WERROR=ON "$@" >/dev/null
cmake --build "$build"
