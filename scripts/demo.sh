#!/usr/bin/env bash
# The main job: installs what is needed, builds the library and its example programs, and runs the
# call demo (two user agents on 127.0.0.1: a call with SRTP keyed by SDES, its negotiated media,
# the hang-up). With a file argument it runs the configuration checker on that file instead.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
ZEL_TARGETS="zelmor_sip zel-config-check zel-sip-ping zel-sip-register zel-sip-call zel-sip-call-demo" \
  "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$#" -gt 0 ]; then
  exec "$root/build/examples/zel-config-check" "$1"
fi
# The demo bounds every wait itself (10 s each); the timeout only guards against a hang.
exec timeout 60 "$root/build/examples/zel-sip-call-demo"
