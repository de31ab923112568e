#!/usr/bin/env bash
# The call demo: exits 0 having connected both sides, shows the codec and SRTP suite that the two
# configurations have in common (PCMU, the 80-bit tag) in Alice's view of Bob's answer, Alice's
# codecs and the accepted suite in Bob's view of her offer, both media ports, and the BYE on each
# side; never an SRTP key.
set -uo pipefail
out="$(timeout 60 "$1" 2>&1)"
rc=$?
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
[ "$rc" -eq 0 ] || fail "the demo exited $rc"
alice="$(sed -n '/as Alice (the caller) sees them/,/as Bob/p' <<<"$out")"
bob="$(sed -n '/as Bob (the called side) sees them/,$p' <<<"$out")"
for pattern in "codec   0 PCMU/8000" "suite AES_CM_128_HMAC_SHA1_80" "local   127.0.0.1 port 40000, RTCP 40001" \
  "remote  127.0.0.1 port 50000, RTCP 50001"; do
  grep -qF -- "$pattern" <<<"$alice" || fail "Alice's view lacks '$pattern'"
done
grep -q "opus\|SHA1_32" <<<"$alice" && fail "Bob's answer carries opus or the 32-bit tag, which Bob does not have"
for pattern in "opus/48000/2" "PCMU/8000" "suite AES_CM_128_HMAC_SHA1_80" \
  "local   127.0.0.1 port 50000, RTCP 50001"; do
  grep -qF -- "$pattern" <<<"$bob" || fail "Bob's view lacks '$pattern'"
done
for pattern in "[alice] Terminated: LocalBye" "[bob] Terminated: RemoteBye" "both user agents destroyed"; do
  grep -qF -- "$pattern" <<<"$out" || fail "no line '$pattern'"
done
grep -q "inline:" <<<"$out" && fail "an SRTP key was printed"
if [ "$failures" -ne 0 ]; then
  printf '%s\n' "--- output:" "$out" "---"
  exit 1
fi
echo "call demo checks passed"
