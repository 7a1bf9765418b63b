// What the wrapper does around the driver, told as it happens to one
// observer (Host::set_observer), for timelines: each call into the driver
// from its start to its end, the service routine's answer, the stalls, and
// every change of a device's interrupt line, all on the virtual clock.
// With no observer set, each place costs one test of a pointer.
#ifndef SIM_OBSERVER_H
#define SIM_OBSERVER_H

#include "hw/clock.h"
#include "platform/ndis.h"

namespace hw {
class PortDevice;
}

namespace sim {

class Adapter;

// The calls into the driver, named as the handler table names them.
enum class Entry : unsigned char {
    Initialize,
    Send,
    Query,
    Set,
    Reset,
    Halt,
    TransferData,
    Isr,               // the interrupt service routine
    HandleInterrupt,   // the deferred handler
    EnableInterrupt,
    DisableInterrupt,
    Synchronized,      // a routine run through NdisMSynchronizeWithInterrupt
};
// "SendHandler", "ISRHandler", "HandleInterruptHandler", ...
const char* entry_name(Entry entry);

class Observer {
public:
    virtual ~Observer() = default;
    // A call into the driver for `adapter` begins or ends; calls nest (a
    // service routine may cut into a handler).
    virtual void call_begin(const Adapter& adapter, Entry entry, hw::Nanos time) = 0;
    virtual void call_end(const Adapter& adapter, Entry entry, hw::Nanos time) = 0;
    // What the service routine answered, as it returns.
    virtual void isr_result(const Adapter& adapter, bool recognized, bool queue_deferred, hw::Nanos time) = 0;
    // KeStallExecutionProcessor: `length` of virtual time from `time`.
    virtual void stall(hw::Nanos time, hw::Nanos length) = 0;
    // A device's interrupt line, connected to `vector`, changed level.
    virtual void irq_line(const hw::PortDevice& device, UINT vector, bool level, hw::Nanos time) = 0;
};

}  // namespace sim

#endif  // SIM_OBSERVER_H
