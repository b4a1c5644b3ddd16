#!/usr/bin/env bash
# The systemd units against the programs just built: systemd-analyze verify
# finds nothing to say about either (an unknown key, a wrong path or type is
# only printed, so any output fails), and the offline security review puts
# each at an exposure of 2.0 or less (a lost hardening line raises it).
# The units are read in a scratch root that has the system's own units
# (their dependencies) and the programs at their installed paths.
#
#   tests/package/units.sh <packaging folder> <master program> <sub-agent program>
set -euo pipefail
units=${1:?packaging folder}/systemd
master=${2:?qvt-master-agent}
subagent=${3:?qvt-subagent-example}
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (package systemd): skipped"; exit 77; }
system=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
[ -d "$system" ] || { echo "no system units in $system: skipped"; exit 77; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/sbin" "$root/usr/lib/systemd" "$root/etc/systemd/system"
cp -r "$system" "$root/usr/lib/systemd/system"
cp "$units"/*.service "$root/etc/systemd/system/"
cp "$master" "$subagent" "$root/usr/sbin/"

status=0
for unit in qvt-master-agent.service qvt-subagent-example@example.service; do
  if ! out=$(systemd-analyze verify --man=no --root="$root" "$unit" 2>&1) || [ -n "$out" ]; then
    echo "systemd-analyze verify $unit:"; echo "$out"; status=1
  fi
  if ! review=$(systemd-analyze security --offline=yes --root="$root" --threshold=20 "$unit" 2>&1); then
    echo "$review" | grep -E '✗|Overall'; echo "$unit: exposure above 2.0"; status=1
  fi
  echo "$unit: $(echo "$review" | grep -o 'exposure level.*')"
done
exit $status
