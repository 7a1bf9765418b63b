// Checks of the driver image ne2000.sys as it ships, read with the loader's
// PE reader: what it is (machine, subsystem, entry point), what it imports
// (exactly the host platform's operations, by name, from NDIS.SYS and
// HAL.DLL), how its sections are marked, and where its code and data lie
// (from the linker's map). The probe image, the same driver plus a call to
// memcpy, must fail them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "loader/pe.h"
#include "sim/image.h"

namespace {

const std::string kDir = NE2K_IMAGE_DIR;

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Hex(std::uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

// The global symbols of the linker's map (demangled, cut before the
// argument list and the "@n" of the callee-pops convention), by address.
std::map<std::string, std::uint32_t> ReadMap(const std::string& path) {
    std::map<std::string, std::uint32_t> symbols;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        // "                0x00015000                DriverEntry@8"
        std::istringstream words(line);
        std::string first, rest;
        words >> first;
        std::getline(words >> std::ws, rest);
        if (line.rfind("                0x", 0) != 0 || line.find(" = ") != std::string::npos || rest.empty() ||
            rest.rfind("0x", 0) == 0 || rest.find("PROVIDE") != std::string::npos)
            continue;
        std::string name = rest.substr(0, rest.find('('));
        if (auto at = name.rfind('@'); at != std::string::npos && at > 0) name.resize(at);
        symbols.emplace(name, std::uint32_t(std::stoul(first, nullptr, 16)));
    }
    return symbols;
}

bool Resident(const pe::Section* s) {
    return s && std::string(s->name).rfind("PAGE", 0) != 0 && std::string(s->name) != "INIT" && !s->discardable();
}

// Every rule the shipped image must keep; each broken rule is one line.
std::vector<std::string> CheckImage(const std::string& image_path, const std::string& map_path) {
    std::vector<std::string> out;
    std::vector<std::uint8_t> file = ReadFile(image_path);
    loader::Message error;
    pe::Image img;
    if (!img.parse(file.data(), file.size(), &error)) return {image_path + ": " + error.c_str()};
    std::map<std::string, std::uint32_t> symbols = ReadMap(map_path);
    auto section_of = [&](const std::string& symbol) -> const pe::Section* {
        auto it = symbols.find(symbol);
        return it == symbols.end() ? nullptr : img.section_at(it->second - img.image_base);
    };

    if (img.machine != pe::kMachineI386) out.push_back("machine " + Hex(img.machine) + ", not i386 (0x14c)");
    if (img.subsystem != pe::kSubsystemNative) out.push_back("subsystem " + std::to_string(img.subsystem) + ", not native (1)");
    if (!symbols.count("DriverEntry") || symbols["DriverEntry"] - img.image_base != img.entry_rva)
        out.push_back("the entry point " + Hex(img.entry_rva) + " is not DriverEntry");

    // Imports: exactly the host platform's operations, by name.
    std::set<std::pair<std::string, std::string>> expected, seen;
    for (const sim::ImageBinding& b : sim::image_bindings()) expected.insert({b.module, b.name});
    for (const pe::Import& imp : img.imports()) {
        std::string module = imp.module, name = imp.name;
        if (name.empty()) out.push_back("imports ordinal " + std::to_string(imp.ordinal) + " of " + module);
        seen.insert({module, name});
        if (!expected.count({module, name}))
            out.push_back("imports " + module + "!" + name + ", which is not a platform operation");
    }
    for (const auto& [module, name] : expected)
        if (!seen.count({module, name})) out.push_back("does not import " + module + "!" + name);
    std::set<std::string> modules;
    for (const pe::Import& imp : img.imports()) modules.insert(imp.module);
    if (modules != std::set<std::string>{"NDIS.SYS", "HAL.DLL"})
        out.push_back("imports from " + std::to_string(modules.size()) + " modules, expected NDIS.SYS and HAL.DLL");

    // Sections.
    const pe::Section* init = img.section("INIT");
    if (!init || !init->discardable()) out.push_back("INIT is missing or not discardable");
    for (const pe::Section& s : img)
        if (s.executable() && s.writable()) out.push_back(std::string("section ") + s.name + " is writable and executable");
    if (img.relocations().empty()) out.push_back("no base relocations");
    for (pe::Relocation r : img.relocations())
        if (r.type != pe::kRelocAbsolute && !img.section_at(r.rva)) {
            out.push_back("relocation at " + Hex(r.rva) + " lies in no section");
            break;
        }
    std::uint32_t sum = pe::checksum(file.data(), file.size(), img.checksum_offset);
    if (sum != img.checksum) out.push_back("checksum " + Hex(img.checksum) + ", the file's is " + Hex(sum));
    for (std::string e : img.exports())
        if (e != "DriverEntry") out.push_back("exports " + e);

    // Where code lies: DriverEntry alone in INIT, the initialization
    // routines alone in PAGE, the rest resident.
    const std::set<std::string> init_code{"DriverEntry"};
    const std::set<std::string> paged_code{"Ne2000Initialize", "Ne2000RegisterAdapter", "CardCheckParameters",
                                           "CardInitialize", "CardSlotTest", "CardRamTest",
                                           "CardReadEthernetAddress"};
    for (const auto& [name, address] : symbols) {
        const pe::Section* s = img.section_at(address - img.image_base);
        if (!s || !s->executable()) continue;
        if (std::string(s->name) == "INIT" && !init_code.count(name)) out.push_back(name + " lies in INIT");
        if (std::string(s->name) == "PAGE" && !paged_code.count(name)) out.push_back(name + " lies in PAGE");
    }
    for (const std::string& f : init_code)
        if (const pe::Section* s = section_of(f); !s || std::string(s->name) != "INIT") out.push_back(f + " is not in INIT");
    for (const std::string& f : paged_code)
        if (const pe::Section* s = section_of(f); !s || std::string(s->name) != "PAGE") out.push_back(f + " is not in PAGE");
    for (const char* f : {"Ne2000Send", "Ne2000DoNextSend", "Ne2000XmitDpc", "CardCopyDownPacket", "Ne2000Isr",
                          "Ne2000HandleInterrupt", "Ne2000RcvDpc", "Ne2000TransferData", "Ne2000QueryInformation",
                          "Ne2000SetInformation", "Ne2000Halt", "Ne2000Reset", "CardSetup", "CardStop", "CardReset",
                          "CardCopyUp", "CardCopyDown", "CardStartXmit", "SyncCardGetCurrent"})
        if (const pe::Section* s = section_of(f); !s || std::string(s->name) != ".text") out.push_back(std::string(f) + " is not resident in .text");

    // The configuration keyword strings: pageable constants (PAGECONST,
    // cut to the eight characters of an image section name).
    const pe::Section* pageconst = img.section("PAGECONS");
    std::string keyword;
    for (char c : std::string("CardType")) keyword += std::string{c, '\0'};
    if (!pageconst || std::string(file.begin() + pageconst->raw_offset,
                                  file.begin() + pageconst->raw_offset + pageconst->raw_size)
                              .find(keyword) == std::string::npos)
        out.push_back("the configuration keyword strings are not in PAGECONS");

    // Driver-wide data: resident.
    for (const char* name : {"Ne2000MiniportBlock", "BlankBuffer", "Ne2000SupportedOids", "HighestAcceptableMax"})
        if (!Resident(section_of(name))) out.push_back(std::string(name) + " is not resident");
    return out;
}

TEST(DriverImage, ShipsWithEveryImageCheckPassing) {
    std::vector<std::string> problems = CheckImage(kDir + "/ne2000.sys", kDir + "/ne2000.map");
    for (const std::string& p : problems) ADD_FAILURE() << p;
    EXPECT_EQ(sim::image_bindings().size(), 31u);  // 22 wrapper operations, 9 of the HAL
}

TEST(DriverImage, ProbeCallingMemcpyFailsTheChecksNamingIt) {
    std::vector<std::string> problems = CheckImage(kDir + "/image/probe.sys", kDir + "/image/probe.map");
    EXPECT_NE(std::find(problems.begin(), problems.end(), "imports RUNTIME.DLL!memcpy, which is not a platform operation"),
              problems.end());
}

}  // namespace
