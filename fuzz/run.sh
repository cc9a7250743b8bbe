#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them for a while.
#
#   fuzz/run.sh [seconds] [target...]
#
# seconds is the time per target (default 30); without target names all targets run. Each target
# starts from a copy of its corpus (fuzz/corpus/<target>/: the seeds, and what fuzz/campaign.sh
# found) in a temporary folder, so the committed corpus never changes, and uses its dictionary
# (fuzz/<target>.dict) if it has one. Exits non-zero when a target crashes, hangs or reports anything
# from a sanitizer; the input that did it is kept in build-fuzz/artifacts/. VANTU_FUZZ_BUILD_ONLY
# set: builds the targets and stops.
#
# Installs what is missing (clang, its runtime libraries, and the Qt packages through
# scripts/deps.sh) with apt-get, as root or through sudo.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build-fuzz
all_targets=(fuzz_receive fuzz_hostframe_roundtrip fuzz_session)

seconds=${1:-30}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: fuzz/run.sh [seconds] [target...]" >&2
    exit 2
fi
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "run.sh: run this script as root, or install sudo" >&2
        exit 1
    fi
}

apt_install() {
    echo "run.sh: installing $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

"$root/scripts/deps.sh"

if ! command -v clang++ >/dev/null 2>&1; then
    apt_install clang
fi
# The fuzzer runtime comes in a package of its own, named after clang's major version.
fuzzer_runtime="$(clang++ --print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a"
if [ ! -f "$fuzzer_runtime" ]; then
    clang_major=$(clang++ -dumpversion | cut -d. -f1)
    apt_install "libclang-rt-$clang_major-dev"
fi

# Configured every time, so that a build folder set up some other way gets the targets too; the
# compiler of an existing folder stays what it was.
CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja -DVANTU_FUZZ=ON \
    -DVANTU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target "${targets[@]}"
if [ -n "${VANTU_FUZZ_BUILD_ONLY:-}" ]; then
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts=$build_dir/artifacts
mkdir -p "$artifacts"

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus=$work/$target
    mkdir -p "$corpus"
    if [ -d "$root/fuzz/corpus/$target" ]; then
        cp -R "$root/fuzz/corpus/$target/." "$corpus/"
    fi
    log=$work/$target.log
    touch "$work/$target.start"
    dict=()
    if [ -f "$root/fuzz/$target.dict" ]; then
        dict=(-dict="$root/fuzz/$target.dict")
    fi
    echo "== $target: ${seconds} s from the $(find "$corpus" -type f | wc -l) inputs of fuzz/corpus/$target/"
    status=0
    "$build_dir/fuzz/$target" -max_total_time="$seconds" "${dict[@]}" -print_final_stats=1 \
        -timeout=30 -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1 || status=$?

    # The last status line carries the final coverage; the stats follow at the very end.
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)
    cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
    ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
    corp=$(sed -nE 's/.* corp: ([^ ]+).*/\1/p' <<<"$last")
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
    rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
    rss=$(sed -nE 's/^stat::peak_rss_mb: *([0-9]+)/\1/p' "$log")
    line="$target: ${runs:-?} executions, ${rate:-?} exec/s, cov: ${cov:-?} ft: ${ft:-?}"
    line+=" corpus: ${corp:-?} peak RSS: ${rss:-?} MB"
    summary+=("$line")

    reported=0
    if grep -qE '^(==[0-9]+== ?)?ERROR: |^SUMMARY: (Address|Undefined|Leak)Sanitizer|runtime error: ' \
        "$log"; then
        reported=1
    fi
    if [ "$status" -ne 0 ] || [ "$reported" -ne 0 ]; then
        failed+=("$target")
        echo "-- $target FAILED (exit status $status); its output:"
        cat "$log"
        echo "-- reproducer(s):"
        found=$(find "$artifacts" -name "$target-*" -newer "$work/$target.start")
        echo "${found:-   (none written)}"
    fi
    echo "$line"
done

echo "== summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "== FAILED: ${failed[*]}"
    exit 1
fi
echo "== no crash, hang or sanitizer report"
