// Dispatch: the calls the wrapper makes into the driver, counted while they
// run, and the delivery of interrupts (the service routine) and deferred
// handlers between them. NdisMSynchronizeWithInterrupt is in dispatch.cpp.
//
// A rising edge of a device's line (Bus::connect_irq) reaches every adapter
// whose interrupt is connected on that vector. Its service routine is called:
//   - between two port accesses, when the access was made inside a call the
//     wrapper made into the driver (any handler, the deferred handler, a
//     synchronized routine), so it may cut into any handler;
//   - at the next run point otherwise (Host::run_for/run_until/
//     run_until_idle, a stall, Adapter::fire_shared), so test code that
//     pokes the card or calls a driver routine itself is not cut into;
//   - never while that adapter's service routine, a synchronized routine or
//     the enable or disable handler runs: then right after it. This is the
//     contract of platform/ndis.h the driver's enable handler needs (it
//     writes IMR, then sets InterruptsArmed); Adapter::counters().held_off
//     counts the edges delivered late for it.
// When the service routine asks for it, the deferred handler and then the
// enable handler run at the next point where no handler of that adapter
// runs: at the end of the current handler call, or at once. Disconnecting
// drops a pending one.
#ifndef SIM_DISPATCH_H
#define SIM_DISPATCH_H

#include "platform/ndis.h"
#include "sim/observer.h"

namespace sim {

class Adapter;
class Host;

// Dispatch's record of one adapter (Adapter::calls()): the calls into its
// driver under way, and what waits for them to end.
struct CallState {
    int depth = 0;       // handler calls under way
    int isr_depth = 0;   // its service routine runs
    int sync_depth = 0;  // a routine synchronized with its service routine runs
    bool edge_pending = false;        // an edge waits for the service routine
    bool held = false;                // ... and waited for a synchronized routine
    bool deferred_requested = false;  // the service routine asked for the deferred handler
    bool deferred_held = false;       // Adapter::hold_deferred
    bool after_busy = false;          // after_call() is running what waited
};

class Dispatcher {
public:
    explicit Dispatcher(Host& host) : host_(host) {}
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    enum class CallKind {
        Handler,       // any handler, the deferred handler, transfer-data
        Isr,           // the service routine (the devices are told it runs)
        Synchronized,  // a synchronized routine, the enable or disable handler
    };
    // One call into the driver for an adapter, counted for its scope: the
    // adapter's counter of its kind and the host's go up, and down again
    // when the scope ends.
    class Call {
    public:
        Call(Dispatcher& dispatcher, CallState& state, CallKind kind)
            : dispatcher_(dispatcher), state_(state), kind_(kind) {
            dispatcher_.enter(state_, kind_);
        }
        ~Call() { dispatcher_.leave(state_, kind_); }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Dispatcher& dispatcher_;
        CallState& state_;
        CallKind kind_;
    };

    // One call into the driver as the observer sees it (Host::set_observer),
    // for its scope: nothing when none is set.
    class Span {
    public:
        Span(Dispatcher& dispatcher, const Adapter& adapter, Entry entry) : observer_(dispatcher.observer_) {
            if (observer_) begin(dispatcher, adapter, entry);
        }
        ~Span() {
            if (observer_) end();
        }
        Span(const Span&) = delete;
        Span& operator=(const Span&) = delete;

    private:
        void begin(Dispatcher& dispatcher, const Adapter& adapter, Entry entry);
        void end();

        Observer* observer_;
        // Set by begin(), read only when observed.
        Dispatcher* dispatcher_;
        const Adapter* adapter_;
        Entry entry_;
    };

    void set_observer(Observer* observer) { observer_ = observer; }
    Observer* observer() const { return observer_; }

    // A call the wrapper made into the driver runs: a port access inside
    // one may be followed at once by a service routine.
    bool in_wrapper_call() const { return wrapper_depth_ > 0; }

    // Runs what became deliverable: service routines of edges, deferred
    // handlers. Nothing to do unless something may be waiting.
    void deliver() {
        if (pending_) deliver_pending();
    }
    // Looks at every adapter for what waits and runs what may run now.
    void deliver_pending();
    // Something may wait (Adapter::call_when_free): the next deliver() looks.
    void wake() { pending_ = true; }

    // A rising edge on an interrupt vector.
    void raise(UINT vector);
    // After a handler call of the adapter has ended: when it was the
    // outermost, makes the sends queued meanwhile, then the deferred
    // handler if it waits.
    void after_call(Adapter& adapter);
    // The enable and disable handlers, synchronized with the service routine.
    void enable(Adapter& adapter);
    void disable(Adapter& adapter);
    // Anything waiting that a run loop should count as work: an edge on a
    // connected interrupt, a deferred handler not held back, a queued send.
    bool work_waiting() const;

private:
    // What a Call counts, on entry and on leaving.
    void enter(CallState& s, CallKind kind) {
        switch (kind) {
        case CallKind::Handler: s.depth++; break;
        case CallKind::Isr: s.isr_depth++; isr_active_++; break;
        case CallKind::Synchronized: s.sync_depth++; sync_active_++; break;
        }
        wrapper_depth_++;
        if (kind == CallKind::Isr) set_isr_context(true);
    }
    void leave(CallState& s, CallKind kind) {
        if (kind == CallKind::Isr) set_isr_context(false);
        wrapper_depth_--;
        switch (kind) {
        case CallKind::Handler: s.depth--; break;
        case CallKind::Isr: isr_active_--; s.isr_depth--; break;
        case CallKind::Synchronized: sync_active_--; s.sync_depth--; break;
        }
    }
    void set_isr_context(bool active);  // tells the devices on the bus
    void run_isr(Adapter& adapter);
    // The deferred handler and then the enable handler, as one handler call.
    void run_deferred(Adapter& adapter);
    bool deferred_may_run(const Adapter& adapter) const;
    hw::Nanos now() const;

    Host& host_;
    Observer* observer_ = nullptr;
    bool pending_ = false;  // an edge or a deferred handler may be waiting
    int wrapper_depth_ = 0;  // calls into the driver, any adapter and kind
    int isr_active_ = 0;    // service routines running, any adapter
    int sync_active_ = 0;   // synchronized routines running, any adapter
};

}  // namespace sim

#endif  // SIM_DISPATCH_H
