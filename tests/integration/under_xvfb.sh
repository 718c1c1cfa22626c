#!/usr/bin/env bash
# Runs a command with an X display of its own, for Windows programs under Wine that show windows; exits
# 77 (skipped) where Xvfb is missing. The wineserver ends before the display does.
# Usage: under_xvfb.sh COMMAND ARGUMENTS...
set -u
source "$(dirname "$0")/xvfb.sh"
work=$(mktemp -d)
trap 'xvfb_stop; rm -rf "$work"' EXIT
if ! xvfb_start "$work"; then
    echo "SKIP: no X server: Xvfb is missing or did not start (scripts/setup.sh installs xvfb)"
    exit 77
fi
"$@"
status=$?
"${ZEP_WINESERVER:-wineserver}" -w
exit $status
