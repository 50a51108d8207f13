#!/usr/bin/env bash
# Builds the whole test suite a second time under AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC, every finding fatal) and runs it with
# ctest, leaving out the tests labelled "system" (they need a QEMU guest).
#
#   scripts/run-sanitizers.sh
#
# Environment:
#   LUMBRA_SANITIZE_BUILD_DIR  build directory (default build-rel-asan)
#   LUMBRA_SANITIZE_JOBS       parallel compile and test jobs (default 2)
# Exits non-zero when the build fails or any test fails or reports a finding.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LUMBRA_SANITIZE_BUILD_DIR:-$root/build-rel-asan}
jobs=${LUMBRA_SANITIZE_JOBS:-2}

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# -O1 keeps the instrumented tests quick without hiding the stack traces.
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER="${CC:-gcc}" -DCMAKE_CXX_COMPILER="${CXX:-g++}" \
  -DCMAKE_C_FLAGS="$sanitize -O1" -DCMAKE_CXX_FLAGS="$sanitize -O1" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
  -DLUMBRA_BUILD_BENCH=OFF >/dev/null
start=$(date +%s)
cmake --build "$build" -j "$jobs"
built=$(date +%s)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The Qt tests set this themselves; set here too for any that are run by hand.
export QT_QPA_PLATFORM=offscreen
status=0
ctest --test-dir "$build" --label-exclude system --output-on-failure -j "$jobs" --timeout 900 \
  | tee "$build/ctest.log" || status=1
done=$(date +%s)

# For scripts/reliability-report.sh.
{
  echo "date=$(date -u +%Y-%m-%dT%H:%MZ)"
  echo "compiler=$("${CXX:-g++}" --version | head -n 1)"
  echo "build_seconds=$((built - start))"
  echo "test_seconds=$((done - built))"
  echo "summary=$(grep -E 'tests passed|tests failed' "$build/ctest.log" | tail -n 1)"
  grep -E '^\s+[0-9]+ - ' "$build/ctest.log" | sed 's/^\s*/failed=/' || true
} >"$build/sanitizer-results.txt"
exit $status
