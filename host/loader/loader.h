// Loads a 32-bit x86 PE image into memory the caller provides: copies its
// headers and sections there, applies its base relocations for that
// address, and binds each import by module and name through a resolver.
// Freestanding: the host build (host/sim/image.cpp, which maps the memory
// and protects the sections afterwards) and the bare-metal kernel
// (host/metal/) load the driver image through it. Nothing of the image
// runs here.
//
//   pe::Image img;
//   if (!img.parse(bytes, size, &error) || !loader::acceptable(img, page, &error)) ...
//   ... room for img.image_size bytes at `base` ...
//   if (!loader::map(img, base, resolve, context, &error)) ...
//   entry point: base + img.entry_rva
#ifndef LOADER_LOADER_H
#define LOADER_LOADER_H

#include <cstdint>

#include "loader/message.h"
#include "loader/pe.h"

namespace loader {

// The address of an imported operation; null, with *why set to the reason
// (no such module, no such operation in it), when there is none.
using Resolver = void* (*)(void* context, const char* module, const char* name, Message* why);

// Everything about the image that can be refused before mapping it, for a
// system whose pages are `page_size` bytes: an image for another machine,
// sections that cannot be protected apart, a section both writable and
// executable, no base relocations, an entry point outside the code.
bool acceptable(const pe::Image& img, std::uint32_t page_size, Message* error);

// Writes the image into the img.image_size bytes at `base` (zero where
// the file has nothing), relocated to lie there, with every import bound.
// On failure returns false with *error saying what is wrong with the image
// (e.g. "unknown import NDIS.SYS!NdisFoo: ...").
bool map(const pe::Image& img, std::uint8_t* base, Resolver resolve, void* context, Message* error);

}  // namespace loader

#endif  // LOADER_LOADER_H
