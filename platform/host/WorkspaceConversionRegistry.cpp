#include "WorkspaceConversionRegistry.h"

#include "Log.h"

#include "text/Text.h"

#include <algorithm>
#include <exception>

namespace Halvoren {

namespace {
const char* const kVersionAttribute = "workspaceVersion";
}

WorkspaceConversionRegistry& WorkspaceConversionRegistry::instance() {
    static WorkspaceConversionRegistry registry;
    return registry;
}

void WorkspaceConversionRegistry::addConversion(WorkspaceConversionFunction conversion) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(Entry{std::move(conversion), m_nextSerial++});
}

std::vector<WorkspaceConversionRegistry::Entry> WorkspaceConversionRegistry::sortedEntries() const {
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries = m_entries;
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.conversion.number < b.conversion.number;
    });
    return entries;
}

std::vector<WorkspaceConversionFunction> WorkspaceConversionRegistry::conversions() const {
    std::vector<WorkspaceConversionFunction> result;
    for (Entry& entry : sortedEntries()) {
        result.push_back(std::move(entry.conversion));
    }
    return result;
}

int WorkspaceConversionRegistry::currentVersion() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int version = 0;
    for (const Entry& entry : m_entries) {
        version = std::max(version, entry.conversion.number);
    }
    return version;
}

std::vector<WorkspaceConversionRegistry::Report> WorkspaceConversionRegistry::convert(
    Properties& workspace, const Filesystem::Path& file) const {
    std::vector<Report> reports;
    const int version = workspaceVersion(workspace);
    int raised = version;
    // Copies: a conversion may run long, and the list may change meanwhile on another thread.
    for (const Entry& entry : sortedEntries()) {
        const WorkspaceConversionFunction& conversion = entry.conversion;
        if (conversion.number <= version || !conversion.convert) {
            continue;
        }
        Report report{conversion.description, conversion.number, false};
        try {
            report.changed = conversion.convert(workspace, file);
        } catch (const std::exception& e) {
            HALVOREN_LOG(Log::Error, "WorkspaceConversionRegistry",
                         "Workspace conversion '" << conversion.description << "' failed: " << e.what());
        } catch (...) {
            HALVOREN_LOG(Log::Error, "WorkspaceConversionRegistry",
                         "Workspace conversion '" << conversion.description
                                                  << "' failed: threw an exception of unknown type");
        }
        reports.push_back(report);
        raised = std::max(raised, conversion.number);
    }
    if (raised != version) {
        setWorkspaceVersion(workspace, raised);
    }
    return reports;
}

int WorkspaceConversionRegistry::workspaceVersion(const Properties& workspace) {
    for (const auto& [key, value] : workspace.attributes()) {
        if (key == kVersionAttribute) {
            int version = 0;
            // An unreadable version is treated as the oldest: every conversion runs.
            return Text::parseInteger(Text::trim(value), version) ? version : 0;
        }
    }
    return 0;
}

void WorkspaceConversionRegistry::setWorkspaceVersion(Properties& workspace, int version) {
    Properties::Attributes attributes = workspace.attributes();
    const auto it = std::find_if(attributes.begin(), attributes.end(),
                                 [](const auto& attribute) { return attribute.first == kVersionAttribute; });
    if (it != attributes.end()) {
        it->second = std::to_string(version);
    } else {
        attributes.emplace_back(kVersionAttribute, std::to_string(version));
    }
    workspace.setAttributes(attributes);
}

std::uint64_t WorkspaceConversionRegistry::nextSerial() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nextSerial;
}

void WorkspaceConversionRegistry::removeConversions(std::uint64_t fromSerial, std::uint64_t toSerial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(
        std::remove_if(m_entries.begin(), m_entries.end(),
                       [&](const Entry& e) { return e.serial >= fromSerial && e.serial < toSerial; }),
        m_entries.end());
}

}  // namespace Halvoren
