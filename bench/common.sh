# shellcheck shell=bash
# common.sh: the pieces bench/compare.sh and bench/isolation.sh share, sourced
# by both: messages, the daemons they start and stop, free loopback ports, and
# what the machine is busy with. The sourcing script sets BENCH_NAME (the
# prefix of its messages) first; it may set ON_CPU (a command prefix such as
# "taskset -c 1" that every daemon is started under).
#
# Every daemon started with `start` is stopped by `stop_all`, the latest
# first; a script calls stop_all from its EXIT trap so that nothing it
# started outlives it.

ON_CPU=(${ON_CPU[@]+"${ON_CPU[@]}"})
PIDS=()
TAKEN=" "

log() { echo "$BENCH_NAME: $*" >&2; }
die() { log "$*"; exit 1; }

# True while process $1 runs (a zombie, ended but not yet reaped, does not).
alive() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Whether process $1 is still one this script started: a daemon that ended
# long ago was reaped, and the system may have given its pid to another
# process (a test's, a user's) that must not get our signals.
ours() {
  local parent
  parent=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f2) || return 1
  [ "$parent" = "$$" ]
}

# Stops one daemon: SIGTERM (and SIGCONT, for one that was stopped with
# SIGSTOP), at most 5 s to end, then SIGKILL. Only while it is still ours.
stop_pid() {
  local pid=$1
  if ! ours "$pid"; then
    wait "$pid" 2>/dev/null || true
    return 0
  fi
  kill -TERM "$pid" 2>/dev/null || true
  kill -CONT "$pid" 2>/dev/null || true
  for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
  if ours "$pid" && alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  wait "$pid" 2>/dev/null || true
}

# Stops the daemons, the latest first (sub-agents before their masters).
stop_all() {
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_pid "${PIDS[$i]}"; done
  PIDS=()
}

# A UDP port nobody has bound (checked against /proc/net/udp*) and that this
# run has not handed out yet.
free_udp_port() {
  local used port
  used=" $(tail -q -n +2 /proc/net/udp /proc/net/udp6 2>/dev/null |
           while read -r _ local _; do echo $((16#${local##*:})); done | tr '\n' ' ') "
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    if [[ "$used" != *" $port "* && "$TAKEN" != *" $port "* ]]; then
      TAKEN="$TAKEN$port "
      echo "$port"
      return 0
    fi
  done
  die "no free UDP port found"
}

# Waits until someone has bound UDP port $1 on this host (at most 10 s).
wait_udp_port() {
  local hex
  hex=$(printf '%04X' "$1")
  for _ in $(seq 100); do
    grep -q ":$hex " /proc/net/udp /proc/net/udp6 2>/dev/null && return 0
    sleep 0.1
  done
  die "nothing listens on UDP port $1 after 10 s"
}

# start NAME LOG COMMAND...: starts a daemon in the background; its pid goes
# to PID_<NAME>.
start() {
  local name=$1 logfile=$2
  shift 2
  ${ON_CPU[@]+"${ON_CPU[@]}"} "$@" >"$logfile" 2>&1 &
  PIDS+=("$!")
  printf -v "PID_$name" '%s' "$!"
}

# How busy the CPUs are with other work, in percent over one second: other
# processes competing for the cores slow every set-up.
cpu_busy() {
  local a b
  read -ra a < <(head -1 /proc/stat); sleep 1; read -ra b < <(head -1 /proc/stat)
  awk -v u=$((b[1] + b[2] + b[3] + b[6] + b[7] - a[1] - a[2] - a[3] - a[6] - a[7])) \
      -v i=$((b[4] + b[5] - a[4] - a[5])) 'BEGIN { printf "%d", ((u + i) > 0 ? 100 * u / (u + i) : 0) }'
}

# The machine line of a report: cores, CPU model, kernel.
machine_line() {
  local cpu
  cpu=$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')
  echo "- machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr)"
}

# Installs what the comparison needs and, when $BUILD is 1, builds target $1
# in $BUILD_DIR (release, no tests), its logs named after $2.
build_programs() {
  local target=$1 logs=$BUILD_DIR/$2
  QV_DEPS_BENCH=1 bash "$ROOT/scripts/deps.sh"
  [ -x /usr/sbin/snmpd ] || die "/usr/sbin/snmpd is missing (apt-get install snmpd)"
  [ "$BUILD" = 1 ] || return 0
  log "building in $BUILD_DIR"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=ON \
    >"$logs-configure.log" 2>&1 || { cat "$logs-configure.log" >&2; die "configuring failed"; }
  grep -q "$target" "$BUILD_DIR/Makefile" "$BUILD_DIR/build.ninja" 2>/dev/null ||
    die "the Net-SNMP programs are not configured: is libsnmp-dev installed (pkg-config netsnmp-agent)?"
  cmake --build "$BUILD_DIR" -j2 --target "$target" >"$logs-build.log" 2>&1 ||
    { tail -30 "$logs-build.log" >&2; die "building failed (log: $logs-build.log)"; }
}
