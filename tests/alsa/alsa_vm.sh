#!/usr/bin/env bash
# Runs a script as root inside a small VM that has a real ALSA sequencer, and ends with its exit
# status. The VM is Debian's own kernel under QEMU's software emulator (no KVM needed) with a
# busybox initramfs: it loads the virtio and 9p modules, mounts this machine's root read-only over
# 9p, puts tmpfs on every place a test writes to (/tmp, /run, /dev/shm, /var/tmp; a folder of the
# job's own there is mounted again over it), chroots into it
# and loads snd-seq-dummy ("Midi Through"), snd-virmidi (four "Virtual Raw MIDI" ports whose
# raw side, /dev/snd/midiC0D0..3, carries the bytes a cable would) and snd-hrtimer. Nothing in the VM can write to
# this machine's files.
#
# usage: alsa_vm.sh SCRIPT [ARGUMENT...]
# Ends with 77 (a skip) and says why where QEMU, the kernel or busybox is missing or cannot run.
# HALVORINE_VM_TIMEOUT (seconds, 240 unless set) bounds the whole run.
set -euo pipefail

skip() {
  echo "SKIP: the ALSA test VM cannot run here: $*"
  exit 77
}

[ $# -ge 1 ] || { echo "usage: $0 SCRIPT [ARGUMENT...]" >&2; exit 2; }
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
"$qemu" -version >/dev/null 2>&1 || skip "qemu-system-x86_64 does not start"
busybox=/bin/busybox
[ -x "$busybox" ] && "$busybox" --list | grep -x insmod >/dev/null ||
  skip "no static busybox with insmod (package busybox-static)"
# Debian's newest kernel whose modules include the virtual MIDI driver.
kernel=""
for k in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -rV); do
  version=${k#/boot/vmlinuz-}
  if [ -n "$(find "/lib/modules/$version" -name 'snd-virmidi.ko*' 2>/dev/null)" ]; then
    kernel=$k
    break
  fi
done
[ -n "$kernel" ] || skip "no kernel in /boot with its sound modules (package linux-image-amd64)"
[ -r "$kernel" ] || skip "$kernel is not readable (run as root)"
modules=/lib/modules/$version

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The initramfs: busybox, the modules that reach the host's files, in load order, and the job.
root=$work/initramfs
mkdir -p "$root"/{bin,proc,sys,dev,host,modules}
cp "$busybox" "$root/bin/busybox"
load_order() {
  local m line deps d
  for m in "$@"; do
    line=$(grep -E "^(kernel/)?([^:]*/)?$m\.ko(\.[a-z]+)?:" "$modules/modules.dep" || true)
    [ -n "$line" ] || continue  # built into the kernel
    deps=${line#*:}
    for d in $(echo "$deps" | tr ' ' '\n' | tac) "${line%%:*}"; do echo "$d"; done
  done | awk '!seen[$0]++'
}
: >"$root/modules/order"
for m in $(load_order virtio_pci 9pnet_virtio 9p); do
  case "$m" in
    *.ko) cp "$modules/$m" "$root/modules/" ;;
    *.ko.xz) xz -dc "$modules/$m" >"$root/modules/$(basename "${m%.xz}")" ;;
    *.ko.zst) zstd -qdc "$modules/$m" >"$root/modules/$(basename "${m%.zst}")" ;;
  esac
  basename "${m%.ko*}.ko" >>"$root/modules/order"
done

# The job runs in the chroot: the environment of a test, the sound modules, then the script.
{
  echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  echo "export HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/runtime LANG=C.UTF-8"
  for v in QT_QPA_PLATFORM ASAN_OPTIONS UBSAN_OPTIONS; do
    [ -n "${!v:-}" ] && echo "export $v=$(printf %q "${!v}")"
  done
  # Under emulation a script takes far longer than on the machine: its own watchdog speaks up a
  # minute before the VM's limit (boot and shutdown fit in that minute).
  echo "export HALVORINE_E2E_LIMIT=${HALVORINE_E2E_LIMIT:-$(( ${HALVORINE_VM_TIMEOUT:-240} - 60 ))}"
  echo "mkdir -p -m 700 /tmp/home /tmp/runtime"
  echo "modprobe snd-seq-dummy && modprobe snd-virmidi || exit 99"
  # The sequencer's high-resolution timer, which a desktop's module loader brings in when a queue
  # first asks for it; the kernel here cannot load modules on its own.
  echo "modprobe snd-hrtimer 2>/dev/null || true"
  printf 'cd %q\n' "$PWD"
  printf 'exec'
  printf ' %q' "$@"
  echo
} >"$root/job.sh"

# The folders the job needs that lie where the VM puts tmpfs (a tree cloned under /tmp, say): each
# is mounted again over the tmpfs, at its own path.
for p in "$PWD" "$@"; do
  [ -e "$p" ] || continue
  p=$(realpath "$p")
  for d in /tmp /run /var/tmp /dev/shm; do
    case "$p" in "$d"/*)
      rest=${p#"$d"/}
      [ -d "$d/${rest%%/*}" ] && echo "$d/${rest%%/*}"
      ;;
    esac
  done
done | sort -u >"$root/keep.list"

cat >"$root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do insmod "/modules/$m"; done </modules/order
status=98
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro hostroot /host; then
  mount -t proc proc /host/proc
  mount -t sysfs sysfs /host/sys
  mount -t devtmpfs devtmpfs /host/dev
  mkdir -p /host/dev/pts /host/dev/shm
  mount -t devpts devpts /host/dev/pts
  n=0
  while read -r k; do
    n=$((n + 1))
    mkdir -p "/kept/$n"
    mount -o bind "/host$k" "/kept/$n"
  done </keep.list
  for d in dev/shm tmp run var/tmp; do mount -t tmpfs -o mode=1777 tmpfs "/host/$d"; done
  n=0
  while read -r k; do
    n=$((n + 1))
    mkdir -p "/host$k"
    mount -o bind "/kept/$n" "/host$k"
  done </keep.list
  mkdir -m 1777 /host/tmp/.X11-unix /host/tmp/.ICE-unix
  cp /job.sh /host/run/halvorine-job.sh
  chroot /host /bin/bash /run/halvorine-job.sh </dev/null >/dev/console 2>&1
  status=$?
fi
echo "halvorine-vm-status: $status"
sync
reboot -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initramfs.gz"

# The VM's console is a file; what the job printed is shown once it has ended.
status_line=""
timeout --kill-after=5 "${HALVORINE_VM_TIMEOUT:-240}" "$qemu" -accel tcg,thread=multi -smp 2 \
  -m 1536 -nodefaults -no-reboot -display none -monitor none -serial "file:$work/console.txt" \
  -kernel "$kernel" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -fsdev local,id=hostroot,path=/,security_model=none,multidevs=remap,readonly=on \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot </dev/null || true
tr -d '\r' <"$work/console.txt" | grep -v -e '^halvorine-vm-status: ' -e 'reboot: ' || true
status_line=$(tr -d '\r' <"$work/console.txt" | grep '^halvorine-vm-status: ' | tail -n 1 || true)
[ -n "$status_line" ] || { echo "FAIL: the VM ended without the script's exit status (timeout?)"; exit 1; }
status=${status_line#halvorine-vm-status: }
case $status in
  98) echo "FAIL: the VM could not mount this machine's files over 9p" ;;
  99) echo "FAIL: the VM could not load snd-seq-dummy and snd-virmidi" ;;
esac
exit "$status"
