#!/usr/bin/env bash
# Runs a command (a Wine program) with a certificate among the host's trusted roots as Wine sees them,
# without touching the host: Wine builds its Root store from the host's trust bundle when a process
# starts and takes no additions, so the command runs in a private mount namespace in which the bundle
# also holds the certificate. Skipped (77) where no mount namespace can be made (not root).
# Usage: wine_trusted_root.sh <certificate.pem> <command> [arguments...]
#   The command finds ZEP_TEST_ROOT_TRUSTED=1 in its environment.
set -u
certificate=$1
shift
bundle=/etc/ssl/certs/ca-certificates.crt
[ -f "$bundle" ] || { echo "SKIP: no trust bundle at $bundle"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat "$bundle" "$certificate" >"$work/bundle.crt" 2>/dev/null ||
    { [ "${ZEP_TRUST_OPTIONAL:-}" = 1 ] && exec "$@"; echo "FAIL: no certificate $certificate"; exit 1; }
if ! unshare -m true 2>/dev/null; then
    # With ZEP_TRUST_OPTIONAL=1 the command runs all the same, told by ZEP_TEST_ROOT_TRUSTED's absence.
    [ "${ZEP_TRUST_OPTIONAL:-}" = 1 ] && exec "$@"
    echo "SKIP: no private mount namespace here (needs root)"
    exit 77
fi
export ZEP_TEST_ROOT_TRUSTED=1
exec unshare -m sh -c 'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec "$@"' "$work/bundle.crt" "$@"
