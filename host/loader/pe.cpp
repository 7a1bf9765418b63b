#include "loader/pe.h"

#include <cstdio>

namespace pe {

namespace {

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr unsigned kDirExport = 0, kDirImport = 1, kDirRelocation = 5;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::uint32_t kImportByOrdinal = 0x80000000u;
constexpr std::size_t kMaxName = 256;

std::string hex(std::uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

// Reads the file through offsets and RVAs, each read checked; the first
// failure is kept as the error.
class Reader {
public:
    Reader(const std::vector<std::uint8_t>& file, std::string* error) : f_(file), error_(error) {}

    bool fits(std::uint64_t offset, std::uint64_t len) const { return offset + len <= f_.size(); }
    std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>(f_[at] | f_[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const {
        return f_[at] | f_[at + 1] << 8 | f_[at + 2] << 16 | static_cast<std::uint32_t>(f_[at + 3]) << 24;
    }

    bool fail(const std::string& what) {
        if (error_ && error_->empty()) *error_ = what;
        return false;
    }

    // File offset of `len` bytes at `rva`, when they lie in the headers or
    // in one section's file data.
    std::optional<std::size_t> offset_of(const Image& img, std::uint32_t rva, std::uint32_t len) const {
        if (rva < img.headers_size && std::uint64_t{rva} + len <= img.headers_size && fits(rva, len))
            return rva;
        for (const Section& s : img.sections)
            if (rva >= s.rva && std::uint64_t{rva} - s.rva + len <= s.raw_size)
                return s.raw_offset + (rva - s.rva);
        return std::nullopt;
    }

    std::optional<std::string> string_at(const Image& img, std::uint32_t rva) const {
        for (std::uint32_t n = 0; n < kMaxName; n++) {
            auto at = offset_of(img, rva + n, 1);
            if (!at) return std::nullopt;
            if (f_[*at] == 0) {
                std::size_t start = *offset_of(img, rva, 1);
                return std::string(reinterpret_cast<const char*>(&f_[start]), n);
            }
        }
        return std::nullopt;
    }

    const std::vector<std::uint8_t>& f_;
    std::string* error_;
};

bool read_imports(Reader& r, Image& img, std::uint32_t dir_rva, std::uint32_t dir_size) {
    if (dir_size == 0) return true;
    for (std::uint32_t d = 0;; d++) {
        auto at = r.offset_of(img, dir_rva + d * kImportDescriptorSize, kImportDescriptorSize);
        if (!at) return r.fail("import directory entry " + std::to_string(d) + " at RVA " +
                               hex(dir_rva + d * kImportDescriptorSize) + " lies outside the image's data");
        std::uint32_t lookup = r.u32(*at), name_rva = r.u32(*at + 12), slots = r.u32(*at + 16);
        if (name_rva == 0 && slots == 0) return true;
        auto module = r.string_at(img, name_rva);
        if (!module) return r.fail("the module name of import directory entry " + std::to_string(d) +
                                   " (RVA " + hex(name_rva) + ") lies outside the image's data");
        std::uint32_t table = lookup ? lookup : slots;
        for (std::uint32_t i = 0;; i++) {
            auto e = r.offset_of(img, table + 4 * i, 4);
            if (!e) return r.fail("the import table of " + *module + " runs outside the image's data");
            std::uint32_t v = r.u32(*e);
            if (v == 0) break;
            Import imp;
            imp.module = *module;
            imp.slot_rva = slots + 4 * i;
            if (v & kImportByOrdinal) {
                imp.ordinal = static_cast<std::uint16_t>(v);
            } else {
                auto name = r.string_at(img, v + 2);  // after the 16-bit hint
                if (!name)
                    return r.fail("the name of import " + std::to_string(i) + " of " + *module + " (RVA " +
                                  hex(v) + ") lies outside the image's data");
                if (name->empty())
                    return r.fail("import " + std::to_string(i) + " of " + *module + " has an empty name");
                imp.name = *name;
            }
            img.imports.push_back(imp);
        }
    }
}

bool read_relocations(Reader& r, Image& img, std::uint32_t dir_rva, std::uint32_t dir_size) {
    std::uint32_t pos = 0;
    while (pos + 8 <= dir_size) {
        auto at = r.offset_of(img, dir_rva + pos, 8);
        if (!at) return r.fail("the base relocation table at RVA " + hex(dir_rva + pos) + " lies outside the image's data");
        std::uint32_t page = r.u32(*at), block = r.u32(*at + 4);
        if (block < 8 || block % 2 || pos + block > dir_size)
            return r.fail("a base relocation block at RVA " + hex(dir_rva + pos) + " has a bad size (" + hex(block) + ")");
        auto entries = r.offset_of(img, dir_rva + pos + 8, block - 8);
        if (!entries) return r.fail("the base relocation table runs outside the image's data");
        for (std::uint32_t i = 0; i < (block - 8) / 2; i++) {
            std::uint16_t e = r.u16(*entries + 2 * i);
            img.relocations.push_back({page + (e & 0x0FFFu), static_cast<unsigned>(e >> 12)});
        }
        pos += block;
    }
    return true;
}

bool read_exports(Reader& r, Image& img, std::uint32_t dir_rva, std::uint32_t dir_size) {
    if (dir_size == 0) return true;
    auto at = r.offset_of(img, dir_rva, 40);
    if (!at) return r.fail("the export directory lies outside the image's data");
    std::uint32_t count = r.u32(*at + 24), names = r.u32(*at + 32);
    for (std::uint32_t i = 0; i < count; i++) {
        auto e = r.offset_of(img, names + 4 * i, 4);
        auto name = e ? r.string_at(img, r.u32(*e)) : std::nullopt;
        if (!name) return r.fail("export name " + std::to_string(i) + " lies outside the image's data");
        img.exports.push_back(*name);
    }
    return true;
}

}  // namespace

const Section* Image::section(const std::string& name) const {
    for (const Section& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

const Section* Image::section_at(std::uint32_t rva) const {
    for (const Section& s : sections)
        if (s.contains(rva)) return &s;
    return nullptr;
}

std::optional<Image> parse(const std::vector<std::uint8_t>& file, std::string* error) {
    if (error) error->clear();
    Reader r(file, error);
    if (!r.fits(0, 0x40) || file[0] != 'M' || file[1] != 'Z') {
        r.fail("not a PE image (no MZ signature)");
        return std::nullopt;
    }
    std::uint32_t pe_at = r.u32(0x3C);
    if (!r.fits(pe_at, 4) || r.u32(pe_at) != 0x00004550u) {
        r.fail("not a PE image (no PE signature at offset " + hex(pe_at) + ")");
        return std::nullopt;
    }
    std::size_t coff = pe_at + 4, opt = coff + 20;
    if (!r.fits(opt, 2)) {
        r.fail("truncated: the file ends inside the file header");
        return std::nullopt;
    }
    Image img;
    img.machine = r.u16(coff);
    std::uint16_t section_count = r.u16(coff + 2);
    std::uint16_t opt_size = r.u16(coff + 16);
    img.characteristics = r.u16(coff + 18);
    if (r.u16(opt) != kMagicPe32) {
        r.fail("not a 32-bit image (optional header magic " + hex(r.u16(opt)) + ", expected 0x10b)");
        return std::nullopt;
    }
    if (opt_size < 96 || !r.fits(opt, opt_size)) {
        r.fail("truncated: the file ends inside the optional header");
        return std::nullopt;
    }
    img.entry_rva = r.u32(opt + 16);
    img.image_base = r.u32(opt + 28);
    img.section_alignment = r.u32(opt + 32);
    img.image_size = r.u32(opt + 56);
    img.headers_size = r.u32(opt + 60);
    img.checksum = r.u32(opt + 64);
    img.checksum_offset = static_cast<std::uint32_t>(opt + 64);
    img.subsystem = r.u16(opt + 68);
    std::uint32_t dir_count = r.u32(opt + 92);
    auto directory = [&](unsigned i) -> std::pair<std::uint32_t, std::uint32_t> {
        if (i >= dir_count || 96 + 8 * (i + 1) > opt_size) return {0, 0};
        return {r.u32(opt + 96 + 8 * i), r.u32(opt + 100 + 8 * i)};
    };

    std::size_t table = opt + opt_size;
    if (!r.fits(table, std::uint64_t{section_count} * kSectionHeaderSize)) {
        r.fail("truncated: the file ends inside the section table");
        return std::nullopt;
    }
    for (unsigned i = 0; i < section_count; i++) {
        std::size_t h = table + i * kSectionHeaderSize;
        Section s;
        for (std::size_t k = 0; k < 8 && file[h + k]; k++) s.name.push_back(static_cast<char>(file[h + k]));
        s.size = r.u32(h + 8);
        s.rva = r.u32(h + 12);
        s.raw_size = r.u32(h + 16);
        s.raw_offset = r.u32(h + 20);
        s.flags = r.u32(h + 36);
        s.header_offset = static_cast<std::uint32_t>(h);
        if (s.raw_size > s.size) s.raw_size = s.size;  // file padding past the section's end
        if (!r.fits(s.raw_offset, s.raw_size)) {
            r.fail("truncated: section " + s.name + " needs file bytes " + hex(s.raw_offset) + ".." +
                   hex(std::uint64_t{s.raw_offset} + s.raw_size) + ", the file has " + hex(file.size()));
            return std::nullopt;
        }
        if (std::uint64_t{s.rva} + s.size > img.image_size) {
            r.fail("section " + s.name + " (RVA " + hex(s.rva) + ", " + hex(s.size) +
                   " bytes) runs past the image's end at " + hex(img.image_size));
            return std::nullopt;
        }
        img.sections.push_back(s);
    }

    auto [imp_rva, imp_size] = directory(kDirImport);
    auto [rel_rva, rel_size] = directory(kDirRelocation);
    auto [exp_rva, exp_size] = directory(kDirExport);
    if (!read_imports(r, img, imp_rva, imp_size) || !read_relocations(r, img, rel_rva, rel_size) ||
        !read_exports(r, img, exp_rva, exp_size))
        return std::nullopt;
    return img;
}

std::uint32_t checksum(const std::vector<std::uint8_t>& file, std::uint32_t checksum_offset) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        if (i >= checksum_offset && i < std::size_t{checksum_offset} + 4) continue;
        std::uint32_t word = file[i];
        if (i + 1 < file.size()) word |= file[i + 1] << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

}  // namespace pe
