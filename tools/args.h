// Command-line parsing for the subcommands: options as "--name value",
// "--name=value" or "-w value", boolean switches, positional arguments,
// all declared once in a command's help table (tools/commands.cpp), from
// which --help and the man page are printed too. Every mistake is a
// UsageError naming the option and what it accepts. Names of kinds,
// packet types and scenarios are taken in either case.
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

// One option of a subcommand.
struct OptionHelp {
    const char* name;   // "--frames" or "-w"
    const char* value;  // what it takes ("N"), or nullptr for a switch
    const char* help;   // lines separated by '\n'
    bool required = false;  // shown without brackets in the usage line
};

// What a subcommand takes and says about itself.
struct CommandHelp {
    const char* name;         // "demo"
    const char* operands;     // "IN.pcap", "" for none
    const char* summary;      // one line, for the list of commands
    const char* description;  // paragraphs separated by "\n\n"
    std::vector<OptionHelp> options;  // --json and --help are added to every command
    const char* example;      // lines
    std::string (*more)() = nullptr;  // text after the description (trace: its scenarios)
};

// The help tables (tools/commands.cpp), in the order ne2k --help lists them.
const std::vector<const CommandHelp*>& command_helps();
const CommandHelp& command_help(const std::string& name);
// --help of a command; the top-level usage; the man page (roff).
std::string help_text(const CommandHelp& command);
std::string usage_text();
std::string man_page();
extern const char kVersion[];

class Args {
public:
    // Parses against the options of `command` and --json (--help is the
    // dispatcher's: tools/tool.cpp).
    Args(const std::vector<std::string>& args, const CommandHelp& command);

    bool json() const { return has("--json"); }
    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }

    // A whole number in [lo, hi], or `fallback` when the option is absent.
    std::uint64_t number(const std::string& name, std::uint64_t fallback, std::uint64_t lo,
                         std::uint64_t hi) const;
    // A decimal number in [lo, hi] (e.g. 0.5), or `fallback`.
    double real(const std::string& name, double fallback, double lo, double hi) const;

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> switches_;
    std::vector<std::string> positional_;
};

// "isa16", "isa8", "pccard", "mca".
hw::BoardKind parse_kind(const std::string& text, const std::string& option);
// "02:00:00:00:00:01" or "02-00-...".
hw::MacAddress parse_mac(const std::string& text, const std::string& option);
// A card's own address: a MAC address that is not a group address.
hw::MacAddress parse_station(const std::string& text, const std::string& option);
std::string mac_text(const std::uint8_t* mac);
std::vector<std::string> split(const std::string& text, char sep);
std::string lower(std::string text);

}  // namespace ne2k_tool

#endif  // TOOLS_ARGS_H
