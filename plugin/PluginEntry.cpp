// The module's boundary with the host: three plain symbols and the registration object. The host calls
// them as C functions, so no exception may leave through them.
#include "plugin/AtracsysPlugin.h"

#include "host/PluginAutoRegistrationGuard.h"

#include <new>
#include <string>

namespace {

/// Runs the body; any exception becomes the fallback result.
template <typename Result, typename Body>
Result guarded(Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

const char* pluginId() {
    // Built once, on first use; the text stays valid until the module is unloaded.
    static const std::string id = std::string("Halvoren.AtracsysTracking") + "SpryTrack";
    return id.c_str();
}

}  // namespace

#define HALVOREN_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

HALVOREN_PLUGIN_EXPORT const char* const halvorenPluginDescriptor;
const char* const halvorenPluginDescriptor =
    "__HALVOREN_PLUGIN_V2_MAGIC_STRING__|hostversion=4.5.0|buildflags=MSC_VER:1929,IDL:0|pluginversion=";

HALVOREN_PLUGIN_EXPORT const char* halvorenPluginId() noexcept {
    return guarded<const char*>(nullptr, pluginId);
}

/// Null when the allocation or the construction fails.
HALVOREN_PLUGIN_EXPORT Halvoren::PluginBase* halvorenCreatePlugin() noexcept {
    return guarded<Halvoren::PluginBase*>(
        nullptr, [] { return new (std::nothrow) Halvoren::SpryTrack::AtracsysPlugin(); });
}

namespace {

const Halvoren::PluginAutoRegistrationGuard registrationGuard(halvorenPluginId);

}  // namespace
