#include "commandline/Arguments.h"

#include <algorithm>

namespace Halvoren::CommandLine {

std::vector<std::string> arguments(int argc, const char* const* argv) {
    std::vector<std::string> result;
    bool optionsEnded = false;  // after "--" every argument is a value as it stands
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        optionsEnded = optionsEnded || argument == "--";
        const bool emptyValue = !optionsEnded && argument.size() > 3 && argument.compare(0, 2, "--") == 0 &&
                                argument.find('=') == argument.size() - 1;
        if (emptyValue) {
            argument.pop_back();
        }
        result.push_back(std::move(argument));
        if (emptyValue) {
            result.emplace_back();
        }
    }
    std::reverse(result.begin(), result.end());
    return result;
}

}  // namespace Halvoren::CommandLine
