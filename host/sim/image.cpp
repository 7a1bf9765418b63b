#include "sim/image.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "loader/loader.h"
#include "sim/host.h"

namespace sim {

namespace {

template <typename F>
void* op(F* function) { return reinterpret_cast<void*>(function); }

constexpr const char kWrapper[] = "NDIS.SYS";
constexpr const char kHal[] = "HAL.DLL";

void* resolve(const std::string& module, const std::string& name, std::string* why) {
    bool module_known = false;
    for (const ImageBinding& b : image_bindings()) {
        if (module != b.module) continue;
        module_known = true;
        if (name == b.name) return b.function;
    }
    *why = module_known ? "the host's " + module + " has no operation of that name"
                        : "the host provides no module " + module;
    return nullptr;
}

}  // namespace

const std::vector<ImageBinding>& image_bindings() {
    static const std::vector<ImageBinding> table = {
        {kWrapper, "NdisInitializeWrapper", op(&NdisInitializeWrapper)},
        {kWrapper, "NdisMRegisterMiniport", op(&NdisMRegisterMiniport)},
        {kWrapper, "NdisOpenConfiguration", op(&NdisOpenConfiguration)},
        {kWrapper, "NdisReadConfiguration", op(&NdisReadConfiguration)},
        {kWrapper, "NdisReadNetworkAddress", op(&NdisReadNetworkAddress)},
        {kWrapper, "NdisReadMcaPosInformation", op(&NdisReadMcaPosInformation)},
        {kWrapper, "NdisCloseConfiguration", op(&NdisCloseConfiguration)},
        {kWrapper, "NdisSystemProcessorCount", op(&NdisSystemProcessorCount)},
        {kWrapper, "NdisAllocateMemory", op(&NdisAllocateMemory)},
        {kWrapper, "NdisFreeMemory", op(&NdisFreeMemory)},
        {kWrapper, "NdisMSetAttributes", op(&NdisMSetAttributes)},
        {kWrapper, "NdisMRegisterIoPortRange", op(&NdisMRegisterIoPortRange)},
        {kWrapper, "NdisMDeregisterIoPortRange", op(&NdisMDeregisterIoPortRange)},
        {kWrapper, "NdisMMapIoSpace", op(&NdisMMapIoSpace)},
        {kWrapper, "NdisMUnmapIoSpace", op(&NdisMUnmapIoSpace)},
        {kWrapper, "NdisMRegisterInterrupt", op(&NdisMRegisterInterrupt)},
        {kWrapper, "NdisMDeregisterInterrupt", op(&NdisMDeregisterInterrupt)},
        {kWrapper, "NdisMSynchronizeWithInterrupt", op(&NdisMSynchronizeWithInterrupt)},
        {kWrapper, "NdisMSendComplete", op(&NdisMSendComplete)},
        {kWrapper, "EthFilterDprIndicateReceive", op(&EthFilterDprIndicateReceive)},
        {kWrapper, "EthFilterDprIndicateReceiveComplete", op(&EthFilterDprIndicateReceiveComplete)},
        {kWrapper, "NdisWriteErrorLogEntry", op(&NdisWriteErrorLogEntry)},
        {kHal, "READ_PORT_UCHAR", op(&READ_PORT_UCHAR)},
        {kHal, "READ_PORT_USHORT", op(&READ_PORT_USHORT)},
        {kHal, "WRITE_PORT_UCHAR", op(&WRITE_PORT_UCHAR)},
        {kHal, "WRITE_PORT_USHORT", op(&WRITE_PORT_USHORT)},
        {kHal, "READ_PORT_BUFFER_UCHAR", op(&READ_PORT_BUFFER_UCHAR)},
        {kHal, "READ_PORT_BUFFER_USHORT", op(&READ_PORT_BUFFER_USHORT)},
        {kHal, "WRITE_PORT_BUFFER_UCHAR", op(&WRITE_PORT_BUFFER_UCHAR)},
        {kHal, "WRITE_PORT_BUFFER_USHORT", op(&WRITE_PORT_BUFFER_USHORT)},
        {kHal, "KeStallExecutionProcessor", op(&KeStallExecutionProcessor)},
    };
    return table;
}

DriverImage::DriverImage(std::unique_ptr<loader::Loaded> loaded) : loaded_(std::move(loaded)) {}
DriverImage::~DriverImage() = default;

std::unique_ptr<DriverImage> DriverImage::from_bytes(const std::vector<std::uint8_t>& file, std::string* error) {
    auto loaded = loader::load(file, resolve, error);
    if (!loaded) return nullptr;
    return std::unique_ptr<DriverImage>(new DriverImage(std::move(loaded)));
}

std::unique_ptr<DriverImage> DriverImage::open(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return nullptr;
    }
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = from_bytes(file, error);
    if (!image) *error = path + ": " + *error;
    return image;
}

std::uintptr_t DriverImage::base() const { return loaded_->base(); }
std::uint32_t DriverImage::preferred_base() const { return loaded_->image().image_base; }

DRIVER_INITIALIZE DriverImage::entry() const { return reinterpret_cast<DRIVER_INITIALIZE>(loaded_->entry()); }

NTSTATUS DriverImage::load(Host& host) {
    NTSTATUS status = host.load_driver(entry());
    loaded_->discard();
    return status;
}

}  // namespace sim
