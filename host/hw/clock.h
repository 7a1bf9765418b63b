// Virtual clock shared by the emulated hardware and the host platform.
// Time is in nanoseconds. Events run in time order; events due at the same
// time run in the order they were scheduled. Nothing here reads real time,
// so the same scenario always gives the same trace.
#ifndef HW_CLOCK_H
#define HW_CLOCK_H

#include <cstdint>
#include <functional>
#include <vector>

namespace hw {

using Nanos = std::uint64_t;
constexpr Nanos kMicrosecond = 1000;
constexpr Nanos kNever = ~Nanos{0};

class Clock {
public:
    using EventId = std::uint64_t;

    Nanos now() const { return now_; }

    // Runs fn when the clock reaches `at` (at once on the next advance if
    // `at` is not after now). Returns an id for cancel().
    EventId schedule(Nanos at, std::function<void()> fn);
    void cancel(EventId id);

    // Moves time forward by dt, running every event that falls due on the way.
    void advance(Nanos dt) { run_until(now_ + dt); }
    void run_until(Nanos t) {
        if (!heap_.empty() && heap_.front().at <= t) pop_due(t);
        if (t > now_) now_ = t;
    }

    // Earliest pending event, or kNever.
    Nanos next_deadline() const { return heap_.empty() ? kNever : heap_.front().at; }
    // Jumps to the earliest pending event and runs everything due then.
    // Returns false when nothing is pending.
    bool run_next();

private:
    struct Event {
        Nanos at;
        EventId id;
        std::function<void()> fn;
    };
    void pop_due(Nanos t);

    Nanos now_ = 0;
    EventId next_id_ = 1;
    std::vector<Event> heap_;  // min-heap on (at, id)
};

}  // namespace hw

#endif  // HW_CLOCK_H
