#!/usr/bin/env bash
# Builds and runs every test: the release and the AddressSanitizer/UBSan
# builds run the whole suite, the ThreadSanitizer build runs the threaded
# tests, the fuzz targets run for a bounded time on their seed corpora, an
# installed copy is built against from outside, and the Debian packages are
# built, checked with lintian, installed, run and purged (as root). Exits
# non-zero on the first failure.
#
#   scripts/test.sh            everything
#   QV_FUZZ_SECONDS=10 scripts/test.sh    shorter fuzz runs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${QV_FUZZ_SECONDS:-60}
started=$(date +%s)

step() { printf '\n== %s (%ds)\n' "$*" $(( $(date +%s) - started )); }

step "dependencies"
bash scripts/deps.sh

# Every SNMP tool and daemon the tests start reads the MIBs it is told to;
# keep the user's own configuration out of the way.
export MIBS= SNMPCONFPATH=/nonexistent

build() {  # build <preset> [extra cmake args]
  local preset=$1; shift
  step "configure and build: $preset"
  cmake --preset "$preset" -DQV_WERROR=ON "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
}

build release
step "tests: release"
ctest --preset release -j "$jobs" --timeout 300

build asan
step "tests: asan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j "$jobs" --timeout 600

build tsan
step "tests: tsan (threaded tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --preset tsan -j "$jobs" -L threads --timeout 600

build fuzz
for fuzzer in build/fuzz/fuzz/qv_fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=${fuzzer##*/qv_fuzz_}
  step "fuzz: $name for ${fuzz_seconds}s"
  work=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$work/"
  "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 -rss_limit_mb=2048 "$work" \
    > "build/fuzz/$name.log" 2>&1 || { tail -n 40 "build/fuzz/$name.log"; exit 1; }
  grep -E 'stat::number_of_executed_units|Done' "build/fuzz/$name.log" | tail -n 2 || true
  rm -rf "$work"
done

step "install and build against the installed library"
bash tests/install/check.sh build/release

step "Debian packages: build, lintian, install, run, remove, purge"
bash scripts/package.sh
if [ "$(id -u)" -eq 0 ]; then
  bash tests/package/check.sh build/package/packages
else
  echo "not root: the packages are built but not installed and checked (tests/package/check.sh needs dpkg -i)"
fi

step "all tests passed in $(( $(date +%s) - started ))s"
