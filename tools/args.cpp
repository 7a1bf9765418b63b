#include "tools/args.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/tool.h"

namespace ne2k_tool {

Args::Args(const std::vector<std::string>& args, const CommandHelp& command) {
    std::set<std::string> valued, switches{"--json"};
    for (const OptionHelp& o : command.options) (o.value ? valued : switches).insert(o.name);
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
                if (i + 1 >= args.size()) throw UsageError("option " + name + " needs a value");
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

bool Args::has(const std::string& name) const { return switches_.count(name) || values_.count(name); }

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
    bool digits = !v->empty();
    for (char c : *v) digits = digits && std::isdigit(static_cast<unsigned char>(c));
    if (!digits) throw UsageError(name + " must be " + range + " (got '" + *v + "')");
    // Digits that do not fit 64 bits are out of range like any other large number.
    std::size_t first = v->find_first_not_of('0');
    std::string sig = first == std::string::npos ? "0" : v->substr(first);
    std::uint64_t n = sig.size() <= 19 ? std::stoull(sig) : ~0ull;
    if (sig.size() > 20 || n < lo || n > hi)
        throw UsageError(name + " is out of range: must be " + range + " (got " + *v + ")");
    return n;
}

double Args::real(const std::string& name, double fallback, double lo, double hi) const {
    auto v = value(name);
    if (!v) return fallback;
    char* end = nullptr;
    double d = v->empty() ? 0 : std::strtod(v->c_str(), &end);
    char range[96];
    std::snprintf(range, sizeof range, "a number from %g to %g", lo, hi);
    if (v->empty() || *end || !std::isdigit(static_cast<unsigned char>(v->back())))
        throw UsageError(name + " must be " + range + " (got '" + *v + "')");
    if (!(d >= lo && d <= hi)) throw UsageError(name + " is out of range: must be " + range + " (got " + *v + ")");
    return d;
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

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

hw::BoardKind parse_kind(const std::string& text, const std::string& option) {
    for (hw::BoardKind k : hw::kBoardKinds)
        if (lower(text) == hw::kind_name(k)) return k;
    throw UsageError(option + ": unknown board kind '" + text + "' (use isa16, isa8, pccard or mca)");
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
        ok = !p.empty() && p.size() <= 2 && std::isxdigit(static_cast<unsigned char>(p[0])) &&
             std::isxdigit(static_cast<unsigned char>(p.back()));
        if (ok) m[i] = static_cast<std::uint8_t>(std::stoul(p, nullptr, 16));
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
