#!/bin/bash
# A throw-away PostgreSQL cluster for tests: no system service, no TCP.
#
#   pg_cluster.sh start DIR    initdb (first time) and start a server; prints
#                              a libpq conninfo "host=SOCKDIR port=N
#                              dbname=postgres user=U"
#   pg_cluster.sh stop DIR     stop it (fast); nothing to do when not running
#   pg_cluster.sh restart DIR  start an existing cluster again (same port)
#   pg_cluster.sh freeze DIR   stop every process of the running server with
#                              SIGSTOP: a server that no longer answers and
#                              closes nothing, as after a dropped route or a
#                              hung host
#   pg_cluster.sh thaw DIR     let a frozen server go on (SIGCONT); nothing to
#                              do when it is not frozen
#   pg_cluster.sh remove DIR   stop it and delete the cluster
#   pg_cluster.sh odbc DIR     the same server for the PostgreSQL ODBC driver:
#                              registers the driver under its Windows names
#                              "PostgreSQL Unicode" and "PostgreSQL
#                              Unicode(x64)" in DIR/odbcinst.ini and the
#                              data source "kx20line" in DIR/odbc.ini (for
#                              unixODBC, also under Wine: ODBCSYSINI=DIR), and
#                              prints an ODBC connection string
#                              "Driver={PostgreSQL Unicode};Servername=SOCKDIR;..."
#
# DIR is the caller's handle, anywhere. The cluster itself (data, socket,
# server log) lives in a directory of its own made with mktemp -d under
# $TMPDIR (default /tmp) on the first start and named in DIR/cluster-dir;
# `remove` deletes it. As root the server runs as an unprivileged user
# (kx20pg, created when missing, else nobody) that owns that directory; no
# permission outside it is ever changed (a TMPDIR the user cannot traverse is
# an error, not a reason to open its parents). The port only names the
# socket (listen_addresses is empty); it is picked at random once and kept.
set -euo pipefail

die() { echo "pg_cluster.sh: $*" >&2; exit 1; }

[ $# -eq 2 ] || die "usage: pg_cluster.sh start|stop|restart|freeze|thaw|remove|odbc DIR"
cmd=$1
dir=$2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
record="$dir/cluster-dir"
cluster=""
[ -f "$record" ] && cluster=$(cat "$record")
if [ -n "$cluster" ] && [ ! -d "$cluster" ]; then
  cluster=""  # removed meanwhile (a reboot cleaned TMPDIR)
fi
data="$cluster/data"

bindir=""
for d in /usr/lib/postgresql/*/bin; do
  [ -x "$d/pg_ctl" ] && bindir=$d
done
[ -n "$bindir" ] || die "no PostgreSQL server found (/usr/lib/postgresql/*/bin/pg_ctl); install the package postgresql"

# Who runs the server, and how we run commands as that user.
user=$(id -un)
as_user() { "$@"; }
if [ "$(id -u)" -eq 0 ]; then
  user=kx20pg
  if ! id "$user" >/dev/null 2>&1; then
    useradd --system --no-create-home --shell /usr/sbin/nologin "$user" >/dev/null 2>&1 || user=nobody
  fi
  as_user() { (cd / && runuser -u "$user" -- "$@"); }
fi

# Makes the cluster's own directory, owned by the server user.
make_cluster_dir() {
  cluster=$(mktemp -d "${TMPDIR:-/tmp}/kx20pg.XXXXXX") || die "cannot make a directory under ${TMPDIR:-/tmp}"
  [ "$(id -u)" -eq 0 ] && chown "$user" "$cluster"
  if ! as_user test -w "$cluster" -a -x "$cluster"; then
    rm -rf "$cluster"
    die "the server user $user cannot reach $cluster; set TMPDIR to a directory every user may traverse"
  fi
  echo "$cluster" >"$record"
  data="$cluster/data"
}

# The server's processes other than the postmaster: its children (read from
# /proc, since a minimal system may lack pgrep).
children_of() {
  local f key value
  for f in /proc/[0-9]*/status; do
    # A process may end while we look: its file is then gone.
    while read -r key value; do
      if [ "$key" = "PPid:" ]; then
        [ "$value" = "$1" ] && { f=${f#/proc/}; echo "${f%/status}"; }
        break
      fi
    done 2>/dev/null < "$f" || true
  done
}

conninfo() { echo "host=$cluster port=$(cat "$cluster/port") dbname=postgres user=$user"; }

start_server() {
  if ! as_user "$bindir/pg_ctl" -D "$data" -l "$cluster/server.log" -w -t 60 \
      -o "-k $cluster -p $(cat "$cluster/port") -c listen_addresses=''" start >"$cluster/pg_ctl.out" 2>&1; then
    cat "$cluster/pg_ctl.out" >&2
    tail -n 20 "$cluster/server.log" >&2 2>/dev/null || true
    die "the server in $cluster did not start"
  fi
}

# Commands other than start on a cluster that was never made.
if [ -z "$cluster" ] && [ "$cmd" != start ]; then
  case "$cmd" in
    stop|thaw|remove) rm -f "$record"; exit 0 ;;
    *) die "no cluster for $dir (run start first)" ;;
  esac
fi

case "$cmd" in
  start)
    [ -n "$cluster" ] || make_cluster_dir
    if [ ! -f "$data/PG_VERSION" ]; then
      # A random port number (the socket is alone in its directory).
      echo $(( 20000 + RANDOM % 40000 )) >"$cluster/port"
      if ! as_user "$bindir/initdb" -D "$data" -U "$user" --auth=trust --no-sync \
          -E UTF8 --locale=C >"$cluster/initdb.out" 2>&1; then
        cat "$cluster/initdb.out" >&2
        die "initdb failed in $data"
      fi
    fi
    if as_user "$bindir/pg_ctl" -D "$data" status >/dev/null 2>&1; then
      conninfo
      exit 0
    fi
    start_server
    conninfo
    ;;
  restart)
    [ -f "$data/PG_VERSION" ] || die "no cluster in $cluster (run start first)"
    as_user "$bindir/pg_ctl" -D "$data" status >/dev/null 2>&1 || start_server
    conninfo
    ;;
  freeze|thaw)
    # The postmaster first on freezing, so it forks no new backend meanwhile.
    pm=$(head -n 1 "$data/postmaster.pid" 2>/dev/null) || die "no server running in $cluster"
    [ -n "$pm" ] && kill -0 "$pm" 2>/dev/null || die "no server running in $cluster"
    if [ "$cmd" = freeze ]; then
      kill -STOP "$pm"
      for child in $(children_of "$pm"); do kill -STOP "$child" 2>/dev/null || true; done
    else
      for child in $(children_of "$pm"); do kill -CONT "$child" 2>/dev/null || true; done
      kill -CONT "$pm"
    fi
    ;;
  odbc)
    [ -n "$cluster" ] && [ -f "$cluster/port" ] || die "no cluster for $dir (run start first)"
    driver=""
    for f in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so /usr/lib64/psqlodbcw.so; do
      [ -f "$f" ] && driver=$f
    done
    [ -n "$driver" ] || die "no PostgreSQL ODBC driver (psqlodbcw.so) found; install the package odbc-postgresql"
    printf '[%s]\nDescription=PostgreSQL ODBC driver (Unicode)\nDriver=%s\n' \
      "PostgreSQL Unicode" "$driver" "PostgreSQL Unicode(x64)" "$driver" >"$dir/odbcinst.ini"
    printf '[kx20line]\nDriver=PostgreSQL Unicode\nServername=%s\nPort=%s\nDatabase=postgres\nUsername=%s\n' \
      "$cluster" "$(cat "$cluster/port")" "$user" >"$dir/odbc.ini"
    echo "Driver={PostgreSQL Unicode};Servername=$cluster;Port=$(cat "$cluster/port");Database=postgres;Username=$user"
    ;;
  stop)
    # A frozen server could not stop: let it go on first.
    "$0" thaw "$dir" 2>/dev/null || true
    if [ -f "$data/PG_VERSION" ]; then
      as_user "$bindir/pg_ctl" -D "$data" -m fast -w -t 60 stop >/dev/null 2>&1 || true
    fi
    ;;
  remove)
    "$0" stop "$dir"
    rm -rf "$cluster" "$record"
    ;;
  *)
    die "unknown command '$cmd' (start, stop, restart, freeze, thaw, remove or odbc)"
    ;;
esac
