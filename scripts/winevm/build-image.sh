#!/usr/bin/env bash
# Builds, once per machine, the emulated x86-64 machine that runs our 32-bit
# Windows programs: Debian bookworm with its own kernel (which, unlike the
# kernel of our machines, runs 32-bit code), Wine for 32- and 64-bit programs
# and a Wine prefix that is ready to use. It lands in the cache folder named by
# common.sh, outside any checkout, so every clone and CI run on the machine
# shares it; a change to this script names a new image. Does nothing when the
# image exists. Needs root (debootstrap, chroot) and the Debian mirror that
# this machine's apt sources name.
#
# About 15-25 minutes and 3.5 GB on a 2-core machine; see README.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

[ -e "$winevm_image/rootfs.img" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  exec sudo QEL_WINEVM_CACHE="$winevm_cache" ${QEL_WINEVM_MIRROR:+QEL_WINEVM_MIRROR="$QEL_WINEVM_MIRROR"} "$0" "$@"
fi
for tool in debootstrap mke2fs e2fsck qemu-system-x86_64 flock python3; do
  command -v "$tool" >/dev/null || winevm_die "$tool is missing (scripts/setup.sh installs it)"
done
# The mirror is this machine's own, from its apt sources (QEL_WINEVM_MIRROR
# overrides it): the tree names no package server.
mirror=${QEL_WINEVM_MIRROR:-$(python3 "$winevm_dir/apt-mirror.py" bookworm || true)}
[ -n "$mirror" ] || winevm_die "no apt source of this machine serves bookworm main; name a mirror in QEL_WINEVM_MIRROR"

mkdir -p "$winevm_cache"
exec 9>"$winevm_cache/lock"
if ! flock -n 9; then
  echo "winevm: another run is building the image; waiting for it"
  flock 9
fi
[ -e "$winevm_image/rootfs.img" ] && exit 0

# Whatever an interrupted build left is thrown away, mounts first: removing a
# tree with /proc still mounted in it would reach outside it.
discard() {
  local tree=$1 mount
  while read -r mount; do umount -l "$mount" || true; done < <(
    awk -v tree="$tree/" 'index($2, tree) == 1 { print $2 }' /proc/mounts | sort -r)
  rm -rf --one-file-system "$tree"
}
for stale in "$winevm_cache"/*.partial; do
  [ -e "$stale" ] && discard "$stale"
done

partial=$winevm_image.partial
root=$partial/rootfs
trap 'discard "$partial"' EXIT
mkdir -p "$partial/control"
started=$SECONDS
step() { echo "winevm: [$((SECONDS - started)) s] $*"; }

step "debootstrap bookworm (minbase) from $mirror"
debootstrap --variant=minbase --arch=amd64 bookworm "$root" "$mirror" >"$partial/debootstrap.log" 2>&1 ||
  { tail -n 30 "$partial/debootstrap.log"; winevm_die "debootstrap failed"; }

step "the kernel, locales and Wine (32- and 64-bit)"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
printf 'en_US.UTF-8 UTF-8\nde_DE.UTF-8 UTF-8\n' >"$root/etc/locale.gen"
mount -t proc proc "$root/proc"
# A few 32-bit maintainer scripts cannot run in this chroot (our kernel runs
# no 32-bit code) and say "Exec format error"; what they do is not needed.
chroot "$root" /bin/sh -ec '
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  apt-get -o Acquire::Retries=3 update -qq
  apt-get -o Acquire::Retries=3 install -y -qq --no-install-recommends \
    linux-image-amd64 kmod locales wine wine32:i386 wine64
  locale-gen
  apt-get clean
  rm -rf /var/lib/apt/lists/*' >"$partial/packages.log" 2>&1 ||
  { tail -n 30 "$partial/packages.log"; winevm_die "installing the packages failed"; }
umount "$root/proc"

# PID 1 of the machine: no services, only the file systems a program needs and
# the control share, whose agent.sh says what this boot is for. The machine
# powers off when the agent returns.
cat >"$root/sbin/qel-init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
for folder in /dev/shm /tmp /run; do mount -t tmpfs tmpfs "$folder"; done
modprobe 9pnet_virtio
modprobe 9p
mkdir -p /qel
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 qelctl /qel; then
  /bin/bash /qel/agent.sh
else
  echo "qel-init: no control share" >&2
fi
sync
echo o >/proc/sysrq-trigger
sleep 60
INIT
chmod 755 "$root/sbin/qel-init"
cp "$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)" "$partial/vmlinuz"
cp "$(ls "$root"/boot/initrd.img-* | sort -V | tail -n 1)" "$partial/initrd.img"

step "the disk image"
mke2fs -q -t ext4 -L qelroot -d "$root" "$partial/rootfs.img" 6G
rm -rf --one-file-system "$root"

# The 32-bit half of the Wine prefix can only be made where 32-bit code runs:
# in one read-write boot of the image. wineboot outlasts Wine's own 30 s wait
# under emulation and exits non-zero, yet the prefix is whole; a 32-bit cmd.exe
# that returns 7 proves it. The root is read-only again before power-off.
step "the Wine prefix (one boot of the machine; 5-15 minutes)"
cat >"$partial/control/agent.sh" <<'AGENT'
export HOME=/root WINEPREFIX=/root/.wine WINEDEBUG=-all LANG=en_US.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i
echo "wineboot: exit status $?"
wineserver -w
wine 'C:\windows\syswow64\cmd.exe' /c exit 7
echo $? >/qel/check
wineserver -k
wineserver -w
sync
mount -o remount,ro /
AGENT
winevm_qemu "$partial" "$partial/control" "cache=writeback"
pid=$(cat "$partial/control/qemu.pid")
if ! winevm_wait_gone "$pid" 3600; then
  kill "$pid"
  winevm_die "the prefix boot did not finish within an hour (console: $partial/control/console.log)"
fi
check=$(cat "$partial/control/check" 2>/dev/null || true)
if [ "$check" != 7 ]; then
  tail -n 30 "$partial/control/console.log"
  winevm_die "a 32-bit program does not run in the new machine (cmd.exe gave '$check', not 7)"
fi
e2fsck -fy "$partial/rootfs.img" >/dev/null || [ $? -eq 1 ]

mkdir -p "$partial/logs"
mv "$partial"/*.log "$partial/control/console.log" "$partial/logs/"
rm -rf "$partial/control"
mv "$partial" "$winevm_image"
trap - EXIT
# Images of other versions of this script that no run used for a day go.
for old in "$winevm_cache"/*/; do
  old=${old%/}
  [ "$old" = "$winevm_image" ] && continue
  [ -n "$(find "$old" -maxdepth 1 \( -name used -o -name rootfs.img \) -mmin -1440)" ] || rm -rf --one-file-system "$old"
done
step "done: $winevm_image ($(du -sh "$winevm_image" | cut -f1) used)"
