// Frames between the protocol and the driver. Frames to send wait in a
// fixed pool of packets (one buffer each) until the main loop hands them
// to the driver, in order; a packet is free again once its send is
// completed. Received frames go straight to the protocol's receiver,
// inside the indication.
#ifndef METAL_FRAMES_H
#define METAL_FRAMES_H

#include <cstdint>

namespace metal {

constexpr unsigned kFramePool = 48;

struct FrameCounts {
    std::uint32_t queued, handed, completed, failed, pool_full, received;
    std::uint32_t shortest, longest;  // bytes of frames sent
};

// Binds the frames to the wrapper; `receive` gets each frame that passes
// the filter.
void frames_bind(void (*receive)(const std::uint8_t* frame, std::uint32_t length));
// Queues a frame (14 to 1514 bytes) to be sent; false, counted as
// pool_full, when every packet is in use.
bool frames_queue(const std::uint8_t* frame, std::uint32_t length);
// Hands the queued frames to the driver. From the main loop only.
void frames_pump();
bool frames_waiting();        // queued and not yet handed over
std::uint32_t frames_busy();  // queued or with the driver
const FrameCounts& frames_counts();

}  // namespace metal

#endif  // METAL_FRAMES_H
