# Shared by the scripts of scripts/winevm (sourced, not run): where the machine
# image lives and how the emulator is started.

winevm_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
winevm_cache=${QEL_WINEVM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qelevent/winevm}
# The image is named by the script that makes it: a changed recipe gives a new
# image, and an old one is never taken for it.
winevm_key=$(sha256sum "$winevm_dir/build-image.sh" | cut -c1-16)
winevm_image=$winevm_cache/$winevm_key

winevm_die() {
  echo "winevm: $*" >&2
  exit 1
}

# winevm_qemu IMAGE_DIR CONTROL_DIR DRIVE_OPTIONS [qemu arguments...]: starts the
# machine in the background. Its init runs CONTROL_DIR/agent.sh (shared over
# 9p as "qelctl") and powers off when that returns. No KVM on our machines: the
# CPU is emulated on both host cores (a 2-core machine, and jobs run two at a
# time). SMAP is off because the guest kernel otherwise kills Wine's processes
# at a user-mode iret under this emulation.
winevm_qemu() {
  local image=$1 control=$2 drive=$3
  shift 3
  qemu-system-x86_64 -accel tcg,thread=multi -cpu max,smap=off -smp 2 -m 3072 \
    -display none -monitor none -nic none -serial "file:$control/console.log" -no-reboot \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw init=/sbin/qel-init console=ttyS0 quiet panic=-1" \
    -drive "file=$image/rootfs.img,format=raw,if=virtio,$drive" \
    -fsdev "local,id=qelctl,path=$control,security_model=none" \
    -device virtio-9p-pci,fsdev=qelctl,mount_tag=qelctl \
    -pidfile "$control/qemu.pid" -daemonize "$@"
}

# winevm_wait_gone PID SECONDS: true once the process has ended.
winevm_wait_gone() {
  local pid=$1 tenths=$(($2 * 10))
  while kill -0 "$pid" 2>/dev/null; do
    ((tenths-- > 0)) || return 1
    sleep 0.1
  done
}
