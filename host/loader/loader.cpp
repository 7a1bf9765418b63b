#include "loader/loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace loader {

namespace {

std::string hex(std::uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

int protection(const pe::Section& s) {
    if (s.executable()) return PROT_READ | PROT_EXEC;
    if (s.writable()) return PROT_READ | PROT_WRITE;
    return PROT_READ;
}

// Everything about the image that can be refused before mapping it.
bool acceptable(const pe::Image& img, std::string* error) {
    auto fail = [&](const std::string& what) {
        *error = what;
        return false;
    };
    if (sizeof(void*) != 4) return fail("a 32-bit x86 image runs only in a 32-bit process");
    if (img.machine != pe::kMachineI386)
        return fail("machine " + hex(img.machine) + " is not 32-bit x86 (" + hex(pe::kMachineI386) + ")");
    long page = sysconf(_SC_PAGESIZE);
    if (img.section_alignment < static_cast<std::uint32_t>(page) || img.section_alignment % page)
        return fail("section alignment " + hex(img.section_alignment) +
                    " is not a multiple of the page size: sections cannot be protected apart");
    if (img.image_size == 0 || img.headers_size > img.image_size)
        return fail("image size " + hex(img.image_size) + " cannot hold its headers");
    for (const pe::Section& s : img.sections)
        if (s.executable() && s.writable())
            return fail("section " + s.name + " is both writable and executable");
    if (img.relocations.empty()) return fail("the image has no base relocations: it could run only at its preferred base");
    if (!img.section_at(img.entry_rva) || !img.section_at(img.entry_rva)->executable())
        return fail("the entry point (RVA " + hex(img.entry_rva) + ") is not in a code section");
    return true;
}

}  // namespace

Loaded::~Loaded() { munmap(base_, length_); }

void Loaded::discard() {
    for (const pe::Section& s : image_.sections)
        if (s.discardable() && s.size) mprotect(at(s.rva), s.size, PROT_NONE);
    discarded_ = true;
}

std::unique_ptr<Loaded> load(const std::vector<std::uint8_t>& file, const Resolver& resolve,
                             std::string* error) {
    std::string local;
    if (!error) error = &local;
    auto parsed = pe::parse(file, error);
    if (!parsed || !acceptable(*parsed, error)) return nullptr;
    const pe::Image& img = *parsed;

    void* mem = mmap(nullptr, img.image_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        *error = "no room for " + hex(img.image_size) + " bytes of image";
        return nullptr;
    }
    std::unique_ptr<Loaded> loaded(new Loaded(img, static_cast<std::uint8_t*>(mem), img.image_size));
    std::uint8_t* base = loaded->base_;

    std::memcpy(base, file.data(), std::min<std::size_t>(img.headers_size, file.size()));
    for (const pe::Section& s : img.sections) std::memcpy(base + s.rva, file.data() + s.raw_offset, s.raw_size);

    // Base relocations: every 32-bit address in the image moves by the
    // distance between where it lies and where it was linked to lie.
    std::uint32_t delta = static_cast<std::uint32_t>(loaded->base() - img.image_base);
    for (const pe::Relocation& r : img.relocations) {
        if (r.type == pe::kRelocAbsolute) continue;
        if (r.type != pe::kRelocHighLow) {
            *error = "relocation at RVA " + hex(r.rva) + " has type " + std::to_string(r.type) +
                     ", not a 32-bit address (3)";
            return nullptr;
        }
        if (std::uint64_t{r.rva} + 4 > img.image_size) {
            *error = "relocation at RVA " + hex(r.rva) + " lies outside the image (" + hex(img.image_size) + " bytes)";
            return nullptr;
        }
        std::uint32_t v;
        std::memcpy(&v, base + r.rva, 4);
        v += delta;
        std::memcpy(base + r.rva, &v, 4);
    }

    // Imports: each slot of the address table gets the operation's address.
    for (const pe::Import& imp : img.imports) {
        if (imp.name.empty()) {
            *error = "imports ordinal " + std::to_string(imp.ordinal) + " of " + imp.module +
                     "; only imports by name can be bound";
            return nullptr;
        }
        std::string why;
        void* fn = resolve(imp.module, imp.name, &why);
        if (!fn) {
            *error = "unknown import " + imp.module + "!" + imp.name + ": " + why;
            return nullptr;
        }
        if (std::uint64_t{imp.slot_rva} + 4 > img.image_size) {
            *error = "the import address slot of " + imp.module + "!" + imp.name + " lies outside the image";
            return nullptr;
        }
        std::uint32_t address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fn));
        std::memcpy(base + imp.slot_rva, &address, 4);
    }

    mprotect(base, img.headers_size, PROT_READ);
    for (const pe::Section& s : img.sections)
        if (s.size && mprotect(base + s.rva, s.size, protection(s)) != 0) {
            *error = "section " + s.name + " could not be protected";
            return nullptr;
        }
    return loaded;
}

}  // namespace loader
