#!/usr/bin/env bash
# Runs a command and checks how it ended: its exit code, and lines its standard output and
# standard error must have (extended regular expressions, grep -E, each on a line of its own).
# Standard error must be empty unless --stderr says what it holds. Lines are matched without the
# carriage return a Windows program ends them with. On a mismatch it prints what
# the command did and exits 1. The Windows checks under Wine (packaging/windows/checks.cmake).
#
#   expect.sh [--exit N] [--stdout REGEX]... [--stderr REGEX]... -- COMMAND [ARGUMENT]...
set -euo pipefail

exit_code=0
stdout_patterns=()
stderr_patterns=()
while [ $# -gt 0 ]; do
    case $1 in
    --exit) exit_code=$2; shift 2 ;;
    --stdout) stdout_patterns+=("$2"); shift 2 ;;
    --stderr) stderr_patterns+=("$2"); shift 2 ;;
    --) shift; break ;;
    *)
        echo "usage: expect.sh [--exit N] [--stdout REGEX]... [--stderr REGEX]... -- COMMAND..." >&2
        exit 2
        ;;
    esac
done
[ $# -ge 1 ] || { echo "expect.sh: no command" >&2; exit 2; }

out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
"$@" </dev/null >"$out" 2>"$err" || status=$?
# Lines are compared without the carriage return that ends them on Windows.
sed -i 's/\r$//' "$out" "$err"

problems=()
[ "$status" -eq "$exit_code" ] || problems+=("exit code $status, expected $exit_code")
for pattern in "${stdout_patterns[@]}"; do
    grep -qE -- "$pattern" "$out" || problems+=("no line of standard output matches: $pattern")
done
if [ "${#stderr_patterns[@]}" -eq 0 ]; then
    [ ! -s "$err" ] || problems+=("standard error is not empty")
fi
for pattern in "${stderr_patterns[@]}"; do
    grep -qE -- "$pattern" "$err" || problems+=("no line of standard error matches: $pattern")
done

if [ "${#problems[@]}" -gt 0 ]; then
    echo "expect.sh: $*"
    printf '  %s\n' "${problems[@]}"
    echo "--- standard output:"
    cat "$out"
    echo "--- standard error:"
    cat "$err"
    exit 1
fi
echo "as expected (exit code $status): $*"
