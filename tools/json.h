// The --json summaries: one JSON object, written as it is built.
#ifndef TOOLS_JSON_H
#define TOOLS_JSON_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace ne2k_tool {

// Keys are given inside an object and left empty inside an array. The
// outermost close() ends the line.
class Json {
public:
    explicit Json(std::ostream& out) : out_(out) { object(); }
    Json(const Json&) = delete;
    Json& operator=(const Json&) = delete;

    Json& object(const std::string& key = {});
    Json& array(const std::string& key = {});
    Json& close();
    Json& num(const std::string& key, std::uint64_t value);
    Json& real(const std::string& key, double value);
    // A whole number scaled down by 10^places, written exactly:
    // decimal(k, 113361250, 3) is 113361.250.
    Json& decimal(const std::string& key, std::uint64_t value, unsigned places);
    Json& str(const std::string& key, const std::string& value);
    Json& flag(const std::string& key, bool value);
    Json& null(const std::string& key);
    Json& strs(const std::string& key, const std::vector<std::string>& values);

private:
    void next(const std::string& key);

    std::ostream& out_;
    struct Level {
        char closer;  // '}' or ']'
        bool empty;   // nothing written in it yet
    };
    std::vector<Level> open_;
};

}  // namespace ne2k_tool

#endif  // TOOLS_JSON_H
