#!/bin/bash
# Every kx20ctl command answers --help (and -h alone) with its own usage on
# stdout, exit status 0, and runs nothing: a device command with --help
# touches no device, `line init --help` connects nowhere.
#
# usage: kx20ctl_help.sh KX20CTL
set -euo pipefail
kx20ctl=$1
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
commands=$("$kx20ctl" help | sed -n 's/^  \([a-z0-9-]*\) .*/\1/p')
[ "$(wc -w <<< "$commands")" -ge 10 ] || fail "kx20ctl help lists too few commands: $commands"
for c in $commands; do
  for args in "--help" "-h" "X --help" "--sim --help"; do
    # shellcheck disable=SC2086
    out=$("$kx20ctl" "$c" $args 2>&1) || fail "kx20ctl $c $args exits $?: $out"
    grep -q "^usage: kx20ctl $c " < <(head -1 <<<"$out") || fail "kx20ctl $c $args does not print its usage: $out"
  done
done
grep -q -- '--last N{m|h|d}' < <("$kx20ctl" report --help) || fail "report --help does not explain --last"
# Not a request for help: a value, or after "--".
set +e
"$kx20ctl" report --title -h >/dev/null 2>&1
[ $? -eq 2 ] || fail "'report --title -h' is a title, not a request for help"
set -e
echo "every command answers --help: $(wc -w <<< "$commands") commands"
