#!/usr/bin/env bash
# Runs a test program inside a small virtual machine that has the ALSA sequencer, which a build
# machine (a container, a VM without sound) rarely has: Debian's kernel under qemu, with an
# initramfs of our own (busybox and the modules it needs) that mounts this machine's root
# read-only over 9p and runs the program there, so it sees the same files and libraries.
#
#   alsa-vm.sh <work dir> <program> [args...]
#
# Exits with the program's status; 77 (skipped) when qemu, a kernel or busybox is missing.
set -euo pipefail

work=$1
shift
program=$(readlink -f "$1")
shift

kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
release=${kernel#/boot/vmlinuz-}
modules=/lib/modules/$release
if [ -z "$kernel" ] || [ ! -d "$modules" ] || ! command -v qemu-system-x86_64 >/dev/null ||
  [ ! -x /bin/busybox ] || ! command -v modinfo >/dev/null; then
  echo "alsa-vm: needs qemu-system-x86, linux-image-amd64 and busybox-static; skipped" >&2
  exit 77
fi

rm -rf "$work"
mkdir -p "$work/root/bin" "$work/root/modules"
cp /bin/busybox "$work/root/bin/"

# Each module after the ones it depends on, once.
order=()
add() {
  local name=$1 dep
  for m in "${order[@]:-}"; do [ "$m" = "$name" ] && return 0; done
  local path
  path=$(modinfo -k "$release" -n "$name" 2>/dev/null) || return 0
  [ "$path" = "(builtin)" ] && return 0
  for dep in $(modinfo -k "$release" -F depends "$name" | tr ',' ' '); do add "$dep"; done
  order+=("$name")
  cp "$path" "$work/root/modules/$name.ko"
}
for m in virtio_pci 9pnet_virtio 9p snd-seq snd-hrtimer; do add "$m"; done

{
  echo '#!/bin/busybox sh'
  echo '/bin/busybox --install -s /bin'
  echo 'export PATH=/bin'
  echo 'mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev'
  for m in "${order[@]}"; do echo "insmod /modules/$m.ko 2>/dev/null"; done
  echo 'echo "alsa-vm: sequencer devices: $(ls /dev/snd 2>&1)"'
  echo 'mkdir -p /host'
  echo 'mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /host'
  echo 'for d in dev proc sys; do mount --bind /$d /host/$d; done'
  # Writable room under /run only: the program may live under /tmp, which stays as it is.
  echo 'mount -t tmpfs -o mode=0700 run /host/run'
  printf 'chroot /host /usr/bin/env -i PATH=/usr/bin:/bin HOME=/run TMPDIR=/run'
  printf ' XDG_RUNTIME_DIR=/run QT_QPA_PLATFORM=offscreen'
  printf ' %q' "$program" "$@"
  echo
  echo 'echo "alsa-vm: status $?"'
  echo 'poweroff -f'
} >"$work/root/init"
chmod +x "$work/root/init"
mkdir -p "$work/root/proc" "$work/root/sys" "$work/root/dev"
(cd "$work/root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"

# Software emulation: a nested KVM guest was seen to hang at boot here, and the sequencer's
# queues time events with the kernel's high-resolution timer under emulation too.
timeout 240 qemu-system-x86_64 -accel tcg -m 1024 -smp 2 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -nic none </dev/null | tee "$work/console.log" | grep -v '^\[' || true

status=$(sed -n 's/.*alsa-vm: status \([0-9]*\).*/\1/p' "$work/console.log" | tail -n 1)
if [ -z "$status" ]; then
  echo "alsa-vm: the machine ended without the program's status" >&2
  exit 1
fi
exit "$status"
