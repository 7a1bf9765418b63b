// The driver image (ne2000.sys) on the host platform: the table that binds
// each operation the image may import, by module and name, to this
// platform's implementation of it, and the image loaded through that table.
//
//   std::string error;
//   auto image = sim::DriverImage::open("build/ne2000.sys", &error);  // null: error says why
//   sim::Host host;
//   host.add_card(...);
//   ASSERT_EQ(image->load(host), 0u);   // DriverEntry, then INIT is discarded
//   ... host.initialize(...) as with the linked driver ...
//
// The image keeps running only while the DriverImage lives: keep it past
// the host's last call into the driver. Runs in a 32-bit build only.
#ifndef SIM_IMAGE_H
#define SIM_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loader/pe.h"
#include "platform/ndis.h"

namespace sim {

class Host;

// One platform operation an image may import.
struct ImageBinding {
    const char* module;  // "NDIS.SYS" (the wrapper) or "HAL.DLL" (port I/O and stall)
    const char* name;    // the plain name, as the image imports it
    void* function;      // the operation of platform/ndis.h
};

// Every operation of platform/ndis.h, with the module that offers it.
const std::vector<ImageBinding>& image_bindings();

class DriverImage {
public:
    // Reads and maps the image and binds its imports. Null, with *error
    // naming the file and what is wrong, when it cannot.
    static std::unique_ptr<DriverImage> open(const std::string& path, std::string* error);
    static std::unique_ptr<DriverImage> from_bytes(const std::vector<std::uint8_t>& file, std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // Calls DriverEntry through host.load_driver, then discards INIT.
    // Once per image.
    NTSTATUS load(Host& host);
    DRIVER_INITIALIZE entry() const;

    // Where the image lies, and where it was linked to lie.
    std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::uint32_t preferred_base() const { return image_.image_base; }
    std::uint8_t* at(std::uint32_t rva) const { return base_ + rva; }
    const pe::Image& image() const { return image_; }

    // Makes every discardable section (INIT) inaccessible, so that a later
    // call into it faults as it would on the target. load() does it once
    // DriverEntry has returned.
    void discard();
    bool discarded() const { return discarded_; }

private:
    DriverImage() = default;
    std::vector<std::uint8_t> file_;  // the bytes image_ reads
    pe::Image image_;
    std::uint8_t* base_ = nullptr;    // mapped, image_.image_size bytes
    bool discarded_ = false;
};

}  // namespace sim

#endif  // SIM_IMAGE_H
