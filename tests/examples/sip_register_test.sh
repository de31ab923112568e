#!/usr/bin/env bash
# The registration tool against a SIPp registrar on loopback that verifies our digest (user alice,
# password secret) and accepts the removal only with expiry 0 and valid credentials: registered and
# removed at the end of --time, on SIGINT after a refresh, and through an outbound proxy over TCP
# (SIPp's own exit status proves the removal it saw); a wrong password refused with the
# registrar's status, reason and warning; a registrar that never answers; a configuration file
# under the command line's options; bad usage. Every process started here is stopped on exit.
set -uo pipefail
tool="$1"
scenario="$2"
refresh_scenario="$3" # grants 6 s twice, so the registration is refreshed once before the removal
work="$(mktemp -d /tmp/zel-sip-register-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0

fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_for <seconds> <command...>: polls the command every 0.1 s until it succeeds.
wait_for() {
  local tries=$(($1 * 10))
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.1 # the retry interval of the probe
  done
  return 1
}

udp_bound() { [ -n "$(ss -Hlun "sport = :$1")" ]; }
tcp_listening() { [ -n "$(ss -Hltn "sport = :$1")" ]; }

# start_registrar [u1|t1 [scenario]]: one SIPp registrar call over UDP (default) or TCP only, on a
# new port in $port, its pid in $sipp.
start_registrar() {
  local mode="${1:-u1}" probe=udp_bound
  [ "$mode" = t1 ] && probe=tcp_listening
  port="$(free_port)"
  sipp -sf "${2:-$scenario}" -t "$mode" -i 127.0.0.1 -p "$port" -m 1 -timeout 60s -timeout_error -nostdin \
    >"$work/sipp-$port.out" 2>&1 &
  sipp=$!
  pids+=("$sipp")
  wait_for 10 "$probe" "$port" || fail "SIPp does not listen on $port"
}

# registrar_status: SIPp's exit status once its call has ended (0: the call went as the scenario says).
registrar_status() {
  local rc
  timeout 30 tail --pid="$sipp" -f /dev/null
  wait "$sipp"
  rc=$?
  return "$rc"
}

# run <name> -- <tool arguments>: runs the tool, leaving its status in $rc and output in $out.
run() {
  local name="$1"
  shift 2
  out="$(timeout 90 "$tool" "$@" 2>&1)"
  rc=$?
}

check() { # check <name> <expected status> <pattern>...: prints the output when something is wrong
  local name="$1" status="$2" before="$failures"
  shift 2
  [ "$rc" -eq "$status" ] || fail "$name: status $rc, expected $status"
  for pattern in "$@"; do
    grep -qE -- "$pattern" <<<"$out" || fail "$name: no line matches '$pattern'"
  done
  if [ "$failures" -eq "$before" ]; then
    echo "ok   $name"
  else
    echo "$out"
  fi
}

aor() { echo "sip:alice@127.0.0.1:$port"; }

# Registered, held for no time, removed: the digest and the removal are what SIPp verifies.
start_registrar
run "registered for --time 0" -- -a 127.0.0.1 -p secret -T 0 "$(aor)"
check "registered for --time 0" 0 "^NewClientRegistration: .*sip:alice@127\.0\.0\.1:$port" \
  "^Success: registered" "^Removed"
registrar_status || fail "registered for --time 0: the registrar did not see a valid removal"

# Through an outbound proxy over TCP (the registrar listens on TCP only): the proxy URI gets the
# transport asked for.
start_registrar t1
run "outbound proxy over TCP" -- -t tcp -a 127.0.0.1 -p secret -T 0 -o "sip:127.0.0.1:$port" "$(aor)"
check "outbound proxy over TCP" 0 "^Registering .* through sip:127\.0\.0\.1:$port;transport=tcp" \
  "^Success: registered" "^Removed"
registrar_status || fail "outbound proxy over TCP: the registrar did not see a valid removal"

# A wrong password: the registrar's 403 with its reason and first warning, and a one-line reason.
start_registrar
run "wrong password" -- -a 127.0.0.1 -p wrong -T 0 "$(aor)"
check "wrong password" 1 "^Failure: 403 Forbidden \(warning: .*wrong password for alice" \
  "^zel-sip-register: the registrar refused the registration: 403 Forbidden"
[ "$(grep -c '^zel-sip-register:' <<<"$out")" -eq 1 ] || fail "wrong password: more than one reason line"
registrar_status || fail "wrong password: SIPp saw something else than one refused registration"

# Until SIGINT: the tool is stopped once it has printed the registration's first refresh (the
# registrar grants 6 s), and removes it.
start_registrar u1 "$refresh_scenario"
ZEL_SIP_PASSWORD=secret "$tool" -a 127.0.0.1 "$(aor)" >"$work/sigint.out" 2>&1 &
tool_pid=$!
pids+=("$tool_pid")
if wait_for 30 grep -q '^Success: refreshed' "$work/sigint.out"; then
  kill -INT "$tool_pid"
fi
timeout 60 tail --pid="$tool_pid" -f /dev/null
wait "$tool_pid"
rc=$?
out="$(cat "$work/sigint.out")"
check "refreshed until SIGINT" 0 "^Success: registered" "^Success: refreshed \(1\)" \
  "^SIGINT: removing the registration" "^Removed"
registrar_status || fail "SIGINT: the registrar did not see the refresh and a valid removal"

# A configuration file whose address is not an IP literal: the user agent cannot be made; the
# command line's address overrides it (and the file's other members still count).
printf '{ "Address": "pbx.invalid", "UserAgent": "from the file" }\n' >"$work/bad-address.json"
run "configuration file" -- -c "$work/bad-address.json" -T 0 "sip:alice@127.0.0.1:$(free_port)"
check "configuration file" 4 "^zel-sip-register: cannot create the user agent: "
start_registrar
run "options over the file" -- -c "$work/bad-address.json" -a 127.0.0.1 -p secret -T 0 "$(aor)"
check "options over the file" 0 "^Success: registered" "^Removed"
registrar_status || fail "options over the file: the registrar did not see a valid removal"

# A registrar that never answers: the tool gives up after --wait and still ends.
python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1], flush=True); time.sleep(120)' \
  >"$work/silent.port" &
pids+=($!)
wait_for 10 test -s "$work/silent.port" || fail "the silent peer did not start"
run "no answer" -- -a 127.0.0.1 -w 2 "sip:alice@127.0.0.1:$(cat "$work/silent.port")"
check "no answer" 3 "^zel-sip-register: no answer from the registrar within 2 s"

# Usage.
run "help" -- --help
check "help" 0 "^usage: zel-sip-register"
run "no aor" -- -p secret
check "no aor" 2 "no address of record given"
run "bad transport" -- -t sctp sip:alice@127.0.0.1
check "bad transport" 2 "unknown transport 'sctp'"
printf '[1, 2]\n' >"$work/array.json"
run "not an object" -- -c "$work/array.json" sip:alice@127.0.0.1
check "not an object" 2 "does not hold a JSON object"

printf '{ "Address": "127.0.0.1", }\n' >"$work/trailing-comma.json"
run "not JSON" -- -c "$work/trailing-comma.json" sip:alice@127.0.0.1
check "not JSON" 2 "trailing-comma.json is not valid JSON \(at byte 26\)"

[ "$failures" -eq 0 ]
