#!/bin/bash
# End-to-end test on a real Linux kernel: boots Debian's kernel under QEMU
# (software emulation, no KVM needed) with a small initramfs holding busybox,
# the virtual controller and the system driver, runs the driver's scenarios
# there and reports them. The kernel package is downloaded once into the
# cache folder and reused.
#
#   run-system-test.sh --driver PATH --controller PATH --cache DIR [--timeout SECONDS]
#
# Exit status: 0 all scenarios passed, 1 a scenario failed or the VM did not
# run them, 77 skipped (QEMU is not installed and cannot be).
set -euo pipefail

readonly EXPECTED_SCENARIOS=9
here=$(cd "$(dirname "$0")" && pwd)
driver="" controller="" cli="" cache="" timeout_s=420

while [[ $# -gt 0 ]]; do
  case "$1" in
    --driver) driver=$2; shift 2 ;;
    --controller) controller=$2; shift 2 ;;
    --cli) cli=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
[[ -x $driver && -x $controller && -n $cache ]] || {
  echo "usage: $0 --driver PATH --controller PATH --cache DIR [--timeout SECONDS]" >&2
  exit 2
}

name=system-test
source "$here/vm-lib.sh"
need_vm_tools
get_kernel "$cache" hid hid-generic uhid
make_initramfs "$cache/initramfs" "$here/init.sh" "hid hid-generic uhid" "$driver $controller $cli"

# --- Run ----------------------------------------------------------------------
log=$cache/console.log
boot_vm "$log" "$timeout_s" -m 512 -append "console=ttyS0 quiet loglevel=0 panic=-1 rdinit=/init"

# The driver's lines, between the init script's markers. The driver is a
# GoogleTest program: its exit status says whether every scenario passed,
# and its closing lines how many ran and passed.
sed -n '/^lumbra-system: begin/,/^lumbra-system: end/p' "$log" | tr -d '\r' | sed 's/^/  /'
driver_status=$(tr -d '\r' <"$log" | sed -n 's/^lumbra-system: end (driver status \([0-9]*\))$/\1/p' | tail -n 1)
if [[ -z $driver_status ]]; then
  tail -n 20 "$log" | sed 's/^/  | /'
  fail "the VM did not run the scenarios to the end (see $log)"
fi
ran=$(tr -d '\r' <"$log" | sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' | tail -n 1)
passed=$(tr -d '\r' <"$log" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' | tail -n 1)
[[ -n $ran ]] || fail "the driver ran no scenarios (status $driver_status)"
passed=${passed:-0}
say "VM ran ${vm_seconds} s; whole test $(elapsed) s"
failed=$((EXPECTED_SCENARIOS - passed))
if [[ $driver_status -ne 0 || $ran -ne $EXPECTED_SCENARIOS || $failed -ne 0 ]]; then
  echo "$passed passed, $((failed > 0 ? failed : 1)) failed (driver status $driver_status, $ran of $EXPECTED_SCENARIOS scenarios ran)"
  exit 1
fi
echo "$passed passed, 0 failed"
