#!/usr/bin/env bash
# Decodes the frames of frames.txt with tools/wireshark/qvt.lua through tshark
# and compares the text with expected.txt; then cuts two frames at every
# length and checks that each cut is flagged malformed. Exit 77 (skipped)
# without tshark, text2pcap or mergecap, or with a tshark built without Lua.
#
#   run-dissector-test.sh SOURCE_DIR [--update]   (--update rewrites expected.txt)
set -euo pipefail

src=${1:?usage: run-dissector-test.sh SOURCE_DIR [--update]}
update=${2:-}
here=$src/tests/wireshark
script=$src/tools/wireshark/qvt.lua

for tool in tshark text2pcap mergecap; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool not found (scripts/deps.sh installs tshark)"
    exit 77
  fi
done
if ! tshark -v 2>/dev/null | grep -qi 'with Lua'; then
  echo "SKIP: this tshark has no Lua support"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes the hex octets of stdin's lines ("PORT OCTETS...", one frame a line)
# as pcap $1: one text2pcap run per run of frames to the same port, merged in
# order.
to_pcap() {
  local out=$1 part=0 port="" dump=""
  local -a parts=()
  flush() {
    [ -n "$dump" ] || return 0
    part=$((part + 1))
    printf '%s' "$dump" >"$work/part$part.txt"
    text2pcap -q -u "40000,$port" "$work/part$part.txt" "$work/part$part.pcap" >/dev/null 2>&1
    parts+=("$work/part$part.pcap")
    dump=""
  }
  while read -r p octets; do
    [ "$p" = "$port" ] || flush
    port=$p
    # text2pcap: 16 octets a line, each behind its offset; offset 0 starts a packet.
    local -a bytes=($octets)
    local i
    for ((i = 0; i < ${#bytes[@]}; i += 16)); do
      dump+=$(printf '%06x %s' "$i" "${bytes[*]:i:16}")$'\n'
    done
  done
  flush
  mergecap -a -F pcap -w "$out" "${parts[@]}"
}

# One summary line (number, protocol, info) and our protocol's tree per frame.
decode() {
  tshark -r "$1" -X "lua_script:$script" -o 'gui.column.format:"No.","%m","Protocol","%p","Info","%i"' \
    -P -V -O qvt "${@:2}" 2>"$work/stderr"
}

fail=0
lua_errors() {
  if grep -i 'lua error' "$work/stderr" "$@" >/dev/null; then
    echo "FAIL: the dissector raised a Lua error:"
    grep -ih 'lua error' "$work/stderr" "$@" | head -5
    fail=1
  fi
}

# 1. The named frames against the expected text, each block headed by its name.
grep -v '^#' "$here/frames.txt" | grep -v '^$' | awk '{print $1}' >"$work/names"
grep -v '^#' "$here/frames.txt" | grep -v '^$' | cut -d' ' -f2- | to_pcap "$work/frames.pcap"
# The summary line is the one before "Frame N:".
decode "$work/frames.pcap" | awk -v names="$work/names" '
  /^Frame [0-9]+:/ { if ((getline name < names) > 0) print "=== " name }
  NR > 1 { print previous }
  { previous = $0 }
  END { print previous }' >"$work/actual.txt"
lua_errors "$work/actual.txt"
if [ "$update" = --update ]; then
  cp "$work/actual.txt" "$here/expected.txt"
  echo "expected.txt rewritten"
elif ! diff -u "$here/expected.txt" "$work/actual.txt"; then
  echo "FAIL: the decoded text differs from tests/wireshark/expected.txt (above: - expected, + actual)"
  fail=1
fi

# 2. Every cut of two frames (after the magic, before the last octet) is ours
#    and flagged malformed; none raises a Lua error.
for name in response-annotated corpus-18-RESPONSE; do
  line=$(grep "^$name " "$here/frames.txt")
  read -r _ port octets <<<"$line"
  bytes=($octets)
  for ((n = 6; n < ${#bytes[@]}; ++n)); do echo "$port ${bytes[*]:0:n}"; done
done | to_pcap "$work/cuts.pcap"
cuts=$(tshark -r "$work/cuts.pcap" 2>/dev/null | wc -l)
decode "$work/cuts.pcap" >"$work/cuts.txt"
lua_errors "$work/cuts.txt"
flagged=$(tshark -r "$work/cuts.pcap" -X "lua_script:$script" -Y 'qvt.malformed' 2>/dev/null | wc -l)
if [ "$cuts" -eq 0 ] || [ "$flagged" -ne "$cuts" ]; then
  echo "FAIL: $flagged of $cuts cut frames flagged malformed"
  tshark -r "$work/cuts.pcap" -X "lua_script:$script" -Y '!qvt.malformed' 2>/dev/null | head -5
  fail=1
else
  echo "ok: all $cuts cut frames flagged malformed"
fi

[ "$fail" -eq 0 ] && echo "PASS"
exit "$fail"
