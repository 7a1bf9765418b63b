#include "hw/clock.h"

#include <algorithm>

namespace hw {

namespace {
struct Later {
    template <class E>
    bool operator()(const E& a, const E& b) const {
        return a.at != b.at ? a.at > b.at : a.id > b.id;
    }
};
}  // namespace

Clock::EventId Clock::schedule(Nanos at, std::function<void()> fn) {
    EventId id = next_id_++;
    heap_.push_back(Event{at, id, std::move(fn)});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    return id;
}

void Clock::cancel(EventId id) {
    auto it = std::find_if(heap_.begin(), heap_.end(), [id](const Event& e) { return e.id == id; });
    if (it == heap_.end()) return;
    heap_.erase(it);
    std::make_heap(heap_.begin(), heap_.end(), Later{});
}

void Clock::pop_due(Nanos t) {
    while (!heap_.empty() && heap_.front().at <= t) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        Event e = std::move(heap_.back());
        heap_.pop_back();
        if (e.at > now_) now_ = e.at;
        e.fn();  // may schedule or cancel further events
    }
}

bool Clock::run_next() {
    if (heap_.empty()) return false;
    Nanos t = heap_.front().at;
    if (t < now_) t = now_;
    run_until(t);
    return true;
}

}  // namespace hw
