// A reader of 32-bit PE images: headers, sections, imports, base
// relocations and exports, read from the file's bytes with every offset and
// count checked against the file. Freestanding (no heap, no C library): the
// host build, the image build's finishing step, the image checks and the
// bare-metal kernel all read images through it.
//
// An Image is a view of the file: it keeps the file's address, so the bytes
// must outlive it. parse() checks everything the accessors read later, so
// walking the imports, relocations and exports of a parsed image cannot
// fail:
//
//   pe::Image img;
//   loader::Message error;
//   if (!img.parse(bytes, size, &error)) ... error.c_str() says why ...
//   for (const pe::Import& imp : img.imports()) ... imp.module, imp.name ...
#ifndef LOADER_PE_H
#define LOADER_PE_H

#include <cstddef>
#include <cstdint>

#include "loader/message.h"

namespace pe {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kSubsystemNative = 1;

// Section characteristics.
constexpr std::uint32_t kSectionCode = 0x00000020;
constexpr std::uint32_t kSectionDiscardable = 0x02000000;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

// Base relocation types.
constexpr unsigned kRelocAbsolute = 0;  // padding, nothing to do
constexpr unsigned kRelocHighLow = 3;   // a 32-bit address

constexpr unsigned kMaxSections = 32;  // an image with more is refused

struct Section {
    char name[9] = {};           // up to 8 characters, zero-ended
    std::uint32_t rva = 0;       // where it lies in memory, from the image base
    std::uint32_t size = 0;      // bytes in memory (the rest past raw_size is zero)
    std::uint32_t raw_offset = 0;
    std::uint32_t raw_size = 0;  // bytes in the file
    std::uint32_t flags = 0;
    std::uint32_t header_offset = 0;  // file offset of this section's header

    bool executable() const { return flags & kSectionExecute; }
    bool writable() const { return flags & kSectionWrite; }
    bool discardable() const { return flags & kSectionDiscardable; }
    bool contains(std::uint32_t at) const { return at >= rva && at - rva < size; }
};

struct Import {
    const char* module = "";     // e.g. "NDIS.SYS", in the file's bytes
    const char* name = "";       // empty when imported by ordinal
    std::uint16_t ordinal = 0;   // when imported by ordinal
    std::uint32_t slot_rva = 0;  // its entry in the import address table
};

struct Relocation {
    std::uint32_t rva = 0;
    unsigned type = 0;
};

class Image;

// Walks of a parsed image, for range-for: imports in table order,
// relocations block by block, exported names.
class ImportWalk {
public:
    explicit ImportWalk(const Image* img) : img_(img) {}
    class iterator {
    public:
        iterator(const Image* img, bool end);
        const Import& operator*() const { return current_; }
        const Import* operator->() const { return &current_; }
        iterator& operator++();
        bool operator!=(const iterator& o) const { return done_ != o.done_ || (!done_ && index_ != o.index_); }

    private:
        void load();
        const Image* img_;
        std::uint32_t descriptor_ = 0, entry_ = 0, index_ = 0;
        bool done_ = false;
        Import current_;
    };
    iterator begin() const { return iterator(img_, false); }
    iterator end() const { return iterator(img_, true); }
    std::uint32_t size() const;

private:
    const Image* img_;
};

class RelocationWalk {
public:
    explicit RelocationWalk(const Image* img) : img_(img) {}
    class iterator {
    public:
        iterator(const Image* img, bool end);
        Relocation operator*() const { return current_; }
        iterator& operator++();
        bool operator!=(const iterator& o) const { return done_ != o.done_ || (!done_ && pos_ != o.pos_); }

    private:
        void load();
        const Image* img_;
        std::uint32_t block_ = 0, pos_ = 0;  // block start and entry, bytes into the table
        bool done_ = false;
        Relocation current_;
    };
    iterator begin() const { return iterator(img_, false); }
    iterator end() const { return iterator(img_, true); }
    std::uint32_t size() const;
    bool empty() const { return size() == 0; }

private:
    const Image* img_;
};

class ExportWalk {
public:
    explicit ExportWalk(const Image* img) : img_(img) {}
    class iterator {
    public:
        iterator(const Image* img, std::uint32_t index) : img_(img), index_(index) {}
        const char* operator*() const;
        iterator& operator++() { index_++; return *this; }
        bool operator!=(const iterator& o) const { return index_ != o.index_; }

    private:
        const Image* img_;
        std::uint32_t index_;
    };
    iterator begin() const { return iterator(img_, 0); }
    iterator end() const;

private:
    const Image* img_;
};

class Image {
public:
    // Reads an image from `size` bytes at `file`. On failure returns false
    // and sets *error to what is wrong, e.g. "not a PE image (no MZ
    // signature)"; the Image is then unusable.
    bool parse(const std::uint8_t* file, std::size_t size, loader::Message* error);

    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t subsystem = 0;
    std::uint32_t entry_rva = 0;
    std::uint32_t image_base = 0;       // the preferred base
    std::uint32_t image_size = 0;       // bytes in memory
    std::uint32_t headers_size = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t checksum = 0;         // as stored
    std::uint32_t checksum_offset = 0;  // file offset of the stored checksum

    const std::uint8_t* file() const { return file_; }
    std::size_t file_size() const { return size_; }

    // The sections, in table order.
    const Section* begin() const { return sections_; }
    const Section* end() const { return sections_ + section_count_; }
    unsigned section_count() const { return section_count_; }
    const Section* section(const char* name) const;
    const Section* section_at(std::uint32_t rva) const;

    ImportWalk imports() const { return ImportWalk(this); }
    RelocationWalk relocations() const { return RelocationWalk(this); }
    ExportWalk exports() const { return ExportWalk(this); }

    // File offset of `len` bytes at `rva`, when they lie in the headers or
    // in one section's file data; -1 when they do not.
    std::int64_t offset_of(std::uint32_t rva, std::uint32_t len) const;
    // The zero-ended string at `rva` (at most 256 characters), or null.
    const char* string_at(std::uint32_t rva) const;
    std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>(file_[at] | file_[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const {
        return file_[at] | file_[at + 1] << 8 | file_[at + 2] << 16 | static_cast<std::uint32_t>(file_[at + 3]) << 24;
    }

private:
    friend class ImportWalk;
    friend class RelocationWalk;
    friend class ExportWalk;
    bool fits(std::uint64_t offset, std::uint64_t len) const { return offset + len <= size_; }
    bool read_imports(loader::Message* error);
    bool read_relocations(loader::Message* error);
    bool read_exports(std::uint32_t dir_rva, std::uint32_t dir_size, loader::Message* error);

    const std::uint8_t* file_ = nullptr;
    std::size_t size_ = 0;
    Section sections_[kMaxSections];
    unsigned section_count_ = 0;
    std::uint32_t import_rva_ = 0, import_dir_size_ = 0, import_count_ = 0;
    std::uint32_t reloc_rva_ = 0, reloc_dir_size_ = 0, reloc_count_ = 0;
    std::uint32_t export_names_rva_ = 0, export_count_ = 0;
};

// The image checksum: the file summed as 16-bit words with carries folded
// back in, the stored checksum counted as zero, plus the file's length.
std::uint32_t checksum(const std::uint8_t* file, std::size_t size, std::uint32_t checksum_offset);

}  // namespace pe

#endif  // LOADER_PE_H
