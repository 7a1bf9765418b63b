#include "tests/sim/fake_miniport.h"

namespace fake {

State state;

namespace {

NDIS_HANDLE g_handle = nullptr;
NDIS_MINIPORT_INTERRUPT g_interrupt;
constexpr UINT kRecordSize = 64;

UCHAR reg(UINT off) { return READ_PORT_UCHAR(state.base + off); }
void set_reg(UINT off, UCHAR v) { WRITE_PORT_UCHAR(state.base + off, v); }

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT media_size, NDIS_HANDLE handle,
                       NDIS_HANDLE context) {
    UINT i = 0;
    while (i < media_size && media[i] != NdisMedium802_3) i++;
    if (i == media_size) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *selected = i;
    NDIS_STATUS s = NdisAllocateMemory(&state.record, kRecordSize, 0, NDIS_PHYSICAL_ADDRESS{0xFFFFFFFFu, -1});
    NDIS_HANDLE config = nullptr;
    if (s == NDIS_STATUS_SUCCESS) NdisOpenConfiguration(&s, &config, context);
    if (s != NDIS_STATUS_SUCCESS) {
        if (state.record) NdisFreeMemory(state.record, kRecordSize, 0);
        return s;
    }
    NDIS_STRING io = NDIS_STRING_CONST("IoBase");
    PNDIS_CONFIGURATION_PARAMETER p = nullptr;
    NdisReadConfiguration(&s, &p, config, &io, NdisParameterHexInteger);
    if (s == NDIS_STATUS_SUCCESS) state.base = p->ParameterData.IntegerData;
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&s, &address, &length, config);
    if (s == NDIS_STATUS_SUCCESS) state.network_address.assign((UCHAR*)address, (UCHAR*)address + length);
    if (state.close_configuration) NdisCloseConfiguration(config);
    g_handle = handle;
    NdisMSetAttributes(handle, state.record, FALSE, NdisInterfaceIsa);
    ULONG offset = 0;
    s = NdisMRegisterIoPortRange(&offset, handle, state.base, 32);
    if (s == NDIS_STATUS_SUCCESS) {
        set_reg(15, 0x01);  // armed before the interrupt is connected
        state.armed = true;
        s = NdisMRegisterInterrupt(&g_interrupt, handle, 5, 5, TRUE, TRUE, NdisInterruptLatched);
        if (s != NDIS_STATUS_SUCCESS) NdisMDeregisterIoPortRange(handle, state.base, 32, offset);
    }
    if (s != NDIS_STATUS_SUCCESS) NdisFreeMemory(state.record, kRecordSize, 0);
    return s;
}

void Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE) {
    state.log.push_back("isr");
    state.isr_in_sync += state.in_sync;
    *recognized = *queue = state.armed && (reg(7) & 0x01) && state.isr_masks;
    if (*recognized) state.armed = false, set_reg(15, 0x00);
}

void HandleInterrupt(NDIS_HANDLE) {
    state.log.push_back("dpc");
    set_reg(7, reg(7));
    if (state.dpc_raises_again > 0 && state.dpc_raises_again--) state.card->raise(0x01);  // the enable raises the line
    if (state.frame.size() >= 14) {
        UINT data = UINT(state.frame.size() - 14);
        NdisMEthIndicateReceive(g_handle, state.record, state.frame.data(), 14, state.frame.data() + 14,
                                data < 32 ? data : 32, data);
        NdisMEthIndicateReceiveComplete(g_handle);
    }
}

void EnableInterrupt(NDIS_HANDLE) {
    state.log.push_back("enable");
    set_reg(15, 0x01);  // as the driver does: the mask first, then the flag
    state.armed = true;
}

void DisableInterrupt(NDIS_HANDLE) { state.armed = false, set_reg(15, 0x00); }

NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET packet, UINT) {
    for (int i = state.send_mode == State::CompleteOnce ? 1 : state.send_mode == State::CompleteTwice ? 2 : 0; i > 0; i--)
        NdisMSendComplete(g_handle, packet, NDIS_STATUS_SUCCESS);
    return state.send_mode == State::ReturnSuccess ? NDIS_STATUS_SUCCESS : NDIS_STATUS_PENDING;
}

NDIS_STATUS Query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed) {
    if (oid != OID_802_3_CURRENT_ADDRESS) return NDIS_STATUS_INVALID_OID;
    if (length < 6) return *needed = 6, NDIS_STATUS_INVALID_LENGTH;
    const UCHAR station[6] = {0x02, 0, 0, 0, 0, 1};
    NdisMoveMemory(buffer, station, 6);
    *written = 6;
    return NDIS_STATUS_SUCCESS;
}

BOOLEAN SyncRaise(PVOID) {
    state.in_sync = true;
    state.log.push_back("sync");
    state.card->raise(0x01);
    KeStallExecutionProcessor(5);
    state.log.push_back("sync-end");
    state.in_sync = false;
    return TRUE;
}

NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID oid, PVOID, ULONG length, PULONG read, PULONG) {
    state.log.push_back("set");
    if (oid == kOidSyncRaise) NdisMSynchronizeWithInterrupt(&g_interrupt, (PVOID)&SyncRaise, nullptr);
    if (oid == kOidStallRaise) state.card->raise(0x01), KeStallExecutionProcessor(1);
    *read = length;
    state.log.push_back("set-end");
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS TransferData(PNDIS_PACKET packet, PUINT transferred, NDIS_HANDLE, NDIS_HANDLE, UINT offset, UINT count) {
    PNDIS_BUFFER b = nullptr;
    NdisQueryPacket(packet, nullptr, nullptr, &b, nullptr);
    UINT done = 0;
    for (; b && done < count; NdisGetNextBuffer(b, &b)) {
        PVOID va;
        UINT len;
        NdisQueryBuffer(b, &va, &len);
        UINT n = len < count - done ? len : count - done;
        NdisMoveMemory(va, state.frame.data() + 14 + offset + done, n);
        done += n;
    }
    *transferred = done;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Reset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }

void Halt(NDIS_HANDLE) {
    NdisMDeregisterInterrupt(&g_interrupt);
    NdisMDeregisterIoPortRange(g_handle, state.base, 32, state.base);
    if (!state.halt_leaks) NdisFreeMemory(state.record, kRecordSize + state.halt_frees_wrong_size, 0);
}

}  // namespace

NTSTATUS Entry(PVOID driver_object, PVOID registry_path) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, driver_object, registry_path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c;
    NdisZeroMemory(&c, sizeof c);
    c.MajorNdisVersion = 3;
    c.DisableInterruptHandler = DisableInterrupt;
    c.EnableInterruptHandler = EnableInterrupt;
    c.HaltHandler = Halt;
    c.HandleInterruptHandler = HandleInterrupt;
    c.InitializeHandler = Initialize;
    c.ISRHandler = Isr;
    c.QueryInformationHandler = Query;
    c.ResetHandler = Reset;
    c.SendHandler = Send;
    c.SetInformationHandler = Set;
    c.TransferDataHandler = TransferData;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c) == NDIS_STATUS_SUCCESS ? 0 : NDIS_STATUS_FAILURE;
}

Rig::Rig() {
    state = State{};
    state.card = &card;
    host.bus().map_ports(0x300, 32, &card, 0x10, 1);
    host.bus().connect_irq(card, 5);
    host.load_driver(Entry);
}

}  // namespace fake
