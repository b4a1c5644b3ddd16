#!/usr/bin/env bash
# compare.sh: our master agent + sub-agent side by side with Net-SNMP, on
# loopback, serving the same MIB (bench/compare/BenchMib.h):
#
#   ours        qvt-master-agent + qvt-bench-subagent (our protocol over UDP)
#   agentx      snmpd as AgentX master + qvt-bench-netsnmp-subagent (unix socket)
#   standalone  snmpd with the same Net-SNMP module loaded by dlmod (no sub-agent hop)
#
# For every table size it starts the three set-ups side by side, checks that
# each serves the MIB exactly (qvt-bench-load check), warms each up, and then
# measures in rounds, one round per run, the set-ups taking turns (the order
# rotates from round to round, so that a change in the machine's load hits
# all of them alike): sequential GETs of .1.1.0, the GET-NEXT walk and the
# GET-BULK walk of the table. Every answer is checked by the load client.
# It also measures the floor: the round trip of one UDP datagram between two
# processes. It prints a table of medians and ratios (Markdown) and keeps the
# raw lines, the table and the daemons' logs in the results folder.
#
# With --v3, the master and snmpd (as AgentX master) also have one SNMPv3
# user, and each round adds sequential GETs of .1.1.0 at authPriv
# (HMAC-SHA-256-192, AES-128) through both, beside the v2c ones: what v3
# costs each of them, and whether our lead holds under v3.
#
# All of that twice: first with the processes placed by the scheduler, then
# with every process on one CPU (taskset). On a virtual machine a wake-up
# across CPUs costs several times a wake-up on the same CPU, and whether the
# scheduler keeps two processes together varies from run to run; the pinned
# pass gives steady figures for comparing one version of our code with the
# next, the unpinned one the figures an operator sees (see bench/README.md).
#
# Usage: bench/compare.sh [--runs N] [--gets N] [--rows "1000 10000"]
#                         [--setups "ours agentx standalone"] [--build-dir DIR]
#                         [--results DIR] [--pin CPU|none] [--no-build] [--quick] [--v3]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=5
GETS=5000
ROWS_LIST="1000 10000"
REPS=25
FLOOR_COUNT=20000
SETUPS="ours agentx standalone"
BUILD_DIR=${QV_BENCH_BUILD_DIR:-$ROOT/build/compare}
RESULTS=""
PIN=""
BUILD=1
V3=0
V3_USER=bench  # the SNMPv3 user of both masters
V3_AUTH_PASS=bench-auth-pass
V3_PRIV_PASS=bench-priv-pass
MAX_SECONDS=120   # time limit of each load-client operation
READY_SECONDS=30  # time limit for a set-up to answer after its start

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
  cat <<EOF
Options:
  --runs N         measured rounds per figure (default $RUNS); the table gives medians
  --gets N         GETs per run (default $GETS)
  --rows "N ..."   table sizes to walk (default "$ROWS_LIST"); GETs run with the first
  --setups "..."   which set-ups to run (default "$SETUPS"); ratios need ours and the peer
  --build-dir DIR  build folder (default \$QV_BENCH_BUILD_DIR or build/compare), RelWithDebInfo
  --results DIR    where to keep the raw lines (results-*.txt), table.md and the logs
                   (default <build-dir>/compare-results/<date-time>)
  --pin CPU        measure only with every process (daemons, load client, floor) on CPU
                   number CPU (taskset); --pin none: only unpinned (default: both passes,
                   unpinned first, then pinned on the last CPU)
  --no-build       use the programs already built in the build folder
  --quick          one run, 1,000 GETs, rows "1000": a check that everything works
  --v3             also GETs at SNMPv3 authPriv (SHA-256, AES-128) through ours and the
                   AgentX path
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --gets) GETS=$2; shift 2 ;;
    --rows) ROWS_LIST=$2; shift 2 ;;
    --setups) SETUPS=$2; shift 2 ;;
    --build-dir) BUILD_DIR=$2; shift 2 ;;
    --results) RESULTS=$2; shift 2 ;;
    --pin) PIN=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --quick) RUNS=1; GETS=1000; ROWS_LIST=1000; shift ;;
    --v3) V3=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "compare: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
for n in "$RUNS" "$GETS" $ROWS_LIST; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "compare: '$n' is not a positive number" >&2; exit 2; }
done
for s in $SETUPS; do
  case "$s" in ours|agentx|standalone) ;; *) echo "compare: unknown set-up '$s'" >&2; exit 2 ;; esac
done
case "$PIN" in
  "") PASSES="none $(($(nproc) - 1))" ;;
  none) PASSES=none ;;
  *)
    [[ "$PIN" =~ ^[0-9]+$ ]] && [ "$PIN" -lt "$(nproc)" ] || { echo "compare: --pin '$PIN': no such CPU" >&2; exit 2; }
    PASSES=$PIN
    ;;
esac
ON_CPU=()  # the prefix that runs a program on the pass's CPU (empty: unpinned)

BENCH_NAME=compare
# log, die, start, stop_all, free_udp_port, wait_udp_port, cpu_busy, machine_line, build_programs
source "$ROOT/bench/common.sh"
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)  # snmpd's dlmod needs an absolute path

# ---------------------------------------------------------------- build
build_programs qvt-bench-compare-programs compare
MASTER=$BUILD_DIR/apps/qvt-master-agent
SUBAGENT=$BUILD_DIR/bench/compare/qvt-bench-subagent
NS_SUBAGENT=$BUILD_DIR/bench/compare/qvt-bench-netsnmp-subagent
NS_MODULE=$BUILD_DIR/bench/compare/qvt_bench_netsnmp_mib.so
LOAD=$BUILD_DIR/bench/compare/qvt-bench-load
for f in "$MASTER" "$SUBAGENT" "$NS_SUBAGENT" "$NS_MODULE" "$LOAD"; do
  [ -e "$f" ] || die "$f is missing (build without --no-build)"
done

# ---------------------------------------------------------------- processes
[ -n "$RESULTS" ] || RESULTS=$BUILD_DIR/compare-results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$RESULTS"
RESULTS=$(cd "$RESULTS" && pwd)
WORK=$(mktemp -d /tmp/qvt-compare.XXXXXX)

cleanup() {
  stop_all
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Net-SNMP processes: no MIB files, no persistent files outside our folder.
export MIBS=
export SNMP_PERSISTENT_DIR=$WORK/persist
mkdir -p "$SNMP_PERSISTENT_DIR"

start_setups() {
  local rows=$1 s port masterPort
  for s in $SETUPS; do
    port=$(free_udp_port)
    printf -v "PORT_$s" '%s' "$port"
    case "$s" in
      ours)
        masterPort=$(free_udp_port)
        printf '[SAMaster]\nPort=%s\n[Agent]\nListenAddress=127.0.0.1:%s\n' "$masterPort" "$port" >"$WORK/master.conf"
        if [ "$V3" = 1 ]; then
          printf '[User %s]\nAuth=SHA-256\nAuthPassword=%s\nPriv=AES\nPrivPassword=%s\nLevel=authPriv\n' \
            "$V3_USER" "$V3_AUTH_PASS" "$V3_PRIV_PASS" >>"$WORK/master.conf"
        fi
        chmod 600 "$WORK/master.conf"
        printf '[SubAgent]\nMasterAddress=127.0.0.1:%s\nPingInterval=10\nMasterTimeout=1\nMaxProcTime=2\n' "$masterPort" \
          >"$WORK/sub.conf"
        start ours_master "$RESULTS/ours-master-$rows.log" "$MASTER" -c "$WORK/master.conf"
        wait_udp_port "$masterPort"  # so that the sub-agent's first open finds the master
        start ours_sub "$RESULTS/ours-subagent-$rows.log" "$SUBAGENT" -c "$WORK/sub.conf" --rows "$rows"
        ;;
      agentx)
        rm -f "$WORK/agentx.sock"
        cat >"$WORK/snmpd-agentx.conf" <<EOF
agentaddress udp:127.0.0.1:$port
rocommunity public 127.0.0.1
dontLogTCPWrappersConnects yes
master agentx
agentXSocket $WORK/agentx.sock
EOF
        if [ "$V3" = 1 ]; then
          printf 'createUser %s SHA-256 %s AES %s\nrouser %s priv\n' \
            "$V3_USER" "$V3_AUTH_PASS" "$V3_PRIV_PASS" "$V3_USER" >>"$WORK/snmpd-agentx.conf"
        fi
        start agentx_snmpd "$RESULTS/agentx-snmpd-$rows.log" \
          /usr/sbin/snmpd -f -Lo -C -c "$WORK/snmpd-agentx.conf" -I "vacm_conf,dlmod$([ "$V3" = 1 ] && echo ,usmConf)"
        for _ in $(seq 100); do [ -S "$WORK/agentx.sock" ] && break; sleep 0.1; done
        [ -S "$WORK/agentx.sock" ] || die "snmpd made no AgentX socket (log: $RESULTS/agentx-snmpd-$rows.log)"
        start agentx_sub "$RESULTS/agentx-subagent-$rows.log" \
          "$NS_SUBAGENT" --agentx "$WORK/agentx.sock" --rows "$rows" --ping 10
        ;;
      standalone)
        cat >"$WORK/snmpd-standalone.conf" <<EOF
agentaddress udp:127.0.0.1:$port
rocommunity public 127.0.0.1
dontLogTCPWrappersConnects yes
dlmod qvtBenchMib $NS_MODULE
EOF
        start standalone_snmpd "$RESULTS/standalone-snmpd-$rows.log" \
          env QVT_BENCH_ROWS="$rows" /usr/sbin/snmpd -f -Lo -C -c "$WORK/snmpd-standalone.conf" -I vacm_conf,dlmod
        ;;
    esac
  done
  for s in $SETUPS; do
    load "$s" --max-seconds "$READY_SECONDS" --timeout-ms 300 wait >/dev/null || die "set-up $s did not answer (logs in $RESULTS)"
    load "$s" check "$rows" >/dev/null || die "set-up $s does not serve the bench MIB correctly"
    if has_v3 "$s"; then
      load "$s" "${V3_OPTIONS[@]}" --max-seconds "$READY_SECONDS" wait >/dev/null || die "set-up $s does not answer SNMPv3"
    fi
  done
}

V3_OPTIONS=(--v3-user "$V3_USER" --auth-pass "$V3_AUTH_PASS" --priv-pass "$V3_PRIV_PASS")
# Whether set-up $1 is measured over SNMPv3 too.
has_v3() { [ "$V3" = 1 ] && { [ "$1" = ours ] || [ "$1" = agentx ]; }; }

# The processes whose CPU time a set-up's figures include.
pids_of() {
  case "$1" in
    ours) echo "$PID_ours_master $PID_ours_sub" ;;
    agentx) echo "$PID_agentx_snmpd $PID_agentx_sub" ;;
    standalone) echo "$PID_standalone_snmpd" ;;
  esac
}

# load SETUP ARGS...: the load client against a set-up's SNMP port.
load() {
  local s=$1 port
  shift
  port=PORT_$s
  "${ON_CPU[@]}" "$LOAD" --agent "127.0.0.1:${!port}" --max-seconds "$MAX_SECONDS" "$@"
}

# measure SETUP ROWS RUN OPERATION...: one measured operation, its line kept
# (under the name SETUP-v3 when the operation's options start with --v3-user).
measure() {
  local s=$1 rows=$2 run=$3 line pid watch=() name=$1
  shift 3
  [ "${1:-}" = --v3-user ] && name=$s-v3
  for pid in $(pids_of "$s"); do watch+=(--pid "$pid"); done
  line=$(load "$s" "${watch[@]}" "$@") || die "set-up $s: $* failed"
  echo "setup=$name rows=$rows run=$run $line" >>"$RAW"
}

# ---------------------------------------------------------------- measure
machine() {
  machine_line
  local cxx
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
  echo "- build: $("${cxx:-c++}" --version 2>/dev/null | head -1), $(
    sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt"); Net-SNMP $(
    /usr/sbin/snmpd -v 2>/dev/null | sed -n 's/.*version: *//p' | head -1)"
  # Local changes that matter: anything built into the measured programs.
  echo "- commit: $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)$(
    git -C "$ROOT" diff --quiet HEAD -- CMakeLists.txt cmake host protocol transport diag subagent master agent apps \
      bench/compare 2>/dev/null || echo ' (with local changes to the measured code)')"
}

log "results in $RESULTS"
# measure_pass: every figure of every set-up, the rounds interleaved, into $RAW.
measure_pass() {
  local rows run k s
  LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
  BUSY_START=$(cpu_busy)
  [ "$BUSY_START" -le 20 ] ||
    log "warning: other work keeps the CPUs $BUSY_START % busy: the figures will vary more than usual"
  STARTED=$(date +%s)
  for rows in $ROWS_LIST; do
    log "$PASS_NAME, table of $rows rows: starting ${SETUPS}"
    start_setups "$rows"
    for s in $SETUPS; do  # warm-up, not measured
      load "$s" get 500 >/dev/null || die "set-up $s: warm-up failed"
      load "$s" bulk "$rows" "$REPS" >/dev/null || die "set-up $s: warm-up failed"
    done
    for run in $(seq "$RUNS"); do
      log "$PASS_NAME, table of $rows rows: round $run of $RUNS"
      for k in $(seq 0 $((${#SETUP_LIST[@]} - 1))); do
        s=${SETUP_LIST[$(((k + run) % ${#SETUP_LIST[@]}))]}
        [ "$rows" = "$FIRST_ROWS" ] && measure "$s" - "$run" get "$GETS"
        if [ "$rows" = "$FIRST_ROWS" ] && has_v3 "$s"; then measure "$s" - "$run" "${V3_OPTIONS[@]}" get "$GETS"; fi
        measure "$s" "$rows" "$run" walk "$rows"
        measure "$s" "$rows" "$run" bulk "$rows" "$REPS"
      done
      if [ "$rows" = "$FIRST_ROWS" ]; then
        echo "setup=floor rows=- run=$run $("${ON_CPU[@]}" "$LOAD" floor "$FLOOR_COUNT")" >>"$RAW"
      fi
    done
    stop_all
  done
  LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
}
FIRST_ROWS=${ROWS_LIST%% *}
SETUP_LIST=($SETUPS)

# ---------------------------------------------------------------- report
# Medians per (set-up, operation, rows) of the rate, the time per request and
# the CPU time per request (GET) or per varbind (walks) of each process.
report() {
  awk -v reps="$REPS" -v gets="$GETS" -v runs="$RUNS" '
    function median(list,   n, v, i, j, t) {
      n = split(list, v, " ")
      if (n == 0) return ""
      for (i = 2; i <= n; i++) { t = v[i] + 0; for (j = i - 1; j >= 1 && v[j] + 0 > t; j--) v[j + 1] = v[j]; v[j + 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    function add(key, value) { values[key] = values[key] " " value }
    function med(key) { return (key in values) ? median(values[key]) : "" }
    function num(x, d) { return x == "" ? "n/a" : sprintf("%." d "f", x) }
    function ratio(a, b) { return (a == "" || b == "" || b == 0) ? "n/a" : sprintf("%.2f", a / b) }
    {
      delete f
      for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      key = f["setup"] SUBSEP f["op"] SUBSEP f["rows"]
      add(key SUBSEP "rate", f["rate"])
      add(key SUBSEP "us", f["us_per_req"])
      cpu = (f["op"] == "get") ? f["cpu_us_per_req"] : f["cpu_us_per_vb"]
      if (cpu != "") {
        n = split(cpu, c, ","); total = 0; bad = 0
        for (i = 1; i <= n; i++) { add(key SUBSEP "cpu" i, c[i]); if (c[i] == "nan") bad = 1; total += c[i] }
        if (!bad) add(key SUBSEP "cpu", total)
      }
      if (f["op"] != "floor") rowsSeen[f["rows"]] = 1
    }
    END {
      split("ours agentx standalone", S, " ")
      print "| figure | ours | AgentX path | stand-alone snmpd | ours / AgentX | ours / stand-alone |"
      print "|---|---:|---:|---:|---:|---:|"
      g = "get" SUBSEP "-"
      printf "| GET .1.1.0, requests/s (%d per run) |", gets
      for (i = 1; i <= 3; i++) printf " %s |", num(med(S[i] SUBSEP g SUBSEP "rate"), 0)
      printf " %s | %s |\n", ratio(med("ours" SUBSEP g SUBSEP "rate"), med("agentx" SUBSEP g SUBSEP "rate")),
                             ratio(med("ours" SUBSEP g SUBSEP "rate"), med("standalone" SUBSEP g SUBSEP "rate"))
      nr = 0
      for (r in rowsSeen) if (r != "-") R[++nr] = r + 0
      for (i = 2; i <= nr; i++) { t = R[i]; for (j = i - 1; j >= 1 && R[j] > t; j--) R[j + 1] = R[j]; R[j + 1] = t }
      for (o = 1; o <= 2; o++) {
        op = o == 1 ? "walk" : "bulk"
        for (k = 1; k <= nr; k++) {
          w = op SUBSEP R[k]
          if (op == "walk") printf "| GET-NEXT walk, %d rows x 3 columns, varbinds/s |", R[k]
          else printf "| GET-BULK walk (max-repetitions %d), %d rows x 3 columns, varbinds/s |", reps, R[k]
          for (i = 1; i <= 3; i++) printf " %s |", num(med(S[i] SUBSEP w SUBSEP "rate"), 0)
          printf " %s | %s |\n", ratio(med("ours" SUBSEP w SUBSEP "rate"), med("agentx" SUBSEP w SUBSEP "rate")),
                                 ratio(med("ours" SUBSEP w SUBSEP "rate"), med("standalone" SUBSEP w SUBSEP "rate"))
        }
      }
      printf "| GET latency, us per request |"
      for (i = 1; i <= 3; i++) printf " %s |", num(med(S[i] SUBSEP g SUBSEP "us"), 1)
      printf " %s | %s |\n", ratio(med("ours" SUBSEP g SUBSEP "us"), med("agentx" SUBSEP g SUBSEP "us")),
                             ratio(med("ours" SUBSEP g SUBSEP "us"), med("standalone" SUBSEP g SUBSEP "us"))
      printf "| CPU per GET, all agent processes, us |"
      for (i = 1; i <= 3; i++) printf " %s |", num(med(S[i] SUBSEP g SUBSEP "cpu"), 1)
      printf " %s | %s |\n", ratio(med("ours" SUBSEP g SUBSEP "cpu"), med("agentx" SUBSEP g SUBSEP "cpu")),
                             ratio(med("ours" SUBSEP g SUBSEP "cpu"), med("standalone" SUBSEP g SUBSEP "cpu"))
      floor = med("floor" SUBSEP "floor" SUBSEP "-" SUBSEP "us")
      printf "| GET latency in loopback UDP round trips (floor %s us) |", num(floor, 1)
      for (i = 1; i <= 3; i++) { u = med(S[i] SUBSEP g SUBSEP "us"); printf " %s |", (u == "" || floor == "") ? "n/a" : sprintf("%.1f", u / floor) }
      print " | |"
      print ""
      print "CPU time per request (GET) or per varbind (walks), in us, medians; master = qvt-master-agent or snmpd:"
      print ""
      print "| figure | ours master | ours sub-agent | AgentX snmpd | AgentX sub-agent | stand-alone snmpd | ours / AgentX (sum) |"
      print "|---|---:|---:|---:|---:|---:|---:|"
      F[1] = g; L[1] = "GET"; nf = 1
      for (o = 1; o <= 2; o++) for (k = 1; k <= nr; k++) {
        nf++; F[nf] = (o == 1 ? "walk" : "bulk") SUBSEP R[k]; L[nf] = (o == 1 ? "GET-NEXT walk, " : "GET-BULK walk, ") R[k] " rows"
      }
      for (x = 1; x <= nf; x++) {
        printf "| %s | %s | %s | %s | %s | %s | %s |\n", L[x],
          num(med("ours" SUBSEP F[x] SUBSEP "cpu1"), 1), num(med("ours" SUBSEP F[x] SUBSEP "cpu2"), 1),
          num(med("agentx" SUBSEP F[x] SUBSEP "cpu1"), 1), num(med("agentx" SUBSEP F[x] SUBSEP "cpu2"), 1),
          num(med("standalone" SUBSEP F[x] SUBSEP "cpu1"), 1),
          ratio(med("ours" SUBSEP F[x] SUBSEP "cpu"), med("agentx" SUBSEP F[x] SUBSEP "cpu"))
      }
      if (("ours-v3" SUBSEP g SUBSEP "rate") in values) {
        print ""
        print "SNMPv3 authPriv (HMAC-SHA-256-192, AES-128) beside SNMPv2c, sequential GETs of .1.1.0:"
        print ""
        print "| figure | ours v2c | ours v3 | v3 / v2c | AgentX v2c | AgentX v3 | v3 / v2c | ours / AgentX, v2c | ours / AgentX, v3 |"
        print "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
        split("rate us cpu cpu1 cpu2", K, " ")
        split("GET requests/s|GET latency, us|CPU per GET, all agent processes, us|CPU per GET, master (ours) or snmpd, us|CPU per GET, sub-agent, us", T, "|")
        for (x = 1; x <= 5; x++) {
          o2 = med("ours" SUBSEP g SUBSEP K[x]); o3 = med("ours-v3" SUBSEP g SUBSEP K[x])
          a2 = med("agentx" SUBSEP g SUBSEP K[x]); a3 = med("agentx-v3" SUBSEP g SUBSEP K[x])
          d = x == 1 ? 0 : 1
          printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", T[x], num(o2, d), num(o3, d), ratio(o3, o2),
            num(a2, d), num(a3, d), ratio(a3, a2), ratio(o2, a2), ratio(o3, a3)
        }
      }
      print ""
      print "Targets (medians):"
      print ""
      og = med("ours" SUBSEP g SUBSEP "rate"); ag = med("agentx" SUBSEP g SUBSEP "rate"); sg = med("standalone" SUBSEP g SUBSEP "rate")
      verdict("GET rate at least 2.5x the AgentX path", og, ag, 2.5, 1)
      verdict("GET rate above the stand-alone agent", og, sg, 1.0, 1)
      for (k = 1; k <= nr; k++) {
        verdict("GET-NEXT walk (" R[k] " rows) at least 2.5x the AgentX path", med("ours" SUBSEP "walk" SUBSEP R[k] SUBSEP "rate"), med("agentx" SUBSEP "walk" SUBSEP R[k] SUBSEP "rate"), 2.5, 1)
      }
      for (k = 1; k <= nr; k++) {
        verdict("GET-BULK walk (" R[k] " rows) at least 2x the AgentX path", med("ours" SUBSEP "bulk" SUBSEP R[k] SUBSEP "rate"), med("agentx" SUBSEP "bulk" SUBSEP R[k] SUBSEP "rate"), 2.0, 1)
      }
      verdict("CPU per GET (master + sub-agent) below half of snmpd + its sub-agent", med("ours" SUBSEP g SUBSEP "cpu"), med("agentx" SUBSEP g SUBSEP "cpu"), 0.5, 0)
      if (("ours-v3" SUBSEP g SUBSEP "rate") in values) {
        ov = med("ours-v3" SUBSEP g SUBSEP "rate"); av = med("agentx-v3" SUBSEP g SUBSEP "rate")
        verdict("SNMPv3 authPriv: our CPU per GET below 1.2x our v2c one", med("ours-v3" SUBSEP g SUBSEP "cpu"), med("ours" SUBSEP g SUBSEP "cpu"), 1.2, 0)
        if (ov == "" || av == "" || og == "" || ag == "" || av == 0 || ag == 0) print "- SNMPv3 authPriv: our GET-rate lead over the AgentX path at least the v2c one: n/a"
        else printf "- SNMPv3 authPriv: our GET-rate lead over the AgentX path at least the v2c one: %.2fx under v3, %.2fx under v2c: %s\n", ov / av, og / ag, (ov / av >= og / ag ? "met" : "NOT met")
      }
      u = med("ours" SUBSEP g SUBSEP "us")
      if (u == "" || floor == "") print "- our GET at most 3 loopback round trips: n/a"
      else printf "- our GET at most 3 loopback round trips: %.1f round trips: %s\n", u / floor, (u / floor <= 3 ? "met" : "NOT met")
    }
    # higher = 1: ours / peer must reach at least `want`; else at most (below) it.
    function verdict(text, ours, peer, want, higher,   r) {
      if (ours == "" || peer == "" || peer == 0) { print "- " text ": n/a"; return }
      r = ours / peer
      printf "- %s: %.2fx: %s\n", text, r, ((higher ? (want == 1.0 ? r > want : r >= want) : r < want) ? "met" : "NOT met")
    }
  ' "$RAW"
}

{
  echo "Side-by-side comparison, $(date -u '+%Y-%m-%d %H:%M UTC'), $RUNS run(s) per figure, medians"
  echo
  machine
  echo "- command: bench/compare.sh --runs $RUNS --gets $GETS --rows \"$ROWS_LIST\" --setups \"$SETUPS\"${PIN:+ --pin $PIN}$(
    [ "$V3" = 1 ] && echo " --v3")"
} >"$RESULTS/table.md"
for pass in $PASSES; do
  if [ "$pass" = none ]; then
    ON_CPU=()
    PASS_NAME="unpinned"
    title="Processes placed by the scheduler (not pinned)"
  else
    ON_CPU=(taskset -c "$pass")
    PASS_NAME="pinned to CPU $pass"
    title="Every process on CPU $pass (taskset)"
  fi
  RAW=$RESULTS/results-${PASS_NAME// /-}.txt
  : >"$RAW"
  measure_pass
  {
    echo
    echo "### $title"
    echo
    echo "Other work before the start: CPUs $BUSY_START % busy, load average (1, 5, 15 min) $LOAD_START;" \
      "at the end: $LOAD_END; $(($(date +%s) - STARTED)) s."
    echo
    report
  } >>"$RESULTS/table.md"
done
cat "$RESULTS/table.md"
log "raw lines: $RESULTS/results-*.txt"
