#!/usr/bin/env bash
# The device tests on real kernel serial drivers: boots a small virtual machine
# (qemu-system-x86_64, software emulation) whose serial ports are emulated
# hardware driven by Linux's own 8250 and ftdi_sio drivers, and runs the
# hardware suite of both Java APIs in it, with the host's JDK and build tree
# shared read-only into the guest. Every tty the tests open is the guest's.
#
#   scripts/hardware-test.sh [BUILD_DIR]
#
# With no BUILD_DIR it builds build/ first; ctest runs it on its own build
# ("hardware_suite").
#
# The guest's ports:
#   ttyS0           its console: the suite's output, shown here
#   ttyS1 - ttyS2   two 16550A UARTs wired to each other (a null-modem cable)
#   ttyS3           a 16550A wired to the machine's monitor, for unplugging,
#                   through hardware-wires
#   ttyS4 - ttyS7   a four-port PCI card; ttyS4 is wired to ttyUSB0
#   ttyS8           a node with no UART behind it
#   ttyUSB0         an FTDI adapter (serial number A1) on an xHCI controller,
#                   wired to ttyS4 through hardware-wires
#   ttyUSB1         a second FTDI adapter (serial number B2), wired to nothing
# Installs qemu-system-x86 when missing, and fetches Debian's kernel and static
# busybox into the build tree (without installing them).
source "$(dirname "$0")/env.sh"
install_test_tools
if [ $# -gt 0 ]; then BUILD_DIR=$(cd "$1" && pwd); else configure_and_build "$BUILD_DIR"; fi

LAB_DIR=$BUILD_DIR/hardware-lab
JOB=$LAB_DIR/guest-job.sh
[ -f "$JOB" ] || { echo "hardware lab: $JOB was not built (JUnit 5 missing?)" >&2; exit 1; }
command -v qemu-system-x86_64 >/dev/null || install_packages --no-install-recommends qemu-system-x86

# fetch_package NAME: unpacks Debian's package NAME into $LAB_DIR/NAME once.
fetch_package() {
  local name=$1 unpacked=$LAB_DIR/$1
  [ -d "$unpacked" ] && return
  local scratch
  scratch=$(mktemp -d)
  if ! (cd "$scratch" && apt-get download -qq "$name" 2>/dev/null); then
    as_root apt-get update -qq
    (cd "$scratch" && apt-get download -qq "$name")
  fi
  dpkg-deb -x "$scratch"/*.deb "$unpacked.partial"
  mv "$unpacked.partial" "$unpacked"
  rm -rf "$scratch"
}
# The kernel Debian's linux-image-amd64 stands for today.
current_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n1
}
kernel_package=$(current_kernel)
[ -n "$kernel_package" ] || { as_root apt-get update -qq && kernel_package=$(current_kernel); }
fetch_package "$kernel_package"
fetch_package busybox-static
kernel_root=$LAB_DIR/$kernel_package
kernel_version=${kernel_package#linux-image-}
modules=$kernel_root/lib/modules/$kernel_version

busybox=$LAB_DIR/busybox-static/bin/busybox
[ -f "$modules/modules.dep" ] || "$busybox" depmod -b "$kernel_root" "$kernel_version"

# The initramfs: busybox, the init and the drivers that are modules, each after
# what it needs (modules.dep lists a module's needs, the last one first).
initrd=$LAB_DIR/initrd.cpio.gz
# Scratch: the initramfs's tree, and the wires' sockets in a short folder (a
# unix socket's path is limited).
root=$(mktemp -d)
wires=$(mktemp -d)
trap 'rm -rf "$root" "$wires"; kill "${wire_pid:-}" 2>/dev/null || true' EXIT
mkdir -p "$root/bin" "$root/modules" "$root/proc" "$root/sys" "$root/dev"
cp "$busybox" "$root/bin/busybox"
cp "$PROJECT_DIR/tools/hardware-lab/guest-init.sh" "$root/init"
for wanted in virtio_pci 9pnet_virtio 9p xhci-pci ftdi_sio; do
  line=$(grep -E "/$wanted\.ko:" "$modules/modules.dep")
  read -r -a needs <<<"${line#*:}"
  load_order=("${line%%:*}")
  for need in "${needs[@]}"; do load_order=("$need" "${load_order[@]}"); done
  for module in "${load_order[@]}"; do
    name=$(basename "$module")
    grep -qx "$name" "$root/modules.order" 2>/dev/null && continue
    cp "$modules/$module" "$root/modules/$name"
    echo "$name" >>"$root/modules.order"
  done
done
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 >"$initrd")

"$BUILD_DIR/tools/hardware-lab/hardware-wires" "$wires" &
wire_pid=$!
for _ in $(seq 50); do [ -S "$wires/uart3" ] && break; sleep 0.1; done

console=$LAB_DIR/console.log
started=$(date +%s)
echo "hardware lab: booting $kernel_version under qemu-system-x86_64 (TCG)"
# One host thread for both vCPUs: with a thread each, a JVM in the guest now
# and then died of SIGILL in code it had just compiled and patched.
qemu_status=0
timeout 480 qemu-system-x86_64 -nodefaults -display none -no-reboot -accel tcg,thread=single -smp 2 -m 1536 \
  -kernel "$kernel_root/boot/vmlinuz-$kernel_version" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 8250.nr_uarts=9 serialslots.hardware-lab serialslots.job=$JOB" \
  -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -chardev file,id=console,path="$console" -serial chardev:console \
  -chardev socket,id=wire1,path="$wires/wire1",server=on,wait=off -serial chardev:wire1 \
  -chardev socket,id=wire2,path="$wires/wire1" -serial chardev:wire2 \
  -chardev socket,id=control,path="$wires/uart3" -serial chardev:control \
  -chardev socket,id=monitor,path="$wires/monitor" -mon chardev=monitor,mode=readline \
  -chardev socket,id=uart4,path="$wires/uart4" -device pci-serial-4x,chardev1=uart4 \
  -device qemu-xhci,id=xhci -chardev socket,id=usb,path="$wires/usb" \
  -device usb-serial,bus=xhci.0,chardev=usb,id=ftdi,serial=A1 \
  -chardev file,id=idle,path="$wires/idle" -device usb-serial,bus=xhci.0,chardev=idle,id=ftdi2,serial=B2 || qemu_status=$?
tr -d '\r' <"$console"
echo "hardware lab: $(($(date +%s) - started)) s in all"
[ $qemu_status -eq 0 ] || { echo "hardware lab: qemu failed ($qemu_status)" >&2; exit 1; }
if grep -qE "WARNING|FATAL ERROR in native method|Exception in thread" "$console"; then
  echo "hardware lab: a warning or a crash on the console" >&2
  exit 1
fi
status=$(sed -n 's/^hardware-lab: exit \([0-9]*\).*/\1/p' "$console" | tr -d '\r' | tail -n1)
[ "$status" = 0 ]
