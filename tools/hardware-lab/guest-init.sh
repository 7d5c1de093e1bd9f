#!/bin/busybox sh
# /init of the hardware lab's virtual machine. It loads the drivers listed in
# /modules.order, mounts the host's root (shared read-only over virtio-9p) at
# /host with the guest's own /dev, /proc, /sys and scratch space over it, and
# runs the job named by serialslots.job= on the kernel command line inside it,
# so that the host's JDK and build tree run against the guest's serial ports.
# The job's exit status comes out on the console as "hardware-lab: exit N".
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# Loopback for the remote-port tests' ser2net, with one more address: with
# none but 127.0.0.1, name lookups that ask for configured addresses find none.
ifconfig lo 127.0.0.1 up
ip addr add 192.0.2.1/32 dev lo

while read -r module; do
  insmod "/modules/$module" || echo "hardware-lab: cannot load $module"
done </modules.order

mkdir -p /host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /host ||
  echo "hardware-lab: cannot mount the host's root"
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts devpts /host/dev/pts
# Scratch space, but not over /tmp, where the build tree may be.
for scratch in /run /dev/shm; do mount -t tmpfs tmpfs "/host$scratch"; done

# USB devices enumerate after the drivers load; devtmpfs makes their nodes.
tries=0
while [ ! -e /dev/ttyUSB1 ] && [ $tries -lt 100 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
[ -e /dev/ttyUSB1 ] || echo "hardware-lab: the adapters did not appear"

job=$(sed -n 's/.*serialslots\.job=\([^ ]*\).*/\1/p' /proc/cmdline)
echo "hardware-lab: booted in $(cut -d' ' -f1 /proc/uptime) s, running $job"
chroot /host /bin/sh "$job"
echo "hardware-lab: exit $?"
poweroff -f
