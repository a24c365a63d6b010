#pragma once

#include <vector>

namespace Halvoren {

/// A plug-in module holds one as a static object: constructed when the module is loaded, destroyed when
/// it is unloaded. It announces the module's plug-in id to the host, which compares it with what the
/// module exports.
class PluginAutoRegistrationGuard {
public:
    /// Returns the plug-in id; the text stays valid while the module is loaded.
    using IdFunction = const char* (*)();

    explicit PluginAutoRegistrationGuard(IdFunction id);
    ~PluginAutoRegistrationGuard();
    PluginAutoRegistrationGuard(const PluginAutoRegistrationGuard&) = delete;
    PluginAutoRegistrationGuard& operator=(const PluginAutoRegistrationGuard&) = delete;

    /// Id functions of the guards alive now, in construction order. Any thread.
    static std::vector<IdFunction> registered();

private:
    IdFunction m_id;
};

}  // namespace Halvoren
