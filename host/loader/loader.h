// Loads a 32-bit x86 PE image into this process: maps it at an address the
// system chooses (not its preferred base), applies its base relocations,
// binds each import by module and name through a resolver, and protects
// its sections (code read+execute, data read or read+write; an image with a
// section both writable and executable is refused). Nothing of the image
// runs here: the caller calls entry() and then discard(), which makes the
// discardable sections (INIT) inaccessible, so a later call into them
// faults as it would on the target.
#ifndef LOADER_LOADER_H
#define LOADER_LOADER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "loader/pe.h"

namespace loader {

// The address of an imported operation; null, with *why set to the reason
// (no such module, no such operation in it), when there is none.
using Resolver =
    std::function<void*(const std::string& module, const std::string& name, std::string* why)>;

class Loaded {
public:
    ~Loaded();
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    const pe::Image& image() const { return image_; }
    std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::uint8_t* at(std::uint32_t rva) const { return base_ + rva; }
    void* entry() const { return at(image_.entry_rva); }

    // Makes every discardable section inaccessible. Once the entry point has
    // returned.
    void discard();
    bool discarded() const { return discarded_; }

private:
    friend std::unique_ptr<Loaded> load(const std::vector<std::uint8_t>&, const Resolver&, std::string*);
    Loaded(pe::Image image, std::uint8_t* base, std::size_t length)
        : image_(std::move(image)), base_(base), length_(length) {}

    pe::Image image_;
    std::uint8_t* base_;
    std::size_t length_;
    bool discarded_ = false;
};

// Loads `file`. On failure returns null and sets *error to what is wrong
// with the image (e.g. "unknown import NDIS.SYS!NdisFoo: ..."); nothing
// stays mapped.
std::unique_ptr<Loaded> load(const std::vector<std::uint8_t>& file, const Resolver& resolve,
                             std::string* error);

}  // namespace loader

#endif  // LOADER_LOADER_H
