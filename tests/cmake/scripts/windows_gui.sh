#!/usr/bin/env bash
# The station's Windows window under Wine, in a virtual X display of its own.
#
#   windows_gui.sh station      TOP OUT [BUILD]  the operator's day on the simulated farm
#   windows_gui.sh auto-clicker TOP OUT [BUILD]  the auto-clicker against helper windows
#   windows_gui.sh line         TOP OUT [BUILD]  the station in a line: a PostgreSQL
#                                                server of its own, reached through ODBC
#
# TOP is the source tree (the executables come from TOP/build/BUILD: win64,
# the default, or win32), OUT the folder for the work directory, the logs and
# the screenshots. Exit status 77 (skipped) when that build or a needed tool
# is missing.
set -uo pipefail
mode="$1"
top="$2"
out="$3"
build="${4:-win64}"
win="$top/build/$build"
station_exe="$win/tools/kx20-station-win/kx20-station.exe"
tests_exe="$win/tests/kx20_tests.exe"
probe_exe="$win/tests/kx20_gui_probe.exe"

skip() { echo "SKIP: $*"; exit 77; }
fail() {
  echo "FAIL: $*"
  [ -f "$out/station.log" ] && { echo "--- station output"; cat "$out/station.log"; }
  [ -f "$out/work/trace.txt" ] && { echo "--- row trace (last 30 lines)"; tail -30 "$out/work/trace.txt"; }
  exit 1
}

for tool in Xvfb xdotool wine import; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done

rm -rf "$out"
mkdir -p "$out/work"

# A display of our own.
display=""
for n in $(seq 70 99); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || skip "no free X display number"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
export DISPLAY="$display"
for _ in $(seq 50); do
  xdotool getdisplaygeometry >/dev/null 2>&1 && break
  sleep 0.1
done
xdotool getdisplaygeometry >/dev/null 2>&1 || skip "Xvfb did not start"

wine_run() { "$top/scripts/wine-run" "$@"; }
if [ "$build" = win32 ]; then
  # 32-bit programs need a kernel that runs them (see "32-bit Windows" in the
  # README): where it cannot, this test is reported as skipped with the reason,
  # unless KX20_REQUIRE_WIN32_WINE=1 asks for it to fail.
  source "$top/scripts/packages.sh"
  if ! kx20_win32_wine_runs; then
    [ "${KX20_REQUIRE_WIN32_WINE:-0}" = 1 ] && { echo "FAIL: $(kx20_win32_wine_why)"; exit 1; }
    skip "$(kx20_win32_wine_why)"
  fi
fi

# --- The auto-clicker ----------------------------------------------------------
if [ "$mode" = auto-clicker ]; then
  [ -f "$tests_exe" ] || skip "no $build build ($tests_exe)"
  # With a display: the auto-clicker and the window's view over real controls.
  wine_run "$tests_exe" --gtest_filter='AutoClicker.*:Win32ConsoleView.*' 2>&1 |
    tee "$out/auto_clicker.log"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || fail "window tests failed"
  grep -q '\[  SKIPPED \]' "$out/auto_clicker.log" && fail "the tests were skipped inside Wine"
  grep -q '\[  PASSED  \] 5 tests' "$out/auto_clicker.log" || fail "not all five window tests ran"
  exit 0
fi

# --- The station ------------------------------------------------------------------
[ -f "$station_exe" ] || skip "no $build build ($station_exe)"
[ -f "$probe_exe" ] || skip "no window probe ($probe_exe)"
cp "$top/examples/config.txt" "$top/examples/Pelorin.img" "$out/work/"
work="$out/work"
trace="$work/trace.txt"
probe() { wine_run "$probe_exe" "$@" 2>/dev/null | tr -d '\r'; }

# Polls `condition` (a shell function) every 0.5 s for up to $1 seconds.
wait_for() {
  local seconds="$1"; shift
  local i
  for i in $(seq $((seconds * 2))); do
    "$@" && return 0
    sleep 0.5
  done
  "$@"
}

caption="VYN KX20 Production Tool 1.05"
window_id() { xdotool search --name "$caption" 2>/dev/null | head -1; }
have_window() { [ -n "$(window_id)" ]; }
shot() {  # FILE WHAT [screen]: the main window, or the whole screen (for boxes above it)
  local wid=""
  [ "${3:-}" = screen ] || wid=$(window_id)
  import -window "${wid:-root}" "$out/$1" 2>/dev/null || import -window root "$out/$1"
  echo "screenshot: $out/$1 ($2)"
}
# The last traced state of each row: "ROW IMAGE TEXT" (the trace has
# Windows line ends).
rows_now() {
  [ -f "$trace" ] || return 0
  tr -d '\r' <"$trace" | awk '{ row = $2; $1 = ""; $2 = ""; line[row] = row " " substr($0, 3) } END { for (r in line) print line[r] }' | sort -n
}
ten_rows_answering() { [ "$(rows_now | awk '$2 == 1' | wc -l)" -eq 10 ]; }
ten_rows_passed() { [ "$(rows_now | awk '$2 == 6 && $3 ~ /^[0-9][0-9]-:Pass$/' | wc -l)" -eq 10 ]; }
some_row_working() { [ "$(rows_now | awk '$2 != 1' | wc -l)" -gt 0 ]; }
ten_log_records() { [ -f "$work/produce.log" ] && [ "$(grep -c '^\[' "$work/produce.log")" -ge 10 ]; }
window_height() { probe rect 1025 | awk '/^window/ { print $5 - $3 }'; }
dialog_shown() { grep -q "$1" < <(probe dialogs); }
no_dialog() { ! grep -q . < <(probe dialogs); }
station_gone() { ! kill -0 "$station_pid" 2>/dev/null; }

# Focus the window by clicking its caption bar, then type.
focus_main() {
  local wid; wid=$(window_id)
  [ -n "$wid" ] || return 1
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + 8)) click 1
  sleep 0.3
}
click_control() {  # the centre of control $1
  local l t r b
  read -r _ l t r b < <(probe rect "$1" | grep '^control')
  xdotool mousemove $(((l + r) / 2)) $(((t + b) / 2)) click 1
  sleep 0.3
}
menu_open() { grep -q . < <(probe menus); }
no_menu() { ! menu_open; }
system_menu_item() {  # $1: how many items up from the bottom of the system menu
  # The keys go nowhere useful until the menu is really open (a loaded
  # machine takes its time), so wait for it. (No second try: Escape to close
  # a late menu would end the program if the menu never opened.)
  focus_main
  xdotool key alt+space
  wait_for 20 menu_open || fail "the system menu did not open"
  local i
  for i in $(seq "$1"); do xdotool key Up; sleep 0.1; done
  xdotool key Return
  wait_for 10 no_menu || fail "the system menu did not close"
}

# --- The station in a line ------------------------------------------------------
# The window with --line through the PostgreSQL ODBC driver (Wine's odbc32
# hands the calls to the host's unixODBC): the schema made by kx20ctl.exe,
# the caption saying line mode, the station and that the database answers;
# Space runs ten disks to Pass and ten verdicts reach kx20.verdicts. Then,
# with the server stopped, a second window says the database does not
# answer, refuses every disk ("[rw-table X]", USBErr_RWTable in produce.log)
# and tells why after the run; its verdicts wait in its outbox.
run_line_mode() {
  local ctl_exe="$win/tools/kx20ctl.exe"
  [ -f "$ctl_exe" ] || skip "no kx20ctl.exe in the $build build"
  pg="$top/tests/pg/pg_cluster.sh"
  # The cluster itself lives in a temporary directory of its own (pg_cluster.sh).
  pgdir=$out/pg
  # Removed whatever happens, after the station and the display.
  trap 'cleanup; "$pg" remove "$pgdir"' EXIT
  conninfo=$("$pg" start "$pgdir") || fail "the test server did not start"
  odbc=$("$pg" odbc "$pgdir")
  odbc=${odbc/PostgreSQL Unicode/PostgreSQL Unicode(x64)}  # its name on 64-bit Windows
  export ODBCSYSINI=$pgdir
  sql() { psql "$conninfo" -X -q -At -v ON_ERROR_STOP=1 -c "$1"; }
  wine_run "$ctl_exe" line init "$odbc" >"$out/init.out" 2>&1 ||
    fail "kx20ctl.exe line init: $(cat "$out/init.out")"
  grep -q 'created' "$out/init.out" || fail "kx20ctl.exe line init made no schema: $(cat "$out/init.out")"

  caption_has() { grep -qF "$1" < <(xdotool getwindowname "$(window_id)" 2>/dev/null); }
  ten_verdicts() { [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE station = 'win1' AND result = 'Pass'")" = 10 ]; }

  # The lot and the operator with letters beyond ASCII: Windows hands them to
  # the program in its ANSI code page; the records hold them in UTF-8.
  (cd "$work" && LC_ALL=C.UTF-8 exec "$top/scripts/wine-run" "$station_exe" --sim --workdir . \
     --trace-rows trace.txt --line "$odbc" --station win1 --lot "L-ü1" --operator "Müller") \
     >"$out/station.log" 2>&1 &
  station_pid=$!
  wait_for 60 have_window || fail "the station window did not appear"
  wait_for 20 ten_rows_answering || fail "the ten rows did not appear"
  wait_for 20 caption_has "line mode, station win1: the database answers" ||
    fail "the caption does not say line mode and that the database answers: $(xdotool getwindowname "$(window_id)")"
  echo "caption: $(xdotool getwindowname "$(window_id)")"
  shot line-idle.png "the window in line mode, idle"
  focus_main
  xdotool key space
  wait_for 30 some_row_working || fail "Space did not start a run"
  wait_for 120 ten_rows_passed || fail "not every slot reached Pass"
  wait_for 20 ten_log_records || fail "produce.log does not hold ten records"
  wait_for 30 ten_verdicts || fail "kx20.verdicts does not hold ten passes of win1"
  [ "$(sql "SELECT count(DISTINCT serial) FROM kx20.verdicts WHERE station = 'win1'")" = 10 ] ||
    fail "the ten verdicts do not carry ten serial numbers"
  [ "$(sql "SELECT count(*) FROM kx20.verdicts WHERE lot = 'L-ü1' AND operator = 'Müller'")" = 10 ] ||
    fail "the verdicts do not name the lot and the operator: $(sql "SELECT DISTINCT lot, operator FROM kx20.verdicts")"
  [ "$(grep -c '"lot":"L-ü1".*"operator":"Müller"\|"operator":"Müller".*"lot":"L-ü1"' "$work/produce.jsonl")" = 10 ] ||
    fail "produce.jsonl does not name the lot and the operator in UTF-8: $(head -c 600 "$work/produce.jsonl")"
  caption_has "Lot L-ü1  Operator Müller" ||
    fail "the caption does not name the lot and the operator: $(xdotool getwindowname "$(window_id)")"
  logged=$(grep -h '^Serial Number=[0-9]' "$work/produce.log" | sed 's/^Serial Number=//' | tr -d '\r' | sort)
  stored=$(sql "SELECT lpad(serial::text, 8, '0') FROM kx20.verdicts WHERE station = 'win1' ORDER BY 1")
  [ "$logged" = "$stored" ] || fail "the serial numbers in produce.log and kx20.verdicts differ"
  shot line-finished.png "the window in line mode after the run: ten slots Pass"
  # The run took the focus off the controls; Escape closes all the same.
  xdotool key Escape
  wait_for 15 station_gone || fail "Escape did not end the program"
  station_pid=""
  [ "$(grep -c . "$work/verdicts.outbox")" = 2 ] || fail "the outbox is not empty"
  # kx20ctl.exe reads the line's report and frees the station's name through
  # ODBC as well.
  wine_run "$ctl_exe" report --line "$odbc" >"$out/report.out" 2>&1 ||
    fail "kx20ctl.exe report --line: $(cat "$out/report.out")"
  grep -q '^records: 10   passed: 10   failed: 0 ' < <(tr -d '\r' <"$out/report.out") ||
    fail "kx20ctl.exe report --line does not count the ten passes: $(cat "$out/report.out")"
  wine_run "$ctl_exe" line release "$odbc" win1 >"$out/release.out" 2>&1 ||
    fail "kx20ctl.exe line release: $(cat "$out/release.out")"
  [ "$(sql "SELECT count(*) FROM kx20.station_instances WHERE station = 'win1' AND released_at IS NULL")" = 0 ] ||
    fail "kx20ctl.exe line release left win1 held: $(cat "$out/release.out")"

  # The database gone: a second window, on a fresh farm.
  "$pg" stop "$pgdir"
  local work2="$out/work-down"
  mkdir -p "$work2"
  cp "$top/examples/config.txt" "$top/examples/Pelorin.img" "$work2/"
  trace="$work2/trace.txt"
  ten_refused() { [ "$(rows_now | grep -c 'rw-table X')" -eq 10 ]; }
  (cd "$work2" && exec "$top/scripts/wine-run" "$station_exe" --sim --workdir . --trace-rows trace.txt \
     --line "$odbc" --station win1) >"$out/station-down.log" 2>&1 &
  station_pid=$!
  wait_for 60 have_window || fail "the second station window did not appear"
  wait_for 20 ten_rows_answering || fail "the ten rows did not appear in the second window"
  wait_for 20 caption_has "line mode, station win1: the database does not answer" ||
    fail "the caption does not say that the database does not answer: $(xdotool getwindowname "$(window_id)")"
  focus_main
  xdotool key space
  wait_for 60 ten_refused || fail "the disks were not refused: $(rows_now)"
  wait_for 30 dialog_shown "A disk was not programmed: the line's database cannot be reached" ||
    fail "no notice after the run: $(probe dialogs)"
  echo "notice: $(probe dialogs | head -c 300)"
  shot line-refused.png "the notice after a run without the line's database" screen
  xdotool key Return
  wait_for 10 no_dialog || fail "the notice did not close"
  [ "$(grep -c 'Error Code=USBErr_RWTable' "$work2/produce.log")" = 10 ] ||
    fail "produce.log does not hold ten USBErr_RWTable failures"
  grep -q '^Serial Number=[0-9]' "$work2/produce.log" && fail "a refused disk got a serial number"
  click_control 1007
  xdotool key Escape
  wait_for 30 station_gone || fail "Escape did not end the second program"
  station_pid=""
  [ "$(grep -c . "$work2/verdicts.outbox")" = 12 ] || fail "the ten verdicts do not wait in the outbox"
  echo "screenshots in $out"
}

if [ "$mode" = line ]; then
  run_line_mode
  exit 0
fi

# 1. Start on the simulated farm.
(cd "$work" && exec "$top/scripts/wine-run" "$station_exe" --sim --workdir . --trace-rows trace.txt) \
  >"$out/station.log" 2>&1 &
station_pid=$!
wait_for 60 have_window || fail "the station window did not appear"
wait_for 20 ten_rows_answering || fail "the ten rows did not appear"
echo "ten rows:"; rows_now
first_height=$(window_height)
[ -n "$first_height" ] || fail "cannot read the window's height"
read -r _ _ cid_top _ _ < <(probe rect 1025 | grep '^control')
read -r _ _ win_top _ win_bottom < <(probe rect 1025 | grep '^window')
[ "$win_bottom" -eq "$cid_top" ] || fail "collapsed window ends at $win_bottom, not at the CID box's top $cid_top"
[ "$(probe text 1009)" != "" ] || fail "no DISK information line from Pelorin.img"
shot main-idle.png "the main window idle: ten answering slots, collapsed"

# The tooltips: created on the first mouse move over the window, shown over
# the visible buttons.
tooltip_shows() { grep -qx "$1" < <(probe tooltips); }
read -r _ l t r b < <(probe rect 1003 | grep '^control')
read -r _ wl wt wr wb < <(probe rect 1003 | grep '^window')
xdotool mousemove $(((wl + wr) / 2)) $((wb - 8)); sleep 0.3
xdotool mousemove $(((wl + wr) / 2 + 4)) $((wb - 6)); sleep 0.3
xdotool mousemove $(((l + r) / 2)) $(((t + b) / 2)); sleep 0.3
xdotool mousemove $(((l + r) / 2 + 2)) $(((t + b) / 2 + 2))
wait_for 10 tooltip_shows "Write Device" || fail "no \"Write Device\" tooltip over \"Update\""

# 2. Space starts a run; every slot passes; produce.log gets ten records.
focus_main
xdotool key space
wait_for 30 some_row_working || fail "Space did not start a run"
shot main-running.png "the main window during the run"
[ "$(probe enabled 1003)" = 0 ] || fail "\"Update\" is enabled during the run"
wait_for 120 ten_rows_passed || fail "not every slot reached Pass"
shot main-finished.png "the main window after the run: ten slots Pass"
wait_for 20 ten_log_records || fail "produce.log does not hold ten records"
echo "produce.log: $(grep -c '^\[' "$work/produce.log") records"

# 3. "Configure" opens the panel down to the "Other Info" box's bottom.
system_menu_item 2  # up from the first item: About, then Configure
expanded() { [ "$(window_height)" -gt "$first_height" ]; }
wait_for 10 expanded || fail "Configure did not open the panel"
read -r _ _ _ _ other_bottom < <(probe rect 1049 | grep '^control')
read -r _ _ win_top _ win_bottom < <(probe rect 1049 | grep '^window')
[ "$win_bottom" -eq $((other_bottom + 10)) ] ||
  fail "expanded window ends at $win_bottom, not 10 px below the Other Info box ($other_bottom)"
[ "$(probe enabled 1003)" = 0 ] || fail "\"Update\" is enabled with the panel open"
[ "$(probe text 1013)" = KX20 ] || fail "the panel does not show config.txt's product name"
shot main-panel-open.png "the main window with the settings panel open"

# 4. A refused percentage: message box naming the limit; config.txt still saved.
old_value=$(grep '^RWValue=' "$work/config.txt")
sed -i 's/^Product_name=.*/Product_name=STALE/' "$work/config.txt"
click_control 1047
xdotool key End BackSpace BackSpace BackSpace BackSpace type 101
typed_101() { [ "$(probe text 1047)" = 101 ]; }
wait_for 10 typed_101 || fail "could not type 101 into the percentage (it shows \"$(probe text 1047)\")"
click_control 1005
wait_for 10 dialog_shown 'between 0 and 100' || fail "no message box for the percentage 101"
echo "message box: $(probe dialogs)"
shot refused-percentage.png "the message box refusing 101 %" screen
xdotool key Return
wait_for 10 no_dialog || fail "the message box did not close"
collapsed() { [ "$(window_height)" = "$first_height" ]; }
wait_for 10 collapsed || fail "Save configure did not collapse the window to $first_height (now $(window_height))"
config_saved() { grep -q '^Product_name=KX20' "$work/config.txt"; }
wait_for 10 config_saved || fail "Save configure did not write config.txt"
grep -q "^$old_value" "$work/config.txt" || fail "config.txt lost the previous percentage ($old_value)"

# 5. The About box opens and closes.
system_menu_item 1
wait_for 10 dialog_shown 'About KX20ProductionTools' || fail "the About box did not open"
grep -q 'VYN KX20 Product Tool' < <(probe dialogs) || fail "the About box lacks its line"
shot about.png "the About box over the main window" screen
xdotool key Return
wait_for 10 no_dialog || fail "the About box did not close"

# 6. Escape ends the program.
focus_main
xdotool key Escape
wait_for 15 station_gone || fail "Escape did not end the program"
station_pid=""
echo "screenshots in $out"
exit 0
