#include "halvoren/commands/ConvertCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/StreamSetup.h"

#include "host/Log.h"
#include "host/Properties.h"
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"

#include <filesystem>
#include <ostream>

namespace Halvoren::App {

namespace {

void collectRenames(const Properties& before, const Properties& after, const std::string& parent,
                    std::vector<std::string>& renames) {
    const std::vector<Properties*> old = before.subProperties();
    const std::vector<Properties*> now = after.subProperties();
    if (old.size() != now.size()) {
        return;
    }
    for (std::size_t i = 0; i < old.size(); ++i) {
        if (old[i]->name() != now[i]->name()) {
            renames.push_back(parent + old[i]->name() + " -> " + parent + now[i]->name());
        }
        collectRenames(*old[i], *now[i], parent + now[i]->name() + "/", renames);
    }
}

/// Keeps relative file paths ("Path" parameters) pointing at their files when the workspace is written
/// to another folder: they become absolute. Returns "old -> new" for each.
void rebasePaths(Properties& block, const std::filesystem::path& from, std::vector<std::string>& moved) {
    std::string path;
    if (block.param("Path", path) && !path.empty() && path.rfind(":/", 0) != 0 &&
        std::filesystem::path(path).is_relative()) {
        std::error_code error;
        const std::filesystem::path file = std::filesystem::absolute(from / path, error).lexically_normal();
        if (!error && std::filesystem::exists(file, error)) {
            block.setParam("Path", file.string());
            moved.push_back(path + " -> " + file.string());
        }
    }
    for (Properties* child : block.subProperties()) {
        rebasePaths(*child, from, moved);
    }
}

std::filesystem::path folderOf(const std::string& file) {
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

std::vector<std::string> renamedBlocks(const Properties& before, const Properties& after) {
    std::vector<std::string> renames;
    collectRenames(before, after, "", renames);
    return renames;
}

namespace {

/// Says what the conversions did to the workspace read from `in`.
void writeConversions(const std::string& in, const Properties& original, const Properties& workspace,
                      const std::vector<WorkspaceConversionRegistry::Report>& reports, std::ostream& out) {
    out << in << ": workspace version " << WorkspaceConversionRegistry::workspaceVersion(original) << '\n';
    if (reports.empty()) {
        out << "no conversion needed\n";
    }
    for (const WorkspaceConversionRegistry::Report& report : reports) {
        out << "conversion " << report.number << " (" << report.description
            << "): " << (report.changed ? "changed the workspace" : "nothing to change") << '\n';
    }
    for (const std::string& rename : renamedBlocks(original, workspace)) {
        out << "renamed " << rename << '\n';
    }
}

}  // namespace

int runConvert(const ConvertOptions& options, std::ostream& out, std::ostream& err) {
    const std::string& in = options.in;
    const std::string& target = options.out;
    Log::setGlobalLevel(Log::Warning);
    const LoadedPlugins plugins;

    // Read once: a FIFO gives its text only once.
    std::string text;
    std::string error;
    Properties workspace;
    std::vector<WorkspaceConversionRegistry::Report> reports;
    if (!WorkspaceFile::readText(in, text, error) ||
        !WorkspaceFile::loadText(text, in, workspace, error, nullptr, &reports)) {
        err << "halvoren: " << error << '\n';
        return ExitBadInput;
    }
    // As written, to tell what the conversions renamed; the same text parsed above.
    Properties original;
    WorkspaceFile::fromText(text, original, error);
    writeConversions(in, original, workspace, reports, out);
    std::vector<std::string> moved;
    std::error_code sameFolder;
    if (!std::filesystem::equivalent(folderOf(in), folderOf(target), sameFolder)) {
        rebasePaths(workspace, folderOf(in), moved);
    }
    for (const std::string& path : moved) {
        out << "file path " << path << '\n';
    }
    if (!WorkspaceFile::save(workspace, target, error)) {
        err << "halvoren: " << error << '\n';
        return ExitBadInput;
    }
    out << target << ": workspace version " << WorkspaceConversionRegistry::workspaceVersion(workspace)
        << ", format version " << WorkspaceFile::kFormatVersion << '\n';
    return ExitOk;
}

}  // namespace Halvoren::App
