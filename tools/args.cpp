#include "tools/args.h"

#include <cctype>
#include <cstdio>

#include "tools/tool.h"

namespace ne2k_tool {

Args::Args(const std::vector<std::string>& args, const std::set<std::string>& valued,
           const std::set<std::string>& switches) {
    bool only_positional = false;
    for (std::size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (only_positional || a.size() < 2 || a[0] != '-') {
            positional_.push_back(a);
            continue;
        }
        if (a == "--") {
            only_positional = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            help_ = true;
            continue;
        }
        std::string name = a, val;
        bool inline_value = false;
        auto eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            val = a.substr(eq + 1);
            inline_value = true;
        }
        if (valued.count(name)) {
            if (!inline_value) {
                if (i + 1 >= args.size())
                    throw UsageError("option " + name + " needs a value");
                val = args[++i];
            }
            values_[name] = val;
        } else if (switches.count(name) && !inline_value) {
            switches_.insert(name);
        } else {
            throw UsageError("unknown option '" + a + "'");
        }
    }
}

bool Args::has(const std::string& name) const {
    return switches_.count(name) || values_.count(name);
}

std::optional<std::string> Args::value(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::uint64_t Args::number(const std::string& name, std::uint64_t fallback, std::uint64_t lo,
                           std::uint64_t hi) const {
    auto v = value(name);
    if (!v) return fallback;
    const std::string range = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (v->empty() || v->size() > 19)
        throw UsageError(name + " must be " + range + " (got '" + *v + "')");
    std::uint64_t n = 0;
    for (char c : *v) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw UsageError(name + " must be " + range + " (got '" + *v + "')");
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n < lo || n > hi) throw UsageError(name + " is out of range: must be " + range + " (got " + *v + ")");
    return n;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

hw::BoardKind parse_kind(const std::string& text, const std::string& option) {
    std::string t;
    for (char c : text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "isa16") return hw::BoardKind::Isa16;
    if (t == "isa8") return hw::BoardKind::Isa8;
    if (t == "pccard") return hw::BoardKind::PcCard;
    if (t == "mca") return hw::BoardKind::Mca;
    throw UsageError(option + ": unknown board kind '" + text + "' (use isa16, isa8, pccard or mca)");
}

const char* kind_name(hw::BoardKind kind) {
    switch (kind) {
    case hw::BoardKind::Isa16: return "isa16";
    case hw::BoardKind::Isa8: return "isa8";
    case hw::BoardKind::PcCard: return "pccard";
    case hw::BoardKind::Mca: return "mca";
    }
    return "?";
}

hw::MacAddress parse_mac(const std::string& text, const std::string& option) {
    hw::MacAddress m{};
    std::string t = text;
    for (char& c : t)
        if (c == '-') c = ':';
    auto parts = split(t, ':');
    bool ok = parts.size() == 6;
    for (std::size_t i = 0; ok && i < 6; i++) {
        const std::string& p = parts[i];
        if (p.empty() || p.size() > 2) {
            ok = false;
            break;
        }
        unsigned v = 0;
        for (char c : p) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) ok = false;
            v = v * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        m[i] = static_cast<std::uint8_t>(v);
    }
    if (!ok) throw UsageError(option + ": '" + text + "' is not a MAC address (write it as 02:00:00:00:00:01)");
    return m;
}

hw::MacAddress parse_station(const std::string& text, const std::string& option) {
    hw::MacAddress m = parse_mac(text, option);
    if (m[0] & 1) throw UsageError(option + ": " + text + " is a group address; give an individual one");
    return m;
}

std::string mac_text(const std::uint8_t* mac) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
}

}  // namespace ne2k_tool
