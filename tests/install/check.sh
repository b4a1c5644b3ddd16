#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a small program against
# it twice: with pkg-config and with find_package(QVSubAg). Both must run.
# The installed headers are reached as <QVT/...> only (a plain <BString.h>
# must not be found), and the umbrella header names every one of them.
set -euo pipefail
build=${1:?build folder}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libQVSubAg.so' -printf '%h\n' | head -n 1)

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# A separate assignment, so that a pkg-config failure stops the script.
flags=$(pkg-config --cflags --libs qvsubag)
standard=$(pkg-config --variable=cxx_standard qvsubag)
case "$flags" in *-std=*) echo "pkg-config forces a C++ standard: $flags" >&2; exit 1 ;; esac
[ "$standard" -ge 20 ] || { echo "pkg-config states no minimum C++ standard" >&2; exit 1; }
# shellcheck disable=SC2086
g++ -std=c++"$standard" -o "$work/consumer-pc" "$here/consumer.cpp" $flags
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"

echo '#include <BString.h>' > "$work/generic.cpp"
# shellcheck disable=SC2086
if g++ -std=c++"$standard" -fsyntax-only "$work/generic.cpp" $(pkg-config --cflags qvsubag) 2>/dev/null; then
  echo "a header of the library is on the include path by its plain name" >&2
  exit 1
fi
includedir=$(pkg-config --variable=includedir qvsubag)
for header in "$includedir"/QVT/*.h; do
  name=${header##*/}
  [ "$name" = QVSubAg.h ] && continue
  grep -q "^#include \"$name\"" "$includedir/QVT/QVSubAg.h" || { echo "QVT/QVSubAg.h misses $name" >&2; exit 1; }
done

mkdir -p "$work/cm"
cp "$here/consumer.cpp" "$work/cm/"
cp "$here/CMakeLists.txt.in" "$work/cm/CMakeLists.txt"
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm/build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cm/build/consumer"

# The installed example sub-agent builds, copied elsewhere, against the
# installed package alone, and runs.
cp -r "$prefix/share/qvt/examples/subagent" "$work/example"
cmake -S "$work/example" -B "$work/example/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example/build" -j "$(nproc)" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/example/build/my-subagent" --version
LD_LIBRARY_PATH="$libdir" "$work/example/build/my-subagent" --help | grep -q "qvt-subagent-example"

# The installed programs run as they are, and the installed MIB folder is
# enough for the standard tools to load the example module.
for program in qvt-master-agent qvt-subagent-example; do
  env -u LD_LIBRARY_PATH "$prefix/sbin/$program" --version
done
if command -v snmptranslate >/dev/null; then
  snmptranslate -M "$prefix/share/qvt/mibs" -m QVT-EXAMPLE-MIB -On QVT-EXAMPLE-MIB::qvtExDescr.0
fi
