// The calls into the driver's handlers, the interrupt, and the operations
// of the send and receive paths: NdisMRegisterInterrupt and its
// counterparts, NdisMSynchronizeWithInterrupt, NdisMSendComplete and the
// Ethernet filter's indications.
#include "metal/wrapper.h"

#include "metal/console.h"
#include "metal/cpu.h"
#include "metal/state.h"

namespace metal {

namespace {

constexpr std::uint32_t kMaxFrame = 1514;
constexpr std::uint32_t kHeader = 14;

// Ethernet filter of the adapter, as the protocol set it.
struct EthernetFilter {
    ULONG packet_filter = 0;
    std::uint8_t multicast[32][6] = {};
    unsigned multicast_count = 0;
};
EthernetFilter filter;

// The frame being handed up, and the packet transfer-data fills.
std::uint8_t rx_frame[kMaxFrame];
NDIS_PACKET rx_packet;
NDIS_BUFFER rx_buffer;

bool same_address(const std::uint8_t* a, const std::uint8_t* b) {
    for (int i = 0; i < 6; i++)
        if (a[i] != b[i]) return false;
    return true;
}

bool filter_accepts(const std::uint8_t* dest) {
    ULONG f = filter.packet_filter;
    static const std::uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (f & NDIS_PACKET_TYPE_PROMISCUOUS) return true;
    if (same_address(dest, broadcast)) return f & NDIS_PACKET_TYPE_BROADCAST;
    if (dest[0] & 0x01) {
        if (f & NDIS_PACKET_TYPE_ALL_MULTICAST) return true;
        if (!(f & NDIS_PACKET_TYPE_MULTICAST)) return false;
        for (unsigned i = 0; i < filter.multicast_count; i++)
            if (same_address(dest, filter.multicast[i])) return true;
        return false;
    }
    return (f & NDIS_PACKET_TYPE_DIRECTED) && same_address(dest, state.station);
}

// One handler call at a time: a second one while another runs is a fault
// of the kernel itself.
struct HandlerCall {
    HandlerCall(const char* what) {
        if (state.depth) wrapper_problem("%s called while another handler runs", what);
        state.depth++;
    }
    ~HandlerCall() { state.depth--; }
};

void card_interrupt() {
    state.counts.isr_calls++;
    W_ISR_HANDLER isr = state.handlers.ISRHandler;
    BOOLEAN recognized = FALSE, queue = FALSE;
    isr(&recognized, &queue, state.context);
    if (recognized) {
        state.counts.isr_recognized++;
    } else {
        state.counts.isr_declined++;
        wrapper_problem("the service routine declined an interrupt on IRQ %d, a line no other device uses",
                        state.irq);
    }
    if (queue) state.deferred_requested = true;
}

bool outstanding_remove(NDIS_PACKET* packet) {
    for (auto& p : state.outstanding)
        if (p == packet) {
            p = nullptr;
            return true;
        }
    return false;
}

}  // namespace

void wrapper_bind(const Binding& binding) { state.binding = binding; }
const WrapperCounts& wrapper_counts() { return state.counts; }
std::uint32_t wrapper_io_base() { return state.port_base; }
int wrapper_irq() { return state.irq; }
bool wrapper_deferred_waiting() { return state.deferred_requested; }

NDIS_STATUS wrapper_query(NDIS_OID oid, void* buffer, ULONG length, ULONG* written) {
    HandlerCall in("query");
    ULONG w = 0, needed = 0;
    NDIS_STATUS s = state.handlers.QueryInformationHandler(state.context, oid, buffer, length, &w, &needed);
    if (written) *written = w;
    return s;
}

NDIS_STATUS wrapper_set(NDIS_OID oid, void* buffer, ULONG length) {
    NDIS_STATUS s;
    ULONG read = 0, needed = 0;
    {
        HandlerCall in("set");
        s = state.handlers.SetInformationHandler(state.context, oid, buffer, length, &read, &needed);
    }
    if (s == NDIS_STATUS_PENDING) wrapper_problem("set: the handler returned pending");
    if (s != NDIS_STATUS_SUCCESS) return s;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (oid == OID_GEN_CURRENT_PACKET_FILTER && length >= 4) {
        filter.packet_filter = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<ULONG>(bytes[3]) << 24;
    } else if (oid == OID_802_3_MULTICAST_LIST) {
        filter.multicast_count = 0;
        for (ULONG i = 0; i + 6 <= length && filter.multicast_count < 32; i += 6, filter.multicast_count++)
            for (int k = 0; k < 6; k++) filter.multicast[filter.multicast_count][k] = bytes[i + k];
    }
    return s;
}

NDIS_STATUS wrapper_send(NDIS_PACKET* packet) {
    state.counts.sends++;
    bool placed = false;
    for (auto& p : state.outstanding)
        if (!p) {
            p = packet;
            placed = true;
            break;
        }
    if (!placed) wrapper_problem("send: more packets with the driver than the wrapper keeps track of");
    NDIS_STATUS s;
    {
        HandlerCall in("send");
        s = state.handlers.SendHandler(state.context, packet, 0);
    }
    if (s != NDIS_STATUS_PENDING) {
        // The handler finished the send itself; the wrapper completes it.
        if (!outstanding_remove(packet))
            wrapper_problem("send: the handler returned a final status for a packet it also completed");
        state.counts.send_completions++;
        if (s != NDIS_STATUS_SUCCESS) state.counts.send_failures++;
        if (state.binding.send_complete) state.binding.send_complete(packet, s);
    }
    return s;
}

NDIS_STATUS wrapper_reset(bool* addressing_reset) {
    BOOLEAN addressing = FALSE;
    NDIS_STATUS s;
    {
        HandlerCall in("reset");
        s = state.handlers.ResetHandler(&addressing, state.context);
    }
    if (s == NDIS_STATUS_PENDING) wrapper_problem("reset: the handler returned pending, and nothing completes it");
    if (addressing_reset) *addressing_reset = addressing;
    return s;
}

void wrapper_halt() {
    {
        HandlerCall in("halt");
        state.handlers.HaltHandler(state.context);
    }
    state.halted = true;
    if (state.irq >= 0) wrapper_problem("halt: the interrupt is still connected");
    if (state.port_count) wrapper_problem("halt: the port range is still registered");
    for (NDIS_PACKET* p : state.outstanding)
        if (p) wrapper_problem("halt: a packet was never completed");
}

bool wrapper_service() {
    if (!state.deferred_requested || state.halted) return false;
    bool on = interrupts_off();
    state.deferred_requested = false;
    interrupts_restore(on);
    {
        HandlerCall in("the deferred handler");
        state.counts.deferred_runs++;
        state.handlers.HandleInterruptHandler(state.context);
        if (state.irq >= 0 && state.handlers.EnableInterruptHandler) {
            bool was_on = interrupts_off();
            state.counts.enable_calls++;
            state.handlers.EnableInterruptHandler(state.context);
            interrupts_restore(was_on);
        }
    }
    return true;
}

}  // namespace metal

using namespace metal;

extern "C" {

// The line the driver names: 2 is IRQ 9 on an AT, as the second 8259
// hangs on line 2 of the first; 0 is the timer's.
NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, NDIS_HANDLE MiniportAdapterHandle,
                                            UINT InterruptVector, UINT InterruptLevel, BOOLEAN RequestIsr,
                                            BOOLEAN SharedInterrupt, NDIS_INTERRUPT_MODE InterruptMode) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMRegisterInterrupt")) return NDIS_STATUS_FAILURE;
    int irq = InterruptVector == 2 ? 9 : static_cast<int>(InterruptVector);
    print("wrapper: interrupt vector %u level %u (IRQ %d), %s, %s%s\n", InterruptVector, InterruptLevel, irq,
          InterruptMode == NdisInterruptLatched ? "latched" : "level-sensitive", SharedInterrupt ? "shared" : "not shared",
          RequestIsr ? ", service routine on every interrupt" : "");
    if (state.irq >= 0) {
        wrapper_problem("NdisMRegisterInterrupt: the interrupt is already connected");
        return NDIS_STATUS_FAILURE;
    }
    if (irq <= 0 || irq > 15 || irq == 2) return NDIS_STATUS_RESOURCES;
    if (!state.attributes_set) wrapper_problem("NdisMRegisterInterrupt before NdisMSetAttributes");
    state.irq = irq;
    state.interrupt = Interrupt;
    irq_connect(static_cast<unsigned>(irq), card_interrupt);
    return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    if (state.irq < 0 || Interrupt != state.interrupt) {
        wrapper_problem("NdisMDeregisterInterrupt: that interrupt is not connected");
        return;
    }
    irq_connect(static_cast<unsigned>(state.irq), nullptr);
    state.irq = -1;
    if (state.deferred_requested) {
        state.deferred_requested = false;
        state.counts.deferred_dropped++;
    }
}

// The routine runs with interrupts off, so the service routine cannot run
// while it does.
BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt, PVOID SynchronizeFunction,
                                               PVOID SynchronizeContext) {
    auto function = reinterpret_cast<W_SYNCHRONIZE_FUNCTION>(SynchronizeFunction);
    if (state.irq < 0 || Interrupt != state.interrupt)
        wrapper_problem("NdisMSynchronizeWithInterrupt: that interrupt is not connected");
    state.counts.sync_calls++;
    bool on = interrupts_off();
    BOOLEAN result = function(SynchronizeContext);
    interrupts_restore(on);
    return result;
}

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    if (!check_adapter(MiniportAdapterHandle, "NdisMSendComplete")) return;
    if (state.halted) wrapper_problem("NdisMSendComplete after halt");
    if (!outstanding_remove(Packet)) {
        wrapper_problem("NdisMSendComplete: packet 0x%08x is not with the driver (completed twice, or never sent)",
                        static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(Packet)));
        return;
    }
    state.counts.send_completions++;
    if (Status != NDIS_STATUS_SUCCESS) state.counts.send_failures++;
    if (state.binding.send_complete) state.binding.send_complete(Packet, Status);
}

VOID NDIS_API EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                          PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                          UINT LookaheadBufferSize, UINT PacketSize) {
    state.counts.indications++;
    if (Filter != state.block.EthDB) {
        wrapper_problem("EthFilterDprIndicateReceive: not this adapter's filter database");
        return;
    }
    if (!state.depth) wrapper_problem("receive indication outside a handler");
    if (HeaderBufferSize != kHeader || HeaderBufferSize + PacketSize > kMaxFrame) {
        wrapper_problem("receive indication of a %u-byte header and %u bytes of data", HeaderBufferSize, PacketSize);
        return;
    }
    if (!filter_accepts(reinterpret_cast<const std::uint8_t*>(Address))) {
        state.counts.filtered++;
        return;
    }
    const auto* header = static_cast<const std::uint8_t*>(HeaderBuffer);
    const auto* lookahead = static_cast<const std::uint8_t*>(LookaheadBuffer);
    for (UINT i = 0; i < kHeader; i++) rx_frame[i] = header[i];
    if (LookaheadBufferSize >= PacketSize) {
        for (UINT i = 0; i < PacketSize; i++) rx_frame[kHeader + i] = lookahead[i];
    } else {
        // The rest through the driver, inside the indication.
        rx_buffer = NDIS_BUFFER{};
        rx_buffer.Size = sizeof(NDIS_BUFFER);
        rx_buffer.MappedSystemVa = rx_frame + kHeader;
        auto va = reinterpret_cast<std::uintptr_t>(rx_frame + kHeader);
        rx_buffer.StartVa = reinterpret_cast<PVOID>(va & ~std::uintptr_t{NDIS_PAGE_SIZE - 1});
        rx_buffer.ByteOffset = static_cast<ULONG>(va & (NDIS_PAGE_SIZE - 1));
        rx_buffer.ByteCount = PacketSize;
        rx_packet = NDIS_PACKET{};
        rx_packet.Private.Head = rx_packet.Private.Tail = &rx_buffer;
        UINT transferred = 0;
        state.counts.transfers++;
        NDIS_STATUS s = state.handlers.TransferDataHandler(&rx_packet, &transferred, state.context, MacReceiveContext,
                                                           0, PacketSize);
        if (s != NDIS_STATUS_SUCCESS || transferred != PacketSize) {
            wrapper_problem("transfer-data: status 0x%08x, %u of %u bytes", s, transferred, PacketSize);
            return;
        }
    }
    state.counts.indicated_up++;
    if (state.binding.receive) state.binding.receive(rx_frame, kHeader + PacketSize);
}

VOID NDIS_API EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
    if (Filter != state.block.EthDB) wrapper_problem("EthFilterDprIndicateReceiveComplete: not this adapter's filter");
    state.counts.indicate_completes++;
}

}  // extern "C"
