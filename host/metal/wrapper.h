// A miniport wrapper for one adapter, in the kernel: the NDIS.SYS
// operations the image imports (wrapper.cpp, config.cpp) and the calls into
// the driver's handlers, made the way the target's wrapper makes them:
//
// - Handlers are called one at a time, from the kernel's main loop, with
//   interrupts on; only the service routine runs beside them.
// - The service routine runs at interrupt time, from the 8259 line the
//   driver connected. When it asks for the deferred handler, the main loop
//   runs that handler with interrupts on (the service routine can preempt
//   it), then the enable handler.
// - The enable handler and the routines given to
//   NdisMSynchronizeWithInterrupt run with interrupts off.
// - A received frame goes through the wrapper's exact Ethernet filter
//   (directed, broadcast, multicast list, all-multicast, promiscuous, as
//   the packet filter set says) to the bound protocol, which gets it whole:
//   from the lookahead when that holds all of it, else through the
//   driver's transfer-data handler, called inside the indication.
// - A send the handler does not keep (any status but pending) is completed
//   by the wrapper; the driver completes the others with
//   NdisMSendComplete.
//
// What the wrapper sees go wrong (a call out of order, a completion of a
// packet the driver does not have, an event-log entry, an interrupt the
// service routine declines) is printed and counted; any of it fails the run.
#ifndef METAL_WRAPPER_H
#define METAL_WRAPPER_H

#include <cstdint>

#include "platform/ndis.h"

namespace metal {

// The protocol bound above the adapter.
struct Binding {
    // A frame that passed the filter, header and data, valid during the call.
    void (*receive)(const std::uint8_t* frame, std::uint32_t length);
    // A packet given to wrapper_send is back, with its status.
    void (*send_complete)(NDIS_PACKET* packet, NDIS_STATUS status);
};

struct WrapperCounts {
    std::uint32_t isr_calls, isr_recognized, isr_declined, deferred_runs, deferred_dropped;
    std::uint32_t enable_calls, sync_calls;
    std::uint32_t indications, indicated_up, filtered, transfers, indicate_completes;
    std::uint32_t sends, send_completions, send_failures;
    std::uint32_t event_log_entries, problems;
};

// Calls DriverEntry of the loaded image; true when it registered a 3.0
// handler table and returned success.
bool wrapper_load_driver(DRIVER_INITIALIZE entry);
// The driver's initialize handler for the one adapter. On success the
// adapter's station address is in `station`.
NDIS_STATUS wrapper_initialize(std::uint8_t station[6]);
NDIS_STATUS wrapper_query(NDIS_OID oid, void* buffer, ULONG length, ULONG* written);
// A successful set of the packet filter or the multicast list is what
// the Ethernet filter applies from then on.
NDIS_STATUS wrapper_set(NDIS_OID oid, void* buffer, ULONG length);
NDIS_STATUS wrapper_send(NDIS_PACKET* packet);
NDIS_STATUS wrapper_reset(bool* addressing_reset);
void wrapper_halt();
// Runs the deferred handler, then the enable handler, when the service
// routine asked for them; true when it did. From the main loop only.
bool wrapper_service();
bool wrapper_deferred_waiting();
void wrapper_bind(const Binding& binding);
const WrapperCounts& wrapper_counts();
// The I/O base and interrupt line the driver registered (0 before).
std::uint32_t wrapper_io_base();
int wrapper_irq();
// Prints "problem: ..." and counts it.
void wrapper_problem(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace metal

#endif  // METAL_WRAPPER_H
