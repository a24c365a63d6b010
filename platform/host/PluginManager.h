#pragma once
// Loads plug-in modules and owns what they create.
//
// Where: the plug-in folder beside the application, InstallLayout::pluginFolder() (<exe dir>/../lib/plugins
// in a build tree, where halvoren_plugin_module() in platform/CMakeLists.txt puts the module;
// <exe dir>/../lib/halvoren/plugins when installed), then every folder of the colon-separated
// HALVOREN_PLUGIN_PATH. Every file ending in ".so" is tried, in name order within a folder.
//
// What a module carries: the section PluginMetadata describes, read from the file before the module is
// opened (opening runs its static constructors), with the descriptor and the id. The descriptor must begin
// with kMagicPrefix, and its hostversion must fit this host: the same major version, and a minor version
// not newer than the host's (the patch level is not compared). The id must not be loaded yet.
// What it exports (plain C names, default visibility), checked for their kind before use and compared
// with the section:
//     extern "C" { const char* halvorenPluginDescriptor = "<magic>|hostversion=<kHostVersion>|..."; }
//     extern "C" const char* halvorenPluginId();                 // stays valid while the module is loaded
//     extern "C" Halvoren::PluginBase* halvorenCreatePlugin();   // new object, owned by the host
// Every call into the module is guarded: whatever it throws refuses the module, which is closed only after
// the exception object (whose destructor may be the module's code) is gone.
//
// Lifetime: each module stays open while its plug-in lives. unloadAll() (also run by the destructor)
// destroys the plug-ins in reverse order of loading, with the factories they registered and the workspace
// conversions they added, and only then closes their modules; called on the main thread, it first runs the
// work queued there, which may be a module's code. Every algorithm, controller and stream made
// through a plug-in's factories contains that module's code: the caller must destroy them first.

#include "AlgorithmController.h"
#include "AlgorithmFactory.h"
#include "HalvorenVersion.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

class AlgorithmControllerFactory;
class ApplicationController;
class PluginBase;
struct PluginMetadata;

/// Used from the application's main thread only.
class PluginManager {
public:
    static constexpr const char* kMagicPrefix = "__HALVOREN_PLUGIN_V2_MAGIC_STRING__";
    // The host version, declared in the top CMakeLists.txt.
    static constexpr int kHostMajor = HALVOREN_HOST_VERSION_MAJOR;
    static constexpr int kHostMinor = HALVOREN_HOST_VERSION_MINOR;
    static constexpr int kHostPatch = HALVOREN_HOST_VERSION_PATCH;
    static constexpr const char* kHostVersion = HALVOREN_HOST_VERSION;

    struct LoadedPlugin {
        std::string id;
        std::string file;
        PluginBase* plugin = nullptr;                  // owned by the manager
        AlgorithmFactory* algorithmFactory = nullptr;  // null when the plug-in registered none
        AlgorithmControllerFactory* controllerFactory = nullptr;
        // As the plug-in gave them when it was loaded.
        std::string vendor;
        std::string description;
        std::vector<std::string> dependencies;
        std::string version;  // as its descriptor names it; empty when it names none
    };
    struct RefusedModule {
        std::string file;
        std::string reason;
        std::string message() const { return file + ": " + reason; }
    };

    PluginManager();
    ~PluginManager();
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    /// The folder beside the application, then those of HALVOREN_PLUGIN_PATH; missing folders included.
    static std::vector<std::string> defaultFolders();
    /// Whether a plug-in built for this host version ("major.minor[.patch]") may be loaded.
    static bool hostVersionFits(const std::string& version);

    /// Handed to every plug-in loaded afterwards; must outlive the manager.
    void setApplicationController(ApplicationController* controller) { m_applicationController = controller; }

    /// Loads every module of the folders (a missing folder is skipped quietly). Returns how many loaded.
    int loadFolders(const std::vector<std::string>& folders);
    /// Loads one module; on refusal records and logs (warning, "PluginManager") the file and the reason.
    bool loadModule(const std::string& file);
    void unloadAll();

    /// In order of loading.
    std::vector<LoadedPlugin> plugins() const;
    const std::vector<RefusedModule>& refusedModules() const { return m_refused; }

    /// Answers for the algorithms of every loaded plug-in.
    const AlgorithmFactory& algorithmFactory() const { return m_algorithms; }
    /// GUI thread. The first controller that a loaded plug-in makes for the algorithm, or null.
    std::unique_ptr<AlgorithmController> createController(Algorithm* algorithm) const;

private:
    struct Module;

    void refuse(const std::string& file, const std::string& reason);
    void unload(Module& module);
    // The stages of loading a module: each gives the reason to refuse it, or nothing.
    /// Before the module is opened: what its metadata section says.
    std::string metadataRefusal(const PluginMetadata& metadata) const;
    std::string idTakenRefusal(const std::string& id) const;
    /// Makes and initialises the plug-in, and takes its algorithms.
    std::string createRefusal(Module& module, PluginBase* (*createFunction)());

    std::vector<std::unique_ptr<Module>> m_modules;
    std::vector<RefusedModule> m_refused;
    AlgorithmFactory m_algorithms{std::string()};
    ApplicationController* m_applicationController = nullptr;
};

}  // namespace Halvoren
