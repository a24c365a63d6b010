// The module's boundary with the host: the metadata section, three plain symbols and the registration
// object. The host reads the section from the file before it opens the module, and calls the functions as
// C functions, so no exception may leave through them.
#include "plugin/AtracsysPlugin.h"

#include "HalvorenVersion.h"
#include "host/PluginAutoRegistrationGuard.h"

#include <new>
#include <string>

// Built for the host version the top CMakeLists.txt declares; the plug-in's version is the project's.
#define HALVOREN_PLUGIN_DESCRIPTOR                                           \
    "__HALVOREN_PLUGIN_V2_MAGIC_STRING__|hostversion=" HALVOREN_HOST_VERSION \
    "|buildflags=MSC_VER:1929,IDL:0|pluginversion=" HALVOREN_VERSION
#define HALVOREN_PLUGIN_ID "Halvoren.AtracsysTrackingSpryTrack"

namespace {

// The descriptor and the id, each ended by a NUL, where the host finds them without running our code.
__attribute__((section("halvoren_plugin"), used)) const char metadata[] =
    HALVOREN_PLUGIN_DESCRIPTOR "\0" HALVOREN_PLUGIN_ID;

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
    static const std::string id = HALVOREN_PLUGIN_ID;
    return id.c_str();
}

}  // namespace

#define HALVOREN_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

HALVOREN_PLUGIN_EXPORT const char* const halvorenPluginDescriptor;
const char* const halvorenPluginDescriptor = HALVOREN_PLUGIN_DESCRIPTOR;

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
