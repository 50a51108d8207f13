# Sourced by the system tests (run-system-test.sh, run-wine-system-test.sh):
# the tools they need, Debian's kernel with the modules they load, the
# initramfs and the QEMU run. Needs `name` (the prefix of the messages) set.

readonly SKIP=77
started=$(date +%s.%N)
say() { echo "$name: $*"; }
fail() { say "FAIL: $*"; exit 1; }
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
elapsed() { since "$started"; }

# --- Tools ------------------------------------------------------------------
# need_tools PACKAGES CHECK: installs the packages (as root) when CHECK fails;
# false when it still fails.
need_tools() {
  $2 && return 0
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    say "installing $1"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $1 >/dev/null 2>&1 ||
      { apt-get update >/dev/null 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $1 >/dev/null 2>&1; } ||
      true
  fi
  $2
}

busybox_bin=""
find_vm_tools() {
  busybox_bin=""
  for b in /bin/busybox /usr/bin/busybox; do
    [[ -x $b ]] && { busybox_bin=$b; break; }
  done
  command -v qemu-system-x86_64 >/dev/null && command -v cpio >/dev/null && [[ -n $busybox_bin ]]
}
# Skips the test when QEMU cannot be had at all.
need_vm_tools() {
  need_tools "qemu-system-x86 busybox-static cpio" find_vm_tools && return 0
  command -v qemu-system-x86_64 >/dev/null ||
    { say "SKIP: qemu-system-x86_64 is not installed and could not be installed (apt-get install qemu-system-x86)"; exit $SKIP; }
  fail "busybox or cpio missing (apt-get install busybox-static cpio)"
}

# --- Kernel -------------------------------------------------------------------
# The modules the VMs load, in this order: the HID core, the generic HID
# driver (which makes the hidraw nodes) and uhid; the USB core, the gadget
# framework with its HID function, dummy_hcd (a host and a device controller
# joined in software, four pairs of them) and the USB HID driver; then those
# that mount the host's root over virtio-9p with a writable layer in memory
# over it.
readonly VM_MODULES="hid hid-generic uhid usb-common usbcore configfs udc-core libcomposite usb_f_hid
  dummy_hcd usbhid virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs
  fscache 9pnet 9pnet_virtio 9p overlay"
declare -gAr VM_MODULE_ARGS=([dummy_hcd]="num=4")

# get_kernel CACHE: the versioned image package that linux-image-amd64 stands
# for (a download only when the cache does not hold it yet), unpacked with
# VM_MODULES. Sets deb, kroot and kernel.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true
}
get_kernel() {
  local kdir kpkg m
  kdir=$(realpath -m "$1")/kernel
  mkdir -p "$kdir"
  kpkg=$(kernel_package)
  [[ -n $kpkg || $(id -u) -ne 0 ]] || { apt-get update >/dev/null 2>&1 || true; kpkg=$(kernel_package); }
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

  # One unpacked tree per set of modules; the package holds thousands.
  kroot=$kdir/$(basename "$deb" .deb)-$(echo "$VM_MODULES" | md5sum | cut -c1-8)
  if [[ ! -f $kroot/ready ]]; then
    rm -rf "$kroot" && mkdir -p "$kroot"
    local patterns=('./boot/vmlinuz-*') vmlinuz offset
    for m in $VM_MODULES; do patterns+=("./lib/modules/*/kernel/*/$m.ko*"); done
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kroot" --wildcards "${patterns[@]}" ||
      fail "cannot unpack $deb"
    find "$kroot/lib" -name '*.ko.xz' -exec xz -d {} +
    # The uncompressed kernel boots about 3 s faster under emulation: the first
    # XZ stream inside the bzImage that unpacks to an ELF file (as the kernel's
    # extract-vmlinux finds it).
    vmlinuz=$(ls "$kroot"/boot/vmlinuz-*)
    for offset in $(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$vmlinuz" | cut -d: -f1); do
      tail -c +$((offset + 1)) "$vmlinuz" | xz -dc >"$kroot/vmlinux" 2>/dev/null || true
      [[ $(head -c 4 "$kroot/vmlinux" | od -An -c | tr -d ' ') == '177ELF' ]] && break
      rm -f "$kroot/vmlinux"
    done
    touch "$kroot/ready"
  fi
  kernel=$kroot/vmlinux
  [[ -f $kernel ]] || kernel=$(ls "$kroot"/boot/vmlinuz-*)
}

# --- Initramfs --------------------------------------------------------------
# make_initramfs STAGE: busybox, init-vm.sh as /init and VM_MODULES
# in /lib/modules (in the order to load them, listed with their parameters
# in /lib/modules/order);
# packed as STAGE.cpio.
make_initramfs() {
  local stage m ko
  stage=$(realpath -m "$1")
  rm -rf "$stage" && mkdir -p "$stage"/{bin,lib/modules,dev,proc,sys}
  cp "$busybox_bin" "$stage/bin/busybox"
  install -m 0755 "$(dirname "${BASH_SOURCE[0]}")/init-vm.sh" "$stage/init"
  for m in $VM_MODULES; do
    ko=$(find "$kroot/lib/modules" -name "$m.ko" | head -n 1)
    [[ -n $ko ]] || fail "the kernel package has no $m.ko"
    cp "$ko" "$stage/lib/modules/$m.ko"
    echo "$m ${VM_MODULE_ARGS[$m]:-}" >>"$stage/lib/modules/order"
  done
  initramfs=$stage.cpio
  (cd "$stage" && find . | cpio -o -H newc --quiet >"$initramfs") || fail "cannot pack the initramfs"
}

# --- Run ----------------------------------------------------------------------
# boot_vm LOG TIMEOUT RUN [QEMU OPTIONS...]: boots the kernel with STAGE.cpio
# (initramfs) and the host's root shared read-only, on a serial console logged
# to LOG; the guest runs RUN/guest.sh. Sets guest_status (empty when the guest
# did not get to its end).
boot_vm() {
  local log=$1 timeout_s=$2 run=$3 boot_started qemu_status vm_seconds
  shift 3
  : >"$log"
  say "booting $(basename "$deb" .deb) ($(basename "$kernel")) under QEMU"
  boot_started=$(date +%s.%N)
  set +e
  timeout -k 10 "$timeout_s" qemu-system-x86_64 \
    -nodefaults -no-user-config -machine pc -accel tcg \
    -display none -no-reboot -serial "file:$log" \
    -kernel "$kernel" -initrd "$initramfs" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -append "console=ttyS0 quiet loglevel=0 panic=-1 rdinit=/init lumbra_run=$run" "$@" </dev/null
  qemu_status=$?
  set -e
  vm_seconds=$(since "$boot_started")
  if [[ $qemu_status -eq 124 || $qemu_status -eq 137 ]]; then
    tail -n 20 "$log" | sed 's/^/  | /'
    fail "the VM did not finish within ${timeout_s} s"
  fi
  [[ $qemu_status -eq 0 ]] || { tail -n 20 "$log" | sed 's/^/  | /'; fail "QEMU exited with status $qemu_status"; }
  sed -n '/^lumbra-vm: begin/,/^lumbra-vm: end/p' "$log" | tr -d '\r' | sed 's/^/  /'
  guest_status=$(tr -d '\r' <"$log" | sed -n 's/^lumbra-vm: end (status \([0-9]*\))$/\1/p' | tail -n 1)
  say "VM ran ${vm_seconds} s; whole test $(elapsed) s"
}
