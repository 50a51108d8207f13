#!/bin/busybox sh
# /init of the system tests' VMs: loads the modules, lays a writable layer in
# memory (and Debian's 32-bit Wine, when the VM has it) over the host's root,
# which QEMU shares read-only, and runs RUN/guest.sh there in a chroot; RUN
# (lumbra_run= on the kernel's command line) is the test's run folder.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
echo "lumbra-vm: begin"
while read -r m args; do
  insmod /lib/modules/$m.ko $args || echo "lumbra-vm: cannot load $m"
done </lib/modules/order
options=trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro
mkdir -p /host /wine32 /rw /root
lower=/host
mount -t 9p -o $options wine32 /wine32 2>/dev/null && lower=/wine32:/host
mount -t 9p -o $options hostroot /host &&
  mount -t tmpfs tmpfs /rw && mkdir -p /rw/upper /rw/work &&
  mount -t overlay overlay -o lowerdir=$lower,upperdir=/rw/upper,workdir=/rw/work /root ||
  echo "lumbra-vm: cannot mount the host's root"
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/shm /root/dev/pts
ln -s /proc/self/fd /root/dev/fd  # what udev would make: bash's <(...) needs it
mount -t tmpfs tmpfs /root/dev/shm
mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
mount -t configfs configfs /root/sys/kernel/config
chroot /root /bin/bash "$lumbra_run/guest.sh"
echo "lumbra-vm: end (status $?)"
poweroff -f
