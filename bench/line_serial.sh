#!/usr/bin/env bash
# The serial-number step's added time per disk in line mode, through libpq
# and through the PostgreSQL ODBC driver side by side, in one run against a
# PostgreSQL server started here (Unix socket, this machine) and always
# stopped. A benchmark, not a test: run it by hand on a quiet machine.
#
# usage: bench/line_serial.sh [KX20_BENCH]   (default: the release build's)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bench=${1:-$top/build/release/bench/kx20_bench}
pg=$top/tests/pg/pg_cluster.sh
pgdir=$(mktemp -d /tmp/kx20pg.XXXXXX)
trap '"$pg" stop "$pgdir" || true; rm -rf "$pgdir"' EXIT
conninfo=$("$pg" start "$pgdir")
"$pg" odbc "$pgdir" >/dev/null
export ODBCSYSINI=$pgdir
psql "$conninfo" -X -q -c "SELECT 1" >/dev/null
"$top/build/release/tools/kx20ctl" line init "$conninfo" >/dev/null 2>&1 ||
  "$top/build/linux/tools/kx20ctl" line init "$conninfo" >/dev/null
export KX20_BENCH_LINE_SERVER=$pgdir
KX20_BENCH_LINE_USER=$(echo "$conninfo" | sed 's/.*user=//')
export KX20_BENCH_LINE_USER
"$bench" --benchmark_filter='SerialStep|LinkRoundTrip' --benchmark_min_time=2
