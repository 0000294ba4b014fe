#!/bin/bash
# The package as it ships, under a real systemd: builds the .deb, makes a
# minimal Debian root file system from the host's own APT sources (cached),
# boots it with systemd-nspawn, installs the package with apt and walks an
# operator's journey, one assertion per step.
#
#   tests/system/boot_test.sh [BUILD_DIR]
#
# BUILD_DIR (default build/ of the tree) must hold a built talon-emu; the
# package, the root file system and the container live under
# BUILD_DIR/system-test. Exit 0: passed; 1: a step failed (the message says
# which); 77: the host cannot boot a container (the message says why).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
base="$build/system-test"
emu_bin="$build/emulator/talon-emu"

# Inside the container.
readonly emu_root=/run/talon-emu
readonly emu_cards=2
readonly metrics_url=http://127.0.0.1:10417/metrics
# The test's watchdog period: short, so a hung health checker is seen soon.
readonly test_watchdog_sec=4
readonly active_wait_s=30
readonly stop_limit_ms=2000
# A sleeping daemon uses well under 1% of a processor per card; a spinning
# one keeps a processor per card busy.
readonly idle_cpu_limit_percent=10
readonly cpu_sample_s=3
# The daemon's card discovery period.
readonly discovery_period_s=30
# Scrapes while the daemon refuses its configuration, one a second, and the
# starts they may cause (one per 30 s hold, and the operator's).
readonly refused_scrapes=30
readonly refused_starts_limit=4

skip() { echo "SKIP: $*" >&2; exit 77; }
fail() {
    echo "FAIL: $*" >&2
    if [ -n "${pid1:-}" ] && [ -d "/proc/$pid1" ]; then
        echo "--- journal of talonmon (last 40 lines) ---" >&2
        cin journalctl -u talonmon -u talonmon.socket -u talon-emu --no-pager -n 40 >&2 || true
    fi
    exit 1
}
step() { echo "== $(date +%T) $*" >&2; }

# ---------------------------------------------------------------- host check
[ "$(id -u)" -eq 0 ] || skip "the boot test needs root (mmdebstrap, unshare -m, systemd-nspawn)"
for tool in mmdebstrap systemd-nspawn unshare nsenter dpkg-deb curl python3; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/deps installs it)"
done
[ -x "$emu_bin" ] || skip "$emu_bin is not built (run scripts/build first)"
. /etc/os-release
[ -n "${VERSION_CODENAME:-}" ] || skip "/etc/os-release names no release; the root file system uses the host's APT sources"
sources=()
[ -s /etc/apt/sources.list ] && grep -q '^[[:space:]]*deb' /etc/apt/sources.list && sources+=(/etc/apt/sources.list)
for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && sources+=("$f")
done
[ "${#sources[@]}" -gt 0 ] || skip "the host has no APT sources to build a root file system from"
# The rest runs in a mount namespace of its own: the container's cgroup2
# hierarchy and its root file system (the cached tree under an overlay) are
# mounted there and go away with it.
if [ -z "${TALON_BOOT_TEST_NS:-}" ]; then
    unshare -m --propagation private sh -c 'mount -t cgroup2 cgroup2 /sys/fs/cgroup' 2>/dev/null ||
        skip "cannot mount cgroup2 in a private mount namespace (a container or a kernel without it)"
    exec env TALON_BOOT_TEST_NS=1 unshare -m --propagation private "$0" "$build"
fi
mount -t cgroup2 cgroup2 /sys/fs/cgroup || fail "cannot mount cgroup2 on /sys/fs/cgroup"

mkdir -p "$base"

# ---------------------------------------------------------------- the package
# Reused while the sources are unchanged: the hash covers what scripts/package
# copies (the build scripts and the README, which ships, included), less the
# tests, benchmarks and CI files, which do not go into the package. (The
# snapshot version the package takes from the history is left out: a commit
# of tests alone reuses the package.)
tree_hash=$(tar -C "$root" --exclude-vcs --exclude=./build --exclude='./build-*' --exclude=./tests \
                --exclude=./bench --exclude=./.ci --sort=name \
                --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - . | sha256sum | cut -c1-16)
deb_dir="$base/deb-$tree_hash"
if ! ls "$deb_dir"/talonmon_*.deb >/dev/null 2>&1; then
    step "building the package"
    # The few latest packages stay: switching between branches reuses them.
    { ls -dt "$base"/deb-* 2>/dev/null || true; } | tail -n +4 | xargs -r rm -rf
    "$root/scripts/package" "$deb_dir.tmp" >/dev/null || fail "scripts/package failed"
    mv "$deb_dir.tmp" "$deb_dir"
fi
deb=$(ls "$deb_dir"/talonmon_*.deb | head -n 1)

# ---------------------------------------------------------------- root file system
# The packages the .deb depends on are in the cached tree, so apt installs it
# inside a container without a network.
deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v '^$' | sort -u | paste -sd, -)
includes="systemd,systemd-sysv,dbus,$deps"
rootfs_key=$( { echo "$VERSION_CODENAME $includes"; cat "${sources[@]}"; } | sha256sum | cut -c1-16)
rootfs_cache="$base/rootfs-$rootfs_key"
if [ ! -d "$rootfs_cache" ]; then
    step "making the root file system ($VERSION_CODENAME, minbase + $includes)"
    rm -rf "$base"/rootfs-*
    mmdebstrap --variant=minbase --include="$includes" --skip=cleanup/apt/lists \
        "$VERSION_CODENAME" "$rootfs_cache.tmp" "${sources[@]}" >"$base/mmdebstrap.log" 2>&1 ||
        fail "mmdebstrap failed (see $base/mmdebstrap.log)"
    mv "$rootfs_cache.tmp" "$rootfs_cache"
fi

# ---------------------------------------------------------------- container
rootdir="$base/root"
console="$base/console.log"
nspawn_pid=""
pid1=""

# Runs a command inside the container, as its root, with a clean environment.
cin() {
    nsenter -t "$pid1" -m -u -i -n -p -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# The same through a shell.
csh() { cin sh -c "$1"; }

# Waits up to $1 seconds for the command "$2..." to succeed.
wait_for() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    while ! "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}

container_pid1() {
    local p
    for p in $(ps -o pid= --ppid "$nspawn_pid" 2>/dev/null); do
        [ "$(awk '/^NSpid:/ {print $NF}' "/proc/$p/status" 2>/dev/null)" = 1 ] && { echo "$p"; return 0; }
    done
    return 1
}

boot() {
    : >>"$console"
    echo "---- boot $(date +%T)" >>"$console"
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -q -b -D "$rootdir" -M talonmon-systest \
        --register=no --keep-unit --private-network --console=passive >>"$console" 2>&1 </dev/null &
    nspawn_pid=$!
    wait_for 30 container_pid1 || fail "the container did not start (see $console)"
    pid1=$(container_pid1)
    local state
    wait_for 30 cin systemctl is-system-running --wait || true
    state=$(cin systemctl is-system-running || true)
    [ "$state" = running ] ||
        fail "the container booted to '$state', not 'running': $(cin systemctl --failed --no-legend --plain || true)"
}

shutdown_container() {
    [ -n "$nspawn_pid" ] || return 0
    if kill -0 "$nspawn_pid" 2>/dev/null; then
        kill -TERM "$nspawn_pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$nspawn_pid" 2>/dev/null || true
    fi
    wait "$nspawn_pid" 2>/dev/null || true
    nspawn_pid=""
    pid1=""
}
trap shutdown_container EXIT
trap 'exit 1' INT TERM

step "mounting the root file system"
rm -rf "$rootdir" "$base/upper" "$base/overlay-work" "$console"
mkdir -p "$rootdir" "$base/upper" "$base/overlay-work"
mount -t overlay overlay -o "lowerdir=$rootfs_cache,upperdir=$base/upper,workdir=$base/overlay-work" "$rootdir" ||
    fail "cannot mount an overlay of $rootfs_cache on $rootdir"
# Operator's edits below stand for a host's own.
echo talonmon-systest >"$rootdir/etc/hostname"

# The emulator as a unit of its own; a drop-in points the daemon at it.
cmake --install "$build" --component emulator --prefix "$rootdir/usr/local" >/dev/null ||
    fail "cannot install the emulator component into the container"
cat >"$rootdir/etc/systemd/system/talon-emu.service" <<EOF
[Unit]
Description=TALON card emulator (system test)
Before=talonmon.service

[Service]
Type=exec
ExecStart=/usr/local/bin/talon-emu --root $emu_root --cards $emu_cards
ExecStartPost=/bin/sh -c 'while [ ! -e $emu_root/ready ]; do sleep 0.1; done'

[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/talon-emu.service "$rootdir/etc/systemd/system/multi-user.target.wants/talon-emu.service"
mkdir -p "$rootdir/etc/systemd/system/talonmon.service.d"
cat >"$rootdir/etc/systemd/system/talonmon.service.d/emulator.conf" <<EOF
[Unit]
Requires=talon-emu.service
After=talon-emu.service

[Service]
Environment=TALON_SYSFS_DIR=$emu_root/sys TALON_DEV_DIR=$emu_root/dev
Environment=PATH=$emu_root/bin:/usr/sbin:/usr/bin:/sbin:/bin
# The emulated card memory is mapped read-write, as real BAR files are.
ReadWritePaths=$emu_root
WatchdogSec=$test_watchdog_sec
EOF

step "booting the container"
boot

# ---------------------------------------------------------------- install
step "installing the package"
cp "$deb" "$rootdir/root/"
cin apt-get install -y -q "/root/$(basename "$deb")" >"$base/apt-install.log" 2>&1 ||
    fail "apt install of $(basename "$deb") failed (see $base/apt-install.log)"
wait_for "$active_wait_s" sh -c "[ \"\$(nsenter -t $pid1 -m -u -i -n -p systemctl is-active talonmon)\" = active ]" ||
    fail "talonmon is '$(cin systemctl is-active talonmon)' ${active_wait_s} s after install, not 'active'"
installed_pid=$(cin systemctl show talonmon -p MainPID --value)
installed_at=$SECONDS

# ---------------------------------------------------------------- helpers of the journey
unit_prop() { cin systemctl show talonmon -p "$1" --value; }
is_active() { [ "$(cin systemctl is-active talonmon 2>/dev/null)" = "$1" ]; }
journal_since() { cin journalctl -u talonmon --no-pager -o cat --since "@$1"; }
now_s() { cin date +%s; }
# Telemetry files as the host sees them, through the container's root.
run_dir() { echo "/proc/$pid1/root/run/talonmon"; }

# Every card has a stats file whose lines (banners aside) are JSON objects.
check_telemetry_files() {
    python3 - "$(run_dir)" "$emu_cards" <<'PY'
import json, os, sys
d, cards = sys.argv[1], int(sys.argv[2])
stats = sorted(f for f in os.listdir(d) if f.startswith("card_") and f.endswith("_stats.log"))
if len(stats) != cards:
    sys.exit(f"{d}: {len(stats)} stats files, expected {cards}: {sorted(os.listdir(d))}")
for name in sorted(os.listdir(d)):
    records = 0
    with open(os.path.join(d, name), encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            if line.startswith("*** Boot #"):
                continue
            try:
                if not isinstance(json.loads(line), dict):
                    raise ValueError("not an object")
            except ValueError as e:
                sys.exit(f"{name}:{n}: not a JSON line ({e}): {line[:120]!r}")
            records += 1
    if name in stats and records == 0:
        sys.exit(f"{name}: no records yet")
PY
}

metrics() { nsenter -t "$pid1" -n curl -sS --max-time 5 -o /dev/stdout -w '\nHTTP %{http_code}\n' "$metrics_url"; }

# The daemon's processor use over a few seconds, in percent of one processor.
daemon_cpu_percent() {
    local pid ticks0 ticks1 hz
    pid=$(unit_prop MainPID)
    hz=$(getconf CLK_TCK)
    ticks0=$(awk '{print $14 + $15}' "/proc/$pid1/root/proc/$pid/stat")
    sleep "$cpu_sample_s"
    ticks1=$(awk '{print $14 + $15}' "/proc/$pid1/root/proc/$pid/stat")
    echo $(( (ticks1 - ticks0) * 100 / hz / cpu_sample_s ))
}

status_is() { [ "$(cin systemctl show talonmon -p StatusText --value)" = "$1" ]; }

check_active_within() {
    wait_for "$1" is_active active ||
        fail "$2: talonmon is '$(cin systemctl is-active talonmon || true)' after $1 s, not 'active'"
}

config=/etc/talonmon.json
host_config="$rootdir$config"

# ---------------------------------------------------------------- installed and running
step "telemetry files, journal, sandbox"
wait_for 15 check_telemetry_files || fail "telemetry files in /run/talonmon: $(check_telemetry_files 2>&1)"
errors=$(cin journalctl -u talonmon --no-pager -o cat -p err)
[ -z "$errors" ] || fail "the journal has errors of talonmon: $errors"
if cin journalctl -u talonmon --no-pager -o cat | grep -E '^(Error|Failed)'; then
    fail "the daemon reported an error at start (above)"
fi
[ "$(unit_prop RestrictAddressFamilies)" = AF_UNIX ] ||
    fail "the daemon's sandbox allows '$(unit_prop RestrictAddressFamilies)', not only AF_UNIX"
[ "$(unit_prop PrivateNetwork)" = yes ] || fail "the daemon does not have a private network"
exposure=$(cin systemd-analyze security talonmon.service --no-pager 2>&1 |
    sed -n 's/.*Overall exposure level for talonmon.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security printed no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || fail "sandbox exposure $exposure is above 3.0"
echo "   exposure $exposure" >&2

step "metrics through the socket unit"
[ "$(cin systemctl is-active talonmon.socket)" = active ] || fail "talonmon.socket is not active after install"
[ "$(cin systemctl is-enabled talonmon.socket)" = enabled ] || fail "talonmon.socket is not enabled after install"
wait_for 15 sh -c "$(declare -f metrics); pid1=$pid1 metrics_url=$metrics_url; metrics | grep -q '^talon_card_up{.*} 1\$'" ||
    fail "GET $metrics_url from the container's network gave no 'talon_card_up ... 1': $(metrics 2>&1 | tail -n 5)"
metrics | grep -q '^HTTP 200$' || fail "GET $metrics_url did not answer 200"
installed_version=$(cin dpkg-query -W -f '${Version}' talonmon)
metrics | grep -qF "talonmon_build_info{version=\"$installed_version\"} 1" ||
    fail "talonmon_build_info does not name the installed version $installed_version: $(metrics | grep build_info)"

step "talonmon-top lists the cards"
# The installed tool, as an operator runs it: the endpoint of the shipped
# configuration, one table, every card up.
top_out=$(cin talonmon-top --once 2>&1) || fail "talonmon-top --once failed: $top_out"
cards_shown=$(echo "$top_out" | grep -c '^CARD .* up' || true)
[ "$cards_shown" = "$emu_cards" ] ||
    fail "talonmon-top --once shows $cards_shown cards up, not $emu_cards: $top_out"

step "status line, a failing card in the journal"
status=$(unit_prop StatusText)
[ "$status" = "$emu_cards cards monitored, 0 down" ] || fail "status is '$status', not '$emu_cards cards monitored, 0 down'"
trace_log="$rootdir/var/log/talonmon/talonmon.log"
since=$(now_s)
down_at=$SECONDS
bdf0=$(cin /usr/local/bin/talon-emu --root "$emu_root" --ctl 'heartbeat 0 fail' | awk '{print $2}')
inits_before=$(grep -c "TALON $bdf0 - Card init successful" "$trace_log" || true)
wait_for 10 status_is "$emu_cards cards monitored, 1 down" ||
    fail "status is '$(unit_prop StatusText)' after card 0 failed its heartbeat, not '$emu_cards cards monitored, 1 down'"

step "SIGHUP and systemctl reload reopen the files and keep the daemon"
pid_before=$(unit_prop MainPID)
lines_before=$(wc -l <"$trace_log")
cin systemctl kill -s HUP --kill-who=main talonmon || fail "systemctl kill -s HUP failed"
wait_for 5 sh -c "[ \$(grep -c 'Received SIGHUP, reopened' '$trace_log') -ge 1 ]" || fail "no reopen line in the trace log after SIGHUP"
cin systemctl reload talonmon || fail "systemctl reload talonmon failed"
wait_for 5 sh -c "[ \$(grep -c 'Received SIGHUP, reopened' '$trace_log') -ge 2 ]" || fail "no reopen line in the trace log after reload"
is_active active && [ "$(unit_prop MainPID)" = "$pid_before" ] ||
    fail "after SIGHUP and reload talonmon is '$(cin systemctl is-active talonmon)' with PID $(unit_prop MainPID), not $pid_before"

step "the failing card stays down through a discovery pass, then comes back"
# Discovery runs every 30 s: a card that stays down is not read again.
remaining=$(( discovery_period_s + 2 - (SECONDS - down_at) ))
[ "$remaining" -le 0 ] || sleep "$remaining"
cin /usr/local/bin/talon-emu --root "$emu_root" --ctl 'heartbeat 0 ok' >/dev/null
wait_for $((discovery_period_s + 10)) status_is "$emu_cards cards monitored, 0 down" ||
    fail "status is '$(unit_prop StatusText)' after card 0 answered again, not '$emu_cards cards monitored, 0 down'"
journal=$(journal_since "$since")
[ "$(echo "$journal" | grep -c "^TALON $bdf0 - card down detected")" = 1 ] &&
    [ "$(echo "$journal" | grep -c "^TALON $bdf0 - card up detected")" = 1 ] ||
    fail "the journal does not tell card $bdf0's episode in one line down and one up: $journal"
inits_after=$(grep -c "TALON $bdf0 - Card init successful" "$trace_log" || true)
[ "$inits_after" = $((inits_before + 1)) ] ||
    fail "card $bdf0 was read afresh $((inits_after - inits_before)) times while down and back, not once"
[ "$(wc -l <"$trace_log")" -gt $((lines_before + 2)) ] || fail "the trace log stopped after SIGHUP and reload"

step "watchdog, processor use"
# A healthy daemon outlives its watchdog period more than twice over.
watchdog_wait=$(( test_watchdog_sec * 5 / 2 + 1 - (SECONDS - installed_at) ))
[ "$watchdog_wait" -le 0 ] || sleep "$watchdog_wait"
if cin journalctl -u talonmon --no-pager -o cat | grep 'Watchdog timeout'; then
    fail "the watchdog ended the healthy daemon (above): does its health checker ping it?"
fi
[ "$(unit_prop MainPID)" = "$installed_pid" ] && [ "$(unit_prop NRestarts)" = 0 ] ||
    fail "the daemon started at install (PID $installed_pid) is gone ($(unit_prop MainPID), $(unit_prop NRestarts) restarts)"
cpu=$(daemon_cpu_percent)
[ "$cpu" -le "$idle_cpu_limit_percent" ] ||
    fail "the installed daemon uses $cpu% of a processor with $emu_cards cards (limit $idle_cpu_limit_percent%): does it spin?"
echo "   daemon processor use ${cpu}%" >&2

# ---------------------------------------------------------------- stop, start, restart
step "stop"
since=$(now_s)
t0=$(date +%s%N)
cin systemctl stop talonmon
wait_for 5 is_active inactive || fail "talonmon is '$(cin systemctl is-active talonmon)' after stop"
stop_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
[ "$stop_ms" -lt "$stop_limit_ms" ] || fail "stop took $stop_ms ms (limit $stop_limit_ms ms)"
journal_since "$since" | grep -qx 'Exiting TALON monitor ...' || fail "no 'Exiting TALON monitor ...' in the journal after stop"
echo "   stopped in $stop_ms ms" >&2

step "three stops and starts, five restarts"
cin systemctl start talonmon || fail "start after stop failed"
for i in 1 2 3; do
    cin systemctl stop talonmon || fail "stop $i failed"
    cin systemctl start talonmon || fail "start $i failed: $(unit_prop Result)"
done
for i in 1 2 3 4 5; do
    cin systemctl restart talonmon || fail "restart $i failed: $(unit_prop Result)"
done
is_active active || fail "talonmon is not active after the operator's restarts ($(unit_prop Result))"

step "a configuration the daemon refuses"
cp "$host_config" "$base/talonmon.json.good"
sed -i 's/"tick_mode": "[a-z]*"/"tick_mode": "never"/' "$host_config"
t0=$(date +%s)
if cin systemctl restart talonmon 2>/dev/null; then
    fail "systemctl restart exited 0 with a configuration the daemon refuses"
fi
[ $(( $(date +%s) - t0 )) -le 10 ] || fail "systemctl restart took $(( $(date +%s) - t0 )) s to report the refused configuration"
status_text=$(cin systemctl status talonmon --no-pager -n 20 2>&1 || true)
echo "$status_text" | grep -q 'tick_mode' || fail "systemctl status does not show the daemon's message: $status_text"

step "scrapes while the configuration is refused"
# The journal's --since counts whole seconds: the operator's restart above
# is not to be counted with the starts the scrapes cause.
sleep 1
since=$(now_s)
rm -f "$base"/refused-scrape.*
for i in $(seq "$refused_scrapes"); do
    nsenter -t "$pid1" -n curl -sS --max-time 5 -o "$base/refused-scrape.$i" -w '%{http_code}\n' "$metrics_url" \
        >>"$base/refused-scrape.codes" 2>&1 || true
    sleep 1
done
[ "$(cin systemctl is-active talonmon.socket)" = active ] ||
    fail "talonmon.socket is '$(cin systemctl is-active talonmon.socket)' after $refused_scrapes scrapes of a refusing daemon"
starts=$(journal_since "$since" | grep -c '^Starting ' || true)
[ "$starts" -le "$refused_starts_limit" ] ||
    fail "$refused_scrapes scrapes started the refusing daemon $starts times (limit $refused_starts_limit)"
grep -qx 503 "$base/refused-scrape.codes" && grep -lq 'tick_mode' "$base"/refused-scrape.[0-9]* ||
    fail "no scrape was told why the daemon refuses: $(sort "$base/refused-scrape.codes" | uniq -c | tr '\n' ' ')"
echo "   $starts starts for $refused_scrapes scrapes" >&2
cp "$base/talonmon.json.good" "$host_config"
cin systemctl restart talonmon || fail "restart after mending the configuration failed: $(unit_prop Result)"

step "prometheus.listen that disagrees with the socket unit"
sed -i 's/127.0.0.1:10417/127.0.0.1:10418/' "$host_config"
if cin systemctl restart talonmon 2>/dev/null; then
    fail "systemctl restart exited 0 with prometheus.listen other than the socket unit's address"
fi
status_text=$(cin systemctl status talonmon --no-pager -n 20 2>&1 || true)
echo "$status_text" | grep -q 'prometheus.listen' || fail "systemctl status does not name prometheus.listen: $status_text"
cp "$base/talonmon.json.good" "$host_config"
cin systemctl restart talonmon || fail "restart after mending prometheus.listen failed: $(unit_prop Result)"

step "a telemetry_dir the sandbox cannot write"
cp "$base/talonmon.json.good" "$host_config"
mkdir -p "$rootdir/var/lib/talonmon-moved"
sed -i 's|"telemetry_dir": "[^"]*"|"telemetry_dir": "/var/lib/talonmon-moved"|' "$host_config"
cin systemctl restart talonmon || fail "restart with a telemetry_dir outside the sandbox failed: $(unit_prop Result)"
blind="$emu_cards cards monitored, 0 down, $emu_cards not writing telemetry"
wait_for 15 status_is "$blind" || fail "status is '$(unit_prop StatusText)' with an unwritable telemetry_dir, not '$blind'"
wait_for 10 sh -c "$(declare -f metrics); pid1=$pid1 metrics_url=$metrics_url
    [ \$(metrics | grep -c '^talon_card_telemetry_write_errors_total{.*} [1-9]') = $emu_cards ]" ||
    fail "talon_card_telemetry_write_errors_total does not count for every card: $(metrics | grep telemetry_write_errors)"
cp "$base/talonmon.json.good" "$host_config"
cin systemctl restart talonmon || fail "restart after mending telemetry_dir failed: $(unit_prop Result)"

step "two daemons started together"
cin systemctl stop talonmon || fail "stop before starting two daemons by hand failed"
daemon_env="TALON_SYSFS_DIR=$emu_root/sys TALON_DEV_DIR=$emu_root/dev PATH=$emu_root/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Without the endpoint: its address belongs to talonmon.socket.
# The container's /tmp is its own tmpfs: reach it through its root.
ctmp="/proc/$pid1/root/tmp"
grep -v '"prometheus"' "$host_config" >"$ctmp/two.json"
pids=$(csh "env $daemon_env talonmon -c /tmp/two.json >/tmp/first.log 2>&1 & echo \$!
            env $daemon_env talonmon -c /tmp/two.json >/tmp/second.log 2>&1 & echo \$!")
sleep 3
alive=""
for p in $pids; do
    cin kill -0 "$p" 2>/dev/null && alive="$alive $p"
done
refusals=$(cat "$ctmp/first.log" "$ctmp/second.log" | grep -c 'already running' || true)
for p in $alive; do cin kill -TERM "$p" || true; done
wait_for 5 sh -c "! nsenter -t $pid1 -m -u -i -n -p pgrep -x talonmon" || fail "the hand-started daemons did not stop"
[ "$(echo $alive | wc -w)" = 1 ] && [ "$refusals" = 1 ] ||
    fail "of two daemons started together,$alive ran and $refusals refused: $(cat "$ctmp/first.log" "$ctmp/second.log")"
cin systemctl start talonmon || fail "start after the two daemons failed: $(unit_prop Result)"

# ---------------------------------------------------------------- a hung health checker
step "a hung health checker is restarted by the watchdog"
# Card discovery runs lspci and reads its answer: one that never answers
# stops the health checker in its first pass.
restarts=$(unit_prop NRestarts)
mv "/proc/$pid1/root$emu_root/bin/lspci" "/proc/$pid1/root$emu_root/bin/lspci.real"
printf '#!/bin/sh\nexec sleep infinity\n' >"/proc/$pid1/root$emu_root/bin/lspci"
chmod 755 "/proc/$pid1/root$emu_root/bin/lspci"
since=$(now_s)
cin systemctl restart talonmon || fail "restart with a hanging lspci failed before the health checker ran"
wait_for $((test_watchdog_sec * 3 + 10)) sh -c "nsenter -t $pid1 -m -u -i -n -p journalctl -u talonmon --no-pager -o cat --since @$since | grep -q 'Watchdog timeout'" ||
    fail "no watchdog timeout within $((test_watchdog_sec * 3 + 10)) s of the health checker hanging"
mv "/proc/$pid1/root$emu_root/bin/lspci.real" "/proc/$pid1/root$emu_root/bin/lspci"
wait_for 30 sh -c "[ \"\$(nsenter -t $pid1 -m -u -i -n -p systemctl show talonmon -p NRestarts --value)\" -gt $restarts ]" ||
    fail "talonmon was not restarted after the watchdog timeout"
check_active_within "$active_wait_s" "after the watchdog's restart"

# ---------------------------------------------------------------- reboot
step "reboot"
log_before=$(cat "$rootdir/var/log/talonmon/talonmon.log")
banners_before=$(grep -c '^\*\*\* Boot #' "$rootdir/var/log/talonmon/talonmon.log" || true)
cin systemctl reboot || true
wait_for 60 sh -c "! kill -0 $nspawn_pid 2>/dev/null" || fail "the container did not go down on reboot"
wait "$nspawn_pid" 2>/dev/null || true
boot
check_active_within "$active_wait_s" "after reboot"
wait_for 15 check_telemetry_files || fail "after reboot: $(check_telemetry_files 2>&1)"
log_after=$(cat "$rootdir/var/log/talonmon/talonmon.log")
banners_after=$(grep -c '^\*\*\* Boot #' "$rootdir/var/log/talonmon/talonmon.log" || true)
[ "${log_after#"$log_before"}" != "$log_after" ] || fail "the trace log was not appended to across the reboot"
[ "$banners_after" -gt "$banners_before" ] || fail "no new banner in the trace log after reboot"

# ---------------------------------------------------------------- upgrade
step "upgrade with a locally edited configuration"
# The rebuilt package: a later version whose default configuration differs.
upgrade_dir="$base/upgrade"
rm -rf "$upgrade_dir"
mkdir -p "$upgrade_dir"
dpkg-deb -R "$deb" "$upgrade_dir/pkg"
version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: $version+systest1/" "$upgrade_dir/pkg/DEBIAN/control"
sed -i 's/"liveness_poll_interval": [0-9]*/"liveness_poll_interval": 2000000/' "$upgrade_dir/pkg/etc/talonmon.json"
grep -q '"liveness_poll_interval": 2000000' "$upgrade_dir/pkg/etc/talonmon.json" || fail "cannot change the default configuration to upgrade"
(cd "$upgrade_dir/pkg" && find . -type f ! -path './DEBIAN/*' ! -path './etc/*' -printf '%P\0' | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$upgrade_dir/pkg" "$upgrade_dir/talonmon_upgrade.deb" >/dev/null
# The configuration kept from the previous release: it spins, and has no
# "prometheus" key (the previous daemon ran only without it).
cp "$root/tests/system/talonmon-0.1.0-edited.json" "$host_config"
edited=$(cat "$host_config")
cp "$upgrade_dir/talonmon_upgrade.deb" "$rootdir/root/"
# As automation upgrades: no terminal to answer the conffile question.
cin env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    /root/talonmon_upgrade.deb </dev/null >"$base/apt-upgrade.log" 2>&1 || fail "the upgrade failed (see $base/apt-upgrade.log)"
[ "$(cin dpkg-query -W -f '${Version}' talonmon)" = "$version+systest1" ] || fail "the upgrade did not install $version+systest1"
[ "$(cat "$host_config")" = "$edited" ] || fail "the upgrade replaced the locally edited $config"
[ -f "$host_config.dpkg-dist" ] || fail "the upgrade left no $config.dpkg-dist with the new default"
check_active_within "$active_wait_s" "after the upgrade"
wait_for 15 sh -c "$(declare -f metrics); pid1=$pid1 metrics_url=$metrics_url; metrics | grep -q '^talon_card_up{.*} 1\$'" ||
    fail "after the upgrade onto a configuration without \"prometheus\", GET $metrics_url gave no 'talon_card_up ... 1': $(metrics 2>&1 | tail -n 5)"

# ---------------------------------------------------------------- purge
step "purge"
cin env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q talonmon >"$base/apt-purge.log" 2>&1 ||
    fail "apt purge failed (see $base/apt-purge.log)"
[ ! -e "$host_config" ] || fail "$config is left after purge"
[ ! -e "$host_config.dpkg-dist" ] || fail "$config.dpkg-dist is left after purge"
[ ! -e "$rootdir/var/log/talonmon" ] || fail "/var/log/talonmon is left after purge"
links=$(find "$rootdir/etc/systemd/system" -name 'talonmon.*' ! -path '*/talonmon.service.d*' 2>/dev/null)
[ -z "$links" ] || fail "unit links are left after purge: $links"
[ "$(cin systemctl is-active talonmon.socket || true)" != active ] || fail "talonmon.socket still listens after purge"

step "passed"
