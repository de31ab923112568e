#!/usr/bin/env bash
# Builds one libFuzzer target with clang (AddressSanitizer and UndefinedBehaviorSanitizer on) and
# runs it on its corpus.
# Usage: scripts/fuzz.sh TARGET [SECONDS]     e.g. scripts/fuzz.sh sip_message 600
# TARGET is the name of fuzz/TARGET_fuzz.cpp; its corpus is fuzz/corpus/TARGET. New inputs found
# while fuzzing go to a scratch folder (printed at the end), so the kept corpus stays small; a
# crashing input is written into fuzz/corpus/TARGET, where the regression replay of
# scripts/test-sanitized.sh (and so CI) runs it from then on. Default run time: 300 seconds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: scripts/fuzz.sh TARGET [SECONDS]" >&2
  echo "targets: $(cd "$root/fuzz" && ls ./*_fuzz.cpp | sed 's|^\./||; s|_fuzz\.cpp$||' | tr '\n' ' ')" >&2
  exit 2
fi
target="$1"
seconds="${2:-300}"
if [ ! -f "$root/fuzz/${target}_fuzz.cpp" ]; then
  echo "fuzz.sh: no fuzz/${target}_fuzz.cpp" >&2
  exit 2
fi
"$root/scripts/setup.sh"
build="$root/build-fuzz"
CC=clang-14 CXX=clang++-14 ZEL_TARGETS="fuzz_${target}" "$root/scripts/build.sh" "$build" \
  -DCMAKE_BUILD_TYPE=Debug -DZEL_SANITIZE=ON -DZEL_BUILD_FUZZ=ON -DZEL_BUILD_TESTS=OFF
corpus="$root/fuzz/corpus/$target"
mkdir -p "$corpus"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/zel-fuzz-${target}.XXXXXX")"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
dict=()
if [ -f "$root/fuzz/${target}.dict" ]; then
  dict=("-dict=$root/fuzz/${target}.dict")
fi
status=0
"$build/fuzz/fuzz_${target}" -max_total_time="$seconds" -artifact_prefix="$corpus/" "${dict[@]}" \
  "$scratch" "$corpus" || status=$?
echo "fuzz.sh: new inputs in $scratch (not kept); crashers, if any, in $corpus"
exit "$status"
