#!/bin/sh
# Prepares what the driver-test guest boots: Debian's kernel package
# (downloaded, unpacked, never installed) and an initramfs of busybox, the
# serial and 9p modules with their dependencies, and our init.
#
# Usage: prepare.sh WORKDIR
# Leaves WORKDIR/vmlinuz and WORKDIR/initramfs.gz.
set -eu
work=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cd "$work"

# The kernel of Debian's linux-image-amd64, as users of this release run.
if [ ! -f kernel.ok ]; then
    image=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1)
    [ -n "$image" ] || { echo "prepare.sh: no linux-image package known to apt" >&2; exit 1; }
    rm -rf kernel ./*.deb
    apt-get download "$image" >/dev/null 2>&1 || { echo "prepare.sh: cannot download $image" >&2; exit 1; }
    dpkg-deb -x ./*.deb kernel
    rm -f ./*.deb
    # The package leaves the module index to its installation.
    depmod -b kernel "$(ls kernel/lib/modules | head -n 1)"
    touch kernel.ok
fi
kver=$(ls kernel/lib/modules | head -n 1)
moddir=kernel/lib/modules/$kver
cp "kernel/boot/vmlinuz-$kver" vmlinuz

rm -rf initramfs
mkdir -p initramfs/bin initramfs/proc initramfs/sys initramfs/dev initramfs/host initramfs/lower initramfs/rw \
    initramfs/modules
cp /bin/busybox initramfs/bin/busybox
cp "$here/init" initramfs/init
chmod +x initramfs/init

# Each wanted module after the modules it needs, each once.
: > initramfs/modules/order
add() {
    local rel deps dep name
    rel=$(grep -E "(^|/)$1\.ko:" "$moddir/modules.dep" | head -n 1 | cut -d: -f1)
    [ -n "$rel" ] || { echo "prepare.sh: module $1 not in $kver" >&2; exit 1; }
    deps=$(grep -E "^$rel:" "$moddir/modules.dep" | cut -d: -f2)
    for dep in $deps; do
        add "$(basename "$dep" .ko)"
    done
    name=$(basename "$rel")
    if ! grep -qx "$name" initramfs/modules/order; then
        cp "$moddir/$rel" initramfs/modules/
        echo "$name" >> initramfs/modules/order
    fi
}
for m in virtio_pci 9pnet_virtio 9p overlay xhci-pci ftdi_sio; do
    add "$m"
done

(cd initramfs && find . | cpio -o -H newc --quiet) | gzip -1 > initramfs.gz
echo "prepare.sh: kernel $kver, modules: $(tr '\n' ' ' < initramfs/modules/order)"
