#!/usr/bin/env bash
# Configures and builds into the given directory with any extra CMake arguments.
# Usage: scripts/build.sh <build-dir> [cmake args...]
# With ZEL_TARGETS set (space-separated), only those targets are built.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
cmake -S "$root" -B "$build" -G Ninja -DZEL_WERROR=ON "$@" >/dev/null
if [ -n "${ZEL_TARGETS:-}" ]; then
  # shellcheck disable=SC2086 # the targets are a word list
  cmake --build "$build" --target $ZEL_TARGETS
else
  cmake --build "$build"
fi
