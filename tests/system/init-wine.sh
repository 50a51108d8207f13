#!/bin/busybox sh
# /init of the Wine system test's VM: loads the modules, mounts the host's root
# (read-only) with Debian's 32-bit Wine laid over it, and the run folder
# (writable) at its own path, and runs wine-guest.sh there in a chroot.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
echo "lumbra-wine: begin"
for m in $(cat /lib/modules/order); do
  insmod /lib/modules/$m.ko || echo "lumbra-wine: cannot load $m"
done
mkdir -p /host /wine32 /work /root
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro hostroot /host &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro wine32 /wine32 &&
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 work /work &&
  . /work/config.sh &&
  mount -t overlay overlay -o lowerdir=/wine32:/host /root ||
  echo "lumbra-wine: cannot mount the host's root"
mount -t devtmpfs devtmpfs /root/dev
mkdir -p /root/dev/shm /root/dev/pts
ln -s /proc/self/fd /root/dev/fd  # what udev would make: bash's <(...) needs it
mount -t tmpfs tmpfs /root/dev/shm
mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
for d in /tmp /run /var/lib/xkb; do mount -t tmpfs tmpfs "/root$d"; done
# A checkout or build under one of those (a CI clone may be under /tmp): its
# top folder from the host again, under the fresh tmpfs.
for p in $run $script $controller $image $exe64 $exe32 $hidtest $hidtest32 $driver $cli; do
  for d in /tmp /run /var/lib/xkb; do
    case $p in
      $d/*)
        rest=${p#$d/}
        top=$d/${rest%%/*}
        [ -d "/root$top" ] || { mkdir -p "/root$top" && mount -o bind "/host$top" "/root$top"; }
        ;;
    esac
  done
done
mount -o bind /work "/root$run"
chroot /root /bin/bash "$script" "$run"
echo "lumbra-wine: end (status $?)"
poweroff -f
