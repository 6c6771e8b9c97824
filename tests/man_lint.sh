#!/bin/sh
# The manual pages render without a single warning from either formatter.
# Exits 77 (skipped) where mandoc is missing outside CI.
#   man_lint.sh PAGE...
set -u
if ! command -v mandoc >/dev/null; then
    [ -n "${CI:-}" ] && { echo "mandoc missing in CI"; exit 1; }
    echo "mandoc not installed"; exit 77
fi
status=0
for page in "$@"; do
    out=$(mandoc -T lint -W warning "$page" 2>&1) || status=1
    [ -z "$out" ] || { echo "$out"; status=1; }
    out=$(groff -ww -man -z "$page" 2>&1) || status=1
    [ -z "$out" ] || { echo "$out"; status=1; }
done
[ $status -eq 0 ] && echo "manual pages clean"
exit $status
