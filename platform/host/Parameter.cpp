#include "Parameter.h"

#include "text/Text.h"

namespace Halvoren::detail {

bool numberAttribute(const std::map<std::string, std::string>& attributes, const char* key, double& out) {
    const auto it = attributes.find(key);
    return it != attributes.end() && Text::parseNumber(it->second, out);
}

}  // namespace Halvoren::detail
