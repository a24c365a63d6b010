#include "IoAlgorithm.h"

#include <map>
#include <mutex>

namespace Halvoren {

namespace {

struct GlobalSettings {
    std::mutex mutex;  // guards blocks
    std::map<std::string, Properties> blocks;
};

GlobalSettings& globalSettings() {
    static GlobalSettings settings;
    return settings;
}

}  // namespace

IoAlgorithm::~IoAlgorithm() = default;

void IoAlgorithm::configureFromGlobalSettings() {
    Properties settings;
    {
        GlobalSettings& global = globalSettings();
        std::lock_guard<std::mutex> lock(global.mutex);
        const auto it = global.blocks.find(factoryInfo().name);
        if (it == global.blocks.end()) {
            return;
        }
        settings = it->second;
    }
    // Configured outside the lock: parameters emit change signals.
    configure(&settings);
}

void IoAlgorithm::setGlobalSettings(const std::string& algorithmName, const Properties& settings) {
    GlobalSettings& global = globalSettings();
    std::lock_guard<std::mutex> lock(global.mutex);
    global.blocks[algorithmName] = settings;
}

void IoAlgorithm::clearGlobalSettings() {
    GlobalSettings& global = globalSettings();
    std::lock_guard<std::mutex> lock(global.mutex);
    global.blocks.clear();
}

}  // namespace Halvoren
