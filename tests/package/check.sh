#!/usr/bin/env bash
# The Debian packages as an operator meets them, on this machine (root):
# lintian finds no error; dpkg -i sets up the service's account, its state
# directory, the configuration readable by that account alone and the
# service enabled; libqvsubag-dev builds a program; the installed units
# verify; the installed master, started as its unit starts it (account,
# capability, configuration), answers an SNMPv3 GET of the installed
# example sub-agent's object; dpkg -r keeps the
# configuration, the engine state and the account; dpkg -P leaves nothing of
# them behind.
#
#   tests/package/check.sh build/package/packages
set -euo pipefail
packages=$(cd "${1:?folder of the .deb files}" && pwd)
names=(libqvsubag1 libqvsubag-dev qvt-master-agent qvt-subagent-example)
work=$(mktemp -d)
pids=()
dpkg_touched=0
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # A check that failed half way leaves the machine as it found it.
  [ "$dpkg_touched" = 1 ] && dpkg -P "${names[@]}" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "package check: $*" >&2; exit 1; }
step() { echo "package check: $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

[ "$(id -u)" -eq 0 ] || fail "needs root (dpkg -i)"
for name in "${names[@]}"; do
  case $(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || echo not-installed) in
    *not-installed) ;;
    *) fail "$name is already on this machine; purge it first (dpkg -P ${names[*]})" ;;
  esac
done

step "lintian"
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "$packages"/*.deb

# Everything the packages or their scripts could leave: files, the accounts.
snapshot() {
  find /etc /usr /lib /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \) -prune \
    -o -print 2>/dev/null | grep -v -E '^/etc/(passwd|group|shadow|gshadow)-$' | sort
  getent passwd | cut -d: -f1 | sort | sed 's/^/user /'
  getent group | cut -d: -f1 | sort | sed 's/^/group /'
  dpkg-statoverride --list | sed 's/^/override /'
}
snapshot > "$work/before"

step "dpkg -i"
dpkg_touched=1
dpkg -i "$packages"/*.deb > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
for name in "${names[@]}"; do installed "$name" || fail "$name is not installed"; done
getent passwd _qvt >/dev/null || fail "no _qvt account"
[ "$(stat -c '%U:%G %a' /var/lib/qvt-master-agent)" = "_qvt:_qvt 750" ] || fail "state directory: $(stat -c '%U:%G %a' /var/lib/qvt-master-agent)"
[ "$(stat -c '%U:%G %a' /etc/qvt/master-agent.conf)" = "root:_qvt 640" ] || fail "configuration: $(stat -c '%U:%G %a' /etc/qvt/master-agent.conf)"
[ -L /etc/systemd/system/multi-user.target.wants/qvt-master-agent.service ] || fail "the service is not enabled"
for page in qvt-master-agent.8 qvt-subagent-example.8 qvt.conf.5; do
  [ -f "/usr/share/man/man${page##*.}/$page.gz" ] || fail "man page $page is missing"
done

step "a program builds against libqvsubag-dev, with pkg-config and with find_package, and runs"
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck disable=SC2046
g++ -std=c++20 -o "$work/consumer" "$here/../install/consumer.cpp" $(pkg-config --cflags --libs qvsubag) ||
  fail "pkg-config qvsubag does not build a program"
"$work/consumer" > /dev/null || fail "the program built with pkg-config does not run"
mkdir -p "$work/cm"
cp "$here/../install/consumer.cpp" "$work/cm/"
cp "$here/../install/CMakeLists.txt.in" "$work/cm/CMakeLists.txt"
{ cmake -S "$work/cm" -B "$work/cm/build" && cmake --build "$work/cm/build"; } > "$work/cm.log" 2>&1 ||
  { cat "$work/cm.log"; fail "find_package(QVSubAg) does not build a program"; }
"$work/cm/build/consumer" > /dev/null || fail "the program built with find_package does not run"

step "systemd-analyze verify (installed units)"
man=yes
command -v man >/dev/null || man=no
out=$(systemd-analyze verify --man=$man qvt-master-agent.service qvt-subagent-example@example.service 2>&1) ||
  fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

step "the installed configuration checks, and a user added to it"
/usr/sbin/qvt-master-agent --check-config -c /etc/qvt/master-agent.conf > "$work/check.log" 2>&1 ||
  { cat "$work/check.log"; fail "the installed configuration is not usable"; }
# As an operator would: the commented [User] section taken in, passwords chosen.
sed -i -e '/^#\[User monitor\]/,/^#View=/s/^#//' -e 's/^AuthPassword=$/AuthPassword=monitor-auth-pass/' \
  -e 's/^PrivPassword=$/PrivPassword=monitor-priv-pass/' /etc/qvt/master-agent.conf
/usr/sbin/qvt-master-agent --check-config -c /etc/qvt/master-agent.conf > "$work/check.log" 2>&1 ||
  { cat "$work/check.log"; fail "the configuration with a user is not usable"; }
grep -q "usable, 0 warning(s)" "$work/check.log" || { cat "$work/check.log"; fail "warnings with a user"; }

step "the installed master (as its unit runs it) and example sub-agent answer an SNMPv3 GET"
# The unit's ExecStart, account and only capability.
setpriv --reuid=_qvt --regid=_qvt --init-groups --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \
  --bounding-set=-all,+net_bind_service /usr/sbin/qvt-master-agent -c /etc/qvt/master-agent.conf \
  > "$work/master.log" 2>&1 &
pids+=($!)
setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/sbin/qvt-subagent-example \
  -c /etc/qvt/subagent-example/example.conf --description example > "$work/subagent.log" 2>&1 &
pids+=($!)
get=(snmpget -v3 -l authPriv -u monitor -a SHA-256 -A monitor-auth-pass -x AES -X monitor-priv-pass -On -t 1 -r 0
     -M /usr/share/qvt/mibs -m QVT-EXAMPLE-MIB 127.0.0.1:161 SNMPv2-MIB::sysDescr.0 QVT-EXAMPLE-MIB::qvtExDescr.0)
# qvtExDescr.0 is the example's description; the sub-agent registers within a moment of starting.
expected='^\.1\.3\.6\.1\.4\.1\.32473\.1\.1\.1\.1\.0 = STRING: "?example"?$'
answer=""
for _ in $(seq 1 20); do
  answer=$("${get[@]}" 2>&1 || true)
  grep -q -E "$expected" <<<"$answer" && break
  sleep 0.5
done
grep -q -E "$expected" <<<"$answer" ||
  { cat "$work/master.log" "$work/subagent.log"; fail "no answer from the example sub-agent: $answer"; }
echo "$answer"
[ "$(stat -c '%U' /var/lib/qvt-master-agent/engine.state)" = _qvt ] || fail "the engine state is not the master's"
for pid in "${pids[@]}"; do kill -TERM "$pid"; done
for pid in "${pids[@]}"; do wait "$pid" || fail "a program did not stop cleanly: $(cat "$work"/*.log)"; done
pids=()

step "a reinstall (as an upgrade) keeps the operator's configuration, its mode and a disabled service disabled"
systemctl disable qvt-master-agent.service > "$work/disable.log" 2>&1 || { cat "$work/disable.log"; fail "systemctl disable"; }
[ -e /etc/systemd/system/multi-user.target.wants/qvt-master-agent.service ] && fail "systemctl disable left the link"
dpkg -i "$packages"/*.deb > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "the reinstall failed"; }
grep -q '^\[User monitor\]' /etc/qvt/master-agent.conf || fail "the reinstall lost the operator's change"
[ "$(stat -c '%U:%G %a' /etc/qvt/master-agent.conf)" = "root:_qvt 640" ] || fail "the reinstall changed the mode"
[ -e /etc/systemd/system/multi-user.target.wants/qvt-master-agent.service ] && fail "the reinstall enabled the service again"

step "dpkg -r keeps the configuration, the engine state and the account"
dpkg -r "${names[@]}" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r failed"; }
[ -f /etc/qvt/master-agent.conf ] && [ -f /var/lib/qvt-master-agent/engine.state ] && getent passwd _qvt >/dev/null ||
  fail "dpkg -r removed what a reinstall needs"
[ -x /usr/sbin/qvt-master-agent ] && fail "dpkg -r left the program"

step "dpkg -P leaves nothing behind"
dpkg -P "${names[@]}" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P failed"; }
snapshot > "$work/after"
dpkg_touched=0
diff "$work/before" "$work/after" || fail "the purge left the lines marked > above, or took those marked <"
step "passed"
