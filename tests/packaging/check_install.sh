#!/bin/sh
# Installs the build tree into a staging root and checks what an operator
# gets from it: the configuration, man pages man reads without a warning, no
# emulator, a unit systemd accepts (its ExecStart= resolved in the staged
# tree) and a sandbox exposure of at most 5.0. Which files ship is the
# package check's business. Usage: check_install.sh BUILD_DIR SOURCE_DIR
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

unit=$(find "$stage" -name talonmon.service -path '*/systemd/system/*')
[ -n "$unit" ] || fail "no talonmon.service in a systemd unit directory"
config=$(find "$stage" -name talonmon.json)
grep -qs '"log_dir": "/var/log/talonmon"' "$config" || fail "no talonmon.json installed, or not the example: '$config'"
[ -z "$(find "$stage" -name talon-emu)" ] || fail "talon-emu is in the default install component"

for page in talonmon.8 talonmon-top.1; do
  path=$(find "$stage" -name "$page")
  [ -n "$path" ] || fail "no $page installed"
  warnings=$(MANWIDTH=80 man --warnings -l "$path" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man reports for $page: $warnings"
done

# verify resolves ExecStart= inside the staged root, and Documentation=man:
# through MANPATH; the targets the unit pulls in come from the host's units.
# The unit under test goes to /etc, which comes first, so that a host with
# talonmon installed does not have its own copy verified instead.
# ExecReload= runs kill(1), which procps (a dependency) installs.
mkdir -p "$stage/lib/systemd/system" "$stage/etc/systemd/system" "$stage/bin"
cp -a /lib/systemd/system/. "$stage/lib/systemd/system/"
cp "$unit" "$stage/etc/systemd/system/"
unit="$stage/etc/systemd/system/talonmon.service"
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
