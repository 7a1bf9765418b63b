// The loader on the driver image that ships: where and how it maps it, what
// it binds, how its sections are protected, that INIT is gone once
// DriverEntry has run, and the damaged images it refuses, each with a
// message naming what is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "loader/pe.h"
#include "sim/host.h"
#include "sim/image.h"

namespace {

std::vector<std::uint8_t> ReadImage() {
    std::ifstream in(NE2K_IMAGE_PATH, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::unique_ptr<sim::DriverImage> Open() {
    std::string error;
    auto image = sim::DriverImage::open(NE2K_IMAGE_PATH, &error);
    EXPECT_TRUE(image) << error;
    return image;
}

TEST(ImageLoad, MapsAwayFromItsBaseAndBindsEveryImportToTheHost) {
    auto image = Open();
    ASSERT_TRUE(image);
    const sim::DriverImage& l = *image;
    EXPECT_NE(l.base(), l.image().image_base) << "mapped at its preferred base: relocation not exercised";
    ASSERT_EQ(l.image().imports().size(), sim::image_bindings().size());
    for (const pe::Import& imp : l.image().imports()) {
        std::uint32_t slot;
        std::memcpy(&slot, l.at(imp.slot_rva), 4);
        const sim::ImageBinding* bound = nullptr;
        for (const sim::ImageBinding& b : sim::image_bindings())
            if (std::string(imp.module) == b.module && std::string(imp.name) == b.name) bound = &b;
        ASSERT_TRUE(bound) << imp.module << "!" << imp.name;
        EXPECT_EQ(slot, reinterpret_cast<std::uintptr_t>(bound->function)) << imp.name;
    }
}

// Sections as the system protects them: code cannot be written, data
// cannot be run.
TEST(ImageLoadDeathTest, CodeIsNotWritableAndDataNotExecutable) {
    auto image = Open();
    ASSERT_TRUE(image);
    const sim::DriverImage& l = *image;
    for (const pe::Section& s : l.image()) {
        volatile std::uint8_t* p = l.at(s.rva);
        std::uint8_t first = *p;  // every section but a discarded one can be read
        if (s.executable()) {
            EXPECT_EXIT(*p = first, ::testing::KilledBySignal(SIGSEGV), "") << s.name << " is writable";
        } else {
            if (s.writable()) *p = first;
            auto run = reinterpret_cast<void (*)()>(const_cast<std::uint8_t*>(p));
            EXPECT_EXIT(run(), ::testing::KilledBySignal(SIGSEGV), "") << s.name << " is executable";
        }
    }
}

TEST(ImageLoadDeathTest, InitIsDiscardedOnceDriverEntryHasRun) {
    auto image = Open();
    ASSERT_TRUE(image);
    {
        sim::Host host;
        ASSERT_EQ(image->load(host), 0u);
        EXPECT_TRUE(host.registered());
    }
    EXPECT_TRUE(image->discarded());
    DRIVER_INITIALIZE entry = image->entry();
    EXPECT_EXIT(entry(nullptr, nullptr), ::testing::KilledBySignal(SIGSEGV), "");
}

// ---------------------------------------------------------------------------
// Damaged copies of the image.

struct Layout {
    pe::Image image;
    std::size_t optional_header;  // file offset
    std::size_t file_header;
};

void Put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint16_t v) {
    f[at] = static_cast<std::uint8_t>(v);
    f[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
// Replaces the first occurrence of `from` in the file by `to` (same length).
void Rewrite(std::vector<std::uint8_t>& f, const std::string& from, const std::string& to) {
    auto at = std::search(f.begin(), f.end(), from.begin(), from.end());
    ASSERT_NE(at, f.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

struct DamageCase {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&, const Layout&)> damage;
    const char* message;  // expected within the loader's message
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

const DamageCase kDamage[] = {
    {"NotPe", [](auto& f, auto&) { f.assign({'#', '!', '/', 'b', 'i', 'n'}); }, "not a PE image (no MZ signature)"},
    {"NoPeSignature", [](auto& f, auto&) { Put32(f, 0x3C, 0x00FFFFF0); }, "not a PE image (no PE signature"},
    {"Truncated", [](auto& f, auto&) { f.resize(f.size() / 2); }, "truncated: section"},
    {"TruncatedHeaders", [](auto& f, auto& l) { f.resize(l.optional_header + 40); }, "truncated: the file ends inside the optional header"},
    {"WrongMachine", [](auto& f, auto& l) { Put16(f, l.file_header, 0x8664); }, "machine 0x8664 is not 32-bit x86 (0x14c)"},
    {"UnknownOperation", [](auto& f, auto&) { Rewrite(f, "NdisFreeMemory", "NdisFreeMemorX"); },
     "unknown import NDIS.SYS!NdisFreeMemorX: the host's NDIS.SYS has no operation of that name"},
    {"UnknownModule", [](auto& f, auto&) { Rewrite(f, "HAL.DLL", "HAX.DLL"); },
     "the host provides no module HAX.DLL"},
    {"MissingImportName", [](auto& f, auto&) { Rewrite(f, "NdisFreeMemory", std::string(1, '\0')); },
     "of NDIS.SYS has an empty name"},
    {"ImportDirectoryOutside", [](auto& f, auto& l) { Put32(f, l.optional_header + 96 + 8, 0x7FFF0000); },
     "import directory entry 0 at RVA 0x7fff0000 lies outside the image's data"},
    {"RelocationOutside",
     [](auto& f, auto& l) { Put32(f, l.image.section(".reloc")->raw_offset, 0x00F00000); },
     "relocation at RVA 0xf00"},
    {"NoRelocations", [](auto& f, auto& l) { Put32(f, l.optional_header + 96 + 5 * 8 + 4, 0); },
     "the image has no base relocations"},
    {"WritableCode",
     [](auto& f, auto& l) {
         const pe::Section* text = l.image.section(".text");
         Put32(f, text->header_offset + 36, text->flags | pe::kSectionWrite);
     },
     "section .text is both writable and executable"},
};

class DamagedImage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedImage, IsRefusedWithAMessageNamingTheFault) {
    std::vector<std::uint8_t> file = ReadImage();
    loader::Message why;
    pe::Image parsed;
    ASSERT_TRUE(parsed.parse(file.data(), file.size(), &why)) << why.c_str();
    Layout layout{parsed, parsed.checksum_offset - 64u, parsed.checksum_offset - 64u - 20u};
    GetParam().damage(file, layout);
    std::string error;
    auto image = sim::DriverImage::from_bytes(file, &error);
    EXPECT_FALSE(image);
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Loader, DamagedImage, ::testing::ValuesIn(kDamage),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
