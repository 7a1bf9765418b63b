# Shared by the metal runs (tests/metal/*.sh): boots the kernel on QEMU,
# keeps its serial log, and judges the run by the verdict line and QEMU's
# exit status. Every run is TCG only (no KVM), as on a CI machine.
#
#   source tests/metal/lib.sh
#   metal_workdir NAME          # $work: a folder of the run's files, removed at exit
#   metal_qemu LOG KERNEL "COMMAND LINE" [QEMU ARGUMENTS...]   # sets $status
#   metal_expect_pass LOG       # exit 0, or 1 with the log shown

# QEMU's isa-debug-exit: a byte V at port 0xF4 ends QEMU with (V << 1) | 1.
METAL_PASSED=33   # the kernel's verdict PASS
METAL_FAILED=35   # the kernel's verdict FAIL

metal_workdir() {  # name
  work=$(mktemp -d "${TMPDIR:-/tmp}/metal-$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

metal_fail() {  # why [log]
  echo "metal: FAILED: $1" >&2
  if [ -n "${2:-}" ] && [ -f "$2" ]; then
    echo "---- serial log ($2) ----" >&2
    tr -d '\r' <"$2" >&2
    echo "---- end of serial log ----" >&2
  fi
  exit 1
}

metal_qemu() {  # log kernel cmdline qemu-args...
  local log=$1 kernel=$2 cmdline=$3
  shift 3
  command -v qemu-system-i386 >/dev/null || metal_fail "qemu-system-i386 not found: run 'bash scripts/deps.sh'"
  status=0
  timeout "${METAL_TIMEOUT:-90}" qemu-system-i386 -accel tcg -m 32 -display none -monitor none -no-reboot \
    -serial "file:$log" -device isa-debug-exit,iobase=0xf4,iosize=4 \
    -kernel "$kernel" -append "$cmdline" "$@" </dev/null || status=$?
}

metal_expect_pass() {  # log
  local verdict
  verdict=$(tr -d '\r' <"$1" | grep '^verdict:' || true)
  case "$status" in
    "$METAL_PASSED") ;;
    "$METAL_FAILED") metal_fail "the kernel's verdict: ${verdict#verdict: }" "$1" ;;
    124) metal_fail "QEMU did not end within ${METAL_TIMEOUT:-90} s" "$1" ;;
    *) metal_fail "QEMU ended with status $status and no verdict from the kernel (${verdict:-none})" "$1" ;;
  esac
  [ "$verdict" = "verdict: PASS" ] || metal_fail "QEMU said passed, the log says '$verdict'" "$1"
}

# The ne2k_isa card as the runs place it: I/O base 0x300, IRQ 3.
metal_card() {  # netdev-id
  echo "-device ne2k_isa,iobase=0x300,irq=3,netdev=$1,mac=02:00:00:00:00:07"
}
