#!/usr/bin/env bash
# Builds the unit tests and the fuzz targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the tests, and replays every fuzz corpus (the kept crashers
# included) through its target as a regression run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-asan"
"$root/scripts/setup.sh"
CC=clang-14 CXX=clang++-14 "$root/scripts/build.sh" "$build" \
  -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON -DZEL_BUILD_FUZZ=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$build" && "$root/scripts/run-ctest.sh" --output-on-failure --timeout 900 -j2)
for target in "$build"/fuzz/fuzz_*; do
  name="${target##*/fuzz_}"
  corpus="$root/fuzz/corpus/$name"
  if [ -d "$corpus" ]; then
    echo "fuzz regression: $name"
    log="$build/fuzz-replay-$name.log"
    if "$target" -runs=0 "$corpus" >"$log" 2>&1; then
      tail -n 1 "$log"
    else
      cat "$log"
      echo "fuzz regression: $name FAILED" >&2
      exit 1
    fi
  fi
done
