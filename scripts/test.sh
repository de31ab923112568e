#!/usr/bin/env bash
# Installs what is needed, builds everything with g++ and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cd "$root/build"
"$root/scripts/run-ctest.sh" --output-on-failure --timeout 600 -j2
