#!/bin/bash
# End-to-end test on a real Linux kernel: boots Debian's kernel under QEMU
# (software emulation, no KVM needed) with this machine's root, and runs the
# system driver's scenarios there against the virtual controller, through
# uhid and as USB gadgets on dummy_hcd. The kernel package is downloaded once
# into the cache folder and reused.
#
#   run-system-test.sh DRIVER CONTROLLER CLI RULES CACHE [TIMEOUT-SECONDS]
#
# Exit status: 0 all scenarios passed, 1 a scenario failed or the VM did not
# run them, 77 skipped (QEMU is not installed and cannot be).
set -euo pipefail

readonly EXPECTED_SCENARIOS=14
here=$(cd "$(dirname "$0")" && pwd)
[[ $# -ge 5 && -x $1 && -x $2 && -x $3 && -f $4 ]] || {
  echo "usage: $0 DRIVER CONTROLLER CLI RULES CACHE [TIMEOUT-SECONDS]" >&2
  exit 2
}
driver=$(realpath "$1") controller=$(realpath "$2") cli=$(realpath "$3") rules=$(realpath "$4")
cache=$(realpath -m "$5")

name=system-test
source "$here/vm-lib.sh"
need_vm_tools
get_kernel "$cache"
make_initramfs "$cache/initramfs"
run=$cache/run
rm -rf "$run" && mkdir -p "$run"
echo "exec $driver --gtest_color=no $controller $cli $rules" >"$run/guest.sh"
boot_vm "$cache/console.log" "${6:-420}" "$run" -m 512

# The driver is a GoogleTest program: its exit status says whether every
# scenario passed, its closing lines how many ran and passed.
[[ -n $guest_status ]] || fail "the VM did not run the scenarios to the end (see $cache/console.log)"
ran=$(tr -d '\r' <"$cache/console.log" | sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p')
passed=$(tr -d '\r' <"$cache/console.log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p')
echo "${passed:-0} of ${ran:-0} scenarios passed (driver status $guest_status, $EXPECTED_SCENARIOS expected)"
[[ $guest_status -eq 0 && $ran == "$EXPECTED_SCENARIOS" && $passed == "$EXPECTED_SCENARIOS" ]]
