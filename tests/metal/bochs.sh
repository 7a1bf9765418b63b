#!/usr/bin/env bash
# The kernel on Bochs' ne2k card (I/O base 0x300, IRQ 3), booted from the
# ISO through GRUB, with Bochs' user-mode network (slirp): the ISO's first
# menu entry pings the virtual gateway 10.0.2.2 200 times with sizes across
# 60..1514 bytes on the wire, and must lose none.
#
# Bochs here (Debian's 2.7) has no display-less library: the RFB display
# serves on a local port with no viewer waited for; its debugger is built
# in and waits for a command, so it is fed "c" (continue); sound and the
# speaker are off. Bochs has no exit port: the kernel's write to Bochs'
# shutdown port (0x8900) ends it, and the verdict is read from the serial
# log.
#
#   bash tests/metal/bochs.sh KERNEL.iso
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
iso=$(realpath "$1")
command -v bochs >/dev/null || metal_fail "bochs not found: run 'bash scripts/deps.sh'"
metal_workdir bochs

cat >"$work/bochsrc" <<RC
megs: 32
cpu: count=1, ips=50000000
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
display_library: rfb, options="timeout=0"
ata0-master: type=cdrom, path=$iso, status=inserted
boot: cdrom
com1: enabled=1, mode=file, dev=$work/serial.log
ne2k: ioaddr=0x300, irq=3, mac=02:00:00:00:00:07, ethmod=slirp
speaker: enabled=0
sound: waveoutdrv=dummy, waveindrv=dummy, midioutdrv=dummy
clock: sync=none, time0=local
log: $work/bochs.log
panic: action=fatal
RC

status=0
(cd "$work" && printf 'c\n' | timeout "${METAL_TIMEOUT:-90}" bochs -q -f "$work/bochsrc" >"$work/bochs.out" 2>&1) ||
  status=$?
[ "$status" -ne 124 ] || metal_fail "Bochs did not end within ${METAL_TIMEOUT:-90} s" "$work/serial.log"
[ -s "$work/serial.log" ] || {
  tail -20 "$work/bochs.out" >&2
  metal_fail "Bochs ended (status $status) with nothing on the serial port"
}
verdict=$(tr -d '\r' <"$work/serial.log" | grep '^verdict:' || true)
[ "$verdict" = "verdict: PASS" ] || metal_fail "the kernel's verdict on Bochs: ${verdict:-none}" "$work/serial.log"
grep -q 'Shutdown port: shutdown requested' "$work/bochs.out" "$work/bochs.log" 2>/dev/null ||
  metal_fail "Bochs did not end through its shutdown port" "$work/serial.log"
echo "metal: bochs: $(tr -d '\r' <"$work/serial.log" | grep -E '^(initialize|ping|after halt):' | tr '\n' ' ')"
echo "metal: bochs: passed"
