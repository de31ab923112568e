#!/usr/bin/env bash
# The main job: installs what is needed, builds the library and its examples, and runs the
# configuration checker on the shipped example configuration (or on the file given).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
ZEL_TARGETS="zelmor_sip zel-config-check zel-sip-ping zel-sip-register" "$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/build/examples/zel-config-check" "${1:-$root/examples/config/example.json}"
