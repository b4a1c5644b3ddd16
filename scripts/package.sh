#!/usr/bin/env bash
# Builds the Debian packages from the source tree: a build of the libraries
# and programs alone (no tests, no benchmarks) with Debian's compiler and
# linker flags and the prefix /usr, then cpack -G DEB. The packages land in
# <build>/packages; their paths are printed, one a line, at the end.
#
#   scripts/package.sh                 build/package
#   QV_PACKAGE_BUILD=/tmp/p scripts/package.sh
#
# Needs dpkg-dev (dpkg-buildflags, dpkg-shlibdeps) besides the build tools;
# scripts/deps.sh installs it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${QV_PACKAGE_BUILD:-$root/build/package}
jobs=$(nproc 2>/dev/null || echo 2)

for tool in cmake cpack dpkg-buildflags dpkg-shlibdeps gzip; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

# Debian's hardening: fortified functions, stack protector, PIE, full RELRO
# and immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

echo "package: configuring $build"
cmake -S "$root" -B "$build" -G "Unix Makefiles" \
  -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON -DQV_SYSTEM_PACKAGE=ON \
  -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF -DQV_BUILD_FUZZERS=OFF >/dev/null
echo "package: building"
cmake --build "$build" -j "$jobs" >/dev/null
echo "package: packing"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/*.deb
