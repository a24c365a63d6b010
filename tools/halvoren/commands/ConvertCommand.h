#pragma once
// "halvoren convert IN OUT": brings a workspace saved by an older version up to date.

#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren {
class Properties;
}

namespace Halvoren::App {

struct ConvertOptions {
    std::string in;   // the workspace to read
    std::string out;  // the file to write; may be `in`
};

/// Blocks whose name differs between two trees of the same shape, as "path/old -> path/new"; the
/// workspace conversions rename blocks in place, so the shapes match.
std::vector<std::string> renamedBlocks(const Properties& before, const Properties& after);

/// Runs the command: what the conversions changed goes to `out`. Returns the exit code.
int runConvert(const ConvertOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App
