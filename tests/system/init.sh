#!/bin/busybox sh
# /init of the system test's VM: mounts what hidapi and udev's library need,
# loads the HID core, the generic HID driver (which makes the hidraw nodes)
# and uhid, runs the driver's scenarios and powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp

echo "lumbra-system: begin"
for m in hid hid-generic uhid; do
  insmod /lib/modules/$m.ko || echo "lumbra-system: cannot load $m"
done
[ -c /dev/uhid ] || echo "lumbra-system: no /dev/uhid"

/bin/lumbra-system-driver --gtest_color=no /bin/lumbra-virtual-controller
echo "lumbra-system: end (driver status $?)"
poweroff -f
