// The platform operations an image of the driver may import, each with the
// module that offers it: the 22 of the wrapper (NDIS.SYS) and the 9 of the
// hardware abstraction layer (HAL.DLL), as image/ndis.def and image/hal.def
// list them for the image's link. A platform that loads the image binds
// each name to its own implementation of the operation in ndis.h:
//
//   #define BIND(module, operation) {module, #operation, reinterpret_cast<void*>(&operation)},
//   const Binding table[] = {NDIS_IMAGE_IMPORTS(BIND)};
#ifndef PLATFORM_IMPORTS_H
#define PLATFORM_IMPORTS_H

#include "platform/ndis.h"

#define NDIS_IMAGE_IMPORTS(X)                          \
    X("NDIS.SYS", NdisInitializeWrapper)               \
    X("NDIS.SYS", NdisMRegisterMiniport)               \
    X("NDIS.SYS", NdisOpenConfiguration)               \
    X("NDIS.SYS", NdisReadConfiguration)               \
    X("NDIS.SYS", NdisReadNetworkAddress)              \
    X("NDIS.SYS", NdisReadMcaPosInformation)           \
    X("NDIS.SYS", NdisCloseConfiguration)              \
    X("NDIS.SYS", NdisSystemProcessorCount)            \
    X("NDIS.SYS", NdisAllocateMemory)                  \
    X("NDIS.SYS", NdisFreeMemory)                      \
    X("NDIS.SYS", NdisMSetAttributes)                  \
    X("NDIS.SYS", NdisMRegisterIoPortRange)            \
    X("NDIS.SYS", NdisMDeregisterIoPortRange)          \
    X("NDIS.SYS", NdisMMapIoSpace)                     \
    X("NDIS.SYS", NdisMUnmapIoSpace)                   \
    X("NDIS.SYS", NdisMRegisterInterrupt)              \
    X("NDIS.SYS", NdisMDeregisterInterrupt)            \
    X("NDIS.SYS", NdisMSynchronizeWithInterrupt)       \
    X("NDIS.SYS", NdisMSendComplete)                   \
    X("NDIS.SYS", EthFilterDprIndicateReceive)         \
    X("NDIS.SYS", EthFilterDprIndicateReceiveComplete) \
    X("NDIS.SYS", NdisWriteErrorLogEntry)              \
    X("HAL.DLL", READ_PORT_UCHAR)                      \
    X("HAL.DLL", READ_PORT_USHORT)                     \
    X("HAL.DLL", WRITE_PORT_UCHAR)                     \
    X("HAL.DLL", WRITE_PORT_USHORT)                    \
    X("HAL.DLL", READ_PORT_BUFFER_UCHAR)               \
    X("HAL.DLL", READ_PORT_BUFFER_USHORT)              \
    X("HAL.DLL", WRITE_PORT_BUFFER_UCHAR)              \
    X("HAL.DLL", WRITE_PORT_BUFFER_USHORT)             \
    X("HAL.DLL", KeStallExecutionProcessor)

#endif  // PLATFORM_IMPORTS_H
