#!/bin/bash
# The line's two database links against a real PostgreSQL server, started
# here and always removed: runs the LineLinkServer unit tests, which skip
# without one.
#
#   line_links.sh KX20_TESTS WORK
set -euo pipefail
tests=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
pg=$here/../pg/pg_cluster.sh
rm -rf "$work"
mkdir -p "$work"
# The cluster itself lives in a temporary directory of its own (pg_cluster.sh).
pgdir=$work/pg
trap '"$pg" remove "$pgdir" || true' EXIT
export KX20_TEST_LINE_PQ
KX20_TEST_LINE_PQ=$("$pg" start "$pgdir")
export KX20_TEST_LINE_ODBC
KX20_TEST_LINE_ODBC=$("$pg" odbc "$pgdir")
export KX20_TEST_LINE_CLUSTER=$pgdir
"$tests" --gtest_filter='LineLinkServer.*' --gtest_brief=1 2>&1 | tee "$work/tests.out"
status=${PIPESTATUS[0]}
grep -q '\[  SKIPPED \]' "$work/tests.out" && { echo "FAIL: tests were skipped"; exit 1; }
exit "$status"
