#!/usr/bin/env bash
# Runs a whole-program test built with AddressSanitizer+UBSan or
# ThreadSanitizer and fails it on any sanitizer report, wherever the program
# ran (a background server, a tmux pane, a child whose stderr a script
# swallows): every report goes to a file of its own in a fresh directory,
# which is shown and counted once the test has ended. The first report also
# stops the program that made it.
#
#   sanitizer_check.sh COMMAND [ARGS...]
set -u
reports=$(mktemp -d "${TMPDIR:-/tmp}/kx20-sanitizer.XXXXXX") || exit 1
trap 'rm -rf "$reports"' EXIT
# Later options win: these come after whatever the caller set.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1:abort_on_error=0:log_path=$reports/asan"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS }halt_on_error=1 second_deadlock_stack=1 log_path=$reports/tsan"
"$@"
status=$?
found=0
for report in "$reports"/*; do
  [ -s "$report" ] || continue
  found=$((found + 1))
  echo "=== sanitizer report $(basename "$report")"
  cat "$report"
done
if [ "$found" -gt 0 ]; then
  echo "FAIL: $found sanitizer report(s) (the test itself exited $status)"
  exit 1
fi
exit "$status"
