#!/bin/busybox sh
# The guest's init (inside the initramfs that tools/vm/run.sh builds): load
# the modules, mount the host's root over 9p, give it the guest's /proc, /sys
# and /dev, make the CAN interfaces, run the job's command chrooted, write its
# status into the job folder and power off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
stty -onlcr 2>/dev/null  # the host reads the console as a plain stream

say() { echo "vm: $*"; }
halt() { sync; poweroff -f; echo o > /proc/sysrq-trigger; sleep 5; }

for m in $(cat /modules/order); do
  insmod "/modules/$m.ko" || say "module $m not loaded"
done

job="$(sed -n 's/.*xr9job=\([^ ]*\).*/\1/p' /proc/cmdline)"
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 hostroot /mnt; then
  say "the host's root could not be mounted"; dmesg | tail -n 15
  halt
fi
mount -t proc proc /mnt/proc
mount -t sysfs sysfs /mnt/sys
mount -t devtmpfs devtmpfs /mnt/dev
mkdir -p /mnt/dev/pts /mnt/dev/shm
mount -t devpts devpts /mnt/dev/pts
mount -t tmpfs tmpfs /mnt/dev/shm
# What udev would add: bash's process substitution opens /dev/fd/N.
ln -sf /proc/self/fd /mnt/dev/fd
ln -sf /proc/self/fd/0 /mnt/dev/stdin
ln -sf /proc/self/fd/1 /mnt/dev/stdout
ln -sf /proc/self/fd/2 /mnt/dev/stderr
mount -t tmpfs tmpfs /mnt/run
# The guest's own /tmp: the tests' temporary files and logs are written line
# by line, and every 9p call costs an exit to the emulator.
# A working tree under the host's /tmp (a clone made there) stays reachable.
mkdir -p /hosttmp
mount -o bind /mnt/tmp /hosttmp
mount -t tmpfs tmpfs /mnt/tmp
cwd="$(cat "/mnt$job/cwd" 2>/dev/null)"
case "$cwd" in
  /tmp/?*)
    top="${cwd#/tmp/}"; top="${top%%/*}"
    mkdir -p "/mnt/tmp/$top" && mount -o bind "/hosttmp/$top" "/mnt/tmp/$top" ||
      say "the working tree under /tmp could not be reached"
    ;;
esac

chroot /mnt /bin/sh -c '
  ip link set lo up
  for n in 0 1 2 3; do ip link add dev can$n type vcan && ip link set can$n up; done
' || say "the CAN interfaces could not all be made"

chroot /mnt /bin/sh "$job/cmd"
echo $? > "/mnt$job/status"
halt
