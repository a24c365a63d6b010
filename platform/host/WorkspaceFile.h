#pragma once
// Workspaces on disk: a Properties tree as a readable XML text with a format version.
//
// Two versions meet here and stay apart: the file's format version (the "version" of the <workspace>
// element, how the tree is written down) and the workspace version (the root block's "workspaceVersion"
// attribute, how old the content is), which the registered workspace conversions raise.

#include "Properties.h"
#include "WorkspaceConversionRegistry.h"

#include <string>
#include <vector>

namespace Halvoren::WorkspaceFile {

/// Version written by this host; files of a higher version are refused.
constexpr int kFormatVersion = 1;

std::string toText(const Properties& root);
/// Parses into `out` only when the whole text is valid; otherwise `out` is unchanged and `error` says
/// what is wrong, with the line. `version` receives the file's format version.
bool fromText(const std::string& text, Properties& out, std::string& error, int* version = nullptr);

/// Writes through a temporary file that replaces the target only when complete.
bool save(const Properties& root, const std::string& path, std::string& error);
/// Reads and parses the file, then runs the registered workspace conversions that its content needs
/// (WorkspaceConversionRegistry::convert); `conversions` receives what ran.
bool load(const std::string& path, Properties& out, std::string& error, int* version = nullptr,
          std::vector<WorkspaceConversionRegistry::Report>* conversions = nullptr);

}  // namespace Halvoren::WorkspaceFile
