#!/bin/bash
# kx20-station's full-screen console driven through tmux on the built-in
# simulated farm: a production run with Space, the settings panel (typing
# limits, Space starting a run instead of typing, a refused percentage on
# saving), the log viewer, Escape, a quit during a run (asked first; each
# disk cut off gets its FAIL record), a terminal that is too small, and the
# rates and times left of a run on the farm with faults. Every step's screen
# is kept under ARTIFACTS.
#
#   terminal_console.sh STATION SOURCE_DIR WORK ARTIFACTS
set -u
STATION=$(realpath "$1")
SOURCE_DIR=$(realpath "$2")
WORK=$3
ARTIFACTS=$4

INSTANCE=0
SOCKET="kx20-terminal-$$-0"
TMUX_CMD=(tmux -L "$SOCKET" -f /dev/null)
FAILED=0
STEP=0

cleanup() { "${TMUX_CMD[@]}" kill-server >/dev/null 2>&1 || true; }
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  FAILED=1
}

# A step that did not happen: nothing after it can be checked.
fatal() {
  echo "FAIL: $*" >&2
  save "failed"
  echo "screens kept in $ARTIFACTS" >&2
  exit 1
}

capture() { "${TMUX_CMD[@]}" capture-pane -p -t kx 2>/dev/null; }

# Saves the current screen as ARTIFACTS/NN-name.txt.
save() {
  STEP=$((STEP + 1))
  capture >"$ARTIFACTS/$(printf '%02d' "$STEP")-$1.txt"
}

# Polls the screen until the extended regular expression matches (or the
# command given as a function name succeeds), up to a timeout in seconds.
wait_for() {
  local pattern=$1 timeout=$2 what=$3
  local deadline=$((SECONDS + timeout))
  while ((SECONDS < deadline)); do
    if capture | grep -Eq -- "$pattern"; then return 0; fi
    sleep 0.2
  done
  fatal "timed out after ${timeout}s waiting for $what"
}

wait_gone() {
  local pattern=$1 timeout=$2 what=$3
  local deadline=$((SECONDS + timeout))
  while ((SECONDS < deadline)); do
    if ! capture | grep -Eq -- "$pattern"; then return 0; fi
    sleep 0.2
  done
  fatal "timed out after ${timeout}s waiting for $what"
}

count_on_screen() { capture | grep -Eo -- "$1" | wc -l; }

wait_count() {
  local pattern=$1 want=$2 timeout=$3 what=$4
  local deadline=$((SECONDS + timeout))
  while ((SECONDS < deadline)); do
    if [ "$(count_on_screen "$pattern")" -eq "$want" ]; then return 0; fi
    sleep 0.2
  done
  fatal "timed out after ${timeout}s waiting for $what (have $(count_on_screen "$pattern"))"
}

keys() { "${TMUX_CMD[@]}" send-keys -t kx "$@"; }

# Starts the station in a fresh work directory (on the built-in farm, or the
# disks named by the second argument). A shell waits for it and writes its
# exit status to exit-status (tmux alone does not always learn it).
start_station() {
  local dir=$1 disks=${2:---sim}
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$SOURCE_DIR/examples/config.txt" "$SOURCE_DIR/examples/Pelorin.img" \
     "$SOURCE_DIR/examples/farm-faults.ini" "$dir/"
  # A fresh tmux server for every start: a server that is still going away
  # must not swallow the new session.
  cleanup
  INSTANCE=$((INSTANCE + 1))
  SOCKET="kx20-terminal-$$-$INSTANCE"
  TMUX_CMD=(tmux -L "$SOCKET" -f /dev/null)
  "${TMUX_CMD[@]}" new-session -d -s kx -x 80 -y 24 \
    "cd '$dir' && TERM=screen '$STATION' $disks; echo \$? >exit-status; sleep 600"
  CURRENT=$dir
}

# The station's process id (a child of the pane's shell).
station_pid() {
  local shell
  shell=$("${TMUX_CMD[@]}" display-message -p -t kx '#{pane_pid}')
  pgrep -P "$shell" -f kx20-station | head -1
}

# Waits for the program to end; prints its exit status.
wait_exit() {
  local timeout=$1
  local deadline=$((SECONDS + timeout))
  while ((SECONDS < deadline)); do
    if [ -s "$CURRENT/exit-status" ]; then
      cat "$CURRENT/exit-status"
      return 0
    fi
    sleep 0.2
  done
  echo "running"
}

rm -rf "$ARTIFACTS"
mkdir -p "$ARTIFACTS"

# --- 1. A production run with Space ---------------------------------------------
RUN1="$WORK/run"
start_station "$RUN1"
wait_for '10-N:\\' 15 "the ten slot rows"
wait_count '[0-9]{2}-[E-N]:\\' 10 5 "ten rows with a drive letter"
save "main-idle"
for n in 01 02 03 04 05 06 07 08 09 10; do
  capture | grep -q -- "$n-" || fail "slot $n missing"
done
capture | grep -q 'VYN KX20 Production Tool 1.05' || fail "no window caption"
capture | grep -q '|  Update  |' || fail "the Update button is not shown enabled"

keys Space
wait_for 'Run: ([1-9]|10) running' 10 "the run to start"
wait_for '\(rw-test\) +[0-9]+ %' 20 "the read/write test in the rows"
save "main-running"
wait_count '[0-9]{2}-:Pass' 10 60 "ten passes"
wait_for 'Run: 0 running, 10 passed, 0 failed' 5 "the run's counts"
save "main-passed"
capture | grep -q ':  Update  :' || fail "Update is not shown disabled after the run"
passes=$(grep -c '^Result=Pass' "$RUN1/produce.log" 2>/dev/null || echo 0)
[ "$passes" -eq 10 ] || fail "produce.log has $passes passes, not 10"

# Idle: the console sleeps between ticks.
pid=$(station_pid)
if [ -n "${KX20_SKIP_IDLE_CPU:-}" ]; then
  echo "idle cpu: not measured (sanitizer build)" >"$ARTIFACTS/idle-cpu.txt"
elif [ -n "$pid" ] && [ -r "/proc/$pid/stat" ]; then
  t0=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  sleep 5
  t1=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  hz=$(getconf CLK_TCK)
  # Under 1 % of a core over 5 s: fewer than 5 * hz / 100 clock ticks.
  limit=$((5 * hz / 100))
  echo "idle cpu: $((t1 - t0)) ticks of 1/$hz s in 5 s" >"$ARTIFACTS/idle-cpu.txt"
  [ $((t1 - t0)) -lt "$limit" ] || fail "idle console used $((t1 - t0)) ticks in 5 s"
else
  fail "no station process to measure"
fi

# The log viewer: Enter on the slot list, newest records at the end.
keys Enter
wait_for 'produce.log +lines' 5 "the log viewer"
save "log-viewer"
capture | grep -q 'Result=Pass' || fail "the log viewer shows no record"
capture | grep -Eq 'lines [0-9]+-([0-9]+) of \1$' || fail "the viewer does not end at the newest record"
keys / S e r i a l Enter
wait_for 'Serial Number=' 5 "a search hit"
keys Escape
wait_for 'Run: 0 running' 5 "the main screen after the viewer"
keys Escape
status=$(wait_exit 10)
[ "$status" = "0" ] || fail "Escape: exit status $status"

# --- 2. The settings panel --------------------------------------------------------
RUN2="$WORK/panel"
start_station "$RUN2"
wait_count '[0-9]{2}-[E-N]:\\' 10 15 "ten rows with a drive letter"
keys F2
wait_for 'CID Info' 5 "the settings panel"
save "panel-open"
for label in 'PDU NAME' 'MID' 'OEM ID' 'PRV' 'DATE' 'Change serial number' 'PSN' 'CSD DATA' \
             'FLASH 1' 'FLASH 2' 'Read Write Test' 'Erase Flash' 'Save configure'; do
  capture | grep -q -- "$label" || fail "panel label '$label' missing"
done
capture | grep -Eq 'DELAY|ECC' && fail "a hidden control is shown"
capture | grep -q '|  Update  |' && fail "Update enabled while the panel is open"

# Type over the limits: PDU NAME 5, MID 2, OEM ID 4, PRV 2 (letters upper case
# except in PDU NAME).
keys -l abcdefghij
keys Tab
keys -l xyz1
keys Tab
keys -l oem12345
keys Tab
keys -l abc
wait_for 'PRV +AB_' 5 "the typed values"
save "panel-typed"
capture | grep -q 'PDU NAME abcde___' || fail "PDU NAME did not stop at 5 characters"
capture | grep -Eq 'MID +XY_' || fail "MID did not stop at 2 upper-case characters"
capture | grep -q 'OEM ID OEM1_' || fail "OEM ID did not stop at 4 upper-case characters"

# Space in a field starts a run and types nothing.
keys BSpace
keys Space
wait_for 'Run: ([1-9]|10) running' 10 "Space to start a run from the panel"
save "panel-space-run"
capture | grep -Eq 'PRV +[A-Z0-9]+ ' && fail "a space was typed into PRV"
wait_count '[0-9]{2}-:Pass' 10 60 "ten passes with the panel open"

# A percentage of 101 is refused on saving; the file keeps the old one.
keys BTab BTab BTab
keys -l zz
keys Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab
keys BSpace BSpace BSpace BSpace
keys -l 101
wait_for '101%' 5 "the percentage 101"
keys Tab Tab Enter
wait_for '0 and 100' 5 "the message box naming the range"
save "panel-refused"
keys Enter
wait_gone 'CID Info' 5 "the panel to collapse after saving"
save "panel-saved"
tr -d '\r' <"$RUN2/config.txt" | grep -q '^RWValue=10$' || fail "config.txt lost the old percentage"
tr -d '\r' <"$RUN2/config.txt" | grep -q '^Product_name=zz$' || fail "config.txt was not written"
keys Escape
status=$(wait_exit 10)
[ "$status" = "0" ] || fail "Escape after the panel: exit status $status"

# --- 3. Escape during a run; a terminal that is too small -------------------------
RUN3="$WORK/quit"
start_station "$RUN3"
wait_count '[0-9]{2}-[E-N]:\\' 10 15 "ten rows with a drive letter"
"${TMUX_CMD[@]}" resize-window -t kx -x 60 -y 20
wait_for 'at least 80 x 24' 5 "the too-small message"
save "too-small"
"${TMUX_CMD[@]}" resize-window -t kx -x 80 -y 24
wait_for '10-N:' 5 "the redraw at 80 x 24"
keys Space
wait_for 'Run: ([1-9]|10) running' 10 "the run to start"
# Escape during a run asks first; "No" (N) goes on, "Quit" (Y) quits.
keys Escape
wait_for 'disks? (is|are) being produced\. Quit anyway\?' 5 "the quit question"
save "quit-question"
keys n
wait_gone 'Quit anyway' 5 "the question to go away after N"
[ "$(wait_exit 1)" = "running" ] || fail "N quit the console"
keys Escape
wait_for 'Quit anyway' 5 "the quit question again"
keys y
# Each disk cut off gets its record (one second apart, as every record).
status=$(wait_exit 40)
[ "$status" = "0" ] || fail "Escape during a run: exit status $status"
records=$(grep -c '^Result=' "$RUN3/produce.log" 2>/dev/null)
[ "${records:-0}" -eq 10 ] || fail "$records records for the ten started disks after the quit, not 10"
cutoff=$(grep -c '^Result=FAIL' "$RUN3/produce.log" 2>/dev/null)
[ "${cutoff:-0}" -ge 1 ] || fail "no disk was recorded as cut off"
if tr -d '\r' <"$RUN3/produce.log" | grep '^Error Code=' | grep -Ev '^Error Code=(USBErr_[A-Za-z_]+)?$' >/dev/null; then
  fail "a record with an error text of no step"
fi
capture | grep -q 'cut off' || fail "the quit did not say which disks were cut off"
save "quit-cut-off"

# --- 4. Rates and times left on the farm with faults ------------------------------
# Under each measured row: its disk's rate and the time its run has left;
# at the end, the slots to pull and those that failed.
RUN4="$WORK/rates"
start_station "$RUN4" "--sim=farm-faults.ini"
wait_for '02-F:\\' 15 "the rows of the farm with faults"
keys Space
wait_for '[0-9.]+MB/s [0-9:]+ left' 20 "a rate and a time left under a row"
save "rates"
wait_for 'Run ended: pull slots 01-07 10; failed: 04-07 10' 60 "the end of the run"
save "rates-ended"
capture | grep -q 'Run: 0 running, 3 passed, 5 failed' || fail "the counts after the run with faults"
keys Escape
status=$(wait_exit 10)
[ "$status" = "0" ] || fail "Escape after the run with faults: exit status $status"

if [ "$FAILED" -ne 0 ]; then
  echo "screens kept in $ARTIFACTS" >&2
  exit 1
fi
echo "terminal console: all steps passed; screens in $ARTIFACTS"
