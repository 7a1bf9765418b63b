#include "metal/image.h"

#include "loader/loader.h"
#include "loader/pe.h"
#include "metal/console.h"
#include "metal/verdict.h"
#include "platform/imports.h"

extern "C" const std::uint8_t metal_image_start[], metal_image_end[];

namespace metal {

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr std::uint32_t kRoom = 128 * 1024;

alignas(kPage) std::uint8_t region[kRoom];
pe::Image image;

struct Binding {
    const char* module;
    const char* name;
    void* function;
};

#define METAL_BIND(module, operation) {module, #operation, reinterpret_cast<void*>(&operation)},
const Binding kBindings[] = {NDIS_IMAGE_IMPORTS(METAL_BIND)};
#undef METAL_BIND

void* resolve(void*, const char* module, const char* name, loader::Message* why) {
    bool module_known = false;
    for (const Binding& b : kBindings) {
        if (!loader::same_text(module, b.module)) continue;
        module_known = true;
        if (loader::same_text(name, b.name)) return b.function;
    }
    if (module_known)
        *why << "this kernel's " << module << " has no operation of that name";
    else
        *why << "this kernel provides no module " << module;
    return nullptr;
}

[[noreturn]] void refuse(const loader::Message& why) {
    print("image: %s\n", why.c_str());
    fail("the driver image cannot be loaded");
}

}  // namespace

LoadedImage image_load() {
    loader::Message why;
    auto size = static_cast<std::uint32_t>(metal_image_end - metal_image_start);
    if (!image.parse(metal_image_start, size, &why) || !loader::acceptable(image, kPage, &why)) refuse(why);
    if (image.image_size > kRoom) {
        why << "the image needs " << image.image_size << " bytes, the kernel keeps " << kRoom;
        refuse(why);
    }
    if (!loader::map(image, region, resolve, nullptr, &why)) refuse(why);
    LoadedImage l;
    l.file_size = size;
    l.base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(region));
    l.preferred_base = image.image_base;
    l.size = image.image_size;
    l.entry = reinterpret_cast<DRIVER_INITIALIZE>(region + image.entry_rva);
    return l;
}

void image_discard() {
    for (const pe::Section& s : image)
        if (s.discardable())
            for (std::uint32_t i = 0; i < s.size; i++) region[s.rva + i] = 0xCC;  // int3
}

}  // namespace metal
