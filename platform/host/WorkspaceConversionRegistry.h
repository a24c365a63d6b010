#pragma once
// Conversions that bring workspaces saved by older versions up to date.
//
// A workspace's version is the attribute "workspaceVersion" of its root block (0 when missing; it is
// separate from the format version of the workspace file). Each conversion carries a number: it runs on
// every workspace whose version is below that number, conversions in ascending order of number, and the
// workspace's version is then raised to the highest number that ran.

#include "Properties.h"
#include "Utilities.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Halvoren {

struct WorkspaceConversionFunction {
    std::string description;
    int number = 0;
    /// Converts the workspace in place; true when it changed something. The path is the workspace file's.
    std::function<bool(Properties&, const Filesystem::Path&)> convert;
};

class WorkspaceConversionRegistry {
public:
    /// What one conversion did to a workspace.
    struct Report {
        std::string description;
        int number = 0;
        bool changed = false;
    };

    /// The process-wide registry that the host's workspace loading consults.
    static WorkspaceConversionRegistry& instance();

    WorkspaceConversionRegistry() = default;
    WorkspaceConversionRegistry(const WorkspaceConversionRegistry&) = delete;
    WorkspaceConversionRegistry& operator=(const WorkspaceConversionRegistry&) = delete;

    /// Any thread. Conversions of equal number run in the order they were added.
    void addConversion(WorkspaceConversionFunction conversion);
    /// Copies of the registered conversions in the order they run.
    std::vector<WorkspaceConversionFunction> conversions() const;
    /// The highest conversion number (0 with none): the version a workspace has once converted.
    int currentVersion() const;

    /// Runs the conversions the workspace needs (see above) and raises its version; returns what ran.
    /// A conversion that throws is logged (error, "WorkspaceConversionRegistry") and counts as having
    /// changed nothing; the others still run.
    std::vector<Report> convert(Properties& workspace, const Filesystem::Path& file) const;

    static int workspaceVersion(const Properties& workspace);
    static void setWorkspaceVersion(Properties& workspace, int version);

    /// Marks for removing everything added from one point on: the loader takes one before a plug-in's
    /// init() and one after, and removes that range before the plug-in's module is closed.
    std::uint64_t nextSerial() const;
    void removeConversions(std::uint64_t fromSerial, std::uint64_t toSerial);

private:
    struct Entry {
        WorkspaceConversionFunction conversion;
        std::uint64_t serial;
    };
    std::vector<Entry> sortedEntries() const;

    mutable std::mutex m_mutex;  // guards m_entries and m_nextSerial; never held while a conversion runs
    std::vector<Entry> m_entries;
    std::uint64_t m_nextSerial = 0;
};

}  // namespace Halvoren
