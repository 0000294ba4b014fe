#!/bin/sh
# Installs the build tree into a staging root and checks what an operator
# gets: the daemon where the unit looks for it, talonmon-top, the Prometheus
# rules, the configuration, the man
# page, no emulator, a unit systemd accepts and a sandbox exposure of at most
# 5.0. Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
max_exposure=5.0

for tool in systemd-analyze man; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

stage=$(mktemp -d "${TMPDIR:-/tmp}/talonmon-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null

[ -x "$stage/usr/sbin/talonmon" ] || fail "no /usr/sbin/talonmon in the installed tree"
unit=$(find "$stage" -name talonmon.service -path '*/systemd/system/*')
[ -n "$unit" ] || fail "no talonmon.service in a systemd unit directory"
config=$(find "$stage" -name talonmon.json)
[ -n "$config" ] || fail "no talonmon.json installed"
grep -q '"log_dir": "/var/log/talonmon"' "$config" || fail "installed configuration differs from the example"
[ -z "$(find "$stage" -name talon-emu)" ] || fail "talon-emu is in the default install component"

[ -x "$stage/usr/bin/talonmon-top" ] || fail "no /usr/bin/talonmon-top in the installed tree"
[ -f "$stage/usr/share/talonmon/prometheus/talonmon-rules.yml" ] || fail "the Prometheus rules are not installed"
[ -f "$stage/usr/share/talonmon/grafana/talonmon-dashboard.json" ] || fail "the Grafana dashboard is not installed"

man_page=$(find "$stage" -name talonmon.8)
[ -n "$man_page" ] || fail "no talonmon.8 installed"
warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man reports: $warnings"
top_page=$(find "$stage" -name talonmon-top.1)
[ -n "$top_page" ] || fail "no talonmon-top.1 installed"
warnings=$(MANWIDTH=80 man --warnings -l "$top_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man reports for talonmon-top.1: $warnings"

# verify resolves ExecStart= inside the staged root, and Documentation=man:
# through MANPATH; the targets the unit pulls in come from
# the host's units (a host with talonmon installed has its own copy among them).
cp "$unit" "$stage/talonmon.service.staged"
mkdir -p "$stage/lib/systemd/system"
cp -a /lib/systemd/system/. "$stage/lib/systemd/system/"
unit="$stage/lib/systemd/system/talonmon.service"
cp "$stage/talonmon.service.staged" "$unit"
# ExecReload= runs kill(1), which procps (a dependency) installs.
mkdir -p "$stage/bin"
cp /bin/kill "$stage/bin/kill"
complaints=$(MANPATH="$stage/usr/share/man" systemd-analyze verify --root="$stage" \
  "$unit" 2>&1) || fail "systemd-analyze verify: $complaints"
[ -z "$complaints" ] || fail "systemd-analyze verify: $complaints"

exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 |
  sed -n 's/.*Overall exposure level for talonmon.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security printed no exposure level"
awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
  fail "sandbox exposure $exposure is above $max_exposure"
echo "installed tree ok, unit verified, exposure $exposure"
