# Shared by the kx20-simd test scripts: start a server on a free port of
# 127.0.0.1 and stop it again (sourced; needs $simd and $work).

simd_pid=""

# Every failure is counted; a script exits non-zero when there was one.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# simd_start LOG ARGS...: starts kx20-simd, waits until it listens, sets $portal.
simd_start() {
  local log=$1
  shift
  rm -f "$work/ready"
  "$simd" "$@" --listen 127.0.0.1:0 --ready-file "$work/ready" 2>"$log" &
  simd_pid=$!
  local i
  for i in $(seq 1 100); do
    [ -s "$work/ready" ] && break
    if ! kill -0 "$simd_pid" 2>/dev/null; then
      echo "kx20-simd did not start:" >&2
      cat "$log" >&2
      return 1
    fi
    sleep 0.1
  done
  portal=$(cat "$work/ready")
}

# simd_stop: SIGTERM, then waits (at most 10 s) for a clean exit; returns its status.
simd_stop() {
  [ -n "$simd_pid" ] || return 0
  kill -TERM "$simd_pid" 2>/dev/null || true
  local i
  for i in $(seq 1 100); do
    kill -0 "$simd_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$simd_pid" 2>/dev/null; then
    echo "kx20-simd did not stop on SIGTERM" >&2
    kill -KILL "$simd_pid" 2>/dev/null || true
    wait "$simd_pid" 2>/dev/null || true
    simd_pid=""
    return 1
  fi
  local rc=0
  wait "$simd_pid" || rc=$?
  simd_pid=""
  return $rc
}
