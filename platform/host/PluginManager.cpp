#include "PluginManager.h"

#include "AlgorithmController.h"
#include "AlgorithmControllerFactory.h"
#include "HalvorenLibPlugin.h"
#include "InstallLayout.h"
#include "Log.h"
#include "PluginAutoRegistrationGuard.h"
#include "PluginBase.h"
#include "PluginMetadata.h"
#include "Utilities.h"
#include "WorkspaceConversionRegistry.h"

#include "text/Text.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
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

// Digits only (no sign, no blank), six at most.
bool parseNumber(const std::string& text, int& out) {
    return text.size() <= 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; }) &&
           Text::parseInteger(text, out);
}

std::string dlError() {
    const char* error = dlerror();
    return error != nullptr ? error : "unknown error";
}

/// Calls into a module. Returns empty when the call returned, else the reason to refuse the module. The
/// reason is made inside the handler, so that the exception object, whose destructor may be the module's
/// code, is gone before the caller closes the module.
template <typename Call>
std::string callIntoModule(Call&& call, const std::string& name, const std::string& standardPrefix = "") {
    try {
        call();
        return std::string();
    } catch (const std::exception& e) {
        return (standardPrefix.empty() ? name + " threw: " : standardPrefix) + e.what();
    } catch (...) {
        return name + " threw an exception of unknown type";
    }
}

/// Whether the address is where a symbol of the module itself (not of a library it uses) begins, of the
/// kind given, and, when size is not 0, of that size.
bool isModuleSymbol(void* handle, void* address, unsigned char type, std::size_t size) {
    link_map* module = nullptr;
    Dl_info info{};
    void* owner = nullptr;
    void* entry = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &module) != 0 ||
        dladdr1(address, &info, &owner, RTLD_DL_LINKMAP) == 0 || owner != module ||
        dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr ||
        info.dli_saddr != address) {
        return false;
    }
    const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
    return ELF64_ST_TYPE(symbol->st_info) == type && (size == 0 || symbol->st_size == size);
}

struct TextSearch {
    ElfW(Addr) moduleBase;
    const char* moduleName;
    std::uintptr_t text;
    std::size_t readable = 0;  // bytes from the text to the end of the module's segment holding it
};

/// Copies the NUL-terminated text if it lies in a loaded segment of the module, never reading past it.
bool moduleText(void* handle, const char* text, std::string& out) {
    link_map* module = nullptr;
    if (text == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &module) != 0) {
        return false;
    }
    TextSearch search{module->l_addr, module->l_name, reinterpret_cast<std::uintptr_t>(text)};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* search = static_cast<TextSearch*>(data);
            if (info->dlpi_addr != search->moduleBase || info->dlpi_name == nullptr ||
                std::strcmp(info->dlpi_name, search->moduleName) != 0) {
                return 0;
            }
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && (segment.p_flags & PF_R) != 0 && search->text >= begin &&
                    search->text - begin < segment.p_memsz) {
                    search->readable = segment.p_memsz - (search->text - begin);
                    return 1;
                }
            }
            return 1;
        },
        &search);
    const void* end = search.readable > 0 ? std::memchr(text, '\0', search.readable) : nullptr;
    if (end == nullptr) {
        return false;
    }
    out.assign(text, static_cast<const char*>(end));
    return true;
}

}  // namespace

struct PluginManager::Module {
    std::string file;
    std::string id;
    void* handle = nullptr;
    std::unique_ptr<PluginBase> plugin;
    // What the plug-in says of itself, asked once behind the guard so that listing it calls no module code.
    std::string vendor;
    std::string description;
    std::vector<std::string> dependencies;
    std::string version;                // the descriptor's pluginversion, empty when it names none
    std::uint64_t conversionsFrom = 0;  // serial range of the workspace conversions its init() added
    std::uint64_t conversionsTo = 0;
};

PluginManager::PluginManager() = default;

PluginManager::~PluginManager() {
    unloadAll();
}

std::vector<std::string> PluginManager::defaultFolders() {
    std::vector<std::string> folders;
    const std::string besideApplication = InstallLayout::pluginFolder();
    if (!besideApplication.empty()) {
        folders.push_back(besideApplication);
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

std::string PluginManager::metadataRefusal(const PluginMetadata& metadata) const {
    const std::string section = std::string("the ") + PluginMetadata::kSectionName + " section";
    if (metadata.descriptor.compare(0, std::strlen(kMagicPrefix), kMagicPrefix) != 0) {
        return "wrong magic string in " + section;
    }
    std::string hostVersion;
    if (!descriptorField(metadata.descriptor, "hostversion", hostVersion)) {
        return section + " names no host version";
    }
    if (!hostVersionFits(hostVersion)) {
        return "built for host version " + hostVersion + ", this host is " + kHostVersion;
    }
    if (metadata.id.empty()) {
        return section + " names no plug-in id";
    }
    return idTakenRefusal(metadata.id);
}

std::string PluginManager::idTakenRefusal(const std::string& id) const {
    for (const auto& loaded : m_modules) {
        if (loaded->id == id) {
            return "plug-in id '" + id + "' is already loaded from " + loaded->file;
        }
    }
    return {};
}

namespace {

/// The exported descriptor of an opened module, checked as the section was, and against it. What the
/// symbol is is checked before anything is read through it.
std::string descriptorRefusal(void* handle, const PluginMetadata& metadata) {
    void* symbol = dlsym(handle, "halvorenPluginDescriptor");
    if (symbol == nullptr) {
        return "no halvorenPluginDescriptor";
    }
    if (!isModuleSymbol(handle, symbol, STT_OBJECT, sizeof(const char*))) {
        return "halvorenPluginDescriptor is not a pointer to the descriptor text";
    }
    std::string descriptor;
    if (!moduleText(handle, *static_cast<const char* const*>(symbol), descriptor)) {
        return "halvorenPluginDescriptor does not point to text of the module";
    }
    const char* magic = PluginManager::kMagicPrefix;
    if (descriptor.compare(0, std::strlen(magic), magic) != 0) {
        return "wrong magic string in halvorenPluginDescriptor";
    }
    std::string hostVersion;
    if (!descriptorField(descriptor, "hostversion", hostVersion)) {
        return "halvorenPluginDescriptor names no host version";
    }
    if (!PluginManager::hostVersionFits(hostVersion)) {
        return "built for host version " + hostVersion + ", this host is " + PluginManager::kHostVersion;
    }
    if (descriptor != metadata.descriptor) {
        return std::string("halvorenPluginDescriptor differs from the ") + PluginMetadata::kSectionName +
               " section";
    }
    return {};
}

/// The two entry functions, once they are known to be functions of the module.
std::string entryFunctionsRefusal(void* handle, IdFunction& idFunction, CreateFunction& createFunction) {
    void* idSymbol = dlsym(handle, "halvorenPluginId");
    void* createSymbol = dlsym(handle, "halvorenCreatePlugin");
    if (idSymbol == nullptr) {
        return "no halvorenPluginId";
    }
    if (createSymbol == nullptr) {
        return "no halvorenCreatePlugin";
    }
    if (!isModuleSymbol(handle, idSymbol, STT_FUNC, 0)) {
        return "halvorenPluginId is not a function";
    }
    if (!isModuleSymbol(handle, createSymbol, STT_FUNC, 0)) {
        return "halvorenCreatePlugin is not a function";
    }
    idFunction = reinterpret_cast<IdFunction>(idSymbol);
    createFunction = reinterpret_cast<CreateFunction>(createSymbol);
    return {};
}

/// The id the module exports, which must be the one its section names and the one it announces through
/// its registration guard, if it has one (`before`: the guards registered before it was opened).
std::string idRefusal(IdFunction idFunction, const PluginMetadata& metadata,
                      const std::vector<PluginAutoRegistrationGuard::IdFunction>& before,
                      std::string& moduleId) {
    const char* id = nullptr;
    std::string failure = callIntoModule([&] { id = idFunction(); }, "halvorenPluginId");
    if (!failure.empty()) {
        return failure;
    }
    if (id == nullptr || *id == '\0') {
        return "halvorenPluginId gives no id";
    }
    moduleId = id;
    if (moduleId != metadata.id) {
        return "halvorenPluginId gives '" + moduleId + "' but the " + PluginMetadata::kSectionName +
               " section names '" + metadata.id + "'";
    }
    for (PluginAutoRegistrationGuard::IdFunction announced : PluginAutoRegistrationGuard::registered()) {
        if (std::find(before.begin(), before.end(), announced) != before.end()) {
            continue;
        }
        const char* announcedId = nullptr;
        failure = callIntoModule([&] { announcedId = announced(); }, "its registration guard's id function");
        if (!failure.empty()) {
            return failure;
        }
        if (announcedId == nullptr || moduleId != announcedId) {
            return "announces plug-in id '" + std::string(announcedId != nullptr ? announcedId : "") +
                   "' but exports '" + moduleId + "'";
        }
    }
    return {};
}

}  // namespace

std::string PluginManager::createRefusal(Module& module, CreateFunction createFunction) {
    WorkspaceConversionRegistry& conversions = WorkspaceConversionRegistry::instance();
    module.conversionsFrom = conversions.nextSerial();
    module.conversionsTo = module.conversionsFrom;
    std::string failure = callIntoModule([&] { module.plugin.reset(createFunction()); },
                                         "halvorenCreatePlugin", "exception while initialising: ");
    module.conversionsTo = conversions.nextSerial();
    if (!failure.empty()) {
        return failure;
    }
    if (!module.plugin) {
        return "halvorenCreatePlugin made no plug-in";
    }
    int result = 0;
    failure =
        callIntoModule([&] { result = module.plugin->init(); }, "init()", "exception while initialising: ");
    module.conversionsTo = conversions.nextSerial();
    if (!failure.empty()) {
        return failure;
    }
    if (result != 0) {
        return "init() failed with code " + std::to_string(result);
    }
    failure = callIntoModule(
        [&] {
            module.vendor = module.plugin->vendor();
            module.description = module.plugin->description();
            module.dependencies = module.plugin->dependencies();
        },
        "vendor(), description() or dependencies()");
    if (!failure.empty()) {
        return failure;
    }
    if (auto* library = dynamic_cast<HalvorenLibPlugin*>(module.plugin.get())) {
        if (m_applicationController != nullptr) {
            failure = callIntoModule([&] { library->setApplicationController(*m_applicationController); },
                                     "setApplicationController()");
            if (!failure.empty()) {
                return failure;
            }
        }
        if (library->algorithmFactory() != nullptr) {
            m_algorithms.addAlgorithmFactoryToFront(library->algorithmFactory());
        }
    }
    return {};
}

bool PluginManager::loadModule(const std::string& file) {
    // Everything the file can be refused for is learnt without opening it: opening runs its code.
    PluginMetadata metadata;
    std::string reason;
    if (!PluginMetadata::read(file, metadata, reason) || !(reason = metadataRefusal(metadata)).empty()) {
        refuse(file, reason);
        return false;
    }
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
    descriptorField(metadata.descriptor, "pluginversion", module->version);
    IdFunction idFunction = nullptr;
    CreateFunction createFunction = nullptr;
    // Each stage turns whatever the module throws into the reason, so the module is closed only once no
    // exception of its own is alive: its destructor may be the module's code.
    reason = descriptorRefusal(handle, metadata);
    if (reason.empty()) {
        reason = entryFunctionsRefusal(handle, idFunction, createFunction);
    }
    if (reason.empty()) {
        reason = idRefusal(idFunction, metadata, before, module->id);
    }
    if (reason.empty()) {
        reason = idTakenRefusal(module->id);
    }
    if (reason.empty()) {
        reason = createRefusal(*module, createFunction);
    }
    if (!reason.empty()) {
        unload(*module);  // a plug-in object, if any, goes first
        refuse(file, reason);
        return false;
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
        LoadedPlugin plugin{module->id,     module->file,   module->plugin.get(), nullptr,
                            nullptr,        module->vendor, module->description,  module->dependencies,
                            module->version};
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
