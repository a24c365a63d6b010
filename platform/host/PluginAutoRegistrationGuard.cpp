#include "PluginAutoRegistrationGuard.h"

#include <algorithm>
#include <mutex>

namespace Halvoren {

namespace {

struct Registry {
    std::mutex mutex;  // guards ids
    std::vector<PluginAutoRegistrationGuard::IdFunction> ids;
};

Registry& registry() {
    // Never destroyed: guards of modules still loaded at exit are destroyed after this library's statics.
    static Registry* instance = new Registry;
    return *instance;
}

}  // namespace

PluginAutoRegistrationGuard::PluginAutoRegistrationGuard(IdFunction id) : m_id(id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.ids.push_back(m_id);
}

PluginAutoRegistrationGuard::~PluginAutoRegistrationGuard() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = std::find(r.ids.begin(), r.ids.end(), m_id);
    if (it != r.ids.end()) {
        r.ids.erase(it);
    }
}

std::vector<PluginAutoRegistrationGuard::IdFunction> PluginAutoRegistrationGuard::registered() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.ids;
}

}  // namespace Halvoren
