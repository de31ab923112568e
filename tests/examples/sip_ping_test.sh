#!/usr/bin/env bash
# The connectivity tool against real peers on loopback: SIPp answering OPTIONS over UDP and TCP,
# a port nobody answers on, a DNS server that refuses, and a TLS server whose certificate nobody
# trusts. Checks the exit status and what is printed for each. Every peer is stopped on exit.
set -uo pipefail
tool="$1"
scenario="$2"
work="$(mktemp -d /tmp/zel-sip-ping-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
failures=0

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_listening <udp|tcp> <port>: returns once a socket is bound (UDP) or listening (TCP) on the
# loopback port, or fails after about ten seconds. Sending to the port would be no probe for UDP:
# a datagram to a port nobody has bound yet is lost without an error.
wait_listening() {
  local options=-Hlun
  [ "$1" = tcp ] && options=-Hltn
  for _ in $(seq 100); do
    if [ -n "$(ss "$options" "sport = :$2")" ]; then
      return 0
    fi
    sleep 0.1 # the retry interval of the probe
  done
  echo "FAIL nothing listens on $1 port $2"
  failures=$((failures + 1))
  return 1
}

# expect <name> <status> <pattern> -- <tool arguments>
expect() {
  local name="$1" status="$2" pattern="$3"
  shift 4
  local output rc
  output="$(timeout 60 "$tool" "$@" 2>&1)"
  rc=$?
  if [ "$rc" -ne "$status" ] || ! grep -qE "$pattern" <<<"$output"; then
    echo "FAIL $name: status $rc (expected $status), output:"
    echo "$output"
    failures=$((failures + 1))
  else
    echo "ok   $name: $(head -n 1 <<<"$output")"
  fi
}

for transport in udp tcp; do
  port="$(free_port)"
  mode=u1
  [ "$transport" = tcp ] && mode=t1
  # In the foreground of a background job (not -bg, whose daemon would escape the cleanup).
  sipp -sf "$scenario" -i 127.0.0.1 -p "$port" -t "$mode" -m 1 -timeout 30s -nostdin >/dev/null 2>&1 &
  pids+=($!)
  wait_listening "$transport" "$port"
  expect "OPTIONS over $transport" 0 "^SIP/2.0 200 OK  from ${transport^^} 127.0.0.1:$port  [0-9]+ ms" \
    -- -t "$transport" -w 10 "sip:ping@127.0.0.1:$port"
done

expect "timeout" 3 "^timeout: no final response" -- -w 2 "sip:nobody@127.0.0.1:$(free_port)"
expect "DNS failure" 4 "^DNS failure for pbx.example.invalid" \
  -- -w 10 --dns "127.0.0.1:$(free_port)" "sip:ping@pbx.example.invalid"
expect "connection refused" 6 "^transport error" -- -t tcp -w 5 "sip:ping@127.0.0.1:$(free_port)"
expect "bad usage" 2 "not a sip or sips URI" -- "mailto:someone@example.com"

# A TLS server with a self-signed certificate: the tool must refuse it.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
port="$(free_port)"
openssl s_server -accept "127.0.0.1:$port" -cert "$work/cert.pem" -key "$work/key.pem" -quiet \
  </dev/null >/dev/null 2>&1 &
pids+=($!)
wait_listening tcp "$port"
expect "untrusted TLS certificate" 5 "^TLS failure" -- -t tls -w 10 "sip:ping@127.0.0.1:$port"

[ "$failures" -eq 0 ]
