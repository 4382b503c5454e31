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
work=$(mktemp -d)
pgdir=$work/pg
trap '"$pg" remove "$pgdir" || true; rm -rf "$work"' EXIT
export KX20_BENCH_LINE_PQ KX20_BENCH_LINE_ODBC
KX20_BENCH_LINE_PQ=$("$pg" start "$pgdir")
KX20_BENCH_LINE_ODBC=$("$pg" odbc "$pgdir")
export ODBCSYSINI=$pgdir
ctl=$top/build/release/tools/kx20ctl
[ -x "$ctl" ] || ctl=$top/build/linux/tools/kx20ctl
"$ctl" line init "$KX20_BENCH_LINE_PQ" >/dev/null
"$bench" --benchmark_filter='SerialStep|LinkRoundTrip' --benchmark_min_time=2
