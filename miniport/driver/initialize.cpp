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

// What the configuration gives beyond the fields it sets in the record:
// the I/O base, the interrupt line, the multicast list size, and a
// configuration error with its event-log data word.
struct CONFIG_VALUES {
    ULONG IoBase;
    UCHAR Interrupt;
    ULONG MaxMulticast;
    BOOLEAN Error;
    ULONG ErrorValue;
};

NE2K_PAGEABLE_CODE BOOLEAN SetConfigError(CONFIG_VALUES* Values, ULONG ErrorValue) {
    Values->Error = TRUE;
    Values->ErrorValue = ErrorValue;
    return FALSE;
}

// MCA POS data: an adapter of a known identifier answers at the I/O base
// and interrupt its option byte selects. FALSE (a configuration error) when
// the POS data cannot be read; *Decoded tells whether it was one of ours.
NE2K_PAGEABLE_CODE BOOLEAN DecodeMcaPos(NDIS_HANDLE Context, CONFIG_VALUES* Values,
                                        BOOLEAN* Decoded) {
    NDIS_MCA_POS_DATA pos;
    NdisZeroMemory(&pos, sizeof pos);
    UINT channel = 0;
    NDIS_STATUS status;
    NdisReadMcaPosInformation(&status, Context, &channel, &pos);
    if (status != NDIS_STATUS_SUCCESS) {
        return SetConfigError(Values, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION);
    }
    *Decoded = pos.AdapterId == MCA_ADAPTER_ID_A || pos.AdapterId == MCA_ADAPTER_ID_B;
    if (!*Decoded) return TRUE;
    ULONG field = (pos.PosData1 >> 1) & 7;
    if (field != 0) {
        Values->IoBase = pos.AdapterId == MCA_ADAPTER_ID_A ? McaIoBaseA[field] : McaIoBaseB[field];
    }
    Values->Interrupt = McaInterrupt[(pos.PosData1 >> 5) & 3];
    return TRUE;
}

// The I/O base and interrupt keywords, range-checked, and the PC Card
// attribute window. FALSE on a configuration error.
NE2K_PAGEABLE_CODE BOOLEAN ReadResources(AdapterRecord* Adapter, NDIS_HANDLE Config,
                                         CONFIG_VALUES* Values) {
    ReadKeyword(Config, IoBaseKeyword, NdisParameterHexInteger, &Values->IoBase);
    if (Values->IoBase < MIN_IO_BASE || Values->IoBase > MAX_IO_BASE) {
        return SetConfigError(Values, Values->IoBase);
    }
    ULONG value;
    if (ReadKeyword(Config, InterruptKeyword, NdisParameterHexInteger, &value)) {
        Values->Interrupt = (UCHAR)value;
    }
    CCHAR signedInterrupt = (CCHAR)Values->Interrupt;
    if (signedInterrupt < MIN_INTERRUPT || signedInterrupt > MAX_INTERRUPT) {
        return SetConfigError(Values, (ULONG)(LONG)signedInterrupt);
    }
    if (Adapter->CardType == CARD_TYPE_PC_CARD) {
        Adapter->AttributeMemoryAddress = DEFAULT_ATTRIBUTE_ADDRESS;
        ReadKeyword(Config, AttributeAddressKeyword, NdisParameterHexInteger,
                    &Adapter->AttributeMemoryAddress);
        Adapter->AttributeMemorySize = DEFAULT_ATTRIBUTE_SIZE;
        ReadKeyword(Config, AttributeSizeKeyword, NdisParameterHexInteger,
                    &Adapter->AttributeMemorySize);
    }
    return TRUE;
}

// Reads the keywords (or the MCA POS data) in their order into the record
// and Values. A configuration error ends the reading; it is reported when
// the adapter is registered.
NE2K_PAGEABLE_CODE VOID ReadConfiguration(AdapterRecord* Adapter, NDIS_HANDLE Config,
                                          NDIS_HANDLE Context, CONFIG_VALUES* Values) {
    ULONG value;
    if (ReadKeyword(Config, CardTypeKeyword, NdisParameterHexInteger, &value)) {
        Adapter->CardType = value;
    }

    NDIS_STATUS status;
    PVOID override = nullptr;
    UINT overrideLength = 0;
    NdisReadNetworkAddress(&status, &override, &overrideLength, Config);
    if (status == NDIS_STATUS_SUCCESS && overrideLength == ETH_ADDRESS_LENGTH) {
        NdisMoveMemory(Adapter->StationAddress, override, ETH_ADDRESS_LENGTH);
    }

    // A machine with more than one processor drives a single adapter.
    if (NdisSystemProcessorCount() > 1 && !Ne2000AdapterListEmpty()) {
        SetConfigError(Values, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION);
        return;
    }

    if (ReadKeyword(Config, BusTypeKeyword, NdisParameterHexInteger, &value)) {
        Adapter->BusType = (UCHAR)value;
    }

    // Decoded POS values get no range test.
    BOOLEAN posDecoded = FALSE;
    if (Adapter->BusType == BUS_TYPE_MCA && !DecodeMcaPos(Context, Values, &posDecoded)) return;
    if (!posDecoded && !ReadResources(Adapter, Config, Values)) return;

    if (ReadKeyword(Config, MulticastListKeyword, NdisParameterInteger, &value) &&
        value <= MAX_MULTICAST_LIST) {
        Values->MaxMulticast = value;
    }
}

// The card memory layout derived from RamStart, RamSize and TxSlotCount;
// page numbers are 8-bit.
NE2K_PAGEABLE_CODE VOID DeriveMemoryLayout(AdapterRecord* Adapter) {
    Adapter->TxActiveIndex = TX_INDEX_IDLE;
    Adapter->TxAreaAddress = Adapter->RamStart;
    Adapter->RxRingAddress = Adapter->RamStart + Adapter->TxSlotCount * CARD_PAGE_SIZE;
    Adapter->RamEndAddress = Adapter->RamStart + Adapter->RamSize;
    Adapter->TxStartPage = (UCHAR)(Adapter->RamStart / CARD_PAGE_SIZE);
    Adapter->RxFirstPage = (UCHAR)(Adapter->TxStartPage + Adapter->TxSlotCount);
    Adapter->RxStopPage = (UCHAR)(Adapter->TxStartPage + Adapter->RamSize / CARD_PAGE_SIZE);
    Adapter->RcrValue = 0;
    for (ULONG i = 0; i < Adapter->TxSlotCount; i++) Adapter->TxSlotState[i] = TX_SLOT_EMPTY;
}

// Finds and sizes the card and reads its station address. FALSE when the
// card does not answer or has no usable RAM or address.
NE2K_PAGEABLE_CODE BOOLEAN FindCard(AdapterRecord* Adapter) {
    if (Adapter->CardType == CARD_TYPE_ISA && !CardCheckParameters(Adapter)) return FALSE;
    if (!CardInitialize(Adapter)) return FALSE;
    DeriveMemoryLayout(Adapter);
    return CardReadEthernetAddress(Adapter);
}

// Undoes a registration that failed after the port range was registered:
// logs the failure, takes the record off the adapter list (stopping the
// controller it started) and releases the ports.
NE2K_PAGEABLE_CODE NDIS_STATUS FailRegistration(AdapterRecord* Adapter, NDIS_ERROR_CODE Code,
                                                BOOLEAN Linked, NDIS_STATUS Status) {
    NdisWriteErrorLogEntry(Adapter->MiniportHandle, Code, 0);
    if (Linked) {
        Ne2000UnlinkAdapter(Adapter);
        CardWriteRegister(Adapter, NIC_CR, CR_STP | CR_PAGE0);
    }
    NdisMDeregisterIoPortRange(Adapter->MiniportHandle, Adapter->IoBaseAddress, NIC_PORT_COUNT,
                               Adapter->IoPortBase);
    return Status;
}

}  // namespace

NE2K_PAGEABLE_CODE NDIS_STATUS NDIS_API Ne2000Initialize(PNDIS_STATUS OpenErrorStatus,
                                                         PUINT SelectedMediumIndex,
                                                         PNDIS_MEDIUM MediumArray,
                                                         UINT MediumArraySize,
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
    CONFIG_VALUES values = {DEFAULT_IO_BASE, DEFAULT_INTERRUPT, MAX_MULTICAST_LIST, FALSE, 0};
    ReadConfiguration(adapter, config, WrapperConfigurationContext, &values);
    NdisCloseConfiguration(config);

    adapter->TxSlotCount = TX_SLOT_COUNT;
    adapter->IoBaseAddress = values.IoBase;
    adapter->InterruptNumber = values.Interrupt;
    adapter->MaxMulticastList = values.MaxMulticast;
    adapter->MiniportHandle = MiniportAdapterHandle;
    adapter->LookaheadSize = MAX_LOOKAHEAD;

    if (Ne2000RegisterAdapter(adapter, values.Error, values.ErrorValue) != NDIS_STATUS_SUCCESS) {
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

    if (!FindCard(Adapter)) {
        return FailRegistration(Adapter, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, FALSE,
                                NDIS_STATUS_ADAPTER_NOT_FOUND);
    }

    Adapter->ImrValue = IMR_VALUE;
    Adapter->InterruptsArmed = 0;
    Ne2000LinkAdapter(Adapter);

    if (!CardSetup(Adapter)) {
        return FailRegistration(Adapter, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, TRUE,
                                NDIS_STATUS_ADAPTER_NOT_FOUND);
    }

    status = NdisMRegisterInterrupt(&Adapter->InterruptObject, Adapter->MiniportHandle,
                                    (UINT)(LONG)(CCHAR)Adapter->InterruptNumber,
                                    (UINT)(LONG)(CCHAR)Adapter->InterruptNumber, TRUE, TRUE,
                                    NdisInterruptLatched);
    if (status != NDIS_STATUS_SUCCESS) {
        return FailRegistration(Adapter, NDIS_ERROR_CODE_INTERRUPT_CONNECT, TRUE, status);
    }
    Adapter->InterruptConnected = 1;

    // The interrupt is connected: leave internal loopback, go on the wire.
    CardWriteRegister(Adapter, NIC_TCR, TCR_NORMAL);
    return NDIS_STATUS_SUCCESS;
}
