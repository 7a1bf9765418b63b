#include "tools/progress.h"

#include <cstdio>
#include <ostream>

namespace ne2k_tool {

ProgressBar::ProgressBar(std::ostream* out, std::string unit)
    : out_(out), unit_(std::move(unit)), start_(Clock::now()), last_(start_) {}

void ProgressBar::update(std::uint64_t done, std::uint64_t bytes, double fraction) {
    if (!out_) return;
    Clock::time_point now = Clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    std::string line = "  ";
    char part[64];
    if (fraction >= 0) {
        if (fraction > 1) fraction = 1;
        std::string bar(30, '.');
        bar.replace(0, static_cast<std::size_t>(fraction * 30), static_cast<std::size_t>(fraction * 30), '#');
        std::snprintf(part, sizeof part, "] %3u%%  ", static_cast<unsigned>(fraction * 100));
        line += "[" + bar + part;
    }
    std::snprintf(part, sizeof part, "%llu %s", static_cast<unsigned long long>(done), unit_.c_str());
    line += part;
    if (bytes) {
        std::snprintf(part, sizeof part, "  %.1f MB", double(bytes) / 1e6);
        line += part;
    }
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds >= 0.1) {
        std::snprintf(part, sizeof part, "  %.0f %s/s", double(done) / seconds, unit_.c_str());
        line += part;
    }
    std::size_t width = line.size();
    if (width < width_) line += std::string(width_ - width, ' ');
    width_ = width;
    drawn_ = true;
    *out_ << '\r' << line << std::flush;
}

void ProgressBar::finish() {
    if (!out_ || !drawn_) return;
    *out_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    drawn_ = false;
    out_ = nullptr;
}

}  // namespace ne2k_tool
