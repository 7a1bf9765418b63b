#include "metal/console.h"

#include "metal/cpu.h"

namespace metal {

namespace {

constexpr std::uint16_t kCom1 = 0x3F8;
constexpr std::uint16_t kLineStatus = kCom1 + 5;
constexpr std::uint8_t kTransmitEmpty = 0x20;

void serial_put(char c) {
    while (!(inb(kLineStatus) & kTransmitEmpty)) {
    }
    outb(kCom1, static_cast<std::uint8_t>(c));
}

// Where formatted text goes: the serial port, or a buffer.
struct Sink {
    char* out = nullptr;  // null: the serial port
    unsigned room = 0, used = 0;
    void put(char c) {
        if (!out) {
            if (c == '\n') serial_put('\r');
            serial_put(c);
        } else if (used + 1 < room) {
            out[used++] = c;
            out[used] = 0;
        }
    }
};

void put_number(Sink& s, std::uint64_t v, unsigned base, bool upper, int width, bool zero, bool negative) {
    char digits[24];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = set[v % base];
        v /= base;
    } while (v);
    if (negative) digits[n++] = '-';
    for (int i = n; i < width; i++) s.put(zero ? '0' : ' ');
    while (n) s.put(digits[--n]);
}

void vformat(Sink& s, const char* f, va_list ap) {
    for (; *f; f++) {
        if (*f != '%') {
            s.put(*f);
            continue;
        }
        f++;
        bool left = false, zero = false;
        if (*f == '-') left = true, f++;
        if (*f == '0') zero = true, f++;
        int width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        int longs = 0;
        while (*f == 'l') longs++, f++;
        switch (*f) {
        case 's': {
            const char* t = va_arg(ap, const char*);
            if (!t) t = "(null)";
            int n = 0;
            while (t[n]) n++;
            if (!left)
                for (int i = n; i < width; i++) s.put(' ');
            for (int i = 0; i < n; i++) s.put(t[i]);
            if (left)
                for (int i = n; i < width; i++) s.put(' ');
            break;
        }
        case 'c':
            s.put(static_cast<char>(va_arg(ap, int)));
            break;
        case 'd': {
            long long v = longs >= 2 ? va_arg(ap, long long) : va_arg(ap, int);
            put_number(s, v < 0 ? -static_cast<std::uint64_t>(v) : v, 10, false, width, zero, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            std::uint64_t v = longs >= 2 ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned);
            put_number(s, v, *f == 'u' ? 10 : 16, *f == 'X', width, zero, false);
            break;
        }
        case '%':
            s.put('%');
            break;
        default:
            s.put('?');
            if (!*f) return;
        }
    }
}

}  // namespace

void console_setup() {
    outb(kCom1 + 1, 0x00);  // no interrupts from the port
    outb(kCom1 + 3, 0x80);  // divisor latch
    outb(kCom1 + 0, 0x01);  // 115200 baud
    outb(kCom1 + 1, 0x00);
    outb(kCom1 + 3, 0x03);  // 8 bits, no parity, 1 stop bit
    outb(kCom1 + 2, 0xC7);  // FIFOs on and cleared
    outb(kCom1 + 4, 0x03);  // DTR, RTS; OUT2 off, so the port raises no interrupt
}

void vprint(const char* f, va_list ap) {
    Sink s;
    vformat(s, f, ap);
}

void print(const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    vprint(f, ap);
    va_end(ap);
}

void format(char* out, unsigned room, const char* f, ...) {
    Sink s;
    s.out = out;
    s.room = room;
    if (room) out[0] = 0;
    va_list ap;
    va_start(ap, f);
    vformat(s, f, ap);
    va_end(ap);
}

}  // namespace metal
