#!/usr/bin/env bash
# Configures and builds into the given directory with any extra CMake arguments.
# Usage: scripts/build.sh <build-dir> [cmake args...]
# With ZEL_TARGETS set (space-separated), only those targets are built.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
# ccache (when installed) makes rebuilds and the three CI builds cheap; paths are hashed relative
# to the checkout, so a fresh clone in another folder still finds earlier results.
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
cmake -S "$root" -B "$build" -G Ninja -DZEL_WERROR=ON "$@" >/dev/null
if [ -n "${ZEL_TARGETS:-}" ]; then
  # shellcheck disable=SC2086 # the targets are a word list
  cmake --build "$build" --target $ZEL_TARGETS
else
  cmake --build "$build"
fi
