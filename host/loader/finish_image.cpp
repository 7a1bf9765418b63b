// The last step of the image build, after the link: marks the named
// sections discardable (the linker has no way to say so for a section of
// our own) and writes the image checksum over the finished bytes.
//
//   finish IMAGE [SECTION...]
//
// The one program in loader/, run on the build machine: it alone may use
// the C and C++ libraries (for the file), the rest of loader/ is
// freestanding.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "loader/pe.h"

namespace {

void put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [SECTION...]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    loader::Message error;
    pe::Image img;
    if (!img.parse(file.data(), file.size(), &error)) {
        std::fprintf(stderr, "finish: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    for (int i = 2; i < argc; i++) {
        const pe::Section* s = img.section(argv[i]);
        if (!s) {
            std::fprintf(stderr, "finish: %s has no section %s\n", argv[1], argv[i]);
            return 1;
        }
        put32(file, s->header_offset + 36, s->flags | pe::kSectionDiscardable);
    }
    put32(file, img.checksum_offset, pe::checksum(file.data(), file.size(), img.checksum_offset));
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return out ? 0 : 1;
}
