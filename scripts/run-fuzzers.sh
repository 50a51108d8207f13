#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for a
# fixed number of executions, starting from the seed corpus in fuzz/corpus.
#
#   scripts/run-fuzzers.sh [EXECUTIONS] [CYCLE_EXECUTIONS]
#
# EXECUTIONS applies to the parser targets (default 5000); CYCLE_EXECUTIONS to
# fuzz_transfer_cycle, whose runs are whole downloads and verifications and
# therefore far slower (default 200). fuzz_transfer_cycle is built in a tree
# of its own (<build dir>-cycle) without comparison tracing; see
# fuzz/CMakeLists.txt. Environment:
#   LUMBRA_FUZZ_BUILD_DIR  build directory (default build-rel-fuzz)
#   LUMBRA_FUZZ_MAX_TIME   stop each worker after this many seconds (default: no limit)
#   LUMBRA_FUZZ_TARGETS    targets to run (default: all)
#   LUMBRA_FUZZ_WORKERS    processes per target sharing its corpus and its
#                          executions (default 1)
#   LUMBRA_FUZZ_JOBS       parallel compile jobs (default 2)
# New corpus entries go to <build dir>/corpus/<target>, crashes to
# <build dir>/artifacts/, the run statistics to <build dir>/results/<target>.log
# (and <target>.w<N>.log for further workers).
# Exits non-zero when a target fails to build or finds a crash.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5000}
cycle_runs=${2:-200}
build=${LUMBRA_FUZZ_BUILD_DIR:-$root/build-rel-fuzz}
max_time=${LUMBRA_FUZZ_MAX_TIME:-0}
targets=${LUMBRA_FUZZ_TARGETS:-"fuzz_reply fuzz_hid_link fuzz_report_descriptor fuzz_controller fuzz_transfer_cycle"}
workers=${LUMBRA_FUZZ_WORKERS:-1}
jobs=${LUMBRA_FUZZ_JOBS:-2}

# build TREE TRACE_CMP TARGET...
build_tree() {
  local tree=$1 trace=$2
  shift 2
  CC=${CC:-clang-14} CXX=${CXX:-clang++-14} \
    cmake -S "$root/fuzz" -B "$tree" -G Ninja -DLUMBRA_FUZZ_TRACE_CMP="$trace" >/dev/null
  cmake --build "$tree" -j "$jobs" --target "$@"
}
parsers=()
for target in $targets; do
  [[ $target == fuzz_transfer_cycle ]] || parsers+=("$target")
done
[[ ${#parsers[@]} -eq 0 ]] || build_tree "$build" ON "${parsers[@]}"
[[ " $targets " != *" fuzz_transfer_cycle "* ]] || build_tree "$build-cycle" OFF fuzz_transfer_cycle

mkdir -p "$build/artifacts" "$build/results"
status=0
for target in $targets; do
  n=$runs
  binary=$build/$target
  extra=()
  if [[ $target == fuzz_transfer_cycle ]]; then
    n=$cycle_runs
    binary=$build-cycle/$target
    # Short inputs keep most runs short: the device falls silent once the
    # input is used up, so the tool gives up at its next read.
    extra=(-max_len=16)
  fi
  mkdir -p "$build/corpus/$target"
  rm -f "$build/results/$target".log "$build/results/$target".*.log
  start=$(date +%s)
  pids=()
  for ((w = 1; w <= workers; ++w)); do
    log=$build/results/$target.log
    [[ $w -eq 1 ]] || log=$build/results/$target.w$w.log
    # The executions split evenly, the first worker taking the remainder.
    share=$((n / workers))
    [[ $w -ne 1 ]] || share=$((n - (workers - 1) * share))
    "$binary" -runs="$share" -max_total_time="$max_time" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "${extra[@]}" \
      "$build/corpus/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1 &
    pids+=($!)
  done
  failed=0
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
  logs=("$build/results/$target".log "$build/results/$target".*.log)
  [[ -f ${logs[1]} ]] || logs=("${logs[0]}")
  if [[ $failed -ne 0 ]]; then
    echo "FAIL $target (see $build/results/$target*.log)"
    for log in "${logs[@]}"; do tail -n 30 "$log" >&2; done
    status=1
    continue
  fi
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "${logs[@]}" | awk '{ s += $1 } END { print s }')
  corpus=$(find "$build/corpus/$target" -type f | wc -l)
  seconds=$(( $(date +%s) - start ))
  echo "ok   $target executions=$executed corpus=$corpus seconds=$seconds workers=$workers"
done
exit $status
