#!/usr/bin/env bash
# kx20-simd as a program: --help, a bad farm file, options refused, the
# warnings for an open address or secret file, a port in use, a clean
# stop on SIGTERM and SIGINT with file-backed disks in place. (The controller
# state kept beside the data is read back by kx20ctl in the kernel bench.)
#
# usage: program.sh KX20-SIMD WORKDIR
set -uo pipefail
simd=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/simd_common.sh"
trap 'simd_stop >/dev/null 2>&1 || true' EXIT

"$simd" --help >"$work/help.out" 2>&1 || fail "--help exited $?"
grep -q 'iqn.2026-12.kx20.sim' "$work/help.out" || fail "--help does not name the targets"

printf '[E]\nslot = 1\nbogus = 3\n' >"$work/bad.ini"
"$simd" --sim="$work/bad.ini" >"$work/bad.out" 2>&1
rc=$?
[ $rc = 2 ] || fail "a bad farm file exits $rc, not 2"
grep -q "bad.ini:3: unknown key 'bogus'" "$work/bad.out" || fail "a bad farm file does not give file:line: problem"

"$simd" --sim --frobnicate >"$work/usage.out" 2>&1
[ $? = 2 ] || fail "an unknown option does not exit 2"

# Options that cannot work are refused before anything is served.
printf 'short\n' >"$work/short-secret"
printf 'a-long-enough-secret\n' >"$work/secret"
chmod 600 "$work/secret"
while IFS='|' read -r args message; do
  # shellcheck disable=SC2086
  "$simd" --sim $args >"$work/option.out" 2>&1
  rc=$?
  [ $rc = 2 ] || fail "'$args' exits $rc, not 2"
  grep -qF -- "$message" "$work/option.out" || fail "'$args': no '$message' in: $(cat "$work/option.out")"
done <<EOF2
--chap-user lab|--chap-user and --chap-secret-file go together
--chap-secret-file $work/secret|--chap-user and --chap-secret-file go together
--chap-user lab --chap-secret-file $work/short-secret|the secret must be at least 12 characters (it has 5)
--chap-user lab --chap-secret-file $work/none|--chap-secret-file $work/none: No such file or directory
--max-connections 0|--max-connections needs a number
--max-per-peer x|--max-per-peer needs a number
--idle-timeout -1|--idle-timeout needs seconds
--login-timeout 1.2.3|--login-timeout needs seconds
EOF2

# Beyond the loopback network without CHAP: a warning. A secret file others
# may read: a warning too. On loopback without CHAP: neither.
"$simd" --sim --listen 0.0.0.0:0 --ready-file "$work/ready-any" 2>"$work/any.log" &
any_pid=$!
for _ in $(seq 1 50); do [ -s "$work/ready-any" ] && break; sleep 0.1; done
kill -TERM "$any_pid"
wait "$any_pid" || fail "the server on 0.0.0.0 did not stop cleanly"
grep -q 'warning: serving beyond this machine without authentication' "$work/any.log" ||
  fail "no warning for 0.0.0.0 without CHAP: $(cat "$work/any.log")"
chmod 644 "$work/secret"
simd_start "$work/chap.log" --sim --chap-user lab --chap-secret-file "$work/secret" || exit 1
simd_stop || fail "the server with CHAP did not stop cleanly"
grep -q "warning: $work/secret can be read by other users" "$work/chap.log" || fail "no warning for a readable secret file"

# A port in use.
simd_start "$work/first.log" --sim || exit 1
"$simd" --sim --listen "$portal" >"$work/busy.out" 2>&1
rc=$?
[ $rc = 2 ] || fail "a port in use exits $rc, not 2"
grep -q "$portal is already in use" "$work/busy.out" || fail "no message for a port in use: $(cat "$work/busy.out")"
simd_stop || fail "SIGTERM did not end the server cleanly"
grep -q 'warning' "$work/first.log" && fail "warnings on loopback without CHAP: $(grep warning "$work/first.log")"

# File-backed disks: the controller state survives the server.
printf '[E]\nslot = 4\nbacking = e.img\ncapacity_mb = 16\n' >"$work/farm.ini"
simd_start "$work/file.log" --sim="$work/farm.ini" || exit 1
kill -INT "$simd_pid"
wait "$simd_pid"
rc=$?
simd_pid=""
[ $rc = 0 ] || fail "SIGINT exit status $rc"
grep -q 'stopped' "$work/file.log" || fail "no 'stopped' line after SIGINT"
[ -f "$work/e.img" ] || fail "the backing file was not created"
[ "$(stat -c %s "$work/e.img")" = $((16 * 1024 * 1024)) ] || fail "the backing file has the wrong size"

[ "$failures" = 0 ] || exit 1
echo "program: all checks passed"
