#include "PluginManager.h"

#include "AlgorithmController.h"
#include "AlgorithmControllerFactory.h"
#include "HalvorenLibPlugin.h"
#include "Log.h"
#include "PluginAutoRegistrationGuard.h"
#include "PluginBase.h"
#include "Utilities.h"
#include "WorkspaceConversionRegistry.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

namespace Halvoren {

namespace {

using IdFunction = const char* (*)();
using CreateFunction = PluginBase* (*)();

/// The value of "key=" among the descriptor's "|"-separated fields; false when missing.
bool descriptorField(const std::string& descriptor, const std::string& key, std::string& value) {
    for (const std::string& field : String::split(descriptor, "|")) {
        if (field.compare(0, key.size() + 1, key + "=") == 0) {
            value = field.substr(key.size() + 1);
            return true;
        }
    }
    return false;
}

bool parseNumber(const std::string& text, int& out) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    out = std::stoi(text);
    return true;
}

std::string dlError() {
    const char* error = dlerror();
    return error != nullptr ? error : "unknown error";
}

}  // namespace

struct PluginManager::Module {
    std::string file;
    std::string id;
    void* handle = nullptr;
    std::unique_ptr<PluginBase> plugin;
    std::uint64_t conversionsFrom = 0;  // serial range of the workspace conversions its init() added
    std::uint64_t conversionsTo = 0;
};

PluginManager::PluginManager() = default;

PluginManager::~PluginManager() {
    unloadAll();
}

std::vector<std::string> PluginManager::defaultFolders() {
    std::vector<std::string> folders;
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        folders.push_back((exe.parent_path() / ".." / "lib" / "plugins").lexically_normal().string());
    }
    if (const char* path = std::getenv("HALVOREN_PLUGIN_PATH")) {
        for (const std::string& folder : String::split(path, ":", String::SkipEmptyParts)) {
            folders.push_back(folder);
        }
    }
    return folders;
}

bool PluginManager::hostVersionFits(const std::string& version) {
    const std::vector<std::string> parts = String::split(version, ".");
    int major = 0;
    int minor = 0;
    int patch = 0;
    if (parts.size() < 2 || parts.size() > 3 || !parseNumber(parts[0], major) ||
        !parseNumber(parts[1], minor) || (parts.size() == 3 && !parseNumber(parts[2], patch))) {
        return false;
    }
    return major == kHostMajor && minor <= kHostMinor;
}

int PluginManager::loadFolders(const std::vector<std::string>& folders) {
    int loaded = 0;
    for (const std::string& folder : folders) {
        std::error_code error;
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            std::error_code typeError;
            if (entry.path().extension() == ".so" && entry.is_regular_file(typeError)) {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());
        for (const std::string& file : files) {
            loaded += loadModule(file) ? 1 : 0;
        }
    }
    return loaded;
}

void PluginManager::refuse(const std::string& file, const std::string& reason) {
    m_refused.push_back(RefusedModule{file, reason});
    HALVOREN_LOG(Log::Warning, "PluginManager", "Plug-in module refused: " << file << ": " << reason);
}

bool PluginManager::loadModule(const std::string& file) {
    const std::vector<PluginAutoRegistrationGuard::IdFunction> before =
        PluginAutoRegistrationGuard::registered();
    dlerror();
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        refuse(file, "cannot be loaded: " + dlError());
        return false;
    }
    auto module = std::make_unique<Module>();
    module->file = file;
    module->handle = handle;
    // Closes the module on every refusal below; a plug-in object, if any, goes first.
    auto reject = [&](const std::string& reason) {
        unload(*module);
        refuse(file, reason);
        return false;
    };

    void* descriptorSymbol = dlsym(handle, "halvorenPluginDescriptor");
    if (descriptorSymbol == nullptr) {
        return reject("no halvorenPluginDescriptor");
    }
    const char* descriptor = *static_cast<const char* const*>(descriptorSymbol);
    const std::size_t magicLength = std::strlen(kMagicPrefix);
    if (descriptor == nullptr || std::strncmp(descriptor, kMagicPrefix, magicLength) != 0) {
        return reject("wrong magic string in halvorenPluginDescriptor");
    }
    std::string hostVersion;
    if (!descriptorField(descriptor, "hostversion", hostVersion)) {
        return reject("halvorenPluginDescriptor names no host version");
    }
    if (!hostVersionFits(hostVersion)) {
        return reject("built for host version " + hostVersion + ", this host is " + kHostVersion);
    }
    auto idFunction = reinterpret_cast<IdFunction>(dlsym(handle, "halvorenPluginId"));
    auto createFunction = reinterpret_cast<CreateFunction>(dlsym(handle, "halvorenCreatePlugin"));
    if (idFunction == nullptr) {
        return reject("no halvorenPluginId");
    }
    if (createFunction == nullptr) {
        return reject("no halvorenCreatePlugin");
    }
    const char* id = idFunction();
    if (id == nullptr || *id == '\0') {
        return reject("halvorenPluginId gives no id");
    }
    module->id = id;
    // A module that announces itself through its registration guard must announce the id it exports.
    for (PluginAutoRegistrationGuard::IdFunction announced : PluginAutoRegistrationGuard::registered()) {
        if (std::find(before.begin(), before.end(), announced) != before.end()) {
            continue;
        }
        const char* announcedId = announced();
        if (announcedId == nullptr || module->id != announcedId) {
            return reject("announces plug-in id '" + std::string(announcedId != nullptr ? announcedId : "") +
                          "' but exports '" + module->id + "'");
        }
    }
    for (const auto& loaded : m_modules) {
        if (loaded->id == module->id) {
            return reject("plug-in id '" + module->id + "' is already loaded from " + loaded->file);
        }
    }

    WorkspaceConversionRegistry& conversions = WorkspaceConversionRegistry::instance();
    module->conversionsFrom = conversions.nextSerial();
    module->conversionsTo = module->conversionsFrom;
    try {
        module->plugin.reset(createFunction());
        if (!module->plugin) {
            return reject("halvorenCreatePlugin made no plug-in");
        }
        const int result = module->plugin->init();
        module->conversionsTo = conversions.nextSerial();
        if (result != 0) {
            return reject("init() failed with code " + std::to_string(result));
        }
    } catch (const std::exception& e) {
        module->conversionsTo = conversions.nextSerial();
        return reject(std::string("exception while initialising: ") + e.what());
    }

    if (auto* library = dynamic_cast<HalvorenLibPlugin*>(module->plugin.get())) {
        if (m_applicationController != nullptr) {
            library->setApplicationController(*m_applicationController);
        }
        if (library->algorithmFactory() != nullptr) {
            m_algorithms.addAlgorithmFactoryToFront(library->algorithmFactory());
        }
    }
    HALVOREN_LOG(Log::Info, "PluginManager", "Loaded plug-in " << module->id << " from " << file);
    m_modules.push_back(std::move(module));
    return true;
}

void PluginManager::unload(Module& module) {
    if (auto* library = dynamic_cast<HalvorenLibPlugin*>(module.plugin.get())) {
        m_algorithms.removeAlgorithmFactory(library->algorithmFactory());
    }
    // The conversions' callables are the module's code, like the plug-in and its factories.
    WorkspaceConversionRegistry::instance().removeConversions(module.conversionsFrom, module.conversionsTo);
    module.plugin.reset();
    if (module.handle != nullptr) {
        dlclose(module.handle);
        module.handle = nullptr;
    }
}

void PluginManager::unloadAll() {
    // Work that a plug-in queued to the main thread is its module's code: it runs before any module closes.
    QCoreApplication* application = QCoreApplication::instance();
    if (application != nullptr && QThread::currentThread() == application->thread()) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    while (!m_modules.empty()) {
        unload(*m_modules.back());
        m_modules.pop_back();
    }
}

std::vector<PluginManager::LoadedPlugin> PluginManager::plugins() const {
    std::vector<LoadedPlugin> result;
    for (const auto& module : m_modules) {
        LoadedPlugin plugin{module->id, module->file, module->plugin.get(), nullptr, nullptr};
        if (auto* library = dynamic_cast<HalvorenLibPlugin*>(module->plugin.get())) {
            plugin.algorithmFactory = library->algorithmFactory();
            plugin.controllerFactory = library->controllerFactory();
        }
        result.push_back(plugin);
    }
    return result;
}

std::unique_ptr<AlgorithmController> PluginManager::createController(Algorithm* algorithm) const {
    for (const auto& module : m_modules) {
        auto* library = dynamic_cast<HalvorenLibPlugin*>(module->plugin.get());
        if (library == nullptr || library->controllerFactory() == nullptr) {
            continue;
        }
        if (std::unique_ptr<AlgorithmController> controller =
                library->controllerFactory()->createController(algorithm)) {
            return controller;
        }
    }
    return nullptr;
}

}  // namespace Halvoren
