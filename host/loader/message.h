// A short text built in fixed room, for what the PE reader and the loader
// say about an image: no heap, no C library, so that a freestanding kernel
// can use them as the host does. Text past the room is cut off.
//
//   loader::Message m;
//   m << "section " << name << " runs past " << loader::Hex{end};
//   m.c_str();   // "section .text runs past 0x3000"
#ifndef LOADER_MESSAGE_H
#define LOADER_MESSAGE_H

#include <cstddef>
#include <cstdint>

namespace loader {

struct Hex {  // written as 0x and lowercase hex digits
    std::uint64_t value;
};

class Message {
public:
    static constexpr std::size_t kRoom = 240;  // characters kept

    Message& operator<<(const char* text);
    Message& operator<<(Hex v);
    Message& operator<<(std::uint64_t v);  // decimal
    Message& operator<<(std::uint32_t v) { return *this << std::uint64_t{v}; }
    Message& operator<<(std::uint16_t v) { return *this << std::uint64_t{v}; }

    const char* c_str() const { return text_; }
    std::size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }
    void clear();

private:
    void put(char c);
    char text_[kRoom + 1] = {};
    std::size_t length_ = 0;
};

// Equal strings, each ended by a zero.
bool same_text(const char* a, const char* b);

}  // namespace loader

#endif  // LOADER_MESSAGE_H
