#!/usr/bin/env bash
# Installs what building and testing need, when it is missing and we are
# root on a Debian-like machine. Without root it only says what is missing.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          snmp snmptrapd smitools tshark
          dpkg-dev lintian systemd adduser init-system-helpers)
[ "${QV_DEPS_BENCH:-0}" = 1 ] && packages+=(snmpd libsnmp-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "deps: missing packages: ${missing[*]} (run as root on Debian to install them)" >&2
  exit 0
fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null || echo "deps: apt-get update failed; trying the cached lists" >&2
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
