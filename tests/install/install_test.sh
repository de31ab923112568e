#!/usr/bin/env bash
# Installs a built tree the way a host's build would find it and packages it for Debian:
#   1. `cmake --install` into a temporary prefix puts exactly the shared object (file named by its
#      soname, plus the link-time name), the header, the pkg-config file and the CMake package there;
#   2. a small C host, copied out of the source tree, builds against that prefix with pkg-config and
#      with find_package (the version file refuses another minor version) and runs;
#   3. `cpack -G DEB` makes the runtime and development packages with the expected contents and
#      dependencies, and the host builds against their unpacked contents as well.
# Usage: install_test.sh <build-dir> <source-dir>. The build tree must already be built: nothing is
# compiled here but the host.
set -euo pipefail
build="$(cd "$1" && pwd)"
source_dir="$(cd "$2" && pwd)"
here="$source_dir/tests/install"

work="$(mktemp -d "${TMPDIR:-/tmp}/zel-install.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
soname="libZelmor.SIP.so.$version"

# ---- 1. cmake --install ---------------------------------------------------------------------------
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")"
expected="$(printf '%s\n' \
  "include/zelmor/sip.h" \
  "$libdir/cmake/ZelmorSIP/ZelmorSIPConfig.cmake" \
  "$libdir/cmake/ZelmorSIP/ZelmorSIPConfigVersion.cmake" \
  "$libdir/cmake/ZelmorSIP/ZelmorSIPTargets-relwithdebinfo.cmake" \
  "$libdir/cmake/ZelmorSIP/ZelmorSIPTargets.cmake" \
  "$libdir/libZelmor.SIP.so" \
  "$libdir/$soname" \
  "$libdir/pkgconfig/zelmor-sip.pc" | sort)"
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" | tr 'A-Z' 'a-z')"
expected="${expected//relwithdebinfo/${build_type:-noconfig}}"
actual="$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)"
if [ "$actual" != "$expected" ]; then
  fail "installed files differ from the expected set"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi
if [ "$(readlink "$prefix/$libdir/libZelmor.SIP.so")" != "$soname" ]; then
  fail "libZelmor.SIP.so does not point at $soname"
fi
# Outputs are read whole before grep sees them: `cmd | grep -q` fails under pipefail whenever grep
# stops reading early and cmd dies of SIGPIPE.
dynamic="$(readelf -d "$prefix/$libdir/$soname")"
if ! grep -q "SONAME.*\[$soname\]" <<<"$dynamic"; then
  fail "the shared object's soname is not $soname"
fi
if grep -Eq 'R(UN)?PATH' <<<"$dynamic"; then
  fail "the installed shared object keeps a build-tree RPATH/RUNPATH"
fi

# ---- 2. a host outside the source tree ------------------------------------------------------------
host_src="$work/host-src"
mkdir "$host_src"
cp "$here/host/host.c" "$here/host/CMakeLists.txt" "$host_src/"
cc="${CC:-cc}"

# Builds host.c with pkg-config against the tree at $1 and runs it; $2 names the attempt.
build_with_pkg_config() {
  local root="$1" name="$2" pcdir flags
  pcdir="$(dirname "$(find "$root" -name zelmor-sip.pc | head -n 1)")"
  if ! flags="$(PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_LIBDIR=/nonexistent pkg-config --cflags --libs zelmor-sip)"; then
    fail "$name: pkg-config does not know zelmor-sip"
    return
  fi
  local lib
  lib="$(PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_LIBDIR=/nonexistent pkg-config --variable=libdir zelmor-sip)"
  # shellcheck disable=SC2086 # the flags are a word list
  if ! "$cc" -std=c11 -Wall -Werror -o "$work/host-$name" "$host_src/host.c" $flags -Wl,-rpath,"$lib" \
       2>"$work/host-$name.log"; then
    fail "$name: the host does not build with pkg-config ($flags)"
    cat "$work/host-$name.log" >&2
    return
  fi
  if ! "$work/host-$name" >"$work/host-$name.out" 2>&1; then
    fail "$name: the host built with pkg-config fails"
    cat "$work/host-$name.out" >&2
  else
    local loaded
    loaded="$(ldd "$work/host-$name")"
    if ! grep -qF "$soname => $lib/$soname" <<<"$loaded"; then
      fail "$name: the host did not load the installed $soname"
      echo "$loaded" >&2
    fi
  fi
}

build_with_pkg_config "$prefix" pkg-config

# Configures the CMake host against $1 asking for version $2 (empty: any).
configure_cmake_host() {
  rm -rf "$work/host-cmake"
  CC="$cc" cmake -S "$host_src" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$1" \
    -DZEL_WANTED_VERSION="$2" >"$work/host-cmake.log" 2>&1
}
if ! configure_cmake_host "$prefix" "$version"; then
  fail "find_package(ZelmorSIP $version) fails"
  cat "$work/host-cmake.log" >&2
elif ! cmake --build "$work/host-cmake" >>"$work/host-cmake.log" 2>&1; then
  fail "the host does not build with find_package"
  cat "$work/host-cmake.log" >&2
elif ! "$work/host-cmake/host" >"$work/host-cmake.out" 2>&1; then
  fail "the host built with find_package fails"
  cat "$work/host-cmake.out" >&2
fi
# Another minor version is another soname, so the version file must refuse an older one as well
# (a host built for it would look for another soname).
major="${version%%.*}"
minor="${version#*.}"
older="$major.$((minor - 1))"
if [ "$minor" -gt 0 ] && configure_cmake_host "$prefix" "$older"; then
  fail "find_package(ZelmorSIP $older) accepted version $version"
fi

# ---- 3. Debian packages ---------------------------------------------------------------------------
if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1); then
  fail "cpack -G DEB fails"
  cat "$work/cpack.log" >&2
else
  runtime="$(find "$work/deb" -maxdepth 1 -name "libzelmor-sip${version}_*.deb")"
  development="$(find "$work/deb" -maxdepth 1 -name "libzelmor-sip-dev_*.deb")"
  if [ -z "$runtime" ] || [ -z "$development" ]; then
    fail "cpack made no runtime or no development package: $(ls "$work/deb")"
  else
    contents() { dpkg-deb -c "$1" | awk '{print $6}' | grep -v '/$' | sed 's|^\./||' | sort; }
    expected_runtime="usr/$libdir/$soname"
    if [ "$(contents "$runtime")" != "$expected_runtime" ]; then
      fail "the runtime package holds other files than $expected_runtime"
      contents "$runtime" >&2
    fi
    expected_development="$(echo "$expected" | grep -v "/$soname\$" | sed 's|^|usr/|')"
    if [ "$(contents "$development")" != "$expected_development" ]; then
      fail "the development package's files differ from the expected set"
      diff <(echo "$expected_development") <(contents "$development") >&2 || true
    fi
    depends="$(dpkg-deb -f "$runtime" Depends)"
    for library in libc6 libstdc++6 libssl3 libc-ares2; do
      if ! grep -q "\\b$library\\b" <<<"$depends"; then
        fail "the runtime package does not depend on $library (Depends: $depends)"
      fi
    done
    # Other packages' dpkg-shlibdeps map our soname to our package through this line.
    shlibs="$(dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs 2>/dev/null || true)"
    if [ "$shlibs" != "libZelmor.SIP $version libzelmor-sip$version (= $version)" ]; then
      fail "the runtime package's shlibs file is '$shlibs'"
    fi
    if ! grep -q "libzelmor-sip$version (= $version)" <<<"$(dpkg-deb -f "$development" Depends)"; then
      fail "the development package does not depend on its runtime package"
    fi
    # The packages' tree, unpacked where /usr would be, serves a host as well.
    dpkg-deb -x "$runtime" "$work/root"
    dpkg-deb -x "$development" "$work/root"
    build_with_pkg_config "$work/root/usr" deb
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install, pkg-config, find_package and Debian packages: all checks passed"
