#!/usr/bin/env bash
# Runs one fuzz harness for a number of seconds: tools/fuzz.sh HARNESS SECONDS [BUILD_DIR]
#
# The harness starts from its seed corpus in tests/fuzz/corpus/HARNESS (never written to) and
# keeps what it finds in BUILD_DIR/corpus/HARNESS, so later runs go on from there. A failing
# input is saved under BUILD_DIR/artifacts/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

harness=$1
seconds=$2
build=${3:-build/fuzz}
work="$build/corpus/$harness"
mkdir -p "$work" "$build/artifacts"
args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$build/artifacts/$harness-")
[ -f "tests/fuzz/$harness.dict" ] && args+=(-dict="tests/fuzz/$harness.dict")

log="$build/$harness.log"
if ! "$build/${harness}_fuzz" "${args[@]}" "$work" "tests/fuzz/corpus/$harness" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz $harness: FAILED (input saved under $build/artifacts/, log in $log)" >&2
    exit 1
fi
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
units=$(find "$work" -type f | wc -l)
echo "fuzz $harness: $execs executions in ${seconds} s, no failure; $units inputs in $work"
