// A one-line progress bar for long runs on a terminal: redrawn in place when
// the whole percentage moves, wiped when the run ends.
#ifndef TOOLS_PROGRESS_H
#define TOOLS_PROGRESS_H

#include <cstdint>
#include <iosfwd>

namespace ne2k_tool {

class ProgressBar {
public:
    // `out` null: draws nothing.
    ProgressBar(std::ostream* out, std::uint64_t total) : out_(out), total_(total ? total : 1) {}
    void update(std::uint64_t done);
    void finish();

private:
    std::ostream* out_;
    std::uint64_t total_;
    unsigned last_ = ~0u;
};

}  // namespace ne2k_tool

#endif  // TOOLS_PROGRESS_H
