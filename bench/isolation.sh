#!/usr/bin/env bash
# isolation.sh: how well a hung sub-agent is kept away from the others, how
# several managers share the sub-agents, and how the master copes with one
# session holding 100,000 registrations; on loopback, our master side by
# side with Net-SNMP's snmpd as AgentX master, both serving the bench MIB
# (bench/compare/BenchMib.h) through sub-agents:
#
#   ours    qvt-master-agent + qvt-bench-subagent (our protocol over UDP)
#   agentx  snmpd as AgentX master + qvt-bench-netsnmp-subagent (unix socket)
#
# Isolation: four situations, each set-up started afresh for each:
#
#   baseline  two healthy sub-agents, the MIB under .9 and under .10
#   stopped   the healthy one (.9) and one that registered .11 and was then
#             stopped with SIGSTOP; a third manager polls .11.1.1.0 at
#             HAMMER_RATE per second throughout
#   tarpit    the healthy one (.9) and one that registered .12 and never
#             answers: ours qvt-bench-tarpit (opens its session announcing
#             3599 s of processing time), agentx qvt-bench-netsnmp-subagent
#             --never-answer (keeps every request, never completes it);
#             .12.1.1.0 polled as above
#   managers  two healthy sub-agents (.9, .10) and four managers sending
#             sequential GETs as fast as they are answered, two to each
#
# Throughout every situation two probes poll at RATE per second for SECONDS
# seconds, each GET its own request with a 1 s time-out whether or not the
# earlier ones were answered: sysDescr.0 (answered by the master itself)
# and .9.1.1.0 (answered by the healthy sub-agent). Every answer is checked.
# The rounds run every situation of both set-ups, the set-ups' order
# alternating; the tables pool the rounds.
#
# Registration scale, ours only: one session registers COUNT subtrees with
# individual requests, WINDOW in flight (qvt-bench-register, every answer
# checked; then one more must be refused: MaxRegistrations=COUNT), then
# closes, while a probe polls sysDescr.0 at REG_RATE per second. Once per
# round.
#
# Other work on the machine skews every figure, so before each measurement
# the script waits (up to QUIET_WAIT s) for the CPUs to be idle, and it
# reports how much CPU time processes other than its own took during each
# measurement. It prints Markdown tables with the targets, and keeps the raw
# lines, every request's latency, the tables and the daemons' logs in the
# results folder.
#
# Usage: bench/isolation.sh [--runs N] [--seconds S] [--rate R] [--hammer-rate R]
#                           [--count N] [--window W] [--reg-rate R] [--quiet-wait S]
#                           [--build-dir DIR] [--results DIR] [--no-build] [--quick]
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=3
SECONDS_EACH=10
RATE=200
HAMMER_RATE=500
COUNT=100000
WINDOW=64
REG_RATE=1000
QUIET_WAIT=30
ROWS=1000
BUILD_DIR=${QV_BENCH_BUILD_DIR:-$ROOT/build/compare}
RESULTS=""
BUILD=1
TIMEOUT_MS=1000   # each probe request's time-out
READY_SECONDS=30  # time limit for a set-up to answer after its start
SITUATIONS="baseline stopped tarpit managers"
SETUPS="ours agentx"
# Targets.
HUNG_P99_MS=20        # healthy objects' p99 while a sub-agent hangs
MANAGERS_RATIO=2      # 4 managers on 2 sub-agents: ours / AgentX path
REGISTER_SECONDS=5    # COUNT registrations
CLOSE_SECONDS=1       # closeSession of that session
REG_GET_MS=10         # GETs of sysDescr.0 meanwhile

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
  cat <<EOF
Options:
  --runs N          rounds (default $RUNS); the isolation tables pool them, the
                    registration table lists each
  --seconds S       length of each situation (default $SECONDS_EACH)
  --rate R          GETs per second of each probe (default $RATE)
  --hammer-rate R   GETs per second at the hung sub-agent (default $HAMMER_RATE)
  --count N         registrations in one session (default $COUNT)
  --window W        registrations in flight (default $WINDOW)
  --reg-rate R      GETs per second of the probe during the registrations (default $REG_RATE)
  --quiet-wait S    before each measurement wait up to S s for the CPUs to be idle
                    (under 15 % busy; default $QUIET_WAIT, 0: do not wait)
  --build-dir DIR   build folder (default \$QV_BENCH_BUILD_DIR or build/compare), RelWithDebInfo
  --results DIR     where to keep raw.txt, the samples, table.md and the logs
                    (default <build-dir>/isolation-results/<date-time>)
  --no-build        use the programs already built in the build folder
  --quick           one round of 3 s situations, 10,000 registrations: does everything work?
EOF
}

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --seconds) SECONDS_EACH=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --hammer-rate) HAMMER_RATE=$2; shift 2 ;;
    --count) COUNT=$2; shift 2 ;;
    --window) WINDOW=$2; shift 2 ;;
    --reg-rate) REG_RATE=$2; shift 2 ;;
    --quiet-wait) QUIET_WAIT=$2; shift 2 ;;
    --build-dir) BUILD_DIR=$2; shift 2 ;;
    --results) RESULTS=$2; shift 2 ;;
    --no-build) BUILD=0; shift ;;
    --quick) RUNS=1; SECONDS_EACH=3; COUNT=10000; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "isolation: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
for n in "$RUNS" "$SECONDS_EACH" "$RATE" "$HAMMER_RATE" "$COUNT" "$WINDOW" "$REG_RATE"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "isolation: '$n' is not a positive number" >&2; exit 2; }
done
[ "$SECONDS_EACH" -le 600 ] || { echo "isolation: --seconds above 600" >&2; exit 2; }
[ "$COUNT" -le 1000000 ] || { echo "isolation: --count above 1000000" >&2; exit 2; }
[ "$WINDOW" -le 1024 ] || { echo "isolation: --window above 1024" >&2; exit 2; }
if ! [[ "$QUIET_WAIT" =~ ^[0-9]+$ ]] || [ "$QUIET_WAIT" -gt 3600 ]; then
  echo "isolation: --quiet-wait '$QUIET_WAIT': expected 0..3600" >&2
  exit 2
fi

ON_CPU=()
BENCH_NAME=isolation
# log, die, start, stop_pid, stop_all, free_udp_port, wait_udp_port, cpu_busy, machine_line, build_programs
source "$ROOT/bench/common.sh"
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

# ---------------------------------------------------------------- build
# What is measured: the commit the build starts from (local changes to the
# measured code flagged); with --no-build, the programs as they were built.
COMMIT="$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)$(
  git -C "$ROOT" diff --quiet HEAD -- CMakeLists.txt cmake host protocol transport diag subagent master agent apps \
    bench/compare bench/isolation 2>/dev/null || echo ' (with local changes to the measured code)')"
[ "$BUILD" = 1 ] || COMMIT="$COMMIT; --no-build: the programs as last built in $BUILD_DIR"
build_programs qvt-bench-isolation-programs isolation
MASTER=$BUILD_DIR/apps/qvt-master-agent
SUBAGENT=$BUILD_DIR/bench/compare/qvt-bench-subagent
NS_SUBAGENT=$BUILD_DIR/bench/compare/qvt-bench-netsnmp-subagent
LOAD=$BUILD_DIR/bench/compare/qvt-bench-load
REGISTER=$BUILD_DIR/bench/isolation/qvt-bench-register
TARPIT=$BUILD_DIR/bench/isolation/qvt-bench-tarpit
for f in "$MASTER" "$SUBAGENT" "$NS_SUBAGENT" "$LOAD" "$REGISTER" "$TARPIT"; do
  [ -x "$f" ] || die "$f is missing (build without --no-build)"
done

# ---------------------------------------------------------------- processes
[ -n "$RESULTS" ] || RESULTS=$BUILD_DIR/isolation-results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$RESULTS/logs" "$RESULTS/samples"
RESULTS=$(cd "$RESULTS" && pwd)
RAW=$RESULTS/raw.txt
: >"$RAW"
WORK=$(mktemp -d /tmp/qvt-isolation.XXXXXX)
CLIENTS=()  # load clients running in the background

cleanup() {
  local pid
  for pid in ${CLIENTS[@]+"${CLIENTS[@]}"}; do stop_pid "$pid"; done
  stop_all
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Net-SNMP processes: no MIB files, no persistent files outside our folder.
export MIBS=
export SNMP_PERSISTENT_DIR=$WORK/persist
mkdir -p "$SNMP_PERSISTENT_DIR"

# load [--mib-arc A] ARGS...: the load client against the running set-up.
load() {
  "$LOAD" --agent "127.0.0.1:$AGENT_PORT" "$@"
}

# Waits (at most 10 s) until file $1 holds a line matching $2.
wait_for_line() {
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  die "no '$2' in $1 after 10 s"
}

# The arc of the second sub-agent in a situation, and what it is.
second_arc() {
  case "$1" in baseline|managers) echo 10 ;; stopped) echo 11 ;; tarpit) echo 12 ;; esac
}

# start_setup SETUP SITUATION TAG: the master, the healthy sub-agent (.9)
# and the second sub-agent of the situation; returns once all of them serve
# (the hung one: once it has registered). Sets AGENT_PORT and PID_second.
start_setup() {
  local setup=$1 situation=$2 tag=$3 arc masterPort
  arc=$(second_arc "$situation")
  AGENT_PORT=$(free_udp_port)
  case "$setup" in
    ours)
      masterPort=$(free_udp_port)
      printf '[SAMaster]\nPort=%s\n[Agent]\nListenAddress=127.0.0.1:%s\n' "$masterPort" "$AGENT_PORT" >"$WORK/master.conf"
      printf '[SubAgent]\nMasterAddress=127.0.0.1:%s\nPingInterval=10\nMasterTimeout=1\nMaxProcTime=2\n' "$masterPort" \
        >"$WORK/sub.conf"
      start master "$RESULTS/logs/$tag-master.log" "$MASTER" -c "$WORK/master.conf"
      wait_udp_port "$masterPort"
      start healthy "$RESULTS/logs/$tag-subagent9.log" "$SUBAGENT" -c "$WORK/sub.conf" --rows "$ROWS"
      if [ "$situation" = tarpit ]; then
        start second "$RESULTS/logs/$tag-tarpit$arc.log" "$TARPIT" --master "127.0.0.1:$masterPort" --mib-arc "$arc" \
          --processing-time 3599
      else
        start second "$RESULTS/logs/$tag-subagent$arc.log" "$SUBAGENT" -c "$WORK/sub.conf" --rows "$ROWS" --mib-arc "$arc"
      fi
      ;;
    agentx)
      rm -f "$WORK/agentx.sock"
      # system_mib: sysDescr.0 and the rest of the system group.
      cat >"$WORK/snmpd.conf" <<EOF
agentaddress udp:127.0.0.1:$AGENT_PORT
rocommunity public 127.0.0.1
dontLogTCPWrappersConnects yes
master agentx
agentXSocket $WORK/agentx.sock
EOF
      start master "$RESULTS/logs/$tag-snmpd.log" /usr/sbin/snmpd -f -Lo -C -c "$WORK/snmpd.conf" -I vacm_conf,system_mib
      for _ in $(seq 100); do [ -S "$WORK/agentx.sock" ] && break; sleep 0.1; done
      [ -S "$WORK/agentx.sock" ] || die "snmpd made no AgentX socket (log: $RESULTS/logs/$tag-snmpd.log)"
      start healthy "$RESULTS/logs/$tag-subagent9.log" "$NS_SUBAGENT" --agentx "$WORK/agentx.sock" --rows "$ROWS" --ping 10
      if [ "$situation" = tarpit ]; then
        start second "$RESULTS/logs/$tag-tarpit$arc.log" "$NS_SUBAGENT" --agentx "$WORK/agentx.sock" --rows "$ROWS" \
          --ping 10 --mib-arc "$arc" --never-answer
      else
        start second "$RESULTS/logs/$tag-subagent$arc.log" "$NS_SUBAGENT" --agentx "$WORK/agentx.sock" --rows "$ROWS" \
          --ping 10 --mib-arc "$arc"
      fi
      ;;
  esac
  load --max-seconds "$READY_SECONDS" --timeout-ms 300 wait >/dev/null || die "$tag: the sub-agent .9 does not answer"
  if [ "$situation" = tarpit ]; then
    # Ours says so once the master has answered its registration; the
    # Net-SNMP sub-agent logs its connection after its registrations.
    if [ "$setup" = ours ]; then
      wait_for_line "$RESULTS/logs/$tag-tarpit$arc.log" "op=tarpit ready"
    else
      wait_for_line "$RESULTS/logs/$tag-tarpit$arc.log" "AgentX subagent connected"
    fi
  else
    load --mib-arc "$arc" --max-seconds "$READY_SECONDS" --timeout-ms 300 wait >/dev/null ||
      die "$tag: the sub-agent .$arc does not answer"
  fi
  local line
  line=$(load --timeout-ms 1000 probe 20 1 sysdescr) || die "$tag: sysDescr.0 probe failed"
  [[ "$line" == *" ok=20 "* ]] || die "$tag: sysDescr.0 is not served: $line"
}

# background OUT COMMAND...: a load client in the background, its output in OUT.
background() {
  local out=$1
  shift
  "$@" >"$out" 2>&1 &
  CLIENTS+=("$!")
}

# Waits for every background client; false when one failed.
wait_clients() {
  local pid ok=0
  for pid in ${CLIENTS[@]+"${CLIENTS[@]}"}; do wait "$pid" || ok=1; done
  CLIENTS=()
  return $ok
}

# Busy CPU time of the whole machine (user and system time of all processes;
# interrupt time, which our own datagrams cause too, is left out), and the
# CPU time of this script's children that have ended (every program it
# starts, once reaped), both in hundredths of a second. The latter goes to
# CHILDREN_TICKS: `times` must run in this shell, not in a subshell.
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 }' /proc/stat; }
read_children_ticks() {
  times >"$WORK/times"
  CHILDREN_TICKS=$(tail -1 "$WORK/times" |
    awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, p, "m"); t += p[1] * 60 + p[2] } printf "%d", t * 100 }')
}
# Before a measurement: waits up to QUIET_WAIT s for the CPUs to be idle,
# and notes the counters other_work reads.
begin_measurement() {
  local waited=0 busy
  while [ "$waited" -lt "$QUIET_WAIT" ]; do
    busy=$(cpu_busy)
    [ "$busy" -lt 15 ] && break
    waited=$((waited + 1))
  done
  [ "$QUIET_WAIT" -gt 0 ] && [ "$waited" -ge "$QUIET_WAIT" ] &&
    log "warning: other work keeps the CPUs $busy % busy; measuring all the same"
  MEASURE_BUSY=$(busy_ticks)
  read_children_ticks
  MEASURE_CHILDREN=$CHILDREN_TICKS
  MEASURE_START=$(date +%s%N)
}
# After it (every program of the measurement ended): the CPU time of other
# processes meanwhile, in per cent of all the CPUs' time, into OTHER_PCT.
other_work() {
  local busy children elapsed
  busy=$(($(busy_ticks) - MEASURE_BUSY))
  read_children_ticks
  children=$((CHILDREN_TICKS - MEASURE_CHILDREN))
  elapsed=$((($(date +%s%N) - MEASURE_START) / 10000000))
  OTHER_PCT=$(awk -v o=$((busy - children)) -v e="$elapsed" -v n="$(nproc)" \
    'BEGIN { v = e > 0 ? 100 * o / (e * n) : 0; printf "%.0f", v < 0 ? 0 : v }')
}

# measure RUN SITUATION SETUP: one situation of one set-up, its lines to $RAW.
measure() {
  local run=$1 situation=$2 setup=$3 tag arc role out m
  tag=$run-$situation-$setup
  arc=$(second_arc "$situation")
  log "round $run of $RUNS: $situation, $setup"
  begin_measurement
  start_setup "$setup" "$situation" "$tag"
  load get 200 >/dev/null || die "$tag: warm-up failed"
  if [ "$situation" = managers ]; then
    load --mib-arc 10 get 200 >/dev/null || die "$tag: warm-up failed"
  fi
  if [ "$situation" = stopped ]; then
    # PID_second is set by start (printf -v).
    # shellcheck disable=SC2154
    kill -STOP "$PID_second"
    sleep 0.1
    [ "$(sed 's/.*) //' "/proc/$PID_second/stat" | cut -d' ' -f1)" = T ] || die "$tag: the sub-agent did not stop"
  fi
  local probe=(--timeout-ms "$TIMEOUT_MS" --max-seconds $((SECONDS_EACH + 60)))
  background "$WORK/sysdescr.out" load "${probe[@]}" probe "$RATE" "$SECONDS_EACH" sysdescr \
    --samples "$RESULTS/samples/$tag-sysdescr.txt"
  background "$WORK/healthy.out" load "${probe[@]}" probe "$RATE" "$SECONDS_EACH" bench \
    --samples "$RESULTS/samples/$tag-healthy.txt"
  case "$situation" in
    stopped|tarpit)
      background "$WORK/hung.out" load "${probe[@]}" --mib-arc "$arc" probe "$HAMMER_RATE" "$SECONDS_EACH" bench \
        --samples "$RESULTS/samples/$tag-hung.txt"
      ;;
    managers)
      # The first manager also reads the CPU time the master and both
      # sub-agents spend meanwhile.
      local watch=(--pid "$PID_master" --pid "$PID_healthy" --pid "$PID_second")
      for m in 1 2 3 4; do
        background "$WORK/manager$m.out" load --max-seconds $((SECONDS_EACH + 60)) --mib-arc $((m <= 2 ? 9 : 10)) \
          ${watch[@]+"${watch[@]}"} getfor "$SECONDS_EACH"
        watch=()
      done
      ;;
  esac
  wait_clients || {
    cat "$WORK"/*.out >&2
    die "$tag: a load client failed (logs in $RESULTS/logs)"
  }
  for out in "$WORK"/*.out; do
    role=$(basename "$out" .out)
    echo "run=$run situation=$situation setup=$setup role=$role $(cat "$out")" >>"$RAW"
  done
  rm -f "$WORK"/*.out
  stop_all
  other_work
  echo "run=$run situation=$situation setup=$setup role=machine other_cpu_pct=$OTHER_PCT" >>"$RAW"
}

# register_round RUN: the registrations and the close, once.
register_round() {
  local run=$1 tag masterPort probeSeconds line
  tag=$run-register-ours
  log "round $run of $RUNS: $COUNT registrations"
  begin_measurement
  AGENT_PORT=$(free_udp_port)
  masterPort=$(free_udp_port)
  printf '[SAMaster]\nPort=%s\nMaxRegistrations=%s\n[Agent]\nListenAddress=127.0.0.1:%s\n' \
    "$masterPort" "$COUNT" "$AGENT_PORT" >"$WORK/master.conf"
  start master "$RESULTS/logs/$tag-master.log" "$MASTER" -c "$WORK/master.conf"
  wait_udp_port "$masterPort"
  wait_udp_port "$AGENT_PORT"
  line=$(load --timeout-ms 1000 probe 20 1 sysdescr) || die "$tag: sysDescr.0 probe failed"
  [[ "$line" == *" ok=20 "* ]] || die "$tag: sysDescr.0 is not served: $line"
  # Long enough for the registrations at a tenth of the target rate, and the close.
  probeSeconds=$((3 + (COUNT * REGISTER_SECONDS * 2 + 99999) / 100000))
  background "$WORK/probe.out" load --timeout-ms "$TIMEOUT_MS" --max-seconds $((probeSeconds + 60)) \
    probe "$REG_RATE" "$probeSeconds" sysdescr --samples "$RESULTS/samples/$tag-sysdescr.txt"
  sleep 1
  line=$("$REGISTER" --master "127.0.0.1:$masterPort" --count "$COUNT" --window "$WINDOW" --quota-check \
    --max-seconds 120) || die "$tag: the registrations failed (log: $RESULTS/logs/$tag-master.log)"
  wait_clients || { cat "$WORK/probe.out" >&2; die "$tag: the probe failed"; }
  echo "run=$run situation=register setup=ours role=register $line" >>"$RAW"
  echo "run=$run situation=register setup=ours role=sysdescr $(cat "$WORK/probe.out")" >>"$RAW"
  rm -f "$WORK/probe.out"
  stop_all
  other_work
  echo "run=$run situation=register setup=ours role=machine other_cpu_pct=$OTHER_PCT" >>"$RAW"
}

# ---------------------------------------------------------------- measure
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
BUSY_START=$(cpu_busy)
[ "$BUSY_START" -le 20 ] ||
  log "warning: other work keeps the CPUs $BUSY_START % busy: the figures will vary more than usual"
STARTED=$(date +%s)
log "results in $RESULTS"
for run in $(seq "$RUNS"); do
  for situation in $SITUATIONS; do
    order=$SETUPS
    [ $((run % 2)) = 0 ] && order=$(echo "$SETUPS" | awk '{ for (i = NF; i >= 1; i--) printf "%s%s", $i, (i > 1 ? " " : "") }')
    for setup in $order; do measure "$run" "$situation" "$setup"; done
  done
  register_round "$run"
done
LOAD_END=$(cut -d' ' -f1-3 /proc/loadavg)
ELAPSED=$(($(date +%s) - STARTED))

# ---------------------------------------------------------------- report
# pooled FILES...: "n p50 p99 max lost" over every request of the sample
# files (nearest rank, a lost request counting as slower than any answer).
pooled() {
  [ $# -gt 0 ] || { echo "0 n/a n/a n/a 0"; return; }
  cat "$@" | awk '{ print ($2 == "lost" ? "1e12" : $2) }' | sort -g | awk '
    { v[++n] = $1; if ($1 >= 1e12) lost++ }
    function rank(p,   r) { r = int(p * n / 100); if (r < p * n / 100) r++; if (r < 1) r = 1; return v[r] }
    function ms(x) { return x >= 1e12 ? "lost" : sprintf("%.1f", x) }
    END { if (n == 0) { print "0 n/a n/a n/a 0"; exit } printf "%d %s %s %s %d\n", n, ms(rank(50)), ms(rank(99)), ms(v[n]), lost + 0 }'
}
# phase FROM TO FILES...: the same over the requests in flight between FROM
# and TO (monotonic seconds): sent before TO and ended after FROM.
phase() {
  local from=$1 to=$2
  shift 2
  [ $# -gt 0 ] || { echo "0 n/a n/a n/a 0"; return; }
  cat "$@" | awk -v from="$from" -v to="$to" -v t="$TIMEOUT_MS" '
    { end = $1 + ($2 == "lost" ? t / 1000 : $2 / 1000); if ($1 <= to && end >= from) print ($2 == "lost" ? "1e12" : $2) }' |
    sort -g | awk '
    { v[++n] = $1; if ($1 >= 1e12) lost++ }
    function rank(p,   r) { r = int(p * n / 100); if (r < p * n / 100) r++; if (r < 1) r = 1; return v[r] }
    function ms(x) { return x >= 1e12 ? "lost" : sprintf("%.1f", x) }
    END { if (n == 0) { print "0 n/a n/a n/a 0"; exit } printf "%d %s %s %s %d\n", n, ms(rank(50)), ms(rank(99)), ms(v[n]), lost + 0 }'
}
# other_of SITUATION SETUP [RUN]: other work's share of the CPUs during the
# measurements, in per cent: each round's, in round order (or round RUN's).
other_of() {
  local r list=""
  for r in ${3:-$(seq "$RUNS")}; do
    list="$list$(grep "^run=$r situation=$1 setup=$2 role=machine " "$RAW" | sed 's/.*other_cpu_pct=//') / "
  done
  echo "${list% / }"
}
# field LINE KEY: the value of KEY= in a raw line.
field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" <<<" $1"; }
raw_lines() { grep "situation=$1 setup=$2 role=$3 " "$RAW" || true; }
samples_of() {
  local r files=()
  for r in $(seq "$RUNS"); do
    [ -f "$RESULTS/samples/$r-$1-$2-$3.txt" ] && files+=("$RESULTS/samples/$r-$1-$2-$3.txt")
  done
  echo "${files[@]}"
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[++n] = $1 } END { if (n == 0) print ""; else print (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2) }'; }
# A latency figure as a number (lost: above any target).
p99_value() { [[ "$1" =~ ^[0-9.]+$ ]] && echo "$1" || echo 1e12; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 < b + 0) }'; }

VERDICTS=()
verdict() { VERDICTS+=("- $1: $2: $3"); }

# When the hung sub-agent's subtree stopped being waited for: the first
# request of the hammer that was answered at once with noSuchObject (the
# registration was withdrawn), in seconds from the first request.
withdrawn_after() {
  local list="" f first gone
  for f in "$@"; do
    first=$(head -1 "$f" | cut -d' ' -f1)
    gone=$(awk '$3 == "noSuchObject" { print $1; exit }' "$f")
    if [ -n "$gone" ]; then list="$list$(awk -v a="$first" -v b="$gone" 'BEGIN { printf "%.1f", b - a }') s / "
    else list="${list}no / "; fi
  done
  list=${list% / }
  [[ "$list" =~ ^(no / )*no$ ]] && list="not within the ${SECONDS_EACH} s"
  echo "$list"
}

# What the hammer's requests got, summed over the rounds.
hammer_answers() {
  raw_lines "$1" "$2" hung | awk '
    { for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
      sent += f["sent"]; ok += f["ok"]; lost += f["lost"]
      n = split(f["other_kinds"], k, ",")
      for (j = 1; j <= n; j++) { split(k[j], p, ":"); if (p[1] != "-") other[p[1]] += p[2] } }
    END {
      text = sprintf("%d sent: %d lost", sent, lost)
      if (ok) text = text sprintf(", %d answered", ok)
      for (x in other) text = text sprintf(", %d %s", other[x], x)
      print text }'
}

# The sample files of a figure are passed on as separate words (no blanks in
# their paths), hence the unquoted $(samples_of ...) below.
# shellcheck disable=SC2046
report() {
  echo "Isolation and registration scale, $(date -u '+%Y-%m-%d %H:%M UTC'); $RUNS round(s)"
  echo
  machine_line
  local cxx
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
  echo "- build: $("${cxx:-c++}" --version 2>/dev/null | head -1), $(
    sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt"); Net-SNMP $(
    /usr/sbin/snmpd -v 2>/dev/null | sed -n 's/.*version: *//p' | head -1)"
  echo "- commit: $COMMIT"
  echo "- command: bench/isolation.sh --runs $RUNS --seconds $SECONDS_EACH --rate $RATE --hammer-rate $HAMMER_RATE" \
    "--count $COUNT --window $WINDOW --reg-rate $REG_RATE"
  echo "- other work before the start: CPUs $BUSY_START % busy, load average $LOAD_START; at the end: $LOAD_END;" \
    "$ELAPSED s in all"
  echo
  echo "#### Isolation: latency of the probes ($RATE GETs/s each, ${SECONDS_EACH} s per situation and round, $RUNS round(s) pooled; ms)"
  echo
  echo "p50 / p99 / max over every request sent; a lost request (no answer within $TIMEOUT_MS ms) counts as slower"
  echo "than any answer (\"lost\" where a percentile falls on one)."
  echo
  echo "Other work: the CPU time processes other than the measured ones took meanwhile, in per cent of both CPUs,"
  echo "round by round."

  echo
  echo "| situation | set-up | sysDescr.0 p50 / p99 / max | lost | healthy .9.1.1.0 p50 / p99 / max | lost | hung sub-agent's object (.11 / .12) | withdrawn after | other work |"
  echo "|---|---|---:|---:|---:|---:|---|---|---:|"
  local situation setup name hs hh
  for situation in $SITUATIONS; do
    for setup in $SETUPS; do
      [ "$setup" = ours ] && name=ours || name="AgentX path"
      read -r _ s50 s99 smax slost <<<"$(pooled $(samples_of "$situation" "$setup" sysdescr))"
      read -r _ h50 h99 hmax hlost <<<"$(pooled $(samples_of "$situation" "$setup" healthy))"
      hs="-"; hh="-"
      if [ "$situation" = stopped ] || [ "$situation" = tarpit ]; then
        hs="$(hammer_answers "$situation" "$setup")"
        hh="$(withdrawn_after $(samples_of "$situation" "$setup" hung))"
      fi
      echo "| $situation | $name | $s50 / $s99 / $smax | $slost | $h50 / $h99 / $hmax | $hlost | $hs | $hh |" \
        "$(other_of "$situation" "$setup") % |"
      if [ "$setup" = ours ] && { [ "$situation" = stopped ] || [ "$situation" = tarpit ]; }; then
        local worst
        worst=$(awk -v a="$(p99_value "$s99")" -v b="$(p99_value "$h99")" 'BEGIN { print (a > b ? a : b) }')
        if below "$worst" "$HUNG_P99_MS"; then v=met; else v="NOT met"; fi
        verdict "healthy objects' p99 under $HUNG_P99_MS ms, sub-agent $situation (ours)" \
          "sysDescr.0 $s99 ms, .9.1.1.0 $h99 ms (AgentX path: $(pooled $(samples_of "$situation" agentx sysdescr) |
            cut -d' ' -f3) and $(pooled $(samples_of "$situation" agentx healthy) | cut -d' ' -f3) ms)" "$v"
      fi
    done
  done
  echo
  echo "Wrong answers to the probes (anything but the expected value, lost ones apart), summed:"
  echo
  awk '/role=(sysdescr|healthy) / && / other=[1-9]/ { print "- " $0; n++ } END { if (!n) print "- none" }' "$RAW"
  echo
  echo "#### Four managers on two sub-agents (sequential GETs of .9.1.1.0 and .10.1.1.0, two managers each)"
  echo
  echo "CPU time per GET (all rounds): of the master (qvt-master-agent or snmpd), of the two sub-agents together, and"
  echo "of a manager (the load client, Net-SNMP's client library); the managers share the two CPUs with the agents."
  echo
  echo "| set-up | GETs/s, all four managers (median of the rounds) | each round | CPU per GET: master, us | sub-agents, us | a manager, us | other work |"
  echo "|---|---:|---|---:|---:|---:|---:|"
  local ours_rate agentx_rate rates cpu
  for setup in $SETUPS; do
    rates=$(grep "situation=managers setup=$setup role=manager" "$RAW" | awk '
      { for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } sum[f["run"]] += f["rate"] }
      END { for (r = 1; r in sum; r++) printf "%.0f ", sum[r] }')
    # CPU seconds of the watched processes (manager 1's line) over every
    # manager's requests of the same round.
    cpu=$(grep "situation=managers setup=$setup role=manager" "$RAW" | awk '
      { delete f; for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        req += f["requests"]; client += f["client_cpu_us_per_req"] * f["requests"]
        if (f["cpu_us_per_req"] != "") { n = split(f["cpu_us_per_req"], c, ","); master += c[1] * f["requests"]
          for (j = 2; j <= n; j++) subs += c[j] * f["requests"] } }
      END { if (req > 0) printf "%.1f %.1f %.1f", master / req, subs / req, client / req; else print "n/a n/a n/a" }')
    [ "$setup" = ours ] && ours_rate=$(median <<<"$rates") || agentx_rate=$(median <<<"$rates")
    [ "$setup" = ours ] && name=ours || name="AgentX path"
    read -r cm cs cc <<<"$cpu"
    echo "| $name | $(median <<<"$rates" | awk '{ printf "%.0f", $1 }') | ${rates% } | $cm | $cs | $cc |" \
      "$(other_of managers "$setup") % |"
  done
  local ratio
  ratio=$(awk -v a="$ours_rate" -v b="$agentx_rate" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
  echo "| ours / AgentX path | ${ratio}x | | | | | |"
  if [ "$ratio" != n/a ] && ! below "$ratio" "$MANAGERS_RATIO"; then v=met; else v="NOT met"; fi
  verdict "4 managers on 2 sub-agents: at least ${MANAGERS_RATIO}x the AgentX path's GETs/s" \
    "$(printf '%.0f' "$ours_rate") against $(printf '%.0f' "$agentx_rate") GETs/s, ${ratio}x" "$v"
  echo
  echo "#### Registration scale: $COUNT registrations in one session, then its close (ours; $WINDOW requests in flight; sysDescr.0 probed at $REG_RATE/s)"
  echo
  echo "GETs counted in a phase: those in flight at any time during it. Latencies in ms."
  echo
  echo "| round | registrations, s | per s | sent again | close, s | GETs during the registrations: n, p50 / p99 / max | lost | GETs during the close: n, p50 / p99 / max | lost | other work |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  local run line rs re cs ce f regs=() closes=() rmax=0 cmax=0
  for run in $(seq "$RUNS"); do
    line=$(grep "^run=$run situation=register setup=ours role=register " "$RAW") || continue
    rs=$(field "$line" register_start_at); re=$(field "$line" register_end_at)
    cs=$(field "$line" close_start_at); ce=$(field "$line" close_end_at)
    f=$RESULTS/samples/$run-register-ours-sysdescr.txt
    read -r rn r50 r99 rworst rl <<<"$(phase "$rs" "$re" "$f")"
    read -r cn c50 c99 cworst cl <<<"$(phase "$cs" "$ce" "$f")"
    regs+=("$(field "$line" register_seconds)"); closes+=("$(field "$line" close_seconds)")
    echo "| $run | $(printf '%.2f' "$(field "$line" register_seconds)") | $(printf '%.0f' "$(field "$line" rate)") |" \
      "$(field "$line" resent) | $(printf '%.3f' "$(field "$line" close_seconds)") | $rn, $r50 / $r99 / $rworst | $rl |" \
      "$cn, $c50 / $c99 / $cworst | $cl | $(other_of register ours "$run") % |"
    # Where the probe did not cover a phase, say so.
    awk -v e="$ce" -v last="$(tail -1 "$f" | cut -d' ' -f1)" 'BEGIN { exit !(last < e) }' &&
      echo "| $run | the probe ended before the close did: the phases are not fully covered | | | | | | | | |"
    rworst=$(p99_value "$rworst"); cworst=$(p99_value "$cworst")
    rmax=$(awk -v a="$rmax" -v b="$rworst" 'BEGIN { print (b > a ? b : a) }')
    cmax=$(awk -v a="$cmax" -v b="$cworst" 'BEGIN { print (b > a ? b : a) }')
  done
  local worstReg worstClose
  worstReg=$(printf '%s\n' "${regs[@]}" | sort -g | tail -1)
  worstClose=$(printf '%s\n' "${closes[@]}" | sort -g | tail -1)
  if below "$worstReg" "$REGISTER_SECONDS"; then v=met; else v="NOT met"; fi
  verdict "$COUNT registrations in under $REGISTER_SECONDS s" "$(printf '%.2f' "$worstReg") s in the slowest round" "$v"
  if below "$worstClose" "$CLOSE_SECONDS"; then v=met; else v="NOT met"; fi
  verdict "closeSession of that session answered in under $CLOSE_SECONDS s" \
    "$(printf '%.3f' "$worstClose") s in the slowest round" "$v"
  if ! below "$REG_GET_MS" "$rmax" && ! below "$REG_GET_MS" "$cmax"; then v=met; else v="NOT met"; fi
  local allp99
  allp99=$(for run in $(seq "$RUNS"); do
      line=$(grep "^run=$run situation=register setup=ours role=register " "$RAW") || continue
      phase "$(field "$line" register_start_at)" "$(field "$line" close_end_at)" \
        "$RESULTS/samples/$run-register-ours-sysdescr.txt" | cut -d' ' -f3
    done | tr '\n' ' ')
  verdict "every GET of sysDescr.0 answered within $REG_GET_MS ms during the registrations and the close" \
    "slowest $(awk -v a="$rmax" 'BEGIN { print (a >= 1e12 ? "lost" : a) }') ms (registrations) and $(
      awk -v a="$cmax" 'BEGIN { print (a >= 1e12 ? "lost" : a) }') ms (close); p99 over both phases per round: ${allp99% } ms" "$v"
  echo
  echo "#### Targets"
  echo
  printf '%s\n' "${VERDICTS[@]}"
}

report >"$RESULTS/table.md"
cat "$RESULTS/table.md"
log "raw lines: $RAW; every request's latency: $RESULTS/samples/"
