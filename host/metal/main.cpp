// The kernel: boots, loads the driver image, brings the adapter up through
// the wrapper, runs what the command line asks, halts the adapter and
// prints its verdict.
#include "metal/clock.h"
#include "metal/config.h"
#include "metal/console.h"
#include "metal/cpu.h"
#include "metal/frames.h"
#include "metal/hal.h"
#include "metal/image.h"
#include "metal/options.h"
#include "metal/pool.h"
#include "metal/verdict.h"
#include "metal/wrapper.h"

namespace metal {
namespace {

constexpr std::uint32_t kMultibootMagic = 0x2BADB002;
constexpr std::uint32_t kMultibootCommandLine = 0x04;  // flags bit: cmdline present

struct Timed {
    std::uint64_t us, ports, stalled;
};

Timed measure_start() { return {now_us(), hal_port_accesses(), hal_stalled_us()}; }
Timed measure_since(const Timed& t) {
    return {now_us() - t.us, hal_port_accesses() - t.ports, hal_stalled_us() - t.stalled};
}
void print_timed(const char* what, const Timed& t) {
    print("%s in %llu.%03llu ms (%llu port accesses, %llu us of stalls asked)\n", what, t.us / 1000, t.us % 1000,
          t.ports, t.stalled);
}

Options options;
std::uint8_t station[6];

// Bring-up: one ARP request for the target, and the frames that come back.
std::uint32_t arp_replies = 0;
void bringup_receive(const std::uint8_t* f, std::uint32_t length) {
    print("received %u bytes from %02x:%02x:%02x:%02x:%02x:%02x type 0x%02x%02x\n", length, f[6], f[7], f[8], f[9],
          f[10], f[11], f[12], f[13]);
    if (length >= 42 && f[12] == 0x08 && f[13] == 0x06 && f[21] == 2) arp_replies++;
}

void run_bringup() {
    std::uint8_t f[60] = {};
    for (int i = 0; i < 6; i++) f[i] = 0xFF, f[6 + i] = station[i], f[22 + i] = station[i];
    const std::uint8_t head[] = {0x08, 0x06, 0, 1, 0x08, 0, 6, 4, 0, 1};
    for (int i = 0; i < 10; i++) f[12 + i] = head[i];
    for (int i = 0; i < 4; i++) f[28 + i] = options.ip[i], f[38 + i] = options.target[i];
    frames_bind(bringup_receive);
    frames_queue(f, 60);
    std::uint64_t until = now_us() + 2000000;
    while (now_us() < until && !arp_replies) {
        wrapper_service();
        frames_pump();
        bool on = interrupts_off();
        if (!wrapper_deferred_waiting() && !frames_waiting()) wait_for_interrupt();
        interrupts_restore(on);
    }
    print("bring-up: %u ARP replies\n", arp_replies);
}

}  // namespace
}  // namespace metal

using namespace metal;

extern "C" [[noreturn]] void metal_main(std::uint32_t magic, const std::uint32_t* info) {
    console_setup();
    print("\nne2k metal: a kernel that runs the driver image ne2000.sys\n");
    cpu_setup();
    clock_calibrate();
    print("clock: time-stamp counter at %llu kHz, measured against the PIT\n", clock_khz());
    if (magic != kMultibootMagic) fail("not started by a multiboot loader");
    const char* line = info[0] & kMultibootCommandLine ? reinterpret_cast<const char*>(info[4]) : "";
    print("command line: %s\n", line);
    if (!options_parse(line, &options)) fail("the command line has a mistake");
    config_print();

    LoadedImage image = image_load();
    print("image: %u bytes, mapped at 0x%08x (linked for 0x%08x), %u bytes in memory\n", image.file_size, image.base,
          image.preferred_base, image.size);
    if (!wrapper_load_driver(image.entry)) fail("DriverEntry did not register the driver");
    image_discard();
    print("driver: DriverEntry registered a 3.0 handler table; INIT discarded\n");

    interrupts_on();
    clock_start_tick();
    Timed t = measure_start();
    if (options.trace != Trace::None) hal_trace(true, config_get("IoBaseAddress_1", 0x300));
    NDIS_STATUS s = wrapper_initialize(station);
    print_timed(s == NDIS_STATUS_SUCCESS ? "initialize: success" : "initialize: FAILED", measure_since(t));
    if (s != NDIS_STATUS_SUCCESS) fail("the adapter did not initialize");
    print("adapter: station %02x:%02x:%02x:%02x:%02x:%02x, ports 0x%x, IRQ %d\n", station[0], station[1], station[2],
          station[3], station[4], station[5], wrapper_io_base(), wrapper_irq());
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    if (wrapper_set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4) != NDIS_STATUS_SUCCESS)
        fail("the driver refused the packet filter");

    run_bringup();

    t = measure_start();
    wrapper_halt();
    print_timed("halt", measure_since(t));
    finish(arp_replies > 0 && wrapper_counts().problems == 0, "no ARP reply");
}
