#include "metal/options.h"

#include "metal/config.h"
#include "metal/console.h"

namespace metal {

namespace {

// The driver's keywords, and the short names the command line also takes.
const char* const kKeywords[] = {"CardType", "BusType", "IoBaseAddress_1", "InterruptNumber",
                                 "PCCARDAttributeMemoryAddress", "PCCARDAttributeMemorySize",
                                 "MaximumMulticastList"};
struct Alias {
    const char* word;
    const char* keyword;
};
const Alias kAliases[] = {{"io", "IoBaseAddress_1"}, {"irq", "InterruptNumber"}, {"cardtype", "CardType"}};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The word [w, end) equals `name`, without regard to case.
bool is(const char* w, const char* end, const char* name) {
    while (w < end && *name && lower(*w) == lower(*name)) w++, name++;
    return w == end && !*name;
}

bool number(const char*& p, const char* end, std::uint32_t* out) {
    unsigned base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) base = 16, p += 2;
    std::uint64_t v = 0;
    const char* start = p;
    for (; p < end; p++) {
        char c = lower(*p);
        unsigned d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (d >= base) break;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return p > start;
}

bool whole_number(const char* p, const char* end, std::uint32_t* out) { return number(p, end, out) && p == end; }

bool address(const char* p, const char* end, std::uint8_t ip[4], unsigned* prefix) {
    for (int i = 0; i < 4; i++) {
        std::uint32_t v;
        if (!number(p, end, &v) || v > 255) return false;
        ip[i] = static_cast<std::uint8_t>(v);
        if (i < 3 && (p == end || *p++ != '.')) return false;
    }
    if (prefix && p < end && *p == '/') {
        std::uint32_t v;
        if (!whole_number(p + 1, end, &v) || v < 1 || v > 30) return false;
        *prefix = v;
        return true;
    }
    return p == end;
}

bool mac(const char* p, const char* end) {
    std::uint8_t bytes[6];
    for (int i = 0; i < 6; i++) {
        std::uint32_t v = 0;
        for (int k = 0; k < 2; k++, p++) {
            char c = p < end ? lower(*p) : 0;
            unsigned d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
            if (d > 15) return false;
            v = v * 16 + d;
        }
        bytes[i] = static_cast<std::uint8_t>(v);
        if (i < 5 && (p == end || *p++ != ':')) return false;
    }
    if (p != end) return false;
    config_set_network_address(bytes, 6);
    return true;
}

bool word(const char* w, const char* end, Options* o) {
    const char* eq = w;
    while (eq < end && *eq != '=') eq++;
    const char* v = eq < end ? eq + 1 : end;
    std::uint32_t n;
    if (eq == end) {
        if (is(w, end, "reset")) return o->reset = true;
        return false;
    }
    if (is(w, eq, "ip")) return address(v, end, o->ip, &o->prefix);
    if (is(w, eq, "ping")) return o->serve = 0, address(v, end, o->target, nullptr);
    if (is(w, eq, "gw")) return address(v, end, o->gateway, nullptr);
    if (is(w, eq, "window")) return whole_number(v, end, &o->window) && o->window >= 1 && o->window <= 8;
    if (is(w, eq, "count")) return whole_number(v, end, &o->count) && o->count > 0;
    if (is(w, eq, "serve")) return whole_number(v, end, &o->serve) && o->serve > 0;
    if (is(w, eq, "seconds")) return whole_number(v, end, &o->seconds) && o->seconds > 0;
    if (is(w, eq, "watch")) return whole_number(v, end, &o->watch) && o->watch <= 60000;
    if (is(w, eq, "mac")) return mac(v, end);
    if (is(w, eq, "trace")) {
        const char* const names[] = {"init", "reset", "run", "halt", "all"};
        const unsigned bits[] = {kTraceInit, kTraceReset, kTraceRun, kTraceHalt, kTraceAll};
        for (const char* p = v; p < end;) {
            const char* q = p;
            while (q < end && *q != ',') q++;
            unsigned bit = 0;
            for (int i = 0; i < 5; i++)
                if (is(p, q, names[i])) bit = bits[i];
            if (!bit) return false;
            o->trace |= bit;
            p = q < end ? q + 1 : q;
        }
        return o->trace != 0;
    }
    for (const Alias& a : kAliases)
        if (is(w, eq, a.word)) return whole_number(v, end, &n) && config_set(a.keyword, n);
    for (const char* k : kKeywords)
        if (is(w, eq, k)) return whole_number(v, end, &n) && config_set(k, n);
    return false;
}

}  // namespace

bool options_parse(const char* line, Options* o) {
    const char* p = line ? line : "";
    // GRUB passes the kernel's path as the first word; QEMU passes only -append.
    bool ok = true;
    while (*p) {
        while (*p == ' ') p++;
        const char* w = p;
        while (*p && *p != ' ') p++;
        if (p == w) break;
        if (*w == '/' || (w == line && p - w > 4 && is(p - 4, p, ".elf"))) continue;  // the kernel's path
        if (!word(w, p, o)) {
            char text[80];
            unsigned n = 0;
            for (const char* c = w; c < p && n + 1 < sizeof text; c++) text[n++] = *c;
            text[n] = 0;
            print("command line: cannot use \"%s\"\n", text);
            ok = false;
        }
    }
    return ok;
}

}  // namespace metal
