#include "fake_miniport.h"

namespace fake {

State state;

namespace {

NDIS_HANDLE g_handle = nullptr;
NDIS_MINIPORT_INTERRUPT g_interrupt;
constexpr UINT kRecordSize = 64;

UCHAR reg(UINT off) { return READ_PORT_UCHAR(state.base + off); }
void set_reg(UINT off, UCHAR v) { WRITE_PORT_UCHAR(state.base + off, v); }

NDIS_STATUS Initialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT media_size,
                       NDIS_HANDLE handle, NDIS_HANDLE context) {
    UINT i = 0;
    while (i < media_size && media[i] != NdisMedium802_3) i++;
    if (i == media_size) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *selected = i;
    NDIS_PHYSICAL_ADDRESS highest = {0xFFFFFFFFu, -1};
    NDIS_STATUS s = NdisAllocateMemory(&state.record, kRecordSize, 0, highest);
    if (s != NDIS_STATUS_SUCCESS) return s;
    NDIS_HANDLE config = nullptr;
    NdisOpenConfiguration(&s, &config, context);
    if (s != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(state.record, kRecordSize, 0);
        return s;
    }
    NDIS_STRING io = NDIS_STRING_CONST("IoBase");
    PNDIS_CONFIGURATION_PARAMETER p = nullptr;
    NdisReadConfiguration(&s, &p, config, &io, NdisParameterHexInteger);
    if (s == NDIS_STATUS_SUCCESS) state.base = p->ParameterData.IntegerData;
    state.config_status = s;
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&s, &address, &length, config);
    if (s == NDIS_STATUS_SUCCESS)
        state.network_address.assign(static_cast<UCHAR*>(address), static_cast<UCHAR*>(address) + length);
    if (state.close_configuration) NdisCloseConfiguration(config);

    g_handle = handle;
    NdisMSetAttributes(handle, state.record, FALSE, NdisInterfaceIsa);
    ULONG offset = 0;
    s = NdisMRegisterIoPortRange(&offset, handle, state.base, 32);
    if (s != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(state.record, kRecordSize, 0);
        return s;
    }
    set_reg(15, 0x01);  // armed before the interrupt is connected
    state.armed = true;
    s = NdisMRegisterInterrupt(&g_interrupt, handle, state.vector, state.vector, TRUE, TRUE,
                               NdisInterruptLatched);
    if (s != NDIS_STATUS_SUCCESS) {
        NdisMDeregisterIoPortRange(handle, state.base, 32, offset);
        NdisFreeMemory(state.record, kRecordSize, 0);
        return s;
    }
    return NDIS_STATUS_SUCCESS;
}

void Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE) {
    state.log.push_back("isr");
    if (state.in_sync) state.isr_in_sync++;
    *recognized = *queue = FALSE;
    if (!state.armed) return;
    if (!(reg(7) & 0x01)) return;
    if (!state.isr_masks) return;  // leaves the line high
    state.armed = false;
    set_reg(15, 0x00);
    *recognized = *queue = TRUE;
}

void HandleInterrupt(NDIS_HANDLE) {
    state.log.push_back("dpc");
    UCHAR v = reg(7);
    set_reg(7, v);
    if (state.dpc_raises_again > 0) {
        state.dpc_raises_again--;
        state.card->raise(0x01);  // pending while masked: the enable raises the line
    }
    if (state.frame.size() >= 14) {
        UINT data = static_cast<UINT>(state.frame.size() - 14);
        UINT look = data < 32 ? data : 32;
        NdisMEthIndicateReceive(g_handle, state.record, state.frame.data(), 14,
                                state.frame.data() + 14, look, data);
        NdisMEthIndicateReceiveComplete(g_handle);
    }
}

void EnableInterrupt(NDIS_HANDLE) {
    state.log.push_back("enable");
    set_reg(15, 0x01);  // as the driver does: the mask first, then the flag
    state.armed = true;
}

void DisableInterrupt(NDIS_HANDLE) {
    state.armed = false;
    set_reg(15, 0x00);
}

NDIS_STATUS Send(NDIS_HANDLE, PNDIS_PACKET packet, UINT) {
    state.log.push_back("send");
    NDIS_STATUS r = NDIS_STATUS_PENDING;
    switch (state.send_mode) {
    case State::CompleteOnce: NdisMSendComplete(g_handle, packet, NDIS_STATUS_SUCCESS); break;
    case State::CompleteTwice:
        NdisMSendComplete(g_handle, packet, NDIS_STATUS_SUCCESS);
        NdisMSendComplete(g_handle, packet, NDIS_STATUS_SUCCESS);
        break;
    case State::Never: break;
    case State::ReturnSuccess: r = NDIS_STATUS_SUCCESS; break;
    }
    state.log.push_back("send-end");
    return r;
}

NDIS_STATUS Query(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length, PULONG written, PULONG needed) {
    if (oid != OID_802_3_CURRENT_ADDRESS) return NDIS_STATUS_INVALID_OID;
    if (length < 6) {
        *needed = 6;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NdisMoveMemory(buffer, state.station, 6);
    *written = 6;
    return NDIS_STATUS_SUCCESS;
}

BOOLEAN SyncRaise(PVOID) {
    state.in_sync = true;
    state.log.push_back("sync");
    state.card->raise(0x01);
    reg(7);
    KeStallExecutionProcessor(5);
    state.log.push_back("sync-end");
    state.in_sync = false;
    return TRUE;
}

NDIS_STATUS Set(NDIS_HANDLE, NDIS_OID oid, PVOID, ULONG length, PULONG read, PULONG) {
    state.log.push_back("set");
    NDIS_STATUS s = NDIS_STATUS_SUCCESS;
    if (oid == kOidSyncRaise) {
        NdisMSynchronizeWithInterrupt(&g_interrupt, reinterpret_cast<PVOID>(&SyncRaise), nullptr);
    } else if (oid == kOidStallRaise) {
        state.card->raise(0x01);
        KeStallExecutionProcessor(1);
    } else if (oid == OID_GEN_CURRENT_PACKET_FILTER || oid == OID_802_3_MULTICAST_LIST) {
        *read = length;
    } else {
        s = NDIS_STATUS_INVALID_OID;
    }
    state.log.push_back("set-end");
    return s;
}

NDIS_STATUS TransferData(PNDIS_PACKET packet, PUINT transferred, NDIS_HANDLE, NDIS_HANDLE,
                         UINT offset, UINT count) {
    PNDIS_BUFFER b = nullptr;
    UINT total = 0;
    NdisQueryPacket(packet, nullptr, nullptr, &b, &total);
    UINT done = 0;
    const UCHAR* src = state.frame.data() + 14 + offset;
    while (b && done < count) {
        PVOID va;
        UINT len;
        NdisQueryBuffer(b, &va, &len);
        UINT n = len < count - done ? len : count - done;
        NdisMoveMemory(va, src + done, n);
        done += n;
        NdisGetNextBuffer(b, &b);
    }
    *transferred = done;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Reset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }

void Halt(NDIS_HANDLE) {
    NdisMDeregisterInterrupt(&g_interrupt);
    NdisMDeregisterIoPortRange(g_handle, state.base, 32, state.base);
    if (!state.halt_leaks)
        NdisFreeMemory(state.record, state.halt_frees_wrong_size ? kRecordSize + 1 : kRecordSize, 0);
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
    NDIS_STATUS s = NdisMRegisterMiniport(wrapper, &c, sizeof(NDIS_MINIPORT_CHARACTERISTICS));
    return s == NDIS_STATUS_SUCCESS ? 0 : NDIS_STATUS_FAILURE;
}

Rig::Rig() {
    state = State{};
    state.card = &card;
    host.map_ports(0x300, 32, &card, 0x10, 1);
    host.connect_irq(card, 5);
    host.load_driver(Entry);
}

NDIS_STATUS Rig::init(sim::AdapterConfig config) { return host.initialize(config); }

}  // namespace fake
