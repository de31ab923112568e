#!/usr/bin/env bash
# Builds the tests of the threaded layers with clang under ThreadSanitizer and runs them: the
# transports and their event loop, the transaction layer and the stack facade with its event
# thread, the dialog layer with its thread, the product's threaded services (the trace log), and
# user agents through the C interface (their threads, registrations and callbacks), also created
# and destroyed from several host threads at once (the user agents' lifecycle stress test:
# creation and destruction racing registrations is where the threads meet).
# Tests against real peers run too; the other stress tests are left to the other builds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-tsan"
"$root/scripts/setup.sh"
wanted="test_stack_transport test_stack_transport_peer test_stack_transaction test_stack_core \
test_stack_core_peer test_stack_dum test_stack_dum_peer test_core test_capi test_capi_peer \
test_useragent_peer test_useragent_stress"
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache # as in build.sh
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
fi
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DZEL_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_TSAN=ON >/dev/null
# The list is read once: piped into `grep -q`, ninja dies of SIGPIPE and pipefail drops the target.
known="$(cmake --build "$build" --target help)"
targets=""
for target in $wanted; do # a folder without peer tests has no _peer executable
  if grep -q "^$target:" <<<"$known"; then
    targets="$targets $target"
  fi
done
if [ -z "$targets" ]; then
  echo "tsan: none of the threaded test executables exists" >&2
  exit 1
fi
# shellcheck disable=SC2086 # a word list of targets
cmake --build "$build" --parallel "${ZEL_JOBS:-2}" --target $targets
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
failed=0
passed=0
for target in $targets; do
  echo "tsan: $target"
  if (cd "$build/tests" && "./$target" --gtest_brief=1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "tsan: $target FAILED" >&2
  fi
done
echo "tsan: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
