#!/usr/bin/env bash
# A tour of the system: builds the programs, starts qvt-master-agent, two
# qvt-subagent-example instances that share qvtExShareTable (rows 1-5 and
# 6-10) and two snmptrapd (one for SNMPv2c traps, one for SNMPv3 traps),
# then shows with the standard SNMP tools the sysORTable, a walk of the
# example MIB, an SNMPv3 authPriv GET, a row created through RowStatus and
# the traps it caused, the master's own view of its sub-agents
# (QVT-MASTER-MIB), and both sub-agents finding a restarted master again.
# Stops everything at the end.
#
#   scripts/demo.sh           the tour
#   scripts/demo.sh --keep    leave everything running and print what to try
set -euo pipefail

keep=0
case "${1:-}" in
  --keep) keep=1 ;;
  "") ;;
  -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--keep]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
snmp_port=${QV_DEMO_SNMP_PORT:-1161}
master_port=${QV_DEMO_MASTER_PORT:-10001}
trap_port=${QV_DEMO_TRAP_PORT:-1162}
trap3_port=${QV_DEMO_TRAP3_PORT:-1163}
# A fixed engine ID, so that snmptrapd can be told the keys of the master's
# traps before the master starts.
engine_id=80007ED9050DE30DE30DE30DE3

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '$ %s\n' "$*"; "$@"; }
# wait_for_subagents TRIES: until the last row of both sub-agents answers
# (each registers its rows last), at most TRIES x 0.2 s.
wait_for_subagents() {
  for _ in $(seq 1 "$1"); do
    if snmpget -v2c -c public -t 1 -r 0 "${mibs[@]}" -Oqv "$agent" qvtExShareOwner.5 qvtExShareOwner.10 2>/dev/null \
        | grep -q "sub-agent B"; then
      return 0
    fi
    sleep 0.2
  done
}

say "Installing what is missing and building the programs"
bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target qvt-master-agent qvt-subagent-example 2>&1 | tail -n 1
bin=$root/build/release/apps

for port in "$snmp_port" "$master_port" "$trap_port" "$trap3_port"; do
  if ss -Hlun "sport = :$port" 2>/dev/null | grep -q .; then
    echo "UDP port $port is in use; set QV_DEMO_SNMP_PORT, QV_DEMO_MASTER_PORT, QV_DEMO_TRAP_PORT or QV_DEMO_TRAP3_PORT" >&2
    exit 1
  fi
done

run=$(mktemp -d /tmp/qvt-demo.XXXXXX)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

cat > "$run/master.conf" <<CONF
[SAMaster]
Port=$master_port

[Agent]
ListenAddress=127.0.0.1:$snmp_port
ReadCommunity=public
WriteCommunity=private
TrapSink=127.0.0.1:$trap_port, v3:127.0.0.1:$trap3_port
TrapUser=demo
EngineID=$engine_id
SysDescr=QVT master agent (demo)

[User demo]
Auth=SHA-256
AuthPassword=demo-auth-pass
Priv=AES
PrivPassword=demo-priv-pass
Level=authPriv
Access=write
CONF
chmod 600 "$run/master.conf"
cat > "$run/snmptrapd-v3.conf" <<CONF
[snmp] persistentDir $run/snmptrapd-v3
createUser -e 0x$engine_id demo SHA-256 demo-auth-pass AES demo-priv-pass
authUser log demo authPriv
CONF
cat > "$run/subagent.conf" <<CONF
[SubAgent]
MasterAddress=127.0.0.1:$master_port
PingInterval=2
MasterTimeout=2
CONF

mibs=(-M "+$root/mibs" -m +QVT-EXAMPLE-MIB -Ln)
master_mibs=(-M "+$root/mibs" -m +QVT-MASTER-MIB -Ln)
agent=127.0.0.1:$snmp_port

say "Starting two snmptrapd (v2c, v3), qvt-master-agent and two qvt-subagent-example instances (logs in $run)"
snmptrapd -f -Lf "$run/traps.log" -C --disableAuthorization=yes -M "+$root/mibs" -m +QVT-EXAMPLE-MIB \
  "udp:127.0.0.1:$trap_port" \
  > "$run/snmptrapd.out" 2>&1 &
pids+=($!)
snmptrapd -f -Lf "$run/traps-v3.log" -c "$run/snmptrapd-v3.conf" -C -M "+$root/mibs" -m +QVT-EXAMPLE-MIB \
  "udp:127.0.0.1:$trap3_port" \
  > "$run/snmptrapd-v3.out" 2>&1 &
pids+=($!)
"$bin/qvt-master-agent" -c "$run/master.conf" > "$run/master.log" 2>&1 &
pids+=($!)
master_slot=$((${#pids[@]} - 1))
sleep 0.3
"$bin/qvt-subagent-example" -c "$run/subagent.conf" --description "sub-agent A" --rows 1-5 \
  > "$run/subagent-a.log" 2>&1 &
pids+=($!)
"$bin/qvt-subagent-example" -c "$run/subagent.conf" --description "sub-agent B" --rows 6-10 --no-scalars \
  > "$run/subagent-b.log" 2>&1 &
pids+=($!)

wait_for_subagents 50
cat "$run/master.log" "$run/subagent-a.log" "$run/subagent-b.log"

say "sysORTable: one row per registration (the scalars, the read-create table, and three columns per shared row)"
show snmpwalk -v2c -c public "${mibs[@]}" "$agent" sysORDescr | head -n 8
echo "... ($(snmpwalk -v2c -c public "${mibs[@]}" "$agent" sysORDescr | wc -l) rows in all)"

say "A walk of QVT-EXAMPLE-MIB: rows 1-5 come from sub-agent A, rows 6-10 from sub-agent B"
show snmpwalk -v2c -c public "${mibs[@]}" "$agent" qvtExampleMIB

say "GET-BULK through the master"
show snmpbulkwalk -v2c -c public -Cr10 "${mibs[@]}" "$agent" qvtExShareValue

say "SNMPv3: the same objects for the USM user demo, authenticated (SHA-256) and encrypted (AES)"
v3=(-v3 -l authPriv -u demo -a SHA-256 -A demo-auth-pass -x AES -X demo-priv-pass)
show snmpget "${v3[@]}" "${mibs[@]}" "$agent" sysDescr.0 qvtExShareOwner.3 qvtExShareOwner.8

say "Creating a row of qvtExDynTable with RowStatus createAndGo (its index is reserved at the master)"
show snmpset -v2c -c private "${mibs[@]}" "$agent" qvtExDynRowStatus.7 i createAndGo qvtExDynName.7 s "made by the demo"
show snmpwalk -v2c -c public "${mibs[@]}" "$agent" qvtExDynTable

say "The notification qvtExRowCreated, as snmptrapd received it"
for _ in $(seq 1 20); do grep -q qvtExRowCreated "$run/traps.log" 2>/dev/null && break; sleep 0.2; done
# snmptrapd's own start-up lines (modules it cannot find) are left out.
sed -n '/^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] /,$p' "$run/traps.log" | tr '\t' '\n'
echo "(the same notification as an SNMPv3 authPriv trap of the user demo, which snmptrapd decrypted:)"
for _ in $(seq 1 20); do grep -q qvtExRowCreated "$run/traps-v3.log" 2>/dev/null && break; sleep 0.2; done
sed -n '/^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] /,$p' "$run/traps-v3.log" | tr '\t' '\n'
echo "(and in the master's log:)"
grep notification "$run/master.log" || true

say "What the master is doing (QVT-MASTER-MIB, served by the master itself)"
show snmptable -v2c -c public -Ci -Cw 160 "${master_mibs[@]}" "$agent" qvtMasterSessionTable
show snmptable -v2c -c public -Ci -Cw 160 "${master_mibs[@]}" "$agent" qvtMasterIndexTable
show snmpwalk -v2c -c public "${master_mibs[@]}" "$agent" qvtMasterTotals

say "The master restarts (killed, started again): both sub-agents find it and register again by themselves"
kill -KILL "${pids[$master_slot]}"
wait "${pids[$master_slot]}" 2>/dev/null || true
sleep 1
"$bin/qvt-master-agent" -c "$run/master.conf" >> "$run/master.log" 2>&1 &
pids[$master_slot]=$!
wait_for_subagents 75
echo "(what the sub-agents logged:)"
cat "$run/subagent-a.log" "$run/subagent-b.log"
show snmpget -v2c -c public "${mibs[@]}" "$agent" qvtExShareOwner.3 qvtExShareOwner.8 qvtExDynName.7

if [ "$keep" = 1 ]; then
  trap - EXIT
  say "Everything keeps running (process ids: ${pids[*]}). Try:"
  cat <<TRY
  snmpwalk -v2c -c public -M +$root/mibs -m +QVT-EXAMPLE-MIB $agent qvtExampleMIB
  snmpset  -v2c -c private -M +$root/mibs -m +QVT-EXAMPLE-MIB $agent qvtExLabel.0 s "hello"
  snmpwalk ${v3[*]} -M +$root/mibs -m +QVT-EXAMPLE-MIB $agent qvtExampleMIB
  snmpset  -v2c -c private -M +$root/mibs -m +QVT-EXAMPLE-MIB $agent qvtExDynRowStatus.8 i createAndGo
  tail -f $run/traps.log $run/traps-v3.log $run/master.log
Stop it all with: kill ${pids[*]}
TRY
  exit 0
fi

say "Stopping"
stop_all
trap - EXIT
echo "done; logs kept in $run"
