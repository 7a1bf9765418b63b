// A one-line progress report for long runs on a terminal: items done, bytes
// when counted, the rate in real time, and a bar with the fraction done
// when it is known. Redrawn in place at most ten times a second, wiped
// when the run ends.
#ifndef TOOLS_PROGRESS_H
#define TOOLS_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace ne2k_tool {

class ProgressBar {
public:
    // `out` null: draws nothing. `unit` names what is counted ("frames").
    explicit ProgressBar(std::ostream* out, std::string unit = "frames");
    ~ProgressBar() { finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // `bytes` 0 leaves the bytes out; `fraction` below 0 when unknown.
    void update(std::uint64_t done, std::uint64_t bytes = 0, double fraction = -1);
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    std::ostream* out_;
    std::string unit_;
    Clock::time_point start_, last_;
    std::size_t width_ = 0;  // of the line drawn last
    bool drawn_ = false;
};

}  // namespace ne2k_tool

#endif  // TOOLS_PROGRESS_H
