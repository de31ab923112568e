#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench), runs them and prints one table: measure, our
# figure, the peer's figure from the same run, their ratio and the goal. Raw results (console and
# JSON per group) stay in build-bench/bench-results.
#
# Usage: scripts/bench.sh [--only GROUP[,GROUP...]] [--no-build] [--list]
#   groups (all by default: about 7 minutes plus the build, at most about 20 minutes):
#     message    message parsing against the Debian SIP parsers (bench_message)     ~15 s
#     options    OPTIONS/s against SIPp's UAS and kamailio, stateless and stateful  ~10-40 s
#     calls      CPU per call through the C interface against SIPp's UAS, the
#                highest clean call rate (bench_capi_call), and the CPU the thread
#                shape alone costs a call, two loops against one (bench_handoff)    ~3.5 min
#     heap       heap per held call, per idle user agent, per registration, per
#                idle TLS connection (accepted and opened)                           ~2.5 min
#     registration  registrations/s against SIPp's client, heap per registration   ~25 s
# Each group runs under a time limit; one that overruns is stopped with every process it started
# (timeout signals the whole process group) and the table says so.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
results="$build/bench-results"
all_groups="message options calls heap registration"
groups="$all_groups"
do_build=1

while [ $# -gt 0 ]; do
  case "$1" in
    --only)
      [ $# -ge 2 ] || { echo "bench: --only needs a list of groups" >&2; exit 2; }
      groups="${2//,/ }"
      shift 2
      ;;
    --no-build) do_build=0; shift ;;
    --list) echo "$all_groups"; exit 0 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "bench: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
for group in $groups; do
  case " $all_groups " in
    *" $group "*) ;;
    *) echo "bench: unknown group '$group' (groups: $all_groups)" >&2; exit 2 ;;
  esac
done

targets=""
for group in $groups; do
  case "$group" in
    message) targets+=" bench_message" ;;
    options) targets+=" bench_transaction" ;;
    calls) targets+=" bench_capi_call bench_handoff" ;;
    heap) targets+=" bench_capi_call bench_useragent bench_tls_connection" ;;
    registration) targets+=" bench_registration" ;;
  esac
done

"$root/scripts/setup.sh"
if [ "$do_build" -eq 1 ]; then
  # Only the benchmarks asked for: a Release build of everything takes long on two cores.
  # Warnings are not errors here: g++ 12 at -O3 reports a false -Wrestrict in std::string's
  # operator+ (GCC bug 105329); the CI builds keep -Werror.
  ZEL_TARGETS="$(echo "$targets" | tr ' ' '\n' | sort -u | tr '\n' ' ')" \
    "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_BENCH=ON -DZEL_WERROR=OFF
fi

mkdir -p "$results"
# Results of groups not run this time must not reach the table.
rm -f "$results"/*.json "$results"/*.txt

# run NAME LIMIT_SECONDS EXECUTABLE [ARGS...]: one benchmark executable with a time limit, its
# console output shown and kept, its JSON for the table.
run() {
  local name="$1" limit="$2" executable="$build/bench/$3"
  shift 3
  echo "== $name (at most ${limit}s)"
  local status=0
  timeout -k 20 "$limit" "$executable" --benchmark_counters_tabular=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@" 2>&1 |
    tee "$results/$name.txt" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "bench: $name ended with status $status (124: over its time limit)" | tee -a "$results/$name.txt"
  fi
}

started=$SECONDS
for group in $groups; do
  case "$group" in
    message) run message 120 bench_message ;;
    options) run options 240 bench_transaction ;;
    calls)
      run calls 400 bench_capi_call --benchmark_filter='BM_CapiSustainedLoad|BM_CapiHighestCallRate'
      run handoff 60 bench_handoff
      ;;
    heap)
      run heap-calls 200 bench_capi_call --benchmark_filter=BM_CapiHeapPerHeldCall
      run heap-useragent 90 bench_useragent --benchmark_filter='BM_IdleUserAgent|BM_HeapPerRegistration'
      run heap-tls 120 bench_tls_connection
      ;;
    registration) run registration 150 bench_registration ;;
  esac
done

echo
echo "== results ($((SECONDS - started)) s; load average now $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
python3 "$root/bench/bench_table.py" "$results"
