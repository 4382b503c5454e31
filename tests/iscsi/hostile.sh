#!/usr/bin/env bash
# kx20-simd under hostile clients (tests/iscsi/hostile.py): many idle
# connections, many large writes that never send their data, clients gone
# mid-transfer, logins that never complete. The server's resident memory and
# thread count stay bounded, well-behaved sessions keep working throughout,
# and the server ends cleanly afterwards. Short limits keep it to seconds.
#
# usage: hostile.sh KX20-SIMD WORKDIR
set -uo pipefail
simd=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/simd_common.sh"
trap 'simd_stop >/dev/null 2>&1 || true' EXIT

command -v python3 >/dev/null || { echo "FAIL: python3 not installed" >&2; exit 1; }
command -v iscsi-inq >/dev/null || { echo "FAIL: iscsi-inq not installed (Debian package libiscsi-bin)" >&2; exit 1; }

max_connections=20
max_per_peer=12
login_timeout=1
idle_timeout=1
simd_start "$work/simd.log" --sim --max-connections $max_connections --max-per-peer $max_per_peer \
  --login-timeout $login_timeout --idle-timeout $idle_timeout || exit 1

python3 "$(dirname "$0")/hostile.py" check "$simd_pid" "$portal" "$work/simd.log" \
  $max_connections $max_per_peer $login_timeout $idle_timeout || fail "hostile clients (server log: $work/simd.log)"

simd_stop || fail "kx20-simd did not end cleanly on SIGTERM after the hostile clients"
grep -q 'stopped' "$work/simd.log" || fail "the server log does not end with 'stopped'"

[ "$failures" = 0 ] || exit 1
echo "hostile: all checks passed"
