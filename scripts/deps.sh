#!/usr/bin/env bash
# Installs what this project needs beyond a fresh machine (g++, cmake,
# GoogleTest and Google Benchmark are there already). Idempotent: installs
# only packages that are missing. Needs root (apt-get).
set -euo pipefail

# Build: compiler, CMake, GoogleTest, Google Benchmark, libpcap (captures),
# libdeflate (the segment's FCS; lib32z1-dev in the 32-bit build),
# g++-multilib (the 32-bit build that runs the driver image), the MinGW-w64
# i686 cross compiler and binutils (the driver image ne2000.sys). Tests:
# tcpdump reads our captures back and makes tools/sample.pcap; iproute2 and iputils-ping drive the TAP bridge test;
# python3 compares the README's ne2k examples with what they print (and reads ne2k's --json in the metal bridge run); qemu-user runs the 32-bit build's programs where the
# kernel runs no 32-bit programs. Fuzzing (scripts/fuzz.sh): clang and its
# libFuzzer runtime. The kernel that boots the image on PC emulators
# (host/metal): QEMU's system emulator, GRUB and xorriso with mtools for its
# bootable ISO, Bochs with its BIOS images (bochs-term stands for the display
# package Bochs asks for, the smallest of them; the runs use Bochs' own RFB display).
packages=(cmake g++ libgtest-dev libbenchmark-dev libpcap-dev g++-multilib libdeflate-dev lib32z1-dev
          gcc-mingw-w64-i686 g++-mingw-w64-i686 binutils-mingw-w64-i686 qemu-user
          tcpdump iproute2 iputils-ping python3 clang libclang-rt-14-dev
          qemu-system-x86 grub-pc-bin grub-common xorriso mtools bochs bochs-term bochsbios vgabios)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
