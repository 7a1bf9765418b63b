#include "loader/loader.h"

namespace loader {

namespace {

bool fail(Message* error, Message& what) {
    error->clear();
    *error << what.c_str();
    return false;
}

void copy(std::uint8_t* to, const std::uint8_t* from, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; i++) to[i] = from[i];
}

std::uint32_t get32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

bool acceptable(const pe::Image& img, std::uint32_t page_size, Message* error) {
    Message m;
    if (sizeof(void*) != 4) return fail(error, m << "a 32-bit x86 image runs only in a 32-bit process");
    if (img.machine != pe::kMachineI386)
        return fail(error, m << "machine " << Hex{img.machine} << " is not 32-bit x86 (" << Hex{pe::kMachineI386} << ")");
    if (img.section_alignment < page_size || img.section_alignment % page_size)
        return fail(error, m << "section alignment " << Hex{img.section_alignment}
                             << " is not a multiple of the page size: sections cannot be protected apart");
    if (img.image_size == 0 || img.headers_size > img.image_size)
        return fail(error, m << "image size " << Hex{img.image_size} << " cannot hold its headers");
    for (const pe::Section& s : img)
        if (s.executable() && s.writable()) return fail(error, m << "section " << s.name << " is both writable and executable");
    if (img.relocations().empty())
        return fail(error, m << "the image has no base relocations: it could run only at its preferred base");
    const pe::Section* entry = img.section_at(img.entry_rva);
    if (!entry || !entry->executable())
        return fail(error, m << "the entry point (RVA " << Hex{img.entry_rva} << ") is not in a code section");
    return true;
}

bool map(const pe::Image& img, std::uint8_t* base, Resolver resolve, void* context, Message* error) {
    Message m;
    for (std::uint32_t i = 0; i < img.image_size; i++) base[i] = 0;
    std::uint32_t headers = img.headers_size < img.file_size() ? img.headers_size : static_cast<std::uint32_t>(img.file_size());
    copy(base, img.file(), headers);
    for (const pe::Section& s : img) copy(base + s.rva, img.file() + s.raw_offset, s.raw_size);

    // Base relocations: every 32-bit address in the image moves by the
    // distance between where it lies and where it was linked to lie.
    std::uint32_t delta = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(base)) - img.image_base;
    for (pe::Relocation r : img.relocations()) {
        if (r.type == pe::kRelocAbsolute) continue;
        if (r.type != pe::kRelocHighLow)
            return fail(error, m << "relocation at RVA " << Hex{r.rva} << " has type " << std::uint32_t{r.type}
                                 << ", not a 32-bit address (3)");
        if (std::uint64_t{r.rva} + 4 > img.image_size)
            return fail(error, m << "relocation at RVA " << Hex{r.rva} << " lies outside the image (" << Hex{img.image_size} << " bytes)");
        put32(base + r.rva, get32(base + r.rva) + delta);
    }

    // Imports: each slot of the address table gets the operation's address.
    for (const pe::Import& imp : img.imports()) {
        if (!*imp.name)
            return fail(error, m << "imports ordinal " << imp.ordinal << " of " << imp.module << "; only imports by name can be bound");
        Message why;
        void* fn = resolve(context, imp.module, imp.name, &why);
        if (!fn) return fail(error, m << "unknown import " << imp.module << "!" << imp.name << ": " << why.c_str());
        if (std::uint64_t{imp.slot_rva} + 4 > img.image_size)
            return fail(error, m << "the import address slot of " << imp.module << "!" << imp.name << " lies outside the image");
        put32(base + imp.slot_rva, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(fn)));
    }
    return true;
}

}  // namespace loader
