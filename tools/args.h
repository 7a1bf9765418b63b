// Command-line parsing for the subcommands: options as "--name value",
// "--name=value" or "-w value", boolean switches, positional arguments.
// Every mistake is a UsageError naming the option and what it accepts.
#ifndef TOOLS_ARGS_H
#define TOOLS_ARGS_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hw/board.h"
#include "hw/ethernet.h"

namespace ne2k_tool {

class Args {
public:
    // `valued`: options that take a value; `switches`: options that do not.
    // "--help"/"-h" is always known.
    Args(const std::vector<std::string>& args, const std::set<std::string>& valued,
         const std::set<std::string>& switches);

    bool help() const { return help_; }
    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

    // A whole number in [lo, hi], or `fallback` when the option is absent.
    std::uint64_t number(const std::string& name, std::uint64_t fallback, std::uint64_t lo,
                         std::uint64_t hi) const;

private:
    bool help_ = false;
    std::map<std::string, std::string> values_;
    std::set<std::string> switches_;
    std::vector<std::string> positional_;
};

// "isa16", "isa8", "pccard", "mca" (case ignored).
hw::BoardKind parse_kind(const std::string& text, const std::string& option);
const char* kind_name(hw::BoardKind kind);
// "02:00:00:00:00:01" or "02-00-...".
hw::MacAddress parse_mac(const std::string& text, const std::string& option);
// A card's own address: a MAC address that is not a group address.
hw::MacAddress parse_station(const std::string& text, const std::string& option);
std::string mac_text(const std::uint8_t* mac);
std::vector<std::string> split(const std::string& text, char sep);

}  // namespace ne2k_tool

#endif  // TOOLS_ARGS_H
