#!/usr/bin/env bash
# Makes the bootable ISO of the bare-metal kernel: GRUB (for BIOS machines)
# with the kernel and the menu host/metal/grub.cfg.
#
#   bash scripts/metal_iso.sh KERNEL.elf OUT.iso
set -euo pipefail
kernel=$1
iso=$2
here=$(cd "$(dirname "$0")/.." && pwd)
command -v grub-mkrescue >/dev/null || { echo "metal_iso: grub-mkrescue not found: run 'bash scripts/deps.sh'" >&2; exit 1; }
tree=$(mktemp -d "${TMPDIR:-/tmp}/metal-iso.XXXXXX")
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/boot/grub"
cp "$kernel" "$tree/boot/ne2k-metal.elf"
cp "$here/host/metal/grub.cfg" "$tree/boot/grub/grub.cfg"
grub-mkrescue -o "$iso" "$tree" >"$tree.log" 2>&1 || { cat "$tree.log" >&2; rm -f "$tree.log"; exit 1; }
rm -f "$tree.log"
echo "metal_iso: $iso ($(stat -c %s "$iso") bytes)"
