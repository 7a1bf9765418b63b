#include "tools/json.h"

#include <cmath>
#include <cstdio>

namespace ne2k_tool {

namespace {
void quoted(std::ostream& out, const std::string& s) {
    out << '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out << buf;
        } else {
            out << c;
        }
    }
    out << '"';
}
}  // namespace

void Json::next(const std::string& key) {
    if (!open_.empty()) {
        if (!open_.back().empty) out_ << ',';
        open_.back().empty = false;
    }
    if (!key.empty()) {
        quoted(out_, key);
        out_ << ':';
    }
}

Json& Json::object(const std::string& key) {
    next(key);
    out_ << '{';
    open_.push_back({'}', true});
    return *this;
}

Json& Json::array(const std::string& key) {
    next(key);
    out_ << '[';
    open_.push_back({']', true});
    return *this;
}

Json& Json::close() {
    if (open_.empty()) return *this;
    out_ << open_.back().closer;
    open_.pop_back();
    if (open_.empty()) out_ << '\n';
    return *this;
}

Json& Json::num(const std::string& key, std::uint64_t value) {
    next(key);
    out_ << value;
    return *this;
}

Json& Json::real(const std::string& key, double value) {
    next(key);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", std::isfinite(value) ? value : 0.0);
    out_ << buf;
    return *this;
}

Json& Json::decimal(const std::string& key, std::uint64_t value, unsigned places) {
    next(key);
    std::uint64_t scale = 1;
    for (unsigned i = 0; i < places; i++) scale *= 10;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu.%0*llu", static_cast<unsigned long long>(value / scale),
                  static_cast<int>(places), static_cast<unsigned long long>(value % scale));
    out_ << (places ? buf : std::to_string(value));
    return *this;
}

Json& Json::str(const std::string& key, const std::string& value) {
    next(key);
    quoted(out_, value);
    return *this;
}

Json& Json::flag(const std::string& key, bool value) {
    next(key);
    out_ << (value ? "true" : "false");
    return *this;
}

Json& Json::null(const std::string& key) {
    next(key);
    out_ << "null";
    return *this;
}

Json& Json::strs(const std::string& key, const std::vector<std::string>& values) {
    array(key);
    for (const std::string& v : values) str({}, v);
    return close();
}

}  // namespace ne2k_tool
