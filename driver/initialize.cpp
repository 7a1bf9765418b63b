// Adapter initialization: medium, record, configuration, then the card.
#include "card/card.h"
#include "card/dp8390reg.h"
#include "driver/driver.h"
#include "driver/placement.h"

const NDIS_PHYSICAL_ADDRESS HighestAcceptableMax = {0xFFFFFFFFu, -1};

namespace {

// Configuration keyword names, in the order they are read.
NE2K_PAGEABLE_DATA const WCHAR CardTypeKeyword[] = u"CardType";
NE2K_PAGEABLE_DATA const WCHAR BusTypeKeyword[] = u"BusType";
NE2K_PAGEABLE_DATA const WCHAR IoBaseKeyword[] = u"IoBaseAddress_1";
NE2K_PAGEABLE_DATA const WCHAR InterruptKeyword[] = u"InterruptNumber";
NE2K_PAGEABLE_DATA const WCHAR AttributeAddressKeyword[] = u"PCCARDAttributeMemoryAddress";
NE2K_PAGEABLE_DATA const WCHAR AttributeSizeKeyword[] = u"PCCARDAttributeMemorySize";
NE2K_PAGEABLE_DATA const WCHAR MulticastListKeyword[] = u"MaximumMulticastList";

#define DEFAULT_IO_BASE 0x300u
#define DEFAULT_INTERRUPT 3
#define MIN_IO_BASE 0x120u
#define MAX_IO_BASE 0xC3D0u
#define MIN_INTERRUPT 2
#define MAX_INTERRUPT 15
#define DEFAULT_ATTRIBUTE_ADDRESS 0xD4000u
#define DEFAULT_ATTRIBUTE_SIZE 0x1000u
#define MCA_ADAPTER_ID_A 0x67B0
#define MCA_ADAPTER_ID_B 0x7154

// I/O base by PosData1 bits 1-3, per adapter identifier. Field 0 keeps the default.
NE2K_PAGEABLE_DATA const USHORT McaIoBaseA[8] = {0x300, 0x1000, 0x2020, 0x8020,
                                                 0x300, 0x320, 0x340, 0x360};
NE2K_PAGEABLE_DATA const USHORT McaIoBaseB[8] = {0x300, 0x1000, 0x2020, 0x8020,
                                                 0xA0A0, 0xB0B0, 0xC0C0, 0xC3D0};
// Interrupt line by PosData1 bits 5-6.
NE2K_PAGEABLE_DATA const UCHAR McaInterrupt[4] = {3, 4, 5, 9};

// Reads one integer keyword. Returns TRUE and the value when the keyword is
// present; a missing keyword is not an error, the caller's default stands.
NE2K_PAGEABLE_CODE BOOLEAN ReadKeyword(NDIS_HANDLE Config, const WCHAR* Name,
                                       NDIS_PARAMETER_TYPE Type, PULONG Value) {
    ULONG chars = 0;
    while (Name[chars]) chars++;
    NDIS_STRING keyword;
    keyword.Length = (USHORT)(chars * sizeof(WCHAR));
    keyword.MaximumLength = (USHORT)((chars + 1) * sizeof(WCHAR));
    keyword.Buffer = (PWSTR)Name;
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
    NdisReadConfiguration(&status, &parameter, Config, &keyword, Type);
    if (status != NDIS_STATUS_SUCCESS || parameter == nullptr) return FALSE;
    *Value = parameter->ParameterData.IntegerData;
    return TRUE;
}

}  // namespace

NE2K_PAGEABLE_CODE NDIS_STATUS NDIS_API Ne2000Initialize(PNDIS_STATUS OpenErrorStatus,
                                                PUINT SelectedMediumIndex,
                                                PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                NDIS_HANDLE MiniportAdapterHandle,
                                                NDIS_HANDLE WrapperConfigurationContext) {
    (void)OpenErrorStatus;  // never written

    UINT medium = 0;
    while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) medium++;
    if (medium == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = medium;

    AdapterRecord* adapter = nullptr;
    NDIS_STATUS status = NdisAllocateMemory((PVOID*)&adapter, sizeof(AdapterRecord), 0,
                                            HighestAcceptableMax);
    if (status != NDIS_STATUS_SUCCESS) return status;
    NdisZeroMemory(adapter, sizeof(AdapterRecord));

    NDIS_HANDLE config = nullptr;
    NdisOpenConfiguration(&status, &config, WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(adapter, sizeof(AdapterRecord), 0);
        return status;
    }

    ULONG ioBase = DEFAULT_IO_BASE;
    UCHAR interrupt = DEFAULT_INTERRUPT;
    ULONG maxMulticast = MAX_MULTICAST_LIST;
    BOOLEAN configError = FALSE;
    ULONG configErrorValue = 0;
    BOOLEAN posDecoded = FALSE;
    ULONG value;

    if (ReadKeyword(config, CardTypeKeyword, NdisParameterHexInteger, &value)) {
        adapter->CardType = value;
    }

    PVOID override = nullptr;
    UINT overrideLength = 0;
    NdisReadNetworkAddress(&status, &override, &overrideLength, config);
    if (status == NDIS_STATUS_SUCCESS && overrideLength == ETH_ADDRESS_LENGTH) {
        NdisMoveMemory(adapter->StationAddress, override, ETH_ADDRESS_LENGTH);
    }

    do {
        // A machine with more than one processor drives a single adapter.
        if (NdisSystemProcessorCount() > 1 && !Ne2000AdapterListEmpty()) {
            configError = TRUE;
            configErrorValue = NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;
            break;
        }

        if (ReadKeyword(config, BusTypeKeyword, NdisParameterHexInteger, &value)) {
            adapter->BusType = (UCHAR)value;
        }

        if (adapter->BusType == BUS_TYPE_MCA) {
            NDIS_MCA_POS_DATA pos;
            NdisZeroMemory(&pos, sizeof pos);
            UINT channel = 0;
            NdisReadMcaPosInformation(&status, WrapperConfigurationContext, &channel, &pos);
            if (status != NDIS_STATUS_SUCCESS) {
                configError = TRUE;
                configErrorValue = NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION;
                break;
            }
            if (pos.AdapterId == MCA_ADAPTER_ID_A || pos.AdapterId == MCA_ADAPTER_ID_B) {
                posDecoded = TRUE;
                ULONG field = (pos.PosData1 >> 1) & 7;
                if (field != 0) {
                    ioBase = pos.AdapterId == MCA_ADAPTER_ID_A ? McaIoBaseA[field]
                                                               : McaIoBaseB[field];
                }
                interrupt = McaInterrupt[(pos.PosData1 >> 5) & 3];
            }
        }

        if (!posDecoded) {
            ReadKeyword(config, IoBaseKeyword, NdisParameterHexInteger, &ioBase);
            if (ioBase < MIN_IO_BASE || ioBase > MAX_IO_BASE) {
                configError = TRUE;
                configErrorValue = ioBase;
                break;
            }
            if (ReadKeyword(config, InterruptKeyword, NdisParameterHexInteger, &value)) {
                interrupt = (UCHAR)value;
            }
            CCHAR signedInterrupt = (CCHAR)interrupt;
            if (signedInterrupt < MIN_INTERRUPT || signedInterrupt > MAX_INTERRUPT) {
                configError = TRUE;
                configErrorValue = (ULONG)(LONG)signedInterrupt;
                break;
            }
            if (adapter->CardType == CARD_TYPE_PC_CARD) {
                adapter->AttributeMemoryAddress = DEFAULT_ATTRIBUTE_ADDRESS;
                ReadKeyword(config, AttributeAddressKeyword, NdisParameterHexInteger,
                            &adapter->AttributeMemoryAddress);
                adapter->AttributeMemorySize = DEFAULT_ATTRIBUTE_SIZE;
                ReadKeyword(config, AttributeSizeKeyword, NdisParameterHexInteger,
                            &adapter->AttributeMemorySize);
            }
        }

        if (ReadKeyword(config, MulticastListKeyword, NdisParameterInteger, &value) &&
            value <= MAX_MULTICAST_LIST) {
            maxMulticast = value;
        }
    } while (0);

    NdisCloseConfiguration(config);

    adapter->TxSlotCount = TX_SLOT_COUNT;
    adapter->IoBaseAddress = ioBase;
    adapter->InterruptNumber = interrupt;
    adapter->MaxMulticastList = maxMulticast;
    adapter->MiniportHandle = MiniportAdapterHandle;
    adapter->LookaheadSize = MAX_LOOKAHEAD;

    if (Ne2000RegisterAdapter(adapter, configError, configErrorValue) != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(adapter, sizeof(AdapterRecord), 0);
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

NE2K_PAGEABLE_CODE NDIS_STATUS Ne2000RegisterAdapter(AdapterRecord* Adapter,
                                                     BOOLEAN ConfigError,
                                                     ULONG ConfigErrorValue) {
    if (Adapter->TxSlotCount > TX_SLOT_COUNT) return NDIS_STATUS_RESOURCES;

    if (ConfigError) {
        NdisWriteErrorLogEntry(Adapter->MiniportHandle,
                               NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1, ConfigErrorValue);
        return NDIS_STATUS_FAILURE;
    }

    NdisMSetAttributes(Adapter->MiniportHandle, Adapter, FALSE,
                       (NDIS_INTERFACE_TYPE)Adapter->BusType);

    NDIS_STATUS status = NdisMRegisterIoPortRange(&Adapter->IoPortBase, Adapter->MiniportHandle,
                                                  Adapter->IoBaseAddress, NIC_PORT_COUNT);
    if (status != NDIS_STATUS_SUCCESS) return status;

    // The three failure branches share one tail: log, undo in reverse order.
    NDIS_ERROR_CODE failure = NDIS_ERROR_CODE_ADAPTER_NOT_FOUND;
    BOOLEAN linked = FALSE;
    status = NDIS_STATUS_ADAPTER_NOT_FOUND;

    do {
        if (Adapter->CardType == CARD_TYPE_ISA && !CardCheckParameters(Adapter)) break;
        if (!CardInitialize(Adapter)) break;

        // Card memory layout; page numbers are 8-bit.
        Adapter->TxActiveIndex = TX_INDEX_IDLE;
        Adapter->TxAreaAddress = Adapter->RamStart;
        Adapter->RxRingAddress = Adapter->RamStart + Adapter->TxSlotCount * CARD_PAGE_SIZE;
        Adapter->RamEndAddress = Adapter->RamStart + Adapter->RamSize;
        Adapter->TxStartPage = (UCHAR)(Adapter->RamStart / CARD_PAGE_SIZE);
        Adapter->RxFirstPage = (UCHAR)(Adapter->TxStartPage + Adapter->TxSlotCount);
        Adapter->RxStopPage = (UCHAR)(Adapter->TxStartPage + Adapter->RamSize / CARD_PAGE_SIZE);
        Adapter->RcrValue = 0;
        for (ULONG i = 0; i < Adapter->TxSlotCount; i++) Adapter->TxSlotState[i] = TX_SLOT_EMPTY;

        if (!CardReadEthernetAddress(Adapter)) break;

        Adapter->ImrValue = IMR_VALUE;
        Adapter->InterruptsArmed = 0;
        Ne2000LinkAdapter(Adapter);
        linked = TRUE;

        if (!CardSetup(Adapter)) break;

        status = NdisMRegisterInterrupt(&Adapter->InterruptObject, Adapter->MiniportHandle,
                                        (UINT)(LONG)(CCHAR)Adapter->InterruptNumber,
                                        (UINT)(LONG)(CCHAR)Adapter->InterruptNumber, TRUE, TRUE,
                                        NdisInterruptLatched);
        if (status != NDIS_STATUS_SUCCESS) {
            failure = NDIS_ERROR_CODE_INTERRUPT_CONNECT;
            break;
        }
        Adapter->InterruptConnected = 1;

        // The interrupt is connected: leave internal loopback, go on the wire.
        CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
        return NDIS_STATUS_SUCCESS;
    } while (0);

    NdisWriteErrorLogEntry(Adapter->MiniportHandle, failure, 0);
    if (linked) {
        Ne2000UnlinkAdapter(Adapter);
        CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_PAGE0);
    }
    NdisMDeregisterIoPortRange(Adapter->MiniportHandle, Adapter->IoBaseAddress, NIC_PORT_COUNT,
                               Adapter->IoPortBase);
    return status;
}
