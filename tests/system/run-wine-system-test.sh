#!/bin/bash
# The Windows programs on a real HID stack: boots Debian's kernel under QEMU
# with this machine's root over virtio-9p (read-only) and Debian's 32-bit Wine
# laid over it, and runs, chrooted there, Wine's HID stack (winebus over
# hidraw) against the virtual controller (uhid): the HID binding's own tests,
# lumbra.exe of both architectures driven from outside under Xvfb, and
# lumbra-cli.exe when the build has it (wine-guest.sh). The kernel, the 32-bit
# Wine packages and a Wine prefix are made once into the cache folder.
#
#   run-wine-system-test.sh CONTROLLER WIN64 WIN32 IMAGE STANDIN CACHE [TIMEOUT-SECONDS]
#
# WIN64, WIN32: the x86_64 and i686 build trees; STANDIN: yes or no, whether
# the build embeds the stand-in image. Exit status: 0 every scenario that
# could run passed, 1 one failed or did not run, 77 skipped (QEMU or Wine is
# not installed and cannot be).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
[[ $# -ge 6 && -x $1 && -d $2 && -d $3 && -f $4 ]] || {
  echo "usage: $0 CONTROLLER WIN64 WIN32 IMAGE STANDIN CACHE [TIMEOUT-SECONDS]" >&2
  exit 2
}
controller=$(realpath "$1") win64=$(realpath "$2") win32=$(realpath "$3") image=$(realpath "$4")
standin=$5 cache=$(realpath -m "$6")
exe64=$win64/src/win32/lumbra.exe exe32=$win32/src/win32/lumbra.exe
hidtest=$win64/tests/win32/test_win32_hidstack.exe hidtest32=$win32/tests/win32/test_win32_hidstack.exe
driver=$win64/tests/win32/lumbra-dialog-driver.exe
cli=$(find "$win64" -name lumbra-cli.exe -not -path '*/CMakeFiles/*' | head -n 1)
for f in "$exe64" "$exe32" "$hidtest" "$hidtest32" "$driver"; do [[ -f $f ]] || { echo "missing: $f" >&2; exit 2; }; done

name=wine-system-test
source "$here/vm-lib.sh"
need_vm_tools
wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
has_wine() { [[ -x $wine ]] && command -v Xvfb >/dev/null; }
need_tools "wine64 xvfb" has_wine ||
  { say "SKIP: Wine (wine64) or Xvfb is not installed and could not be installed"; exit $SKIP; }
get_kernel "$cache"

# Debian's 32-bit Wine, downloaded and unpacked, never installed here.
step=$(date +%s.%N)
"$here/wine32-closure.sh" "$cache/wine32" || fail "cannot get Debian's wine32:i386 packages"
wine32=$cache/wine32/root
[[ -x $wine32/usr/lib/wine/wine ]] || fail "no 32-bit Wine loader in $wine32"

# The prefix, made here (about 18 s, the VM would take minutes): Wine 8.0's
# SDL bus fails without libSDL2 and keeps its hidraw bus from starting;
# without udevd, only inotify on /dev tells Wine a device went; and wineboot
# leaves syswow64 empty without a 32-bit Wine installed.
template=$cache/wine-prefix
if [[ ! -f $template/ready ]]; then
  say "making the Wine prefix"
  rm -rf "$template"
  (export WINEPREFIX=$template WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
   "$wine" wineboot -i </dev/null >/dev/null 2>&1
   for value in "Enable SDL=0" "DisableUdevd=1"; do
     "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v "${value%=*}" \
       /t REG_DWORD /d "${value#*=}" /f </dev/null >/dev/null 2>&1
   done
   "$wineserver" -w) || fail "cannot make the Wine prefix"
  cp "$wine32"/usr/lib/i386-linux-gnu/wine/i386-windows/* /usr/lib/x86_64-linux-gnu/wine/i386-windows/zlib1.dll \
    "$template/drive_c/windows/syswow64/"
  touch "$template/ready"
fi
say "32-bit Wine and prefix ready in $(since "$step") s"

# The scenarios (wine-guest.sh), these unless LUMBRA_WINE_SCENARIOS names others
# (whole_cycle_usb_64 is run by name only).
scenarios=${LUMBRA_WINE_SCENARIOS:-hid_binding whole_cycle_64 link_lost_32 refuses_real_64 cli_two_controllers}
# The run folder: the scenarios' files go into the VM's memory, over it.
run=$cache/wine-run
rm -rf "$run" && mkdir -p "$run"
cat >"$run/guest.sh" <<EOF
run=$run prefix=$template uid=$(id -u) gid=$(id -g)
controller=$controller image=$image standin=$standin
exe64=$exe64 exe32=$exe32 hidtest=$hidtest hidtest32=$hidtest32 driver=$driver cli=$cli
scenarios="$scenarios"
. $here/wine-guest.sh
EOF
make_initramfs "$cache/initramfs-wine"
boot_vm "$cache/wine-console.log" "${7:-2400}" "$run" -m 2048 -smp 2 \
  -virtfs "local,path=$wine32,mount_tag=wine32,security_model=none,readonly=on,multidevs=remap"

results=$(tr -d '\r' <"$cache/wine-console.log" | grep -E '^lumbra-wine: scenario .*: (PASS|FAIL|NOT RUN)' || true)
[[ -n $results ]] || fail "the VM ran no scenario (see $cache/wine-console.log)"
passed=$(grep -c ': PASS' <<<"$results" || true)
failed=$(grep -c ': FAIL' <<<"$results" || true)
not_run=$(grep -c ': NOT RUN' <<<"$results" || true)
expected=$(wc -w <<<"$scenarios")
echo "$passed passed, $failed failed, $not_run not run"
[[ $failed -eq 0 && $((passed + not_run)) -eq $expected ]]
