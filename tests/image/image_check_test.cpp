// Checks of the driver image ne2000.sys as it ships, read with the loader's
// PE reader: what it is (machine, subsystem, entry point), what it imports
// (exactly the host platform's operations, by name, from NDIS.SYS and
// HAL.DLL), how its sections are marked, where its code and data lie (from
// the linker's map), and the sizes of the driver-wide data (from the
// objects the image was linked from). The probe image, the same driver plus
// a call to memcpy, must fail them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
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

// What the linker's map says: global symbols (demangled, cut before the
// argument list and the "@n" of the callee-pops convention) and the input
// sections of the driver-wide data, by address.
struct Map {
    std::map<std::string, std::uint32_t> symbols;  // name -> address
    struct Input {
        std::string name;    // e.g. ".rdata$BlankBuffer"
        std::uint32_t address = 0;
        std::string object;  // the object file it came from (absolute path)
    };
    std::vector<Input> inputs;
};

Map ReadMap(const std::string& path) {
    Map m;
    std::ifstream in(path);
    std::string line, pending;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (line.size() > 1 && line[0] == ' ' && line[1] == '.' && first.find('$') != std::string::npos) {
            // " .rdata$Name" then, on this line or the next, address, size, object.
            std::string address, size, object;
            if (words >> address >> size >> object) {
                m.inputs.push_back({first, static_cast<std::uint32_t>(std::stoul(address, nullptr, 16)), object});
            } else {
                pending = first;
            }
            continue;
        }
        if (!pending.empty()) {
            std::string size, object;
            if (first.rfind("0x", 0) == 0 && words >> size >> object)
                m.inputs.push_back({pending, static_cast<std::uint32_t>(std::stoul(first, nullptr, 16)), object});
            pending.clear();
            continue;
        }
        // "                0x00015000                DriverEntry@8"
        if (line.rfind("                0x", 0) != 0 || line.find(" = ") != std::string::npos) continue;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (rest.empty() || rest.rfind("0x", 0) == 0 || rest.find("PROVIDE") != std::string::npos) continue;
        std::string name = rest.substr(0, rest.find('('));
        if (auto at = name.rfind('@'); at != std::string::npos && at > 0) name.resize(at);
        m.symbols.emplace(name, static_cast<std::uint32_t>(std::stoul(first, nullptr, 16)));
    }
    return m;
}

// The length of section `name` as the COFF object records it (the section
// symbol's auxiliary record): the exact size of the one variable in it.
std::optional<std::uint32_t> ObjectSectionLength(const std::string& object, const std::string& name) {
    std::vector<std::uint8_t> f = ReadFile(object);
    auto u32 = [&](std::size_t at) {
        return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<std::uint32_t>(f[at + 3]) << 24;
    };
    if (f.size() < 20) return std::nullopt;
    std::uint32_t symbols = u32(8), count = u32(12);
    std::size_t strings = symbols + 18u * count;
    if (strings + 4 > f.size()) return std::nullopt;
    for (std::uint32_t i = 0; i < count; i++) {
        std::size_t s = symbols + 18u * i;
        std::string sym;
        if (u32(s) == 0) {
            for (std::size_t k = strings + u32(s + 4); k < f.size() && f[k]; k++) sym.push_back(static_cast<char>(f[k]));
        } else {
            for (std::size_t k = 0; k < 8 && f[s + k]; k++) sym.push_back(static_cast<char>(f[s + k]));
        }
        unsigned storage = f[s + 16], aux = f[s + 17];
        if (sym == name && storage == 3 && aux >= 1) return u32(s + 18);
        i += aux;
    }
    return std::nullopt;
}

bool Resident(const pe::Section* s) {
    return s && s->name.rfind("PAGE", 0) != 0 && s->name != "INIT" && !s->discardable();
}

// Every rule the shipped image must keep; each broken rule is one line.
std::vector<std::string> CheckImage(const std::string& image_path, const std::string& map_path) {
    std::vector<std::string> out;
    std::vector<std::uint8_t> file = ReadFile(image_path);
    std::string error;
    auto parsed = pe::parse(file, &error);
    if (!parsed) return {image_path + ": " + error};
    const pe::Image& img = *parsed;
    Map map = ReadMap(map_path);
    auto section_of = [&](const std::string& symbol) -> const pe::Section* {
        auto it = map.symbols.find(symbol);
        return it == map.symbols.end() ? nullptr : img.section_at(it->second - img.image_base);
    };

    if (img.machine != pe::kMachineI386) out.push_back("machine " + Hex(img.machine) + ", not i386 (0x14c)");
    if (img.subsystem != pe::kSubsystemNative) out.push_back("subsystem " + std::to_string(img.subsystem) + ", not native (1)");
    if (!map.symbols.count("DriverEntry") || map.symbols["DriverEntry"] - img.image_base != img.entry_rva)
        out.push_back("the entry point " + Hex(img.entry_rva) + " is not DriverEntry");

    // Imports: exactly the host platform's operations, by name.
    std::set<std::pair<std::string, std::string>> expected, seen;
    for (const sim::ImageBinding& b : sim::image_bindings()) expected.insert({b.module, b.name});
    for (const pe::Import& imp : img.imports) {
        if (imp.name.empty()) out.push_back("imports ordinal " + std::to_string(imp.ordinal) + " of " + imp.module);
        seen.insert({imp.module, imp.name});
        if (!expected.count({imp.module, imp.name}))
            out.push_back("imports " + imp.module + "!" + imp.name + ", which is not a platform operation");
    }
    for (const auto& [module, name] : expected)
        if (!seen.count({module, name})) out.push_back("does not import " + module + "!" + name);
    std::set<std::string> modules;
    for (const pe::Import& imp : img.imports) modules.insert(imp.module);
    if (modules != std::set<std::string>{"NDIS.SYS", "HAL.DLL"})
        out.push_back("imports from " + std::to_string(modules.size()) + " modules, expected NDIS.SYS and HAL.DLL");

    // Sections.
    const pe::Section* init = img.section("INIT");
    if (!init || !init->discardable()) out.push_back("INIT is missing or not discardable");
    for (const pe::Section& s : img.sections)
        if (s.executable() && s.writable()) out.push_back("section " + s.name + " is writable and executable");
    if (img.relocations.empty()) out.push_back("no base relocations");
    for (const pe::Relocation& r : img.relocations)
        if (r.type != pe::kRelocAbsolute && !img.section_at(r.rva)) {
            out.push_back("relocation at " + Hex(r.rva) + " lies in no section");
            break;
        }
    if (pe::checksum(file, img.checksum_offset) != img.checksum)
        out.push_back("checksum " + Hex(img.checksum) + ", the file's is " + Hex(pe::checksum(file, img.checksum_offset)));
    for (const std::string& e : img.exports)
        if (e != "DriverEntry") out.push_back("exports " + e);

    // Where code lies: DriverEntry alone in INIT, the initialization
    // routines alone in PAGE, the rest resident.
    const std::set<std::string> init_code{"DriverEntry"};
    const std::set<std::string> paged_code{"Ne2000Initialize", "Ne2000RegisterAdapter", "CardCheckParameters",
                                           "CardInitialize", "CardSlotTest", "CardRamTest",
                                           "CardReadEthernetAddress"};
    for (const auto& [name, address] : map.symbols) {
        const pe::Section* s = img.section_at(address - img.image_base);
        if (!s || !s->executable()) continue;
        if (s->name == "INIT" && !init_code.count(name)) out.push_back(name + " lies in INIT");
        if (s->name == "PAGE" && !paged_code.count(name)) out.push_back(name + " lies in PAGE");
    }
    for (const std::string& f : init_code)
        if (const pe::Section* s = section_of(f); !s || s->name != "INIT") out.push_back(f + " is not in INIT");
    for (const std::string& f : paged_code)
        if (const pe::Section* s = section_of(f); !s || s->name != "PAGE") out.push_back(f + " is not in PAGE");
    for (const char* f : {"Ne2000Send", "Ne2000DoNextSend", "Ne2000XmitDpc", "CardCopyDownPacket", "Ne2000Isr",
                          "Ne2000HandleInterrupt", "Ne2000RcvDpc", "Ne2000TransferData", "Ne2000QueryInformation",
                          "Ne2000SetInformation", "Ne2000Halt", "Ne2000Reset", "CardSetup", "CardStop", "CardReset",
                          "CardCopyUp", "CardCopyDown", "CardStartXmit", "SyncCardGetCurrent"})
        if (const pe::Section* s = section_of(f); !s || s->name != ".text") out.push_back(std::string(f) + " is not resident in .text");

    // The configuration keyword strings: pageable constants (PAGECONST,
    // cut to the eight characters of an image section name).
    const pe::Section* pageconst = img.section("PAGECONS");
    std::string keyword;
    for (char c : std::string("CardType")) keyword += std::string{c, '\0'};
    if (!pageconst || std::string(file.begin() + pageconst->raw_offset,
                                  file.begin() + pageconst->raw_offset + pageconst->raw_size)
                              .find(keyword) == std::string::npos)
        out.push_back("the configuration keyword strings are not in PAGECONS");

    // Driver-wide data: resident, with its sizes in bytes.
    const std::pair<const char*, std::uint32_t> data[] = {{"Ne2000MiniportBlock", 8}, {"BlankBuffer", 60},
                                                          {"Ne2000SupportedOids", 124}, {"HighestAcceptableMax", 8},
                                                          {"VendorDescription", 21}};
    for (const auto& [name, size] : data) {
        const Map::Input* in = nullptr;
        for (const Map::Input& i : map.inputs) {
            std::string tail = i.name.substr(i.name.find('$') + 1);
            if (tail == name || tail == "_ZL" + std::to_string(std::string(name).size()) + name) in = &i;
        }
        if (!in) {
            out.push_back(std::string(name) + " is not in the image");
            continue;
        }
        auto length = ObjectSectionLength(in->object, in->name);
        if (length != size)
            out.push_back(std::string(name) + " is " + (length ? std::to_string(*length) : "?") + " bytes, expected " +
                          std::to_string(size));
        if (!Resident(img.section_at(in->address - img.image_base))) out.push_back(std::string(name) + " is not resident");
    }
    return out;
}

TEST(DriverImage, ShipsWithEveryImageCheckPassing) {
    std::vector<std::string> problems = CheckImage(kDir + "/ne2000.sys", kDir + "/ne2000.map");
    for (const std::string& p : problems) ADD_FAILURE() << p;
    EXPECT_EQ(sim::image_bindings().size(), 31u);  // 22 wrapper operations, 9 of the HAL
}

TEST(DriverImage, ProbeCallingMemcpyFailsTheChecksNamingIt) {
    std::vector<std::string> problems = CheckImage(kDir + "/image/probe.sys", kDir + "/image/probe.map");
    bool named = false;
    for (const std::string& p : problems) named |= p.find("memcpy") != std::string::npos;
    EXPECT_TRUE(named);
    EXPECT_NE(std::find(problems.begin(), problems.end(),
                        "imports RUNTIME.DLL!memcpy, which is not a platform operation"),
              problems.end());
}

}  // namespace
