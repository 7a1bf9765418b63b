// Memory for the driver: a fixed pool, handed out in 16-byte-aligned
// blocks and taken back whole. Each block is filled with 0xCC when handed
// out (fresh memory is not zero), and the pool keeps what it handed out so
// that a free of an unknown address, or with a length other than the
// allocation's, is a problem the run reports.
#ifndef METAL_POOL_H
#define METAL_POOL_H

#include <cstdint>

namespace metal {

constexpr std::uint32_t kPoolBytes = 64 * 1024;

// A block of `length` bytes, or null when the pool has no room.
void* pool_allocate(std::uint32_t length, std::uint32_t flags);
// Takes back a block; false (nothing freed) when `address` is not a live
// block or `length` or `flags` differ from its allocation.
bool pool_free(void* address, std::uint32_t length, std::uint32_t flags);
std::uint32_t pool_live_blocks();
std::uint32_t pool_high_water();  // bytes

}  // namespace metal

#endif  // METAL_POOL_H
