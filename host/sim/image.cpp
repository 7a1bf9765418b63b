#include "sim/image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "loader/loader.h"
#include "platform/imports.h"
#include "sim/host.h"

namespace sim {

namespace {

void* resolve(void*, const char* module, const char* name, loader::Message* why) {
    bool module_known = false;
    for (const ImageBinding& b : image_bindings()) {
        if (std::strcmp(module, b.module) != 0) continue;
        module_known = true;
        if (std::strcmp(name, b.name) == 0) return b.function;
    }
    if (module_known)
        *why << "the host's " << module << " has no operation of that name";
    else
        *why << "the host provides no module " << module;
    return nullptr;
}

// Code read+execute, data read or read+write.
int protection(const pe::Section& s) {
    if (s.executable()) return PROT_READ | PROT_EXEC;
    if (s.writable()) return PROT_READ | PROT_WRITE;
    return PROT_READ;
}

}  // namespace

const std::vector<ImageBinding>& image_bindings() {
#define NE2K_BIND(module, operation) {module, #operation, reinterpret_cast<void*>(&operation)},
    static const std::vector<ImageBinding> table = {NDIS_IMAGE_IMPORTS(NE2K_BIND)};
#undef NE2K_BIND
    return table;
}

DriverImage::~DriverImage() {
    if (base_) munmap(base_, image_.image_size);
}

// Maps the image at an address the system chooses (never its preferred
// base in practice), binds it and protects its sections.
std::unique_ptr<DriverImage> DriverImage::from_bytes(const std::vector<std::uint8_t>& file, std::string* error) {
    std::unique_ptr<DriverImage> d(new DriverImage());
    d->file_ = file;
    loader::Message why;
    const pe::Image& img = d->image_;
    if (!d->image_.parse(d->file_.data(), d->file_.size(), &why) ||
        !loader::acceptable(img, static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)), &why)) {
        *error = why.c_str();
        return nullptr;
    }
    void* mem = mmap(nullptr, img.image_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        loader::Message m;
        m << "no room for " << loader::Hex{img.image_size} << " bytes of image";
        *error = m.c_str();
        return nullptr;
    }
    d->base_ = static_cast<std::uint8_t*>(mem);
    if (!loader::map(img, d->base_, resolve, nullptr, &why)) {
        *error = why.c_str();
        return nullptr;
    }
    mprotect(d->base_, img.headers_size, PROT_READ);
    for (const pe::Section& s : img)
        if (s.size && mprotect(d->at(s.rva), s.size, protection(s)) != 0) {
            *error = std::string("section ") + s.name + " could not be protected";
            return nullptr;
        }
    return d;
}

std::unique_ptr<DriverImage> DriverImage::open(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return nullptr;
    }
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = from_bytes(file, error);
    if (!image) *error = path + ": " + *error;
    return image;
}

void DriverImage::discard() {
    for (const pe::Section& s : image_)
        if (s.discardable() && s.size) mprotect(at(s.rva), s.size, PROT_NONE);
    discarded_ = true;
}

DRIVER_INITIALIZE DriverImage::entry() const { return reinterpret_cast<DRIVER_INITIALIZE>(at(image_.entry_rva)); }

NTSTATUS DriverImage::load(Host& host) {
    NTSTATUS status = host.load_driver(entry());
    discard();
    return status;
}

}  // namespace sim
