// Dispatch: calls into the driver counted while they run, the service
// routine and the deferred handler delivered between them, and
// NdisMSynchronizeWithInterrupt.
#include "sim/dispatch.h"

#include "sim/host.h"

namespace sim {

namespace {
// A deferred handler asked for and not held back.
bool deferred_waiting(const CallState& s) { return s.deferred_requested && !s.deferred_held; }
}  // namespace

const char* entry_name(Entry entry) {
    switch (entry) {
    case Entry::Initialize: return "InitializeHandler";
    case Entry::Send: return "SendHandler";
    case Entry::Query: return "QueryInformationHandler";
    case Entry::Set: return "SetInformationHandler";
    case Entry::Reset: return "ResetHandler";
    case Entry::Halt: return "HaltHandler";
    case Entry::TransferData: return "TransferDataHandler";
    case Entry::Isr: return "ISRHandler";
    case Entry::HandleInterrupt: return "HandleInterruptHandler";
    case Entry::EnableInterrupt: return "EnableInterruptHandler";
    case Entry::DisableInterrupt: return "DisableInterruptHandler";
    case Entry::Synchronized: return "synchronized routine";
    }
    return "?";
}

hw::Nanos Dispatcher::now() const { return host_.now(); }

void Dispatcher::Span::begin(Dispatcher& dispatcher, const Adapter& adapter, Entry entry) {
    dispatcher_ = &dispatcher;
    adapter_ = &adapter;
    entry_ = entry;
    observer_->call_begin(adapter, entry, dispatcher.now());
}

void Dispatcher::Span::end() { observer_->call_end(*adapter_, entry_, dispatcher_->now()); }

void Dispatcher::set_isr_context(bool active) { host_.bus().set_isr_context(active); }

void Dispatcher::raise(UINT vector) {
    for (std::size_t i = 0; i < host_.adapter_count(); i++) {
        Adapter& a = host_.adapter(i);
        if (a.interrupt().connected && a.interrupt().vector == vector) {
            a.calls().edge_pending = true;
            pending_ = true;
        }
    }
}

void Dispatcher::deliver_pending() {
    pending_ = false;
    bool again = true;
    while (again) {
        again = false;
        for (std::size_t i = 0; i < host_.adapter_count(); i++) {
            Adapter& a = host_.adapter(i);
            CallState& s = a.calls();
            if (s.edge_pending) {
                if (!a.interrupt().connected) {
                    s.edge_pending = false;
                } else if (s.isr_depth || s.sync_depth || sync_active_) {
                    if (s.sync_depth || sync_active_) s.held = true;
                    pending_ = true;  // delivered when the holder ends
                } else {
                    s.edge_pending = false;
                    if (s.held) a.counters().held_off++;
                    s.held = false;
                    run_isr(a);
                    again = true;
                }
            }
            if (a.calls_queued()) {
                if (s.depth == 0 && !s.after_busy && isr_active_ == 0 && sync_active_ == 0) {
                    after_call(a);
                    again = true;
                } else {
                    pending_ = true;
                }
            }
            if (deferred_waiting(s)) {
                if (deferred_may_run(a)) {
                    run_deferred(a);
                    after_call(a);
                    again = true;
                } else {
                    pending_ = true;
                }
            }
        }
    }
}

bool Dispatcher::work_waiting() const {
    for (std::size_t i = 0; i < host_.adapter_count(); i++) {
        const Adapter& a = host_.adapter(i);
        const CallState& s = a.calls();
        if ((s.edge_pending && a.interrupt().connected) || deferred_waiting(s) || a.sends_queued() ||
            a.calls_queued())
            return true;
    }
    return false;
}

// No call of the adapter runs, no service or synchronized routine of any
// adapter, and the adapter is not halted.
bool Dispatcher::deferred_may_run(const Adapter& a) const {
    return a.calls().depth == 0 && isr_active_ == 0 && sync_active_ == 0 && !a.halted();
}

void Dispatcher::after_call(Adapter& a) {
    CallState& s = a.calls();
    if (s.depth != 0 || s.after_busy) return;
    s.after_busy = true;
    while (s.depth == 0) {
        if (a.send_queued() || a.call_queued()) continue;
        if (deferred_waiting(s) && deferred_may_run(a)) {
            run_deferred(a);
            deliver();  // an edge held off during the enable handler
            continue;
        }
        break;
    }
    s.after_busy = false;
}

void Dispatcher::run_isr(Adapter& a) {
    W_ISR_HANDLER isr = host_.characteristics().ISRHandler;
    if (!isr) {
        host_.problem("interrupt with no ISR handler registered");
        return;
    }
    BOOLEAN recognized = FALSE, queue = FALSE;
    a.counters().isr_calls++;
    {
        Call in(*this, a.calls(), CallKind::Isr);
        Span span(*this, a, Entry::Isr);
        isr(&recognized, &queue, a.context());
    }
    if (observer_) observer_->isr_result(a, recognized, queue, now());
    if (recognized) a.counters().isr_recognized++;
    if (queue && a.interrupt().connected) {
        a.calls().deferred_requested = true;
        pending_ = true;
    }
}

void Dispatcher::run_deferred(Adapter& a) {
    a.calls().deferred_requested = false;
    a.counters().deferred_runs++;
    W_HANDLE_INTERRUPT_HANDLER deferred = host_.characteristics().HandleInterruptHandler;
    Call in(*this, a.calls(), CallKind::Handler);
    if (deferred) {
        Span span(*this, a, Entry::HandleInterrupt);
        deferred(a.context());
    }
    if (a.interrupt().connected) enable(a);
}

// The enable handler runs synchronized with the service routine, as the
// wrapper re-arms a card: an edge its IMR write raises is delivered after it.
// The driver depends on it (platform/ndis.h, at the handler types): its
// enable handler writes IMR before it sets InterruptsArmed, and a service
// routine run between the two would decline an edge that never comes again.
void Dispatcher::enable(Adapter& a) {
    W_ENABLE_INTERRUPT_HANDLER handler = host_.characteristics().EnableInterruptHandler;
    if (!handler) return;
    a.counters().enable_calls++;
    Call in(*this, a.calls(), CallKind::Synchronized);
    Span span(*this, a, Entry::EnableInterrupt);
    handler(a.context());
}

void Dispatcher::disable(Adapter& a) {
    W_DISABLE_INTERRUPT_HANDLER handler = host_.characteristics().DisableInterruptHandler;
    if (!handler) return;
    Call in(*this, a.calls(), CallKind::Synchronized);
    Span span(*this, a, Entry::DisableInterrupt);
    handler(a.context());
}

}  // namespace sim

extern "C" BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                                          PVOID SynchronizeFunction,
                                                          PVOID SynchronizeContext) {
    sim::Host& host = sim::Host::current();
    auto function = reinterpret_cast<W_SYNCHRONIZE_FUNCTION>(SynchronizeFunction);
    sim::Adapter* a = host.find_adapter(Interrupt);
    if (!a || !a->interrupt().connected) {
        host.problem("NdisMSynchronizeWithInterrupt: interrupt not connected");
        return function(SynchronizeContext);
    }
    sim::Dispatcher& dispatcher = host.dispatch();
    a->counters().sync_calls++;
    BOOLEAN result;
    {
        sim::Dispatcher::Call in(dispatcher, a->calls(), sim::Dispatcher::CallKind::Synchronized);
        sim::Dispatcher::Span span(dispatcher, *a, sim::Entry::Synchronized);
        result = function(SynchronizeContext);
    }
    dispatcher.deliver();  // an edge the routine held off
    return result;
}
