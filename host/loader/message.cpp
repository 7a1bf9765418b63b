#include "loader/message.h"

namespace loader {

void Message::put(char c) {
    if (length_ < kRoom) text_[length_++] = c;
    text_[length_] = 0;
}

void Message::clear() {
    length_ = 0;
    text_[0] = 0;
}

Message& Message::operator<<(const char* text) {
    while (text && *text) put(*text++);
    return *this;
}

Message& Message::operator<<(Hex v) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v.value & 0xF];
        v.value >>= 4;
    } while (v.value);
    put('0');
    put('x');
    while (n) put(digits[--n]);
    return *this;
}

Message& Message::operator<<(std::uint64_t v) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) put(digits[--n]);
    return *this;
}

bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

}  // namespace loader
