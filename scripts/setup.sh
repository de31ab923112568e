#!/usr/bin/env bash
# Installs the Debian packages this project builds, tests and benchmarks with. Idempotent: only
# missing packages are installed, and the package lists are updated at most once per run.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev binutils ccache
  # Debian packages of the library (cpack -G DEB: dpkg-shlibdeps, file)
  dpkg-dev file
  # libraries
  libboost1.81-dev libssl-dev libc-ares-dev libspdlog-dev libfmt-dev zlib1g-dev rapidjson-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # baselines and tools for the benchmarks in bench/
  libosip2-dev libsofia-sip-ua-dev libre-dev valgrind
  # real peers and tools driven by the tests
  sip-tester openssl dnsmasq-base python3 python3-websockets iproute2 kamailio kamailio-outbound-modules baresip-core
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
