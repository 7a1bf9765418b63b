#include "loader/pe.h"

namespace pe {

using loader::Hex;
using loader::Message;

namespace {

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr unsigned kDirExport = 0, kDirImport = 1, kDirRelocation = 5;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint32_t kImportDescriptorSize = 20;
constexpr std::uint32_t kImportByOrdinal = 0x80000000u;
constexpr std::uint32_t kMaxName = 256;

// Keeps the first failure as the error.
bool fail(Message* error, Message& what) {
    if (error && error->empty()) *error << what.c_str();
    return false;
}

}  // namespace

std::int64_t Image::offset_of(std::uint32_t rva, std::uint32_t len) const {
    if (rva < headers_size && std::uint64_t{rva} + len <= headers_size && fits(rva, len)) return rva;
    for (const Section& s : *this)
        if (rva >= s.rva && std::uint64_t{rva} - s.rva + len <= s.raw_size) return s.raw_offset + (rva - s.rva);
    return -1;
}

const char* Image::string_at(std::uint32_t rva) const {
    for (std::uint32_t n = 0; n < kMaxName; n++) {
        std::int64_t at = offset_of(rva + n, 1);
        if (at < 0) return nullptr;
        if (file_[at] == 0) return reinterpret_cast<const char*>(file_ + offset_of(rva, 1));
    }
    return nullptr;
}

const Section* Image::section(const char* name) const {
    for (const Section& s : *this)
        if (loader::same_text(s.name, name)) return &s;
    return nullptr;
}

const Section* Image::section_at(std::uint32_t rva) const {
    for (const Section& s : *this)
        if (s.contains(rva)) return &s;
    return nullptr;
}

bool Image::read_imports(Message* error) {
    Message m;
    if (import_dir_size_ == 0) return true;
    for (std::uint32_t d = 0;; d++) {
        std::uint32_t rva = import_rva_ + d * kImportDescriptorSize;
        std::int64_t at = offset_of(rva, kImportDescriptorSize);
        if (at < 0) return fail(error, m << "import directory entry " << d << " at RVA " << Hex{rva} << " lies outside the image's data");
        std::uint32_t lookup = u32(at), name_rva = u32(at + 12), slots = u32(at + 16);
        if (name_rva == 0 && slots == 0) return true;
        const char* module = string_at(name_rva);
        if (!module)
            return fail(error, m << "the module name of import directory entry " << d << " (RVA " << Hex{name_rva}
                                 << ") lies outside the image's data");
        std::uint32_t table = lookup ? lookup : slots;
        for (std::uint32_t i = 0;; i++) {
            std::int64_t e = offset_of(table + 4 * i, 4);
            if (e < 0) return fail(error, m << "the import table of " << module << " runs outside the image's data");
            std::uint32_t v = u32(e);
            if (v == 0) break;
            if (!(v & kImportByOrdinal)) {
                const char* name = string_at(v + 2);  // after the 16-bit hint
                if (!name)
                    return fail(error, m << "the name of import " << i << " of " << module << " (RVA " << Hex{v}
                                         << ") lies outside the image's data");
                if (!*name) return fail(error, m << "import " << i << " of " << module << " has an empty name");
            }
            import_count_++;
        }
    }
}

bool Image::read_relocations(Message* error) {
    Message m;
    std::uint32_t pos = 0;
    while (pos + 8 <= reloc_dir_size_) {
        std::int64_t at = offset_of(reloc_rva_ + pos, 8);
        if (at < 0)
            return fail(error, m << "the base relocation table at RVA " << Hex{reloc_rva_ + pos} << " lies outside the image's data");
        std::uint32_t block = u32(at + 4);
        if (block < 8 || block % 2 || pos + block > reloc_dir_size_)
            return fail(error, m << "a base relocation block at RVA " << Hex{reloc_rva_ + pos} << " has a bad size (" << Hex{block} << ")");
        if (offset_of(reloc_rva_ + pos + 8, block - 8) < 0)
            return fail(error, m << "the base relocation table runs outside the image's data");
        reloc_count_ += (block - 8) / 2;
        pos += block;
    }
    reloc_dir_size_ = pos;  // the walk reads whole blocks only
    return true;
}

bool Image::read_exports(std::uint32_t dir_rva, std::uint32_t dir_size, Message* error) {
    Message m;
    if (dir_size == 0) return true;
    std::int64_t at = offset_of(dir_rva, 40);
    if (at < 0) return fail(error, m << "the export directory lies outside the image's data");
    export_count_ = u32(at + 24);
    export_names_rva_ = u32(at + 32);
    for (std::uint32_t i = 0; i < export_count_; i++) {
        std::int64_t e = offset_of(export_names_rva_ + 4 * i, 4);
        if (e < 0 || !string_at(u32(e))) return fail(error, m << "export name " << i << " lies outside the image's data");
    }
    return true;
}

bool Image::parse(const std::uint8_t* file, std::size_t size, Message* error) {
    Message m;
    if (error) error->clear();
    *this = Image();
    file_ = file;
    size_ = size;
    if (!fits(0, 0x40) || file[0] != 'M' || file[1] != 'Z') return fail(error, m << "not a PE image (no MZ signature)");
    std::uint32_t pe_at = u32(0x3C);
    if (!fits(pe_at, 4) || u32(pe_at) != 0x00004550u)
        return fail(error, m << "not a PE image (no PE signature at offset " << Hex{pe_at} << ")");
    std::size_t coff = pe_at + 4, opt = coff + 20;
    if (!fits(opt, 2)) return fail(error, m << "truncated: the file ends inside the file header");
    machine = u16(coff);
    std::uint16_t count = u16(coff + 2);
    std::uint16_t opt_size = u16(coff + 16);
    characteristics = u16(coff + 18);
    if (u16(opt) != kMagicPe32)
        return fail(error, m << "not a 32-bit image (optional header magic " << Hex{u16(opt)} << ", expected 0x10b)");
    if (opt_size < 96 || !fits(opt, opt_size)) return fail(error, m << "truncated: the file ends inside the optional header");
    entry_rva = u32(opt + 16);
    image_base = u32(opt + 28);
    section_alignment = u32(opt + 32);
    image_size = u32(opt + 56);
    headers_size = u32(opt + 60);
    checksum = u32(opt + 64);
    checksum_offset = static_cast<std::uint32_t>(opt + 64);
    subsystem = u16(opt + 68);
    std::uint32_t dir_count = u32(opt + 92);
    auto directory = [&](unsigned i, std::uint32_t* rva, std::uint32_t* len) {
        bool present = i < dir_count && 96 + 8 * (i + 1) <= opt_size;
        *rva = present ? u32(opt + 96 + 8 * i) : 0;
        *len = present ? u32(opt + 100 + 8 * i) : 0;
    };

    std::size_t table = opt + opt_size;
    if (!fits(table, std::uint64_t{count} * kSectionHeaderSize))
        return fail(error, m << "truncated: the file ends inside the section table");
    if (count > kMaxSections) return fail(error, m << "the image has " << count << " sections, more than " << kMaxSections);
    for (unsigned i = 0; i < count; i++) {
        std::size_t h = table + i * kSectionHeaderSize;
        Section& s = sections_[i];
        for (std::size_t k = 0; k < 8 && file[h + k]; k++) s.name[k] = static_cast<char>(file[h + k]);
        s.size = u32(h + 8);
        s.rva = u32(h + 12);
        s.raw_size = u32(h + 16);
        s.raw_offset = u32(h + 20);
        s.flags = u32(h + 36);
        s.header_offset = static_cast<std::uint32_t>(h);
        if (s.raw_size > s.size) s.raw_size = s.size;  // file padding past the section's end
        if (!fits(s.raw_offset, s.raw_size))
            return fail(error, m << "truncated: section " << s.name << " needs file bytes " << Hex{s.raw_offset} << ".."
                                 << Hex{std::uint64_t{s.raw_offset} + s.raw_size} << ", the file has " << Hex{size});
        if (std::uint64_t{s.rva} + s.size > image_size)
            return fail(error, m << "section " << s.name << " (RVA " << Hex{s.rva} << ", " << Hex{s.size}
                                 << " bytes) runs past the image's end at " << Hex{image_size});
        section_count_ = i + 1;
    }

    std::uint32_t export_rva, export_size;
    directory(kDirImport, &import_rva_, &import_dir_size_);
    directory(kDirRelocation, &reloc_rva_, &reloc_dir_size_);
    directory(kDirExport, &export_rva, &export_size);
    return read_imports(error) && read_relocations(error) && read_exports(export_rva, export_size, error);
}

// ---------------------------------------------------------------------------
// Walks: everything they read was checked by parse().

std::uint32_t ImportWalk::size() const { return img_->import_count_; }

ImportWalk::iterator::iterator(const Image* img, bool end) : img_(img), done_(end || img->import_count_ == 0) {
    if (!done_) load();
}

void ImportWalk::iterator::load() {
    for (;;) {
        std::int64_t at = img_->offset_of(img_->import_rva_ + descriptor_ * kImportDescriptorSize, kImportDescriptorSize);
        std::uint32_t lookup = img_->u32(at), name_rva = img_->u32(at + 12), slots = img_->u32(at + 16);
        if (name_rva == 0 && slots == 0) {
            done_ = true;
            return;
        }
        std::uint32_t table = lookup ? lookup : slots;
        std::uint32_t v = img_->u32(img_->offset_of(table + 4 * entry_, 4));
        if (v == 0) {
            descriptor_++;
            entry_ = 0;
            continue;
        }
        current_ = Import();
        current_.module = img_->string_at(name_rva);
        current_.slot_rva = slots + 4 * entry_;
        if (v & kImportByOrdinal)
            current_.ordinal = static_cast<std::uint16_t>(v);
        else
            current_.name = img_->string_at(v + 2);
        return;
    }
}

ImportWalk::iterator& ImportWalk::iterator::operator++() {
    entry_++;
    index_++;
    load();
    return *this;
}

std::uint32_t RelocationWalk::size() const { return img_->reloc_count_; }

RelocationWalk::iterator::iterator(const Image* img, bool end)
    : img_(img), pos_(8), done_(end || img->reloc_count_ == 0) {
    if (!done_) load();
}

void RelocationWalk::iterator::load() {
    while (block_ + 8 <= img_->reloc_dir_size_) {
        std::int64_t head = img_->offset_of(img_->reloc_rva_ + block_, 8);
        std::uint32_t page = img_->u32(head), length = img_->u32(head + 4);
        if (pos_ < block_ + length) {
            std::uint16_t e = img_->u16(img_->offset_of(img_->reloc_rva_ + pos_, 2));
            current_ = {page + (e & 0x0FFFu), static_cast<unsigned>(e >> 12)};
            return;
        }
        block_ += length;
        pos_ = block_ + 8;
    }
    done_ = true;
}

RelocationWalk::iterator& RelocationWalk::iterator::operator++() {
    pos_ += 2;
    load();
    return *this;
}

const char* ExportWalk::iterator::operator*() const {
    return img_->string_at(img_->u32(img_->offset_of(img_->export_names_rva_ + 4 * index_, 4)));
}

ExportWalk::iterator ExportWalk::end() const { return iterator(img_, img_->export_count_); }

std::uint32_t checksum(const std::uint8_t* file, std::size_t size, std::uint32_t checksum_offset) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; i += 2) {
        if (i >= checksum_offset && i < std::size_t{checksum_offset} + 4) continue;
        std::uint32_t word = file[i];
        if (i + 1 < size) word |= file[i + 1] << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + size);
}

}  // namespace pe
