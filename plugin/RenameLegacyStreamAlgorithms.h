#pragma once

#include "host/Properties.h"
#include "host/Utilities.h"

namespace Halvoren {

/// Workspace conversion: renames the stream algorithm blocks that older versions saved directly under
/// "Algorithms" to the current names, keeping their contents. True when at least one block was renamed.
/// The path of the workspace file is not needed.
bool renameLegacyStreamAlgorithms(Properties& workspace, const Filesystem::Path& path);

}  // namespace Halvoren
