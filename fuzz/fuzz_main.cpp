// libFuzzer entry point; NE2K_HARNESS names the harness of fuzz/harnesses.h
// this fuzzer runs. A finding prints what went wrong and aborts, so that
// libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "fuzz/harnesses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string fault = fuzz::NE2K_HARNESS(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "finding: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
