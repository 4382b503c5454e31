#!/bin/bash
# The line's two database links against a real PostgreSQL server, started
# here and always stopped: runs the LineLinkServer unit tests, which skip
# without one.
#
#   line_links.sh KX20_TESTS
set -euo pipefail
tests=$1
here=$(cd "$(dirname "$0")" && pwd)
pg=$here/../pg/pg_cluster.sh
# A short socket path: Unix socket names are limited to about 100 bytes.
pgdir=$(mktemp -d /tmp/kx20pg.XXXXXX)
cleanup() {
  "$pg" stop "$pgdir" || true
  rm -rf "$pgdir"
}
trap cleanup EXIT
conninfo=$("$pg" start "$pgdir")
export KX20_TEST_LINE_SERVER=$pgdir
KX20_TEST_LINE_USER=$(echo "$conninfo" | sed 's/.*user=//')
export KX20_TEST_LINE_USER
"$tests" --gtest_filter='LineLinkServer.*' --gtest_brief=1 2>&1 | tee "$pgdir/tests.out"
status=${PIPESTATUS[0]}
grep -q '\[  SKIPPED \]' "$pgdir/tests.out" && { echo "FAIL: tests were skipped"; exit 1; }
exit "$status"
