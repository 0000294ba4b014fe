#!/bin/sh
# Builds the Debian package with scripts/package and checks its contents and
# metadata: the daemon in /usr/sbin, the configuration as a conffile, the
# unit and the man page, the runtime dependencies (scripts/package itself
# fails on a lintian error).
# Usage: check_package.sh SOURCE_DIR OUTPUT_DIR
set -eu
src=$1
out=$2

for tool in dpkg-buildpackage dh lintian pandoc; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps installs it)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$out"
"$src/scripts/package" "$out" >"$out.stdout" 2>"$out.log" ||
  { tail -n 40 "$out.log" >&2; fail "scripts/package failed"; }
deb=$(tail -n 1 "$out.stdout")
[ -f "$deb" ] || fail "scripts/package printed '$deb', not a file"

contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')
for path in ./usr/sbin/talonmon ./etc/talonmon.json ./lib/systemd/system/talonmon.service \
            ./lib/systemd/system/talonmon.socket \
            ./usr/share/man/man8/talonmon.8.gz ./usr/bin/talonmon-top ./usr/share/man/man1/talonmon-top.1.gz \
            ./usr/share/talonmon/prometheus/talonmon-rules.yml ./usr/share/talonmon/grafana/talonmon-dashboard.json \
            ./usr/share/doc/talonmon/talonmon-rsyslog.conf ./usr/share/doc/talonmon/README.md.gz; do
  echo "$contents" | grep -qx "$path" || fail "$path is not in the package"
done
! echo "$contents" | grep -q talon-emu || fail "the emulator is in the package"

depends=$(dpkg-deb -f "$deb" Depends)
# pciutils runs lspci; the libraries are found by the shared-library scan.
for dep in pciutils libspdlog libmicrohttpd libncursesw; do
  echo "$depends" | grep -q "$dep" || fail "Depends lacks $dep: $depends"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/talonmon.json || fail "/etc/talonmon.json is not a conffile"
dpkg-deb -I "$deb" postinst | grep -q 'deb-systemd-helper enable' ||
  fail "postinst does not enable the unit"

echo "package $deb ok; lintian warnings: $(grep -c '^W:' "$out/lintian.txt" || true)"
