#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for a
# fixed number of executions, starting from the seed corpus in fuzz/corpus.
#
#   scripts/run-fuzzers.sh [EXECUTIONS] [CYCLE_EXECUTIONS]
#
# EXECUTIONS applies to the parser targets (default 5000); CYCLE_EXECUTIONS to
# fuzz_transfer_cycle, whose runs are whole downloads and verifications and
# therefore far slower (default 200). Environment:
#   LUMBRA_FUZZ_BUILD_DIR  build directory (default build-rel-fuzz)
#   LUMBRA_FUZZ_MAX_TIME   stop each target after this many seconds (default: no limit)
#   LUMBRA_FUZZ_TARGETS    targets to run (default: all)
#   LUMBRA_FUZZ_JOBS       parallel compile jobs (default 2)
# New corpus entries go to <build dir>/corpus/<target>, crashes to
# <build dir>/artifacts/, the run statistics to <build dir>/results/<target>.log.
# Exits non-zero when a target fails to build or finds a crash.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5000}
cycle_runs=${2:-200}
build=${LUMBRA_FUZZ_BUILD_DIR:-$root/build-rel-fuzz}
max_time=${LUMBRA_FUZZ_MAX_TIME:-0}
targets=${LUMBRA_FUZZ_TARGETS:-"fuzz_reply fuzz_hid_link fuzz_report_descriptor fuzz_line_parser fuzz_controller fuzz_transfer_cycle"}

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} \
  cmake -S "$root/fuzz" -B "$build" -G Ninja >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j "${LUMBRA_FUZZ_JOBS:-2}" --target $targets

mkdir -p "$build/artifacts" "$build/results"
status=0
for target in $targets; do
  n=$runs
  extra=()
  if [[ $target == fuzz_transfer_cycle ]]; then
    n=$cycle_runs
    # Short inputs keep most runs short: the device falls silent once the
    # input is used up, so the tool gives up at its next read.
    extra=(-max_len=16)
  fi
  mkdir -p "$build/corpus/$target"
  start=$(date +%s)
  if ! "$build/$target" -runs="$n" -max_total_time="$max_time" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "${extra[@]}" \
      "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$build/results/$target.log" 2>&1; then
    echo "FAIL $target (see $build/results/$target.log)"
    tail -n 30 "$build/results/$target.log" >&2
    status=1
    continue
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/results/$target.log")
  corpus=$(find "$build/corpus/$target" -type f | wc -l)
  seconds=$(( $(date +%s) - start ))
  echo "ok   $target executions=$executed corpus=$corpus seconds=$seconds"
done
exit $status
