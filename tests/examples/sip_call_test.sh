#!/usr/bin/env bash
# The call tool against itself on loopback: a call over UDP with SRTP keyed by SDES that the caller
# hangs up after --time (both sides print the negotiated codec, crypto suite, addresses and ports;
# the listener sees the BYE and exits after --count calls); a call over TCP that the listener hangs
# up; a call over IPv6; SIGINT to a caller in a call (it hangs up and exits 0); SRTP required by
# the caller and refused by the listener (488, exit 1; the listener says why and exits 3); a peer
# that never answers (exit 3 after --wait); a configuration file under the command line's options;
# bad usage. Every process started here is stopped on exit.
set -uo pipefail
tool="$1"
work="$(mktemp -d /tmp/zel-sip-call-XXXXXX)"
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
has_line() { grep -qE -- "$2" "$1"; }

# start_listener <name> <probe> <tool arguments...>: the tool with --listen on a new port in
# $port, its output in $work/<name>.out and its pid in $listener, once its port is bound.
start_listener() {
  local name="$1" probe="$2"
  shift 2
  port="$(free_port)"
  timeout 90 "$tool" --listen -a 127.0.0.1 -l "$port" -M 50000 "$@" >"$work/$name.out" 2>&1 &
  listener=$!
  pids+=("$listener")
  wait_for 10 "$probe" "$port" || fail "$name: the listener does not bind port $port"
}

# listener_status: the listener's exit status once it has ended by itself (within 15 s; else it is
# stopped and the status is that of SIGTERM).
listener_status() {
  if ! timeout 15 tail --pid="$listener" -f /dev/null; then
    echo "the listener did not end by itself"
    kill "$listener" 2>/dev/null
  fi
  wait "$listener"
}

# run <name> -- <tool arguments>: runs a caller, leaving its status in $rc and output in $out.
run() {
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
  [ "$failures" -eq "$before" ] || printf '%s\n' "--- output of $name:" "$out" "---"
}

check_file() { # check_file <name> <file> <pattern>...
  local name="$1" file="$2" before="$failures"
  shift 2
  for pattern in "$@"; do
    has_line "$file" "$pattern" || fail "$name: no line of $(basename "$file") matches '$pattern'"
  done
  [ "$failures" -eq "$before" ] || { echo "--- $file:"; cat "$file"; echo "---"; }
}

# ---- UDP, SRTP, the caller hangs up after --time -------------------------------------------------
start_listener udp udp_bound -t udp -s mandatory -C PCMA/8000,PCMU/8000 -n 1
run udp -- -t udp -a 127.0.0.1 -m 127.0.0.1 -M 40000 -s mandatory -C opus/48000/2,PCMU/8000 -T 1 -w 10 \
  "sip:bob@127.0.0.1:$port"
# The caller sees the listener's answer: the common codec, one of the offered suites, and the
# listener's media port; the listener sees the caller's offer and the caller's media port.
check udp 0 "NewSession: Call-ID [^ ]+, From <sip:zel-sip-call@127.0.0.1>;tag=[^ ]+, To <sip:bob@127.0.0.1:$port;transport=udp>;tag=" \
  "MediaNegotiated" "Connected" "ReadyToSend" \
  "medium 0: local 127.0.0.1 port 40000 \(RTCP 40001\), remote 127.0.0.1 port 50000 \(RTCP 50001\)" \
  "medium 0: codec 0 PCMU/8000" "medium 0: crypto [0-9]+ AES_CM_128_HMAC_SHA1_(80|32)" \
  "1 s are up: hanging up" "Terminated: LocalBye"
grep -q "codec .*opus" <<<"$out" && fail "udp: the answer lists opus, which the listener does not have"
grep -q "inline:" <<<"$out" && fail "udp: an SRTP key was printed"
listener_status
rc=$?
[ "$rc" -eq 0 ] || fail "udp: the listener exited $rc after its call"
check_file udp "$work/udp.out" "NewSession: Call-ID [^ ]+, From <sip:zel-sip-call@127.0.0.1>;tag=" "medium 0: local 127.0.0.1 port 50000 \(RTCP 50001\), remote 127.0.0.1 port 40000" \
  "medium 0: codec [0-9]+ opus/48000/2" "medium 0: codec 0 PCMU/8000" "crypto [0-9]+ AES_CM_128_HMAC_SHA1_80" \
  "Connected" "Terminated: RemoteBye" "1 call\(s\), 1 connected"

# ---- TCP, the listener hangs up after --time -----------------------------------------------------
start_listener tcp tcp_listening -t tcp -T 1 -n 1
run tcp -- -t tcp -a 127.0.0.1 -w 10 "sip:bob@127.0.0.1:$port"
check tcp 0 "Connected" "Terminated: RemoteBye" "medium 0: codec 0 PCMU/8000"
listener_status
rc=$?
[ "$rc" -eq 0 ] || fail "tcp: the listener exited $rc after its call"
check_file tcp "$work/tcp.out" "1 s are up: hanging up" "Terminated: LocalBye"

# ---- IPv6 loopback: the offer and the answer are IPv6 -----------------------------------------
start_listener ipv6 udp_bound -a ::1 -n 1
run ipv6 -- -a ::1 -T 0 -w 10 "sip:bob@[::1]:$port"
check ipv6 0 "Connected" "medium 0: local ::1 port 40000 \(RTCP 40001\), remote ::1 port 50000" "Terminated: LocalBye"
listener_status
rc=$?
[ "$rc" -eq 0 ] || fail "ipv6: the listener exited $rc after its call"

# ---- SIGINT in a call: the caller hangs up and exits 0 -------------------------------------------
start_listener sigint udp_bound -n 1
timeout 90 "$tool" -a 127.0.0.1 -w 10 "sip:bob@127.0.0.1:$port" >"$work/sigint-caller.out" 2>&1 &
caller=$!
pids+=("$caller")
wait_for 10 has_line "$work/sigint-caller.out" "call 1: Connected" || fail "sigint: the call did not connect"
kill -INT "$caller"
timeout 30 tail --pid="$caller" -f /dev/null || kill "$caller" 2>/dev/null
wait "$caller"
rc=$?
[ "$rc" -eq 0 ] || fail "sigint: the caller exited $rc"
check_file sigint "$work/sigint-caller.out" "SIGINT: hanging up" "Terminated: LocalBye"
listener_status
rc=$?
[ "$rc" -eq 0 ] || fail "sigint: the listener exited $rc"

# ---- SRTP required, refused: 488, the listener had no call ---------------------------------------
start_listener refused udp_bound -s none -n 1
run refused -- -a 127.0.0.1 -s mandatory -w 10 "sip:bob@127.0.0.1:$port"
check refused 1 "Failure: 488" "the call was refused: 488"
listener_status
rc=$?
[ "$rc" -eq 3 ] || fail "refused: the listener exited $rc, expected 3 (no call connected)"
check_file refused "$work/refused.out" "Failed to negotiate answer: .*SRTP" "Terminated: Rejected" "no call connected"

# ---- A peer that never answers --------------------------------------------------------------------
silent="$(free_port)"
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
time.sleep(120)' "$silent" &
pids+=("$!")
wait_for 10 udp_bound "$silent" || fail "silent: the silent peer does not bind"
run silent -- -a 127.0.0.1 -t udp -w 2 "sip:nobody@127.0.0.1:$silent"
check silent 3 "no answer within 2 s"

# ---- A configuration file under the command line's options ---------------------------------------
cat >"$work/listener.json" <<JSON
{ "UserAgent": "from the file", "UseSRTP": "None", "TCPAllowed": false, "TLSAllowed": false,
  "Codecs": [ { "Encoding": "PCMA", "Type": "audio", "ClockRate": 8000 } ] }
JSON
start_listener config udp_bound -c "$work/listener.json" -s besteffort -n 1
run config -- -a 127.0.0.1 -C PCMA/8000 -T 0 -w 10 "sip:bob@127.0.0.1:$port"
# The file's codec list holds; --srtp besteffort overrides its "None", so the answer carries crypto.
check config 0 "medium 0: codec 8 PCMA/8000" "medium 0: crypto [0-9]+ AES_CM_128_HMAC_SHA1_80"
listener_status >/dev/null
printf '{ "UserAgent": ' >"$work/broken.json"
run broken -- -c "$work/broken.json" "sip:bob@127.0.0.1:9"
check broken 2 "broken.json is not valid JSON \(at byte 15\)"

# ---- Bad usage --------------------------------------------------------------------------------------
run usage -- -t sctp "sip:bob@127.0.0.1"
check usage-transport 2 "unknown transport 'sctp'"
run usage -- --listen "sip:bob@127.0.0.1"
check usage-listen 2 "takes no URI"
run usage --
check usage-none 2 "no URI to call given"
run usage -- -C "PCMU" "sip:bob@127.0.0.1"
check usage-codec 2 "a codec is NAME/RATE"
run usage -- -n 2 "sip:bob@127.0.0.1"
check usage-count 2 "--count goes with --listen"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all call tool checks passed"
