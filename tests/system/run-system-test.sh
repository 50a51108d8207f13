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

readonly SKIP=77
readonly PACKAGES="qemu-system-x86 busybox-static cpio"
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

started=$(date +%s.%N)
say() { echo "system-test: $*"; }
fail() { say "FAIL: $*"; exit 1; }
elapsed() { awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# --- Tools ------------------------------------------------------------------
busybox_bin=""
find_tools() {
  busybox_bin=""
  for b in /bin/busybox /usr/bin/busybox; do
    [[ -x $b ]] && { busybox_bin=$b; break; }
  done
  command -v qemu-system-x86_64 >/dev/null && command -v cpio >/dev/null && [[ -n $busybox_bin ]]
}
if ! find_tools; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    say "installing $PACKAGES"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $PACKAGES >/dev/null 2>&1 ||
      { apt-get update >/dev/null 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $PACKAGES >/dev/null 2>&1; } ||
      true
  fi
  if ! find_tools; then
    if ! command -v qemu-system-x86_64 >/dev/null; then
      say "SKIP: qemu-system-x86_64 is not installed and could not be installed (apt-get install $PACKAGES)"
      exit $SKIP
    fi
    fail "busybox or cpio missing (apt-get install $PACKAGES)"
  fi
fi

# --- Kernel -------------------------------------------------------------------
# The versioned image package that linux-image-amd64 stands for; a download
# only when the cache does not hold it yet.
kdir=$cache/kernel
mkdir -p "$kdir"
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true)
if [[ -z $kpkg && $(id -u) -eq 0 ]]; then
  apt-get update >/dev/null 2>&1 || true
  kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true)
fi
if [[ -n $kpkg ]]; then
  deb=$(ls "$kdir/${kpkg}_"*.deb 2>/dev/null | head -n 1 || true)
  if [[ -z $deb ]]; then
    say "downloading $kpkg"
    (cd "$kdir" && apt-get download "$kpkg" >/dev/null 2>"$kdir/download.log") ||
      fail "cannot download $kpkg: $(tail -n 3 "$kdir/download.log")"
    deb=$(ls "$kdir/${kpkg}_"*.deb | head -n 1)
    # Only the newest kernel is kept.
    find "$kdir" -maxdepth 1 -name 'linux-image-*.deb' ! -path "$deb" -delete
  fi
else
  # No package lists (offline): whatever kernel the cache holds.
  deb=$(ls "$kdir"/linux-image-*.deb 2>/dev/null | head -n 1 || true)
  [[ -n $deb ]] || fail "cannot tell which kernel package linux-image-amd64 depends on (apt-get update?)"
fi

kroot=$kdir/$(basename "$deb" .deb)
if [[ ! -f $kroot/ready ]]; then
  rm -rf "$kroot" && mkdir -p "$kroot"
  # Only the kernel and the three HID modules; the package holds thousands.
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C "$kroot" --wildcards './boot/vmlinuz-*' \
      './lib/modules/*/kernel/drivers/hid/hid.ko*' \
      './lib/modules/*/kernel/drivers/hid/hid-generic.ko*' \
      './lib/modules/*/kernel/drivers/hid/uhid.ko*' ||
    fail "cannot unpack $deb"
  vmlinuz=$(ls "$kroot"/boot/vmlinuz-*)
  # The uncompressed kernel boots about 3 s faster under emulation: find the
  # compressed payload inside the bzImage (as the kernel's extract-vmlinux
  # does) and keep the first candidate that unpacks to an ELF file.
  extract() {  # magic-regex decompressor
    local offset
    for offset in $(LC_ALL=C grep -obUaP "$1" "$vmlinuz" | cut -d: -f1); do
      tail -c +$((offset + 1)) "$vmlinuz" | $2 -dc >"$kroot/vmlinux" 2>/dev/null || true
      [[ $(head -c 4 "$kroot/vmlinux" | od -An -c | tr -d ' ') == '177ELF' ]] && return 0
    done
    rm -f "$kroot/vmlinux"
    return 1
  }
  extract '\xFD7zXZ\x00' xz || { command -v zstd >/dev/null && extract '\x28\xB5\x2F\xFD' zstd; } || true
  for ko in $(find "$kroot/lib" -name '*.ko.xz' -o -name '*.ko.zst'); do
    case "$ko" in
      *.xz) xz -d "$ko" ;;
      *.zst) zstd -q -d --rm "$ko" ;;
    esac
  done
  touch "$kroot/ready"
fi
kernel=$kroot/vmlinux
[[ -f $kernel ]] || kernel=$(ls "$kroot"/boot/vmlinuz-*)

# --- Initramfs --------------------------------------------------------------
stage=$cache/initramfs
rm -rf "$stage" && mkdir -p "$stage"/{bin,lib/modules,dev,proc,sys,tmp,run}
cp "$busybox_bin" "$stage/bin/busybox"
cp "$driver" "$stage/bin/lumbra-system-driver"
cp "$controller" "$stage/bin/lumbra-virtual-controller"
[[ -z $cli ]] || cp "$cli" "$stage/bin/lumbra-cli"
cp "$here/init.sh" "$stage/init"
chmod 0755 "$stage/init"
for m in hid hid-generic uhid; do
  ko=$(find "$kroot/lib/modules" -name "$m.ko" | head -n 1)
  [[ -n $ko ]] || fail "the kernel package has no $m.ko"
  cp "$ko" "$stage/lib/modules/$m.ko"
done
# The shared libraries the programs need (hidapi cannot be linked
# statically), at the paths the loader looks for them.
libs=$(for f in "$driver" "$controller" $cli "$busybox_bin"; do
  ldd "$f" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' || true
done | sort -u)
for lib in $libs; do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done
initramfs=$cache/initramfs.cpio
(cd "$stage" && find . | cpio -o -H newc --quiet >"$initramfs") || fail "cannot pack the initramfs"

# --- Run ----------------------------------------------------------------------
log=$cache/console.log
: >"$log"
say "booting $(basename "$deb" .deb) ($(basename "$kernel")) under QEMU"
boot_started=$(date +%s.%N)
set +e
timeout -k 10 "$timeout_s" qemu-system-x86_64 \
  -nodefaults -no-user-config -machine pc -accel tcg -m 512 \
  -display none -no-reboot -serial "file:$log" \
  -kernel "$kernel" -initrd "$initramfs" \
  -append "console=ttyS0 quiet loglevel=0 panic=-1 rdinit=/init" </dev/null
qemu_status=$?
set -e
vm_seconds=$(awk -v a="$boot_started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')

# The driver's lines, between the init script's markers. The driver is a
# GoogleTest program: its exit status says whether every scenario passed,
# and its closing lines how many ran and passed.
sed -n '/^lumbra-system: begin/,/^lumbra-system: end/p' "$log" | tr -d '\r' | sed 's/^/  /'
if [[ $qemu_status -eq 124 || $qemu_status -eq 137 ]]; then
  tail -n 20 "$log" | sed 's/^/  | /'
  fail "the VM did not finish within ${timeout_s} s"
fi
[[ $qemu_status -eq 0 ]] || { tail -n 20 "$log" | sed 's/^/  | /'; fail "QEMU exited with status $qemu_status"; }
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
