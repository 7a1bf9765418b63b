// Frames per second end to end, as bench_e2e measures them (adapter A sends,
// B receives and takes each frame whole through transfer-data; 16-bit ISA
// boards), timed with the steady clock: for the linked driver and, with
// --image, for the driver image under the loader in the same process (the
// 32-bit build). Drivers take turns for `rounds` rounds; the best round
// counts, the one least disturbed by other work on the machine.
//
//   bench_rate [--image PATH] [--seconds S] [--rounds N] [bytes...]   (default 60 1514)
//
// One line per driver and size: "<driver> <bytes> <frames per second>".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/pair.h"

namespace {

// Frames per second of `seconds` of sending on a pair already warmed up.
double Rate(bench::Pair& pair, double seconds) {
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    std::uint64_t frames = 0;
    double elapsed = 0;
    while (elapsed < seconds) {
        for (int i = 0; i < 200; i++) pair.send_one();
        frames += 200;
        elapsed = std::chrono::duration<double>(clock::now() - start).count();
    }
    return static_cast<double>(frames) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image_path;
    double seconds = 0.5;
    int rounds = 3;
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--image") == 0 && i + 1 < argc) image_path = argv[++i];
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    }
    if (sizes.empty()) sizes = {60, 1514};
    const char* word = sizeof(void*) == 4 ? "32-bit" : "64-bit";

    std::vector<std::string> drivers{std::string(word) + "-linked"};
    if (!image_path.empty()) drivers.push_back(std::string(word) + "-image");

    for (std::size_t len : sizes) {
        std::vector<double> best(drivers.size(), 0);
        for (int r = 0; r < rounds; r++) {
            for (std::size_t d = 0; d < drivers.size(); d++) {
                std::unique_ptr<sim::DriverImage> image;
                if (d == 1) {
                    std::string error;
                    image = sim::DriverImage::open(image_path, &error);
                    if (!image) {
                        std::fprintf(stderr, "bench_rate: %s\n", error.c_str());
                        return 1;
                    }
                }
                bench::Pair pair(hw::BoardKind::Isa16, hw::kMicrosecond, image.get());
                pair.prepare(len);
                for (int i = 0; i < 300; i++) pair.send_one();  // buffers grown, caches warm
                double rate = Rate(pair, seconds);
                if (!pair.healthy()) {
                    std::fprintf(stderr, "bench_rate: a frame was lost or damaged (%s)\n", drivers[d].c_str());
                    return 1;
                }
                if (rate > best[d]) best[d] = rate;
            }
        }
        for (std::size_t d = 0; d < drivers.size(); d++)
            std::printf("%s %zu %.0f\n", drivers[d].c_str(), len, best[d]);
    }
    return 0;
}
