#include "metal/pool.h"

namespace metal {

namespace {

constexpr unsigned kMaxBlocks = 32;

struct Block {
    std::uint32_t offset, length, flags;
    bool live;
};

alignas(16) std::uint8_t pool[kPoolBytes];
Block blocks[kMaxBlocks];
unsigned block_count = 0;  // blocks[0..block_count) in address order, live or not
std::uint32_t high_water = 0;

std::uint32_t rounded(std::uint32_t n) { return (n + 15) & ~15u; }

}  // namespace

// First fit over freed blocks of enough room, else at the end. Freed
// blocks at the end are given back to the end.
void* pool_allocate(std::uint32_t length, std::uint32_t flags) {
    std::uint32_t need = rounded(length ? length : 1);
    Block* b = nullptr;
    for (unsigned i = 0; i < block_count && !b; i++)
        if (!blocks[i].live && rounded(blocks[i].length) >= need) b = &blocks[i];
    if (!b) {
        std::uint32_t end = block_count ? blocks[block_count - 1].offset + rounded(blocks[block_count - 1].length) : 0;
        if (block_count == kMaxBlocks || need > kPoolBytes - end) return nullptr;
        b = &blocks[block_count++];
        b->offset = end;
        if (end + need > high_water) high_water = end + need;
    }
    b->length = length;
    b->flags = flags;
    b->live = true;
    for (std::uint32_t i = 0; i < length; i++) pool[b->offset + i] = 0xCC;
    return pool + b->offset;
}

bool pool_free(void* address, std::uint32_t length, std::uint32_t flags) {
    for (unsigned i = 0; i < block_count; i++) {
        Block& b = blocks[i];
        if (!b.live || pool + b.offset != address) continue;
        if (b.length != length || b.flags != flags) return false;
        b.live = false;
        while (block_count && !blocks[block_count - 1].live) block_count--;
        return true;
    }
    return false;
}

std::uint32_t pool_live_blocks() {
    std::uint32_t n = 0;
    for (unsigned i = 0; i < block_count; i++) n += blocks[i].live;
    return n;
}

std::uint32_t pool_high_water() { return high_water; }

}  // namespace metal
