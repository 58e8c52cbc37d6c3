#!/usr/bin/env bash
# Runs one command on Debian's own kernel under qemu (TCG, no KVM needed),
# in this machine's root file system, and exits with the command's status.
#
#   bash tools/vm/run.sh [--timeout SECONDS] [--] COMMAND [ARGS...]
#
# The guest mounts the host's / over 9p and chroots into it, so the command
# runs the very binaries built here, in the same working directory, with the
# guest's own /proc, /sys, /dev and /tmp (a tmpfs: what the command leaves
# there does not reach this machine). Before the command starts, the guest has
# the virtual CAN interfaces can0 to can3 up, an xHCI controller (id xhci)
# for hot-plugged USB drives, and these in the command's environment:
#   XR9AL_VM=1          the command runs in the guest
#   XR9AL_VM_QMP=DIR    requests to the QEMU monitor (QMP): a file DIR/NAME.req
#                       holding one JSON command is answered in DIR/NAME.resp
#                       (the "return" or "error" line), then NAME.req goes
# plus every XR9AL_* variable of the caller's environment.
#
# The kernel package and busybox are fetched from the package mirror once and
# kept in XR9AL_VM_CACHE (default /var/cache/xr9al-vm). Exit 75 when they (or
# qemu) cannot be had; 124 when the guest outlives the time limit (default
# 1800 s, XR9AL_VM_TIMEOUT). XR9AL_VM_MEM (MiB, default 2048) and
# XR9AL_VM_CPUS (default 2) size the guest.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cache="${XR9AL_VM_CACHE:-/var/cache/xr9al-vm}"
limit="${XR9AL_VM_TIMEOUT:-1800}"
mem="${XR9AL_VM_MEM:-2048}"
cpus="${XR9AL_VM_CPUS:-2}"

while [ $# -gt 0 ]; do
  case "$1" in
    --timeout) limit="$2"; shift 2 ;;
    --) shift; break ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || { echo "usage: bash tools/vm/run.sh [--timeout SECONDS] [--] COMMAND [ARGS...]" >&2; exit 2; }

unavailable() {
  echo "vm: $*" >&2
  echo "vm: the virtual machine cannot be had here; nothing was run (exit 75)" >&2
  exit 75
}

XR9AL_NEED_VM=1 bash "$here/../deps.sh" || unavailable "qemu and the guest's tools could not be installed"
command -v qemu-system-x86_64 >/dev/null || unavailable "qemu-system-x86_64 is missing"

# Guest kernel and busybox: fetched once, unpacked once per kernel version.
mkdir -p "$cache"
fetch() {  # package name -> path of its .deb in the cache
  local pkg="$1" deb
  deb="$(ls "$cache"/debs/"${pkg}"_*.deb 2>/dev/null | head -n1 || true)"
  if [ -z "$deb" ]; then
    mkdir -p "$cache/debs"
    (cd "$cache/debs" && apt-get download -q "$pkg" >/dev/null 2>&1) ||
      { apt-get update -qq >/dev/null 2>&1 && (cd "$cache/debs" && apt-get download -q "$pkg" >/dev/null 2>&1); } ||
      return 1
    deb="$(ls "$cache"/debs/"${pkg}"_*.deb 2>/dev/null | head -n1 || true)"
  fi
  [ -n "$deb" ] && echo "$deb"
}
kpkg="$(cat "$cache/kernel-package" 2>/dev/null || true)"
if [ -z "$kpkg" ]; then
  kpkg="$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')"
  if [ -z "$kpkg" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    kpkg="$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')"
  fi
  [ -n "$kpkg" ] || unavailable "the package mirror names no kernel for linux-image-amd64"
  echo "$kpkg" > "$cache/kernel-package"
fi
kdeb="$(fetch "$kpkg")" || unavailable "could not fetch $kpkg"
bdeb="$(fetch busybox-static)" || unavailable "could not fetch busybox-static"

kver="${kpkg#linux-image-}"
root="$cache/root-$kver"
if [ ! -f "$root/.unpacked" ]; then
  rm -rf "$root"
  mkdir -p "$root"
  dpkg -x "$kdeb" "$root"
  dpkg -x "$bdeb" "$root/busybox"
  touch "$root/.unpacked"
fi
kernel="$root/boot/vmlinuz-$kver"
[ -f "$kernel" ] || unavailable "$kdeb holds no kernel image"

# The initramfs: busybox, the modules below with what they depend on, and the
# guest's init. Rebuilt when the init script or this list changes.
modules=(virtio_pci 9pnet_virtio 9p can_raw vcan sch_plug xhci_pci usb_storage sd_mod vfat nls_cp437 nls_ascii nls_utf8
         nls_iso8859_1)
stamp="$(cat "$here/guest-init.sh" "$0" | sha256sum | cut -c1-16)"
initrd="$cache/initramfs-$kver-$stamp.cpio.gz"
if [ ! -f "$initrd" ]; then
  moddir="$root/lib/modules/$kver/kernel"
  declare -A file_of=() done_=()
  while IFS= read -r f; do
    n="$(basename "$f")"; n="${n%%.ko*}"; file_of["${n//-/_}"]="$f"
  done < <(find "$moddir" -name '*.ko*')
  order=()
  add() {  # depth first: dependencies before the module
    local m="${1//-/_}" f deps d
    [ -n "${done_[$m]:-}" ] && return 0
    done_[$m]=1
    f="${file_of[$m]:-}"
    [ -n "$f" ] || return 0  # built into this kernel
    case "$f" in
      *.xz) deps="$(xz -dc "$f" | tr '\0' '\n' | sed -n 's/^depends=//p')" ;;
      *.zst) deps="$(zstd -dcq "$f" | tr '\0' '\n' | sed -n 's/^depends=//p')" ;;
      *) deps="$(tr '\0' '\n' < "$f" | sed -n 's/^depends=//p')" ;;
    esac
    for d in ${deps//,/ }; do add "$d"; done
    order+=("$m")
  }
  for m in "${modules[@]}"; do add "$m"; done
  stage="$(mktemp -d)"
  mkdir -p "$stage"/{bin,modules,proc,sys,dev,mnt}
  cp "$root/busybox/bin/busybox" "$stage/bin/busybox"
  for m in "${order[@]}"; do
    f="${file_of[$m]}"
    case "$f" in
      *.xz) xz -dc "$f" > "$stage/modules/$m.ko" ;;
      *.zst) zstd -dcq "$f" > "$stage/modules/$m.ko" ;;
      *) cp "$f" "$stage/modules/$m.ko" ;;
    esac
  done
  printf '%s\n' "${order[@]}" > "$stage/modules/order"
  cp "$here/guest-init.sh" "$stage/init"
  chmod 755 "$stage/init" "$stage/bin/busybox"
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) > "$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
  rm -rf "$stage"
fi

# The job: the command as a script the guest runs in the shared root.
# Outside /tmp: the guest's /tmp is its own (see guest-init.sh).
mkdir -p /var/tmp
job="$(mktemp -d /var/tmp/xr9al-vm.XXXXXX)"
qemu_pid=""
relay_pid=""
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null || true
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
  rm -rf "$job"
}
trap cleanup EXIT
mkdir -p "$job/qmp"
printf '%s\n' "$PWD" > "$job/cwd"  # a tree under /tmp is bound into the guest's own /tmp
{
  echo "cd $(printf '%q' "$PWD") || exit 125"
  echo "export TERM=dumb PATH=$(printf '%q' "$PATH") HOME=$(printf '%q' "${HOME:-/root}") XR9AL_VM=1 XR9AL_VM_QMP=$job/qmp"
  while IFS='=' read -r name _; do
    case "$name" in XR9AL_VM_QMP|XR9AL_VM) ;; XR9AL_*) echo "export $name=$(printf '%q' "${!name}")" ;; esac
  done < <(env)
  printf 'exec'; printf ' %q' "$@"; printf '\n'
} > "$job/cmd"
mkfifo "$job/monitor.in" "$job/monitor.out"

timeout --kill-after=10 "$limit" qemu-system-x86_64 \
  -accel tcg -cpu max -smp "$cpus" -m "$mem" -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=0 panic=-1 xr9job=$job" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap \
  -device qemu-xhci,id=xhci \
  -chardev pipe,id=monitor,path="$job/monitor" -mon chardev=monitor,mode=control \
  -serial stdio -monitor none -display none -vga none -fw_cfg name=etc/sercon-port,string=0 \
  < /dev/null 2> >(grep -v --line-buffered "sercon-port" >&2) &
qemu_pid=$!

# QMP relay: the capabilities handshake, then each request file in turn.
(
  exec 3> "$job/monitor.in" 4< "$job/monitor.out"
  qmp() {  # one command line in; its return or error line to stdout
    local line
    printf '%s\n' "$1" >&3
    while IFS= read -r -t 30 line <&4; do
      case "$line" in *'"return"'*|*'"error"'*) printf '%s\n' "$line"; return 0 ;; esac
    done
    echo '{"error": {"class": "RelayTimeout", "desc": "no answer from the monitor within 30 s"}}'
  }
  IFS= read -r -t 60 _ <&4 || exit 0  # the greeting
  qmp '{"execute": "qmp_capabilities"}' >/dev/null
  while :; do
    for req in "$job"/qmp/*.req; do
      [ -e "$req" ] || continue
      qmp "$(tr '\n' ' ' < "$req")" > "${req%.req}.tmp"
      mv "${req%.req}.tmp" "${req%.req}.resp"
      rm -f "$req"
    done
    sleep 0.1
  done
) &
relay_pid=$!

set +e
wait "$qemu_pid"
qemu_status=$?
set -e
qemu_pid=""
if [ -f "$job/status" ]; then
  exit "$(cat "$job/status")"
fi
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
  echo "vm: the guest did not finish within $limit s" >&2
  exit 124
fi
echo "vm: the guest stopped without running the command to its end (qemu status $qemu_status)" >&2
exit 1
