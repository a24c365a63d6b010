#pragma once
// Where the application's plug-ins and example data lie, relative to the running program: in the tree
// `cmake --install` made (cmake/InstallLayout.cmake), or in the build tree when the program runs from
// there. The folders are fixed by the build; nothing here reads the environment.

#include <string>

namespace Halvoren::InstallLayout {

/// The plug-in folder beside the application: the installed one (<bindir>/../lib/halvoren/plugins by
/// default) where it exists, otherwise the build tree's (<bin>/../lib/plugins). Empty when the program's
/// folder cannot be told.
std::string pluginFolder();

/// The installed example data beside the application (<bindir>/../share/halvoren by default); empty
/// when there is none, as in the build tree.
std::string dataFolder();

}  // namespace Halvoren::InstallLayout
