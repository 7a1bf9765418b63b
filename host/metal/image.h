// The driver image the kernel carries (ne2000.sys as the build made it,
// unmodified, embedded by image.S): read with the project's PE reader,
// mapped into a fixed region above the kernel, relocated there and bound
// to this kernel's wrapper and HAL operations by the project's loader.
#ifndef METAL_IMAGE_H
#define METAL_IMAGE_H

#include <cstdint>

#include "platform/ndis.h"

namespace metal {

struct LoadedImage {
    std::uint32_t file_size;
    std::uint32_t base;            // where it lies
    std::uint32_t preferred_base;  // where it was linked to lie
    std::uint32_t size;            // bytes in memory
    DRIVER_INITIALIZE entry;
};

// Maps and binds the embedded image; fails the run, saying why, when the
// image cannot be loaded.
LoadedImage image_load();
// Fills the discardable sections (INIT) with breakpoint instructions once
// DriverEntry has returned: a later call into them stops the run.
void image_discard();

}  // namespace metal

#endif  // METAL_IMAGE_H
