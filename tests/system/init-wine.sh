#!/bin/busybox sh
# /init of the Wine system test's VM: loads the modules, lays Debian's 32-bit
# Wine and a writable layer in memory over the host's root (read-only), and
# runs wine-guest.sh there in a chroot; RUN (lumbra_run= on the kernel's
# command line) names the run folder with its config.sh.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
echo "lumbra-wine: begin"
for m in $(cat /lib/modules/order); do
  insmod /lib/modules/$m.ko || echo "lumbra-wine: cannot load $m"
done
mkdir -p /host /wine32 /rw /root
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro hostroot /host &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro wine32 /wine32 &&
  mount -t tmpfs tmpfs /rw && mkdir -p /rw/upper /rw/work &&
  mount -t overlay overlay -o lowerdir=/wine32:/host,upperdir=/rw/upper,workdir=/rw/work /root ||
  echo "lumbra-wine: cannot mount the host's root"
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/shm /root/dev/pts
ln -s /proc/self/fd /root/dev/fd  # what udev would make: bash's <(...) needs it
mount -t tmpfs tmpfs /root/dev/shm
mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
. "/root$lumbra_run/config.sh"
chroot /root /bin/bash "$script" "$lumbra_run"
echo "lumbra-wine: end (status $?)"
poweroff -f
