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
readonly idle_cpu_limit_percent=25
readonly cpu_sample_s=3

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
unshare -m sh -c 'mount --make-rprivate / && mount -t cgroup2 cgroup2 /sys/fs/cgroup' 2>/dev/null ||
    skip "cannot mount cgroup2 in a private mount namespace (a container or a kernel without it)"

mkdir -p "$base"

# ---------------------------------------------------------------- the package
# Reused while the sources are unchanged: the hash covers what scripts/package
# copies.
tree_hash=$(tar -C "$root" --exclude-vcs --exclude=./build --exclude='./build-*' --sort=name \
                --mtime=@0 --owner=0 --group=0 --numeric-owner -cf - . | sha256sum | cut -c1-16)
deb_dir="$base/deb-$tree_hash"
if ! ls "$deb_dir"/talonmon_*.deb >/dev/null 2>&1; then
    step "building the package"
    rm -rf "$base"/deb-*
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
    for p in $(ps -e -o pid= --ppid "$nspawn_pid" 2>/dev/null); do
        [ "$(awk '/^NSpid:/ {print $NF}' "/proc/$p/status" 2>/dev/null)" = 1 ] && { echo "$p"; return 0; }
    done
    return 1
}

boot() {
    : >>"$console"
    echo "---- boot $(date +%T)" >>"$console"
    unshare -m sh -c 'mount --make-rprivate / && mount -t cgroup2 cgroup2 /sys/fs/cgroup &&
        SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn -q -b -D "$1" -M talonmon-systest \
            --register=no --keep-unit --private-network --console=passive' sh "$rootdir" \
        >>"$console" 2>&1 </dev/null &
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

step "copying the root file system"
rm -rf "$rootdir" "$console"
cp -a "$rootfs_cache" "$rootdir"
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
cin apt-get install -y -q --no-download "/root/$(basename "$deb")" >"$base/apt-install.log" 2>&1 ||
    fail "apt install of $(basename "$deb") failed (see $base/apt-install.log)"
wait_for "$active_wait_s" sh -c "[ \"\$(nsenter -t $pid1 -m -u -i -n -p systemctl is-active talonmon)\" = active ]" ||
    fail "talonmon is '$(cin systemctl is-active talonmon)' ${active_wait_s} s after install, not 'active'"
