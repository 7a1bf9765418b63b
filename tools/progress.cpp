#include "tools/progress.h"

#include <algorithm>
#include <ostream>
#include <string>

namespace ne2k_tool {

void ProgressBar::update(std::uint64_t done) {
    if (!out_) return;
    unsigned pct = static_cast<unsigned>(done * 100 / total_);
    if (pct == last_) return;
    last_ = pct;
    std::string bar(30, '.');
    std::fill(bar.begin(), bar.begin() + pct * 30 / 100, '#');
    *out_ << "\r  [" << bar << "] " << pct << "%  " << done << "/" << total_ << " frames" << std::flush;
}

void ProgressBar::finish() {
    if (out_ && last_ != ~0u) *out_ << "\r" << std::string(60, ' ') << "\r" << std::flush;
}

}  // namespace ne2k_tool
