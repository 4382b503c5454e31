#!/usr/bin/env bash
# kx20-simd with CHAP: libiscsi's iscsi-ls and iscsi-inq, and QEMU's iSCSI
# initiator (qemu-img, which goes through QEMU's block layer), log in with
# the account and are refused without it or with a wrong secret.
#
# usage: chap.sh KX20-SIMD WORKDIR
set -uo pipefail
simd=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/simd_common.sh"
trap 'simd_stop >/dev/null 2>&1 || true' EXIT

for tool in iscsi-ls iscsi-inq; do
  command -v $tool >/dev/null || { echo "FAIL: $tool not installed (Debian package libiscsi-bin)" >&2; exit 1; }
done
command -v qemu-img >/dev/null || { echo "FAIL: qemu-img not installed (Debian package qemu-utils)" >&2; exit 1; }

user=labuser
secret=lab-secret-0123
printf '%s\n' "$secret" >"$work/secret"
chmod 600 "$work/secret"
simd_start "$work/simd.log" --sim --chap-user "$user" --chap-secret-file "$work/secret" || exit 1
grep -q "CHAP required (user $user)" "$work/simd.log" || fail "the listening line does not say CHAP is required"
target=iqn.2026-12.kx20.sim:e

# libiscsi: discovery and INQUIRY with the account; refused without it or
# with another secret.
iscsi-ls "iscsi://$user%$secret@$portal/" >"$work/ls.out" 2>&1 || fail "iscsi-ls with CHAP exited $?"
[ "$(grep -c '^Target:' "$work/ls.out")" = 10 ] || fail "iscsi-ls with CHAP does not list ten targets"
iscsi-inq "iscsi://$user%$secret@$portal/$target/0" >"$work/inq.out" 2>&1 || fail "iscsi-inq with CHAP exited $?"
grep -q '^Vendor:VYN ' "$work/inq.out" || fail "iscsi-inq with CHAP: no INQUIRY data"
for url in "iscsi://$portal/$target/0" "iscsi://$user%wrong-secret-99@$portal/$target/0" \
           "iscsi://someone%$secret@$portal/$target/0"; do
  if iscsi-inq "$url" >"$work/refused.out" 2>&1; then
    fail "iscsi-inq logged in with $url"
  elif ! grep -q 'Authentication failure' "$work/refused.out"; then
    fail "iscsi-inq with $url did not fail authentication: $(cat "$work/refused.out")"
  fi
done
if iscsi-ls "iscsi://$portal/" >"$work/ls-none.out" 2>&1; then
  fail "iscsi-ls without CHAP listed targets"
fi

# QEMU: the disk's size, a megabyte written through it and read back.
qemu-img info "iscsi://$user%$secret@$portal/$target/0" >"$work/info.out" 2>&1 || fail "qemu-img info with CHAP exited $?"
grep -q 'virtual size: 128 MiB (134217728 bytes)' "$work/info.out" || fail "qemu-img info: not the 128 MiB disk"
head -c 1048576 /dev/urandom >"$work/data.raw"
qemu-img convert -n -f raw -O raw "$work/data.raw" "iscsi://$user%$secret@$portal/iqn.2026-12.kx20.sim:f/0" \
  >"$work/convert.out" 2>&1 || fail "qemu-img convert to the target exited $?"
qemu-img dd -f raw -O raw bs=65536 count=16 if="iscsi://$user%$secret@$portal/iqn.2026-12.kx20.sim:f/0" \
  of="$work/back.raw" >"$work/dd.out" 2>&1 || fail "qemu-img dd from the target exited $?"
cmp -s "$work/data.raw" "$work/back.raw" || fail "the megabyte read back through QEMU differs from the one written"
if qemu-img info "iscsi://$user%wrong-secret-99@$portal/$target/0" >"$work/info-wrong.out" 2>&1; then
  fail "qemu-img info logged in with a wrong secret"
fi
grep -q 'Authentication failure' "$work/info-wrong.out" || fail "qemu-img with a wrong secret: $(cat "$work/info-wrong.out")"

simd_stop || fail "kx20-simd did not end cleanly on SIGTERM"
grep -q "login refused .*wrong CHAP response for user '$user'" "$work/simd.log" || fail "no log line for a wrong response"
grep -q "login refused .*CHAP user 'someone'" "$work/simd.log" || fail "no log line for an unknown user"
grep -q "login .*iqn.2008-11.org.linux-kvm -> iqn.2026-12.kx20.sim:f" "$work/simd.log" || fail "no login of QEMU's initiator"
if grep -q -- "$secret" "$work/simd.log"; then fail "the secret appears in the server log"; fi

[ "$failures" = 0 ] || { echo "$failures failure(s); server log: $work/simd.log" >&2; exit 1; }
echo "chap: all checks passed"
