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

# Inside the container.
readonly emu_root=/run/talon-emu
readonly emu_cards=2
readonly metrics_url=http://127.0.0.1:10417/metrics
# The test's watchdog period: short, so a hung health checker is seen soon,
# and well under the discovery period the journey waits out before it checks
# that a healthy daemon outlives it.
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
[ -x "$build/emulator/talon-emu" ] || skip "$build/emulator/talon-emu is not built (run scripts/build first)"
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

# Waits up to $1 seconds for the command "$2..." to succeed.
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
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
    echo "---- boot $(date +%T)" >>"$console"
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -q -b -D "$rootdir" -M talonmon-systest \
        --register=no --keep-unit --private-network --console=passive >>"$console" 2>&1 </dev/null &
    nspawn_pid=$!
    wait_for 30 container_pid1 || fail "the container did not start (see $console)"
    pid1=$(container_pid1)
    # is-system-running --wait answers once the boot is over, and succeeds
    # only when it reached 'running'; before D-Bus is up it fails at once.
    wait_for 30 cin systemctl is-system-running --wait ||
        fail "the container booted to '$(cin systemctl is-system-running || true)', not 'running': $(cin systemctl --failed --no-legend --plain || true)"
}

container_gone() { ! kill -0 "$nspawn_pid" 2>/dev/null; }

shutdown_container() {
    [ -n "$nspawn_pid" ] || return 0
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    wait_for 20 container_gone || kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
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

# The emulator as a unit of its own, which the daemon's drop-in pulls in and
# points the daemon at.
cmake --install "$build" --component emulator --prefix "$rootdir/usr/local" >/dev/null ||
    fail "cannot install the emulator component into the container"
cat >"$rootdir/etc/systemd/system/talon-emu.service" <<EOF
[Unit]
Description=TALON card emulator (system test)

[Service]
Type=exec
ExecStart=/usr/local/bin/talon-emu --root $emu_root --cards $emu_cards
ExecStartPost=/bin/sh -c 'while [ ! -e $emu_root/ready ]; do sleep 0.1; done'
EOF
# The daemon's environment, in the drop-in and for daemons started by hand.
emu_env="TALON_SYSFS_DIR=$emu_root/sys TALON_DEV_DIR=$emu_root/dev PATH=$emu_root/bin:/usr/sbin:/usr/bin:/sbin:/bin"
mkdir -p "$rootdir/etc/systemd/system/talonmon.service.d"
cat >"$rootdir/etc/systemd/system/talonmon.service.d/emulator.conf" <<EOF
[Unit]
Requires=talon-emu.service
After=talon-emu.service

[Service]
Environment=$emu_env
# The emulated card memory is mapped read-write, as real BAR files are.
ReadWritePaths=$emu_root
WatchdogSec=$test_watchdog_sec
EOF

step "booting the container"
boot

# ---------------------------------------------------------------- helpers of the journey
unit_prop() { cin systemctl show talonmon -p "$1" --value; }
is_active() { [ "$(cin systemctl is-active talonmon 2>/dev/null)" = "$1" ]; }
status_is() { [ "$(unit_prop StatusText)" = "$1" ]; }
journal_since() { cin journalctl -u talonmon --no-pager -o cat --since "@$1"; }
journal_has() { journal_since "$1" | grep -q "$2"; }
metrics() { nsenter -t "$pid1" -n curl -sS --max-time 5 -o /dev/stdout -w '\nHTTP %{http_code}\n' "$metrics_url"; }
card_up_in_metrics() { metrics | grep -q '^talon_card_up{.*} 1$'; }

# systemctl ACTION talonmon, which must succeed; $2 says when.
ctl() { cin systemctl "$1" talonmon || fail "systemctl $1 talonmon failed $2: $(unit_prop Result)"; }

# apt-get as automation runs it, without a terminal; $1 names its log.
apt_get() {
    local log="$base/$1"
    shift
    cin env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" </dev/null >"$log" 2>&1 || fail "apt-get $* failed (see $log)"
}

check_active_within() {
    wait_for "$active_wait_s" is_active active ||
        fail "$1: talonmon is '$(cin systemctl is-active talonmon || true)' after $active_wait_s s, not 'active'"
}

# Waits up to $1 s for the status line $2; $3 says when it is expected.
check_status_within() {
    wait_for "$1" status_is "$2" || fail "status is '$(unit_prop StatusText)' $3, not '$2'"
}

# Every card has a stats file whose lines (banners aside) are JSON objects.
check_telemetry_files() {
    python3 - "/proc/$pid1/root/run/talonmon" "$emu_cards" <<'PY'
import json, os, sys
d, cards = sys.argv[1], int(sys.argv[2])
names = sorted(os.listdir(d))
stats = [n for n in names if n.startswith("card_") and n.endswith("_stats.log")]
if len(stats) != cards:
    sys.exit(f"{d}: {len(stats)} stats files, expected {cards}: {names}")
for name in names:
    with open(os.path.join(d, name), encoding="utf-8") as f:
        records = [line for line in f if not line.startswith("*** Boot #")]
    if name in stats and not records:
        sys.exit(f"{name}: no records yet")
    for line in records:
        try:
            assert isinstance(json.loads(line), dict), "not an object"
        except (ValueError, AssertionError) as e:
            sys.exit(f"{name}: not a JSON line ({e}): {line[:120]!r}")
PY
}

config=/etc/talonmon.json
host_config="$rootdir$config"
good_config="$base/talonmon.json.good"
trace_log="$rootdir/var/log/talonmon/talonmon.log"

# Writes the good configuration edited by the sed expression $1, restarts
# talonmon on it and expects a prompt refusal that systemctl status explains
# by naming $2.
check_refused() {
    sed "$1" "$good_config" >"$host_config"
    local t0=$SECONDS status_text
    ! cin systemctl restart talonmon 2>/dev/null || fail "systemctl restart exited 0 with a $2 the daemon refuses"
    [ $((SECONDS - t0)) -le 10 ] || fail "systemctl restart took $((SECONDS - t0)) s to report the refused $2"
    status_text=$(cin systemctl status talonmon --no-pager -n 20 2>&1 || true)
    echo "$status_text" | grep -q "$2" || fail "systemctl status does not name $2: $status_text"
}

# ---------------------------------------------------------------- install
step "installing the package"
cp "$deb" "$rootdir/root/"
apt_get apt-install.log install "/root/$(basename "$deb")"
check_active_within "after install"
installed_pid=$(unit_prop MainPID)

# ---------------------------------------------------------------- installed and running
step "telemetry files, journal, sandbox"
wait_for 15 check_telemetry_files || fail "telemetry files in /run/talonmon: $(check_telemetry_files 2>&1)"
errors=$(cin journalctl -u talonmon --no-pager -o cat -p err; journal_since 0 | grep -E '^(Error|Failed)' || true)
[ -z "$errors" ] || fail "the journal has errors of talonmon: $errors"
# Only Unix sockets, in a network of its own.
sandbox="$(unit_prop RestrictAddressFamilies) $(unit_prop PrivateNetwork)"
[ "$sandbox" = "AF_UNIX yes" ] || fail "the daemon's address families and private network are '$sandbox', not 'AF_UNIX yes'"
exposure=$(cin systemd-analyze security talonmon.service --no-pager 2>&1 |
    sed -n 's/.*Overall exposure level for talonmon.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security printed no exposure level"
awk -v e="$exposure" 'BEGIN { exit !(e <= 3.0) }' || fail "sandbox exposure $exposure is above 3.0"
echo "   exposure $exposure" >&2

step "metrics through the socket unit"
socket_state="$(cin systemctl is-active talonmon.socket || true) $(cin systemctl is-enabled talonmon.socket || true)"
[ "$socket_state" = "active enabled" ] || fail "talonmon.socket is '$socket_state' after install, not 'active enabled'"
wait_for 15 card_up_in_metrics ||
    fail "GET $metrics_url from the container's network gave no 'talon_card_up ... 1': $(metrics 2>&1 | tail -n 5)"
installed_version=$(cin dpkg-query -W -f '${Version}' talonmon)
scrape=$(metrics || true)
echo "$scrape" | grep -q '^HTTP 200$' && echo "$scrape" | grep -qF "talonmon_build_info{version=\"$installed_version\"} 1" ||
    fail "GET $metrics_url did not answer 200 with talonmon_build_info naming $installed_version: $(echo "$scrape" | grep -E '^HTTP|build_info')"

step "talonmon-top lists the cards"
# The installed tool, as an operator runs it: the endpoint of the shipped
# configuration, one table, every card up.
top_out=$(cin talonmon-top --once 2>&1) || fail "talonmon-top --once failed: $top_out"
[ "$(echo "$top_out" | grep -c '^CARD .* up')" = "$emu_cards" ] ||
    fail "talonmon-top --once does not show $emu_cards cards up: $top_out"

step "status line, a failing card in the journal"
check_status_within 0 "$emu_cards cards monitored, 0 down" "after install"
since=$(date +%s)
down_at=$SECONDS
bdf0=$(cin /usr/local/bin/talon-emu --root "$emu_root" --ctl 'heartbeat 0 fail' | awk '{print $2}')
inits_before=$(grep -c "TALON $bdf0 - Card init successful" "$trace_log" || true)
check_status_within 10 "$emu_cards cards monitored, 1 down" "after card 0 failed its heartbeat"

step "SIGHUP and systemctl reload reopen the files and keep the daemon"
lines_before=$(wc -l <"$trace_log")
reopened_times() { [ "$(grep -c 'Received SIGHUP, reopened' "$trace_log")" -ge "$1" ]; }
cin systemctl kill -s HUP --kill-who=main talonmon || fail "systemctl kill -s HUP failed"
wait_for 5 reopened_times 1 || fail "no reopen line in the trace log after SIGHUP"
ctl reload "after SIGHUP"
wait_for 5 reopened_times 2 || fail "no reopen line in the trace log after reload"

step "the failing card stays down through a discovery pass, then comes back"
# Discovery runs every 30 s: a card that stays down is not read again.
remaining=$(( discovery_period_s + 2 - (SECONDS - down_at) ))
[ "$remaining" -le 0 ] || sleep "$remaining"
cin /usr/local/bin/talon-emu --root "$emu_root" --ctl 'heartbeat 0 ok' >/dev/null
check_status_within $((discovery_period_s + 10)) "$emu_cards cards monitored, 0 down" "after card 0 answered again"
episode=$(journal_since "$since" | grep -oE "^TALON $bdf0 - card (down|up) detected" || true)
[ "$episode" = "TALON $bdf0 - card down detected"$'\n'"TALON $bdf0 - card up detected" ] ||
    fail "the journal does not tell card $bdf0's episode in one line down, then one up: $episode"
inits_after=$(grep -c "TALON $bdf0 - Card init successful" "$trace_log" || true)
[ "$inits_after" = $((inits_before + 1)) ] ||
    fail "card $bdf0 was read afresh $((inits_after - inits_before)) times while down and back, not once"
[ "$(wc -l <"$trace_log")" -gt $((lines_before + 2)) ] || fail "the trace log stopped after SIGHUP and reload"

step "watchdog, processor use"
# A healthy daemon outlives its watchdog period more than twice over: the
# discovery pass above has been waited out since install.
# The daemon started at install is still the one running: neither SIGHUP,
# reload, a card's episode nor the watchdog ended it.
is_active active && [ "$(unit_prop MainPID)" = "$installed_pid" ] && [ "$(unit_prop NRestarts)" = 0 ] ||
    fail "the daemon started at install (PID $installed_pid) is gone ($(unit_prop MainPID), $(unit_prop NRestarts) restarts): did the watchdog end it (journal below)?"
# Processor time over a few seconds, in percent of one processor.
stat="/proc/$pid1/root/proc/$installed_pid/stat"
ticks0=$(awk '{print $14 + $15}' "$stat")
sleep "$cpu_sample_s"
cpu=$(( ($(awk '{print $14 + $15}' "$stat") - ticks0) * 100 / $(getconf CLK_TCK) / cpu_sample_s ))
[ "$cpu" -le "$idle_cpu_limit_percent" ] ||
    fail "the installed daemon uses $cpu% of a processor with $emu_cards cards (limit $idle_cpu_limit_percent%): does it spin?"
echo "   daemon processor use ${cpu}%" >&2

# ---------------------------------------------------------------- stop, start, restart
step "stop"
since=$(date +%s)
t0=$(date +%s%N)
cin systemctl stop talonmon
wait_for 5 is_active inactive || fail "talonmon is '$(cin systemctl is-active talonmon)' after stop"
stop_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
[ "$stop_ms" -lt "$stop_limit_ms" ] || fail "stop took $stop_ms ms (limit $stop_limit_ms ms)"
journal_since "$since" | grep -qx 'Exiting TALON monitor ...' || fail "no 'Exiting TALON monitor ...' in the journal after stop"
echo "   stopped in $stop_ms ms" >&2

step "two daemons started together"
# While the unit is stopped, and without the endpoint: its address belongs
# to talonmon.socket.
# The container's /tmp is its own tmpfs: reach it through its root.
ctmp="/proc/$pid1/root/tmp"
grep -v '"prometheus"' "$host_config" >"$ctmp/two.json"
cin sh -c "env $emu_env talonmon -c /tmp/two.json >/tmp/first.log 2>&1 &
           env $emu_env talonmon -c /tmp/two.json >/tmp/second.log 2>&1 &"
sleep 3
alive=$(cin pgrep -x talonmon || true)
refusals=$(cat "$ctmp/first.log" "$ctmp/second.log" | grep -c 'already running' || true)
for p in $alive; do cin kill -TERM "$p" || true; done
no_daemon() { ! cin pgrep -x talonmon; }
wait_for 5 no_daemon || fail "the hand-started daemons did not stop"
[ "$(echo $alive | wc -w)" = 1 ] && [ "$refusals" = 1 ] ||
    fail "of two daemons started together, $(echo $alive) ran and $refusals refused: $(cat "$ctmp/first.log" "$ctmp/second.log")"

step "three stops and starts, five restarts"
for action in start stop start stop start stop start restart restart restart restart restart; do
    ctl "$action" "in the operator's series"
done
is_active active || fail "talonmon is not active after the operator's restarts ($(unit_prop Result))"

step "a configuration the daemon refuses"
cp "$host_config" "$good_config"
check_refused 's/"tick_mode": "[a-z]*"/"tick_mode": "never"/' tick_mode

step "scrapes while the configuration is refused"
# The journal's --since counts whole seconds: the operator's restart above
# is not to be counted with the starts the scrapes cause.
sleep 1
since=$(date +%s)
rm -f "$base"/refused-scrape.*
for i in $(seq "$refused_scrapes"); do
    metrics >"$base/refused-scrape.$i" 2>&1 || true
    sleep 1
done
[ "$(cin systemctl is-active talonmon.socket)" = active ] ||
    fail "talonmon.socket is '$(cin systemctl is-active talonmon.socket)' after $refused_scrapes scrapes of a refusing daemon"
starts=$(journal_since "$since" | grep -c '^Starting ' || true)
[ "$starts" -le "$refused_starts_limit" ] ||
    fail "$refused_scrapes scrapes started the refusing daemon $starts times (limit $refused_starts_limit)"
grep -qx 'HTTP 503' "$base"/refused-scrape.* && grep -q 'tick_mode' "$base"/refused-scrape.* ||
    fail "no scrape was told why the daemon refuses: $(grep -h '^HTTP' "$base"/refused-scrape.* | sort | uniq -c | tr '\n' ' ')"
echo "   $starts starts for $refused_scrapes scrapes" >&2

step "prometheus.listen that disagrees with the socket unit"
check_refused 's/127.0.0.1:10417/127.0.0.1:10418/' prometheus.listen

step "a telemetry_dir the sandbox cannot write"
# Straight from a refused configuration to one the daemon takes, with a fault
# of its own.
mkdir -p "$rootdir/var/lib/talonmon-moved"
sed 's|"telemetry_dir": "[^"]*"|"telemetry_dir": "/var/lib/talonmon-moved"|' "$good_config" >"$host_config"
ctl restart "with a telemetry_dir outside the sandbox"
check_status_within 15 "$emu_cards cards monitored, 0 down, $emu_cards not writing telemetry" "with an unwritable telemetry_dir"
write_errors_counted() { [ "$(metrics | grep -c '^talon_card_telemetry_write_errors_total{.*} [1-9]')" = "$emu_cards" ]; }
wait_for 10 write_errors_counted ||
    fail "talon_card_telemetry_write_errors_total does not count for every card: $(metrics | grep telemetry_write_errors)"
cp "$good_config" "$host_config"

# ---------------------------------------------------------------- a hung health checker
step "a hung health checker is restarted by the watchdog"
# Card discovery runs lspci and reads its answer: one that never answers
# stops the health checker in its first pass.
restarts=$(unit_prop NRestarts)
lspci="/proc/$pid1/root$emu_root/bin/lspci"
mv "$lspci" "$lspci.real"
printf '#!/bin/sh\nexec sleep infinity\n' >"$lspci"
chmod 755 "$lspci"
since=$(date +%s)
ctl restart "with a hanging lspci, before the health checker ran"
wait_for $((test_watchdog_sec * 3 + 10)) journal_has "$since" 'Watchdog timeout' ||
    fail "no watchdog timeout within $((test_watchdog_sec * 3 + 10)) s of the health checker hanging"
mv "$lspci.real" "$lspci"
restarted() { [ "$(unit_prop NRestarts)" -gt "$restarts" ]; }
wait_for 30 restarted || fail "talonmon was not restarted after the watchdog timeout"
check_active_within "after the watchdog's restart"

# ---------------------------------------------------------------- reboot
step "reboot"
log_before=$(cat "$trace_log")
cin systemctl reboot || true
wait_for 60 container_gone || fail "the container did not go down on reboot"
wait "$nspawn_pid" 2>/dev/null || true
boot
check_active_within "after reboot"
wait_for 15 check_telemetry_files || fail "after reboot: $(check_telemetry_files 2>&1)"
log_after=$(cat "$trace_log")
appended=${log_after#"$log_before"}
[ "$appended" != "$log_after" ] && echo "$appended" | grep -q '^\*\*\* Boot #' ||
    fail "the trace log was not appended to, with a new banner, across the reboot"

# ---------------------------------------------------------------- upgrade
step "upgrade with a locally edited configuration"
# The rebuilt package: a later version whose default configuration differs
# (a conffile, which DEBIAN/md5sums leaves out).
pkg="$base/upgrade"
rm -rf "$pkg"
dpkg-deb -R "$deb" "$pkg"
version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: $version+systest1/" "$pkg/DEBIAN/control"
sed -i 's/"liveness_poll_interval": [0-9]*/"liveness_poll_interval": 2000000/' "$pkg/etc/talonmon.json"
grep -q '"liveness_poll_interval": 2000000' "$pkg/etc/talonmon.json" || fail "cannot change the default configuration to upgrade"
dpkg-deb --root-owner-group -b "$pkg" "$rootdir/root/talonmon_upgrade.deb" >/dev/null
# The configuration kept from the previous release: it spins, and has no
# "prometheus" key (the previous daemon ran only without it).
edited="$root/tests/system/talonmon-0.1.0-edited.json"
cp "$edited" "$host_config"
# No terminal to answer the conffile question, as automation upgrades.
apt_get apt-upgrade.log -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold install /root/talonmon_upgrade.deb
[ "$(cin dpkg-query -W -f '${Version}' talonmon)" = "$version+systest1" ] || fail "the upgrade did not install $version+systest1"
cmp -s "$edited" "$host_config" || fail "the upgrade replaced the locally edited $config"
[ -f "$host_config.dpkg-dist" ] || fail "the upgrade left no $config.dpkg-dist with the new default"
check_active_within "after the upgrade"
wait_for 15 card_up_in_metrics ||
    fail "after the upgrade onto a configuration without \"prometheus\", GET $metrics_url gave no 'talon_card_up ... 1': $(metrics 2>&1 | tail -n 5)"

# ---------------------------------------------------------------- purge
step "purge"
apt_get apt-purge.log purge talonmon
for left in "$config" "$config.dpkg-dist" /var/log/talonmon; do
    [ ! -e "$rootdir$left" ] || fail "$left is left after purge"
done
links=$(find "$rootdir/etc/systemd/system" -name 'talonmon.*' ! -path '*/talonmon.service.d*' 2>/dev/null)
[ -z "$links" ] || fail "unit links are left after purge: $links"
[ "$(cin systemctl is-active talonmon.socket || true)" != active ] || fail "talonmon.socket still listens after purge"

step "passed"
