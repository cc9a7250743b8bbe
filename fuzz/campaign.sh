#!/usr/bin/env bash
# A long fuzzing run of one target, outside the test command, whose finds go into the committed
# corpus.
#
#   fuzz/campaign.sh target executions [workers]
#
# Runs the target (built with clang, ASan and UBSan, as fuzz/run.sh builds it) for the given
# number of executions in all, split over workers processes (default 1) that share one working
# corpus, build-fuzz/campaign/<target>/; it starts as a copy of fuzz/corpus/<target>/ and is kept,
# so that a second campaign goes on where the first stopped. Uses fuzz/<target>.dict when there is
# one. Runs under nice. At the end, merges into fuzz/corpus/<target>/ (libFuzzer's -merge=1) the
# inputs of the working corpus that reach coverage the committed corpus does not; commit them.
#
# Prints the executions, the wall time, and coverage (cov: edges, ft: features) before and after.
# Exits non-zero on a crash, a hang or a sanitizer report; the input that did it is kept in
# build-fuzz/artifacts/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build-fuzz

if [ $# -lt 2 ] || ! [[ $2 =~ ^[1-9][0-9]*$ ]] || ! [[ ${3:-1} =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: fuzz/campaign.sh target executions [workers]" >&2
    exit 2
fi
target=$1
executions=$2
workers=${3:-1}

# Builds the target (and installs clang if needed) without fuzzing it.
VANTU_FUZZ_BUILD_ONLY=1 "$root/fuzz/run.sh" 1 "$target"

committed=$root/fuzz/corpus/$target
corpus=$build_dir/campaign/$target
artifacts=$build_dir/artifacts
mkdir -p "$corpus" "$artifacts"
if [ -d "$committed" ]; then
    cp -R -n "$committed/." "$corpus/"
fi
dict=()
if [ -f "$root/fuzz/$target.dict" ]; then
    dict=(-dict="$root/fuzz/$target.dict")
fi

stamp=$(date -u +%Y%m%d-%H%M%S)
echo "== $target: $executions executions on $workers worker(s), from $(find "$corpus" -type f | wc -l) inputs"
start=$(date +%s)
pids=()
logs=()
for ((w = 1; w <= workers; w++)); do
    share=$((executions / workers + (w <= executions % workers ? 1 : 0)))
    log=$build_dir/campaign/$target-$stamp-$w.log
    logs+=("$log")
    nice -n 10 "$build_dir/fuzz/$target" -runs="$share" "${dict[@]}" -print_final_stats=1 \
        -timeout=30 -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=$?
done
elapsed=$(($(date +%s) - start))

total=0
for log in "${logs[@]}"; do
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
    total=$((total + ${runs:-0}))
    first=$(grep -E '^#[0-9]+.*INITED' "$log" | head -n 1 | sed -nE 's/.*(cov: [0-9]+ ft: [0-9]+).*/\1/p')
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 | sed -nE 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/\1/p')
    echo "$(basename "$log"): ${runs:-?} executions; at start ${first:-?}; at end ${last:-?}"
    if grep -qE '^(==[0-9]+== ?)?ERROR: |^SUMMARY: (Address|Undefined|Leak)Sanitizer|runtime error: ' "$log"; then
        status=1
    fi
done
echo "== $target: $total executions in ${elapsed} s, exit status $status; logs in $build_dir/campaign/"
if [ "$status" -ne 0 ]; then
    echo "== $target FAILED: see the logs above and $artifacts/" >&2
    exit "$status"
fi

before=$(find "$committed" -type f | wc -l)
mkdir -p "$committed"
nice -n 10 "$build_dir/fuzz/$target" -merge=1 "$committed" "$corpus" >"$build_dir/campaign/$target-$stamp-merge.log" 2>&1
after=$(find "$committed" -type f | wc -l)
merged=$(grep -E 'MERGE-OUTER: [0-9]+ new files' "$build_dir/campaign/$target-$stamp-merge.log" | tail -n 1 || true)
echo "== $target: fuzz/corpus/$target/ had $before inputs, now $after (${merged#MERGE-OUTER: })"
