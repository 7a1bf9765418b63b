// Driver entry point, the handler table, and the driver-wide adapter list.
#include "driver/driver.h"
#include "driver/placement.h"
#include "receive/receive.h"
#include "request/request.h"
#include "transmit/transmit.h"

MINIPORT_BLOCK Ne2000MiniportBlock;

extern "C" NE2K_INIT_CODE NTSTATUS NDIS_API DriverEntry(PVOID DriverObject, PVOID RegistryPath) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, nullptr);
    Ne2000MiniportBlock.WrapperHandle = wrapper;
    Ne2000MiniportBlock.AdapterList = nullptr;

    NDIS_MINIPORT_CHARACTERISTICS chars;
    NdisZeroMemory(&chars, sizeof chars);
    chars.MajorNdisVersion = 3;
    chars.MinorNdisVersion = 0;
    chars.CheckForHangHandler = nullptr;
    chars.DisableInterruptHandler = Ne2000DisableInterrupt;
    chars.EnableInterruptHandler = Ne2000EnableInterrupt;
    chars.HaltHandler = Ne2000Halt;
    chars.HandleInterruptHandler = Ne2000HandleInterrupt;
    chars.InitializeHandler = Ne2000Initialize;
    chars.ISRHandler = Ne2000Isr;
    chars.QueryInformationHandler = Ne2000QueryInformation;
    chars.ReconfigureHandler = nullptr;
    chars.ResetHandler = Ne2000Reset;
    chars.SendHandler = Ne2000Send;
    chars.SetInformationHandler = Ne2000SetInformation;
    chars.TransferDataHandler = Ne2000TransferData;

    // The record's own size: 60 bytes, the NDIS 3.0 form, on the 32-bit
    // target; larger where pointers are.
    NDIS_STATUS status = NdisMRegisterMiniport(Ne2000MiniportBlock.WrapperHandle, &chars,
                                               sizeof chars);
    return status == NDIS_STATUS_SUCCESS ? 0 : NDIS_STATUS_FAILURE;
}

VOID Ne2000LinkAdapter(AdapterRecord* Adapter) {
    Adapter->NextAdapter = Ne2000MiniportBlock.AdapterList;
    Ne2000MiniportBlock.AdapterList = Adapter;
}

VOID Ne2000UnlinkAdapter(AdapterRecord* Adapter) {
    if (Ne2000MiniportBlock.AdapterList == Adapter) {
        Ne2000MiniportBlock.AdapterList = Adapter->NextAdapter;
        return;
    }
    for (AdapterRecord* p = Ne2000MiniportBlock.AdapterList; p; p = p->NextAdapter) {
        if (p->NextAdapter == Adapter) {
            p->NextAdapter = Adapter->NextAdapter;
            return;
        }
    }
}

BOOLEAN Ne2000AdapterListEmpty(VOID) { return Ne2000MiniportBlock.AdapterList == nullptr; }
