// A reader of 32-bit PE images: headers, sections, imports, base
// relocations and exports, read from the file's bytes with every offset and
// count checked against the file. Used by the loader, by the image build's
// finishing step and by the image checks.
#ifndef LOADER_PE_H
#define LOADER_PE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

struct Section {
    std::string name;            // up to 8 characters
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
    std::string module;            // e.g. "NDIS.SYS"
    std::string name;              // empty when imported by ordinal
    std::uint16_t ordinal = 0;     // when imported by ordinal
    std::uint32_t slot_rva = 0;    // its entry in the import address table
};

struct Relocation {
    std::uint32_t rva = 0;
    unsigned type = 0;
};

struct Image {
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
    std::vector<Section> sections;
    std::vector<Import> imports;
    std::vector<Relocation> relocations;
    std::vector<std::string> exports;   // exported names

    const Section* section(const std::string& name) const;
    const Section* section_at(std::uint32_t rva) const;
};

// Reads an image. On failure returns nothing and sets *error to what is
// wrong, e.g. "not a PE image (no MZ signature)".
std::optional<Image> parse(const std::vector<std::uint8_t>& file, std::string* error);

// The image checksum: the file summed as 16-bit words with carries folded
// back in, the stored checksum counted as zero, plus the file's length.
std::uint32_t checksum(const std::vector<std::uint8_t>& file, std::uint32_t checksum_offset);

}  // namespace pe

#endif  // LOADER_PE_H
