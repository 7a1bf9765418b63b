// Entry point and the lifecycle handlers: initialization, halt, reset.
#ifndef DRIVER_DRIVER_H
#define DRIVER_DRIVER_H

#include "driver/adapter.h"

extern "C" NTSTATUS NDIS_API DriverEntry(PVOID DriverObject, PVOID RegistryPath);

// Highest acceptable physical address for the record: every bit set.
extern const NDIS_PHYSICAL_ADDRESS HighestAcceptableMax;

NDIS_STATUS NDIS_API Ne2000Initialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                             PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                             NDIS_HANDLE MiniportAdapterHandle,
                             NDIS_HANDLE WrapperConfigurationContext);
NDIS_STATUS Ne2000RegisterAdapter(AdapterRecord* Adapter, BOOLEAN ConfigError,
                                  ULONG ConfigErrorValue);
VOID NDIS_API Ne2000Halt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NDIS_API Ne2000Reset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);

#endif  // DRIVER_DRIVER_H
