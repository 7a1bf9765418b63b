#include "metal/frames.h"

#include "metal/wrapper.h"
#include "platform/ndis.h"

namespace metal {

namespace {

constexpr std::uint32_t kMaxFrame = 1514;

enum class Slot : std::uint8_t { Free, Queued, WithDriver };

struct TxPacket {
    NDIS_PACKET packet;
    NDIS_BUFFER buffer;
    Slot slot;
    std::uint32_t sequence;  // order of queueing
    std::uint8_t bytes[kMaxFrame];
};

TxPacket pool[kFramePool];
std::uint32_t next_sequence = 0;
FrameCounts counts = {0, 0, 0, 0, 0, 0, 0xFFFFFFFFu, 0};
void (*receiver)(const std::uint8_t*, std::uint32_t) = nullptr;

void on_receive(const std::uint8_t* frame, std::uint32_t length) {
    counts.received++;
    if (receiver) receiver(frame, length);
}

void on_send_complete(NDIS_PACKET* packet, NDIS_STATUS status) {
    for (TxPacket& t : pool)
        if (&t.packet == packet) {
            if (t.slot != Slot::WithDriver) wrapper_problem("a send completed for a packet not with the driver");
            t.slot = Slot::Free;
            counts.completed++;
            if (status != NDIS_STATUS_SUCCESS) counts.failed++;
            return;
        }
    wrapper_problem("a send completed for a packet the kernel never sent");
}

}  // namespace

void frames_bind(void (*receive)(const std::uint8_t*, std::uint32_t)) {
    receiver = receive;
    wrapper_bind(Binding{on_receive, on_send_complete});
}

bool frames_queue(const std::uint8_t* frame, std::uint32_t length) {
    if (length < 14 || length > kMaxFrame) {
        wrapper_problem("a frame of %u bytes to send", length);
        return false;
    }
    for (TxPacket& t : pool) {
        if (t.slot != Slot::Free) continue;
        for (std::uint32_t i = 0; i < length; i++) t.bytes[i] = frame[i];
        t.buffer = NDIS_BUFFER{};
        t.buffer.Size = sizeof(NDIS_BUFFER);
        t.buffer.MappedSystemVa = t.bytes;
        auto va = reinterpret_cast<std::uintptr_t>(t.bytes);
        t.buffer.StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t{NDIS_PAGE_SIZE - 1});
        t.buffer.ByteOffset = static_cast<ULONG>(va & (NDIS_PAGE_SIZE - 1));
        t.buffer.ByteCount = length;
        // As a packet comes from the wrapper: the chain linked, the totals
        // not yet counted.
        t.packet = NDIS_PACKET{};
        t.packet.Private.Head = t.packet.Private.Tail = &t.buffer;
        t.slot = Slot::Queued;
        t.sequence = next_sequence++;
        counts.queued++;
        if (length < counts.shortest) counts.shortest = length;
        if (length > counts.longest) counts.longest = length;
        return true;
    }
    counts.pool_full++;
    return false;
}

void frames_pump() {
    for (;;) {
        TxPacket* first = nullptr;
        for (TxPacket& t : pool)
            if (t.slot == Slot::Queued && (!first || t.sequence - first->sequence > 0x80000000u)) first = &t;
        if (!first) return;
        first->slot = Slot::WithDriver;
        counts.handed++;
        wrapper_send(&first->packet);
    }
}

bool frames_waiting() {
    for (const TxPacket& t : pool)
        if (t.slot == Slot::Queued) return true;
    return false;
}

std::uint32_t frames_busy() {
    std::uint32_t n = 0;
    for (const TxPacket& t : pool) n += t.slot != Slot::Free;
    return n;
}

const FrameCounts& frames_counts() { return counts; }

}  // namespace metal
