#pragma once
// Workspaces on disk: a Properties tree as a readable XML text with a format version.
//
// Two versions meet here and stay apart: the file's format version (the "version" of the <workspace>
// element, how the tree is written down) and the workspace version (the root block's "workspaceVersion"
// attribute, how old the content is), which the registered workspace conversions raise.

#include "Properties.h"
#include "WorkspaceConversionRegistry.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Halvoren::WorkspaceFile {

/// Version written by this host; files of a higher version are refused.
constexpr int kFormatVersion = 1;

std::string toText(const Properties& root);
/// Parses into `out` only when the whole text is valid; otherwise `out` is unchanged and `error` says
/// what is wrong, with the line. `version` receives the file's format version.
bool fromText(const std::string& text, Properties& out, std::string& error, int* version = nullptr);

/// Far beyond any workspace; a larger file is refused, not read to its end.
constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;

/// Writes through a temporary file that replaces the target only when complete. Only a regular file (or
/// none) is replaced: a folder, FIFO, device or socket at `path` is refused and left as it is.
bool save(const Properties& root, const std::string& path, std::string& error);
/// Reads the file's text; refuses a folder and stops at kMaxFileBytes, whatever the file is.
bool readText(const std::string& path, std::string& text, std::string& error);
/// Parses text read from `path`, refuses a workspace version that is not a whole number an int holds,
/// then runs the registered workspace conversions that the content needs
/// (WorkspaceConversionRegistry::convert); `conversions` receives what ran.
bool loadText(const std::string& text, const std::string& path, Properties& out, std::string& error,
              int* version = nullptr,
              std::vector<WorkspaceConversionRegistry::Report>* conversions = nullptr);
/// readText, then loadText.
bool load(const std::string& path, Properties& out, std::string& error, int* version = nullptr,
          std::vector<WorkspaceConversionRegistry::Report>* conversions = nullptr);

}  // namespace Halvoren::WorkspaceFile
