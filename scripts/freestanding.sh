#!/usr/bin/env bash
# Checks that host/net/ builds as a bare-metal kernel builds it: 32-bit x86,
# freestanding, no exceptions or RTTI, no library, warnings as errors, at
# -O0, -O2 and -O3. Linked together with a probe that puts a host, a ping
# client and a frame sink at namespace scope, the objects may need from
# outside only memcpy, memset, memmove and memcmp (which a compiler may
# call for copies even here), and _GLOBAL_OFFSET_TABLE_ (the linker's); they
# must have no static constructors (.init_array, .ctors), and the probe's
# objects must lie in .bss, not in the image's initialized data.
#
#   bash scripts/freestanding.sh [ROOT]     (default: the checkout)
set -euo pipefail
root=$(cd "${1:-"$(dirname "$0")/.."}" && pwd)
work=$(mktemp -d /tmp/net-freestanding.XXXXXX)
trap 'rm -rf "$work"' EXIT

cat > "$work/probe.cpp" <<'EOF'
#include "net/ipv4_host.h"
#include "net/ping.h"
namespace {
struct Sink : net::FrameSink {
    unsigned frames = 0;  // initialized: the object needs no constructor run
    bool send(const uint8_t*, size_t) override { return ++frames != 0; }
};
Sink sink;
net::Ipv4Host host;
net::Pinger ping;
}  // namespace
extern "C" unsigned probe(const uint8_t* frame, size_t len, net::Nanos now) {
    host.start({{{2, 0, 0, 0, 0, 1}}, net::ip4(10, 0, 2, 15), 24}, sink);
    net::PingPlan plan;
    plan.target = net::ip4(10, 0, 2, 2);
    ping.start(host, plan, now);
    host.receive(frame, len, now);
    host.poll(now);
    return sink.frames + ping.stats().received + unsigned(ping.stats().rtt_avg()) +
           unsigned(host.stats().count(net::Ignored::BadSource)) + *net::ignored_name(net::Ignored::Ipv6);
}
EOF

flags=(-m32 -std=c++17 -ffreestanding -fno-exceptions -fno-rtti -nostdlib -fno-builtin -Wall -Wextra -Werror
       -I "$root/host")
allowed=" memcpy memset memmove memcmp _GLOBAL_OFFSET_TABLE_ "
bad=0
for opt in -O0 -O2 -O3; do
    objs=()
    for src in "$root"/host/net/*.cpp "$work/probe.cpp"; do
        obj="$work/$(basename "$src" .cpp)$opt.o"
        g++ "${flags[@]}" "$opt" -c "$src" -o "$obj"
        objs+=("$obj")
    done
    ld -m elf_i386 -r -o "$work/all$opt.o" "${objs[@]}"
    for sym in $(nm -u "$work/all$opt.o" | awk '{print $2}'); do
        if [[ "$allowed" != *" $sym "* ]]; then
            echo "freestanding: host/net/ at $opt needs $sym from outside" >&2
            bad=1
        fi
    done
    if readelf -SW "$work/all$opt.o" | grep -qE '\.(init_array|ctors)'; then
        echo "freestanding: host/net/ at $opt has a static constructor" >&2
        bad=1
    fi
    data=$(size -A "$work/all$opt.o" | awk '$1 == ".data" {print $2}')
    if [ "${data:-0}" -gt 1024 ]; then
        echo "freestanding: host/net/ at $opt has ${data} bytes of initialized data: objects at namespace scope should lie in .bss" >&2
        bad=1
    fi
done
if [ "$bad" -ne 0 ]; then
    exit 1
fi
echo "freestanding: host/net/ builds for a bare-metal 32-bit kernel (needs only memcpy, memset, memmove, memcmp)"
