// The kernel: boots, loads the driver image, brings the adapter up through
// the wrapper, runs the protocol as the command line asks, halts the
// adapter and prints its verdict.
#include "metal/clock.h"
#include "metal/config.h"
#include "metal/console.h"
#include "metal/cpu.h"
#include "metal/frames.h"
#include "metal/hal.h"
#include "metal/image.h"
#include "metal/options.h"
#include "metal/pool.h"
#include "metal/protocol.h"
#include "metal/verdict.h"
#include "metal/wrapper.h"

namespace metal {
namespace {

constexpr std::uint32_t kMultibootMagic = 0x2BADB002;
constexpr std::uint32_t kMultibootCommandLine = 0x04;  // flags bit: cmdline present

Options options;
std::uint8_t station[6];

// Time, port accesses and stalls of one handler call.
struct Cost {
    std::uint64_t us, ports, stalled;
};
Cost cost_now() { return {now_us(), hal_port_accesses(), hal_stalled_us()}; }
Cost cost_since(const Cost& c) { return {now_us() - c.us, hal_port_accesses() - c.ports, hal_stalled_us() - c.stalled}; }
void print_cost(const char* what, const Cost& c) {
    print("%s in %llu.%03llu ms (%llu port accesses, %llu us of stalls asked)\n", what, c.us / 1000, c.us % 1000,
          c.ports, c.stalled);
}

// Port accesses printed during the calls of `phase` (options.h), if asked.
void trace(unsigned phase, bool on) {
    if (options.trace & phase) hal_trace(on, config_get("IoBaseAddress_1", 0x300));
}

// Runs the adapter until the protocol is done or the time is up: the
// deferred handler when the service routine asked for it, queued frames
// to the driver, the protocol's timers; the processor sleeps between
// interrupts (the clock's tick wakes it at least every 10 ms).
bool run() {
    std::uint64_t deadline = now_us() + std::uint64_t{options.seconds} * 1000000;
    while (!protocol_finished()) {
        if (now_us() >= deadline) return false;
        wrapper_service();
        frames_pump();
        protocol_poll();
        frames_pump();
        bool on = interrupts_off();
        if (!wrapper_deferred_waiting() && !frames_waiting())
            wait_for_interrupt();
        else
            interrupts_restore(on);
    }
    // The last replies reach the driver and complete.
    for (std::uint64_t until = now_us() + 100000; now_us() < until && frames_busy();) {
        wrapper_service();
        frames_pump();
    }
    // Then the adapter goes idle (the last transmission done and served),
    // so the halt meets it as a system's halt usually does.
    for (std::uint64_t until = now_us() + 20000; now_us() < until;) {
        wrapper_service();
        bool on = interrupts_off();
        if (!wrapper_deferred_waiting()) wait_for_interrupt();
        else interrupts_restore(on);
    }
    return true;
}

// A halted card must not raise its line, whatever reaches it from the wire
// (a card may go on storing frames in loopback). The line stays unmasked
// with nothing connected for options.watch ms, so an interrupt there is
// unexpected and fails the run; ISR afterwards tells whether frames came.
void watch_halted_card(std::uint16_t base, unsigned irq) {
    print("after halt: watching IRQ %u for %u ms\n", irq, options.watch);
    std::uint32_t before = unexpected_interrupts();
    irq_watch(irq);
    for (std::uint64_t until = now_us() + std::uint64_t{options.watch} * 1000; now_us() < until;) wait_for_interrupt();
    irq_connect(irq, nullptr);
    std::uint8_t isr = inb(static_cast<std::uint16_t>(base + 7));
    print("after the watch: ISR 0x%02x, %u interrupts on IRQ %u\n", isr, unexpected_interrupts() - before, irq);
}

// Everything the run counted. Null when none of it is a failure, else
// the first failure.
const char* report(bool finished) {
    const WrapperCounts& w = wrapper_counts();
    const FrameCounts& f = frames_counts();
    print("wrapper: %u interrupts (%u recognized, %u declined), %u deferred runs (%u dropped at halt), "
          "%u enable calls, %u synchronized calls\n",
          w.isr_calls, w.isr_recognized, w.isr_declined, w.deferred_runs, w.deferred_dropped, w.enable_calls,
          w.sync_calls);
    print("wrapper: %u indications (%u filtered out, %u up, %u through transfer-data), %u receive completes\n",
          w.indications, w.filtered, w.indicated_up, w.transfers, w.indicate_completes);
    print("wrapper: %u sends, %u completed, %u failed; frames %u..%u bytes\n", w.sends, w.send_completions,
          w.send_failures, f.queued ? f.shortest : 0, f.longest);
    print("wrapper: %u event-log entries, %u problems, %u unexpected interrupts, pool high water %u bytes\n",
          w.event_log_entries, w.problems, unexpected_interrupts(), pool_high_water());
    bool protocol_passed = protocol_report();
    if (f.pool_full || f.failed || f.completed != f.handed)
        print("frames: %u sent, %u completed, %u failed, %u refused (pool full)\n", f.handed, f.completed, f.failed,
              f.pool_full);
    if (w.event_log_entries) return "the driver wrote to the event log";
    if (unexpected_interrupts()) return "an unexpected interrupt";
    if (w.isr_declined) return "the service routine declined an interrupt";
    if (w.problems) return "the wrapper saw the driver misbehave";
    if (f.pool_full || f.failed || f.completed != f.handed || w.send_failures) return "a send failed or was lost";
    if (!finished) {
        print("run: the time ran out (seconds=%u)\n", options.seconds);
        return "the time ran out";
    }
    if (!protocol_passed) return "frames were lost or corrupted";
    return nullptr;
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
    print("driver: DriverEntry registered its handlers; INIT discarded\n");

    clock_start_tick();
    interrupts_on();
    trace(kTraceInit, true);
    Cost c = cost_now();
    NDIS_STATUS s = wrapper_initialize(station);
    trace(kTraceInit, false);
    print_cost(s == NDIS_STATUS_SUCCESS ? "initialize: success" : "initialize: FAILED", cost_since(c));
    if (s != NDIS_STATUS_SUCCESS) fail("the adapter did not initialize");
    print("adapter: station %02x:%02x:%02x:%02x:%02x:%02x, ports 0x%x, IRQ %d\n", station[0], station[1], station[2],
          station[3], station[4], station[5], wrapper_io_base(), wrapper_irq());
    ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
    if (wrapper_set(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4) != NDIS_STATUS_SUCCESS)
        fail("the driver refused the packet filter");
    // A reset after the filter is set: the run that follows shows that the
    // adapter receives as the filter says after it.
    if (options.reset) {
        trace(kTraceReset, true);
        c = cost_now();
        bool addressing = false;
        s = wrapper_reset(&addressing);
        trace(kTraceReset, false);
        print_cost(s == NDIS_STATUS_SUCCESS ? "reset: success" : "reset: FAILED", cost_since(c));
        if (s != NDIS_STATUS_SUCCESS) fail("the adapter did not reset");
    }
    if (!protocol_start(options, station)) fail("the protocol cannot start with these addresses");

    trace(kTraceRun, true);
    c = cost_now();
    bool finished = run();
    Cost ran = cost_since(c);
    trace(kTraceRun, false);
    print("run: %llu.%03llu s, %llu port accesses\n", ran.us / 1000000, ran.us / 1000 % 1000, ran.ports);

    trace(kTraceHalt, true);
    c = cost_now();
    const unsigned irq = static_cast<unsigned>(wrapper_irq());
    wrapper_halt();
    trace(kTraceHalt, false);
    print_cost("halt", cost_since(c));
    // What the halt left the controller in, read from its page 0 (reads
    // only: CR, ISR).
    std::uint16_t base = static_cast<std::uint16_t>(wrapper_io_base());
    std::uint8_t cr = inb(base), isr = inb(static_cast<std::uint16_t>(base + 7));
    print("after halt: CR 0x%02x, ISR 0x%02x%s\n", cr, isr,
          (cr & 0x03) == 0x02 ? " (the controller is left started)" : "");
    if (options.watch) watch_halted_card(base, irq);
    if (pool_live_blocks()) wrapper_problem("%u blocks of the pool were never freed", pool_live_blocks());
    const char* why = report(finished);
    finish(!why, why);
}
