#!/usr/bin/env bash
# Runs ctest in the current directory (a build tree) with the given arguments. Tests against real
# peers (label "peer": SIPp, kamailio, baresip as processes) run on RFC 3261 timers on a loaded
# machine. When a run fails only in such tests, and in few of them, each of those gets one more
# run on its own, and the ones that needed it are named at the end so a flaky test stays in
# sight. Any other failure fails the run at once.
set -uo pipefail
ctest "$@" && exit 0
failed_log=Testing/Temporary/LastTestsFailed.log
[ -s "$failed_log" ] || exit 1
peers=" $(ctest -N -L peer | sed -n 's/^ *Test *#\([0-9]*\):.*/\1/p' | tr '\n' ' ')"
while IFS=: read -r number name; do
  case "$peers" in
    *" $number "*) ;;
    *) echo "run-ctest: $name failed; it is not a peer test, so it is not run again" >&2; exit 1 ;;
  esac
done <"$failed_log"
if [ "$(wc -l <"$failed_log")" -gt 3 ]; then
  echo "run-ctest: more than 3 peer tests failed; not run again" >&2
  exit 1
fi
retried="$(cut -d: -f2- "$failed_log")"
echo "run-ctest: running the failed peer tests once more, one at a time"
ctest --rerun-failed --output-on-failure --timeout 900 || exit 1
echo "run-ctest: passed on a second run (their first failure is printed above):"
echo "$retried" | sed 's/^/  /'
