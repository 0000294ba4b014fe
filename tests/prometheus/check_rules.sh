#!/bin/sh
# The shipped Prometheus rules: promtool accepts them without a complaint and
# every unit test of talonmon-rules.test.yml passes. Skips (exit 77) where
# promtool is not installed. Usage: check_rules.sh SOURCE_DIR
set -eu
src=$1
command -v promtool >/dev/null || { echo "SKIP: promtool is not installed (Debian package prometheus)"; exit 77; }
out=$(promtool check rules "$src/packaging/prometheus/talonmon-rules.yml" 2>&1) || { echo "$out"; exit 1; }
echo "$out"
# Warnings (such as a missing summary) are printed but not fatal to check rules.
if echo "$out" | grep -qi 'warn'; then
  echo "FAIL: promtool check rules warns"; exit 1
fi
promtool test rules "$src/tests/prometheus/talonmon-rules.test.yml"
