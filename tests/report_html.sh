#!/bin/bash
# The yield report of a real batch, drawn by a real browser: one kx20-station
# batch on the simulated farm with one fault per disk, `kx20ctl report` on its
# produce.log (the text must agree with the station's own summary), then
# --html, opened in headless Chromium, whose screenshot must have the window's
# size, many colours (not a blank page) and the charts' bar colours.
#
# usage: report_html.sh KX20_STATION KX20CTL SOURCE_DIR WORK_DIR
# The screenshot stays at WORK_DIR/report.png.
# Chromium is required; KX20_SKIP_CHROMIUM=1 turns a missing chromium into a
# skip (exit 77) instead of a failure.
set -euo pipefail

station=$1
kx20ctl=$2
source=$3
work=$4
width=1024
height=1400

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

browser=""
for b in chromium chromium-browser; do
  command -v "$b" >/dev/null 2>&1 && browser=$(command -v "$b") && break
done
if [ -z "$browser" ]; then
  if [ "${KX20_SKIP_CHROMIUM:-0}" = 1 ]; then
    echo "SKIP: chromium is not installed and KX20_SKIP_CHROMIUM=1"
    exit 77
  fi
  fail "chromium is not installed (scripts/packages.sh installs it; KX20_SKIP_CHROMIUM=1 skips this test)"
fi

rm -rf "$work"
mkdir -p "$work/line-1"
cp "$source/examples/config.txt" "$source/examples/farm-faults.ini" "$work/line-1/"

# One batch: some disks pass, the others fail each in its own way.
set +e
timeout 120 "$station" --sim="$work/line-1/farm-faults.ini" --batch --workdir "$work/line-1" \
  >"$work/station.out" 2>&1
rc=$?
set -e
[ $rc -eq 1 ] || fail "the batch should end with some failures (exit 1), got $rc: $(tail -5 "$work/station.out")"
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/station.out") || fail "no summary line"
passed=${summary%% passed*}
failed=${summary#*, }
failed=${failed%% failed}
[ "$passed" -gt 0 ] && [ "$failed" -gt 0 ] || fail "expected passes and failures, got '$summary'"

"$kx20ctl" report --html "$work/report.html" --title "Line 1 <batch>" \
  "station-1=$work/line-1/produce.log" >"$work/report.txt" ||
  fail "kx20ctl report failed: $(cat "$work/report.txt")"
total=$((passed + failed))
grep -q "^records: $total   passed: $passed   failed: $failed " "$work/report.txt" ||
  fail "the report does not match the station's '$summary':$(head -4 "$work/report.txt")"
grep -q '^malformed sections: 0$' "$work/report.txt" || fail "the station's own log has malformed sections"
grep -q '^  station-1 ' "$work/report.txt" || fail "no row for the station label"
for code in USBErr_Config USBErr_TableCompare USBErr_Capacity USBErr_RW_Compare; do
  grep -q "^  $code " "$work/report.txt" || fail "no failures counted under $code"
done
[ -s "$work/report.html" ] || fail "no HTML page"
grep -q 'Line 1 &lt;batch&gt;' "$work/report.html" || fail "the title is missing or not escaped"
if grep -qiE '<script|src=|href=' "$work/report.html"; then
  fail "the page is not self-contained"
fi

# The browser: its own home and profile in the work directory, bounded time.
# Without the compositor and virtual-time switches it can take the picture
# before the lower part of the page is painted.
# A browser that fails to start or to write the screenshot gets
# one more try; its output is kept either way.
shoot() {
  rm -rf "$work/report.png" "$work/chromium-profile"
  HOME="$work" XDG_CONFIG_HOME="$work/xdg" XDG_CACHE_HOME="$work/xdg" \
  timeout 60 "$browser" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
    --hide-scrollbars --no-first-run --disable-extensions --user-data-dir="$work/chromium-profile" \
    --run-all-compositor-stages-before-draw --virtual-time-budget=5000 \
    --window-size=$width,$height --screenshot="$work/report.png" \
    "file://$work/report.html" >"$work/chromium-$1.out" 2>&1 && [ -s "$work/report.png" ]
}
if ! shoot 1; then
  echo "chromium try 1 failed: $(tail -5 "$work/chromium-1.out")" >&2
  shoot 2 || fail "chromium failed, hung or wrote no screenshot: $(tail -5 "$work/chromium-2.out")"
fi

size=$(identify -format '%wx%h' "$work/report.png") || fail "the screenshot is not an image"
[ "$size" = "${width}x${height}" ] || fail "the screenshot is $size, expected ${width}x${height}"
colours=$(convert "$work/report.png" -format '%k' info:)
[ "$colours" -ge 50 ] || fail "the screenshot has only $colours colours: a blank page?"
# The bars: pass green and fail orange, as the page draws them.
histogram=$(convert "$work/report.png" -format '%c' histogram:info:-)
for colour in '#2E9D4A' '#D9822B'; do
  pixels=$(echo "$histogram" | grep -i "$colour" | awk -F: '{ s += $1 } END { print s + 0 }')
  [ "$pixels" -ge 500 ] || fail "only $pixels pixels of the bar colour $colour: the charts did not render"
done
echo "report rendered: $work/report.png ($size, $colours colours)"
