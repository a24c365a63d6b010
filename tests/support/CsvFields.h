#pragma once
// The fields of a line of the poses' CSV (no quoted fields), empty ones included: a line may end in one.

#include <string>
#include <vector>

namespace TestSupport {

inline std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    for (const char c : line) {
        if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

}  // namespace TestSupport
