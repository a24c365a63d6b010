// A small plug-in module for the loader tests. Compile definitions make its variants:
// TEST_PLUGIN_DESCRIPTOR (the descriptor text; without it the module exports no descriptor),
// TEST_PLUGIN_ID and TEST_PLUGIN_INIT_RESULT (what init() returns after registering everything).
#include "host/AlgorithmFactory.h"
#include "host/HalvorenLibPlugin.h"
#include "host/IoAlgorithm.h"
#include "host/PluginAutoRegistrationGuard.h"
#include "host/WorkspaceConversionRegistry.h"

#include <memory>
#include <new>

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef TEST_PLUGIN_INIT_RESULT
#define TEST_PLUGIN_INIT_RESULT 0
#endif

namespace {

class DummyAlgorithm : public Halvoren::IoAlgorithm {
public:
    void run() override { setStatus(Success); }
};

class DummyFactory : public Halvoren::AlgorithmFactory {
public:
    DummyFactory() : AlgorithmFactory("Test") {
        registerAlgorithm<DummyAlgorithm>("Dummy", "IO;Test;Dummy", 0);
    }
};

class TestPlugin : public Halvoren::HalvorenLibPlugin {
public:
    std::string vendor() const override { return "Test vendor"; }
    std::string description() const override { return "Test plug-in"; }
    std::vector<std::string> dependencies() const override { return {"Halvoren.Stream"}; }
    int init() override {
        registerFactories(std::make_unique<DummyFactory>(), nullptr, nullptr);
        Halvoren::WorkspaceConversionRegistry::instance().addConversion(
            {"Test conversion", 7, [](Halvoren::Properties& workspace, const Halvoren::Filesystem::Path&) {
                 workspace.setParam("converted", true);
                 return true;
             }});
        return TEST_PLUGIN_INIT_RESULT;
    }
};

const char* pluginId() {
    return TEST_PLUGIN_ID;
}

const Halvoren::PluginAutoRegistrationGuard guard(&pluginId);

}  // namespace

#ifdef TEST_PLUGIN_DESCRIPTOR
extern "C" {
__attribute__((visibility("default"))) const char* halvorenPluginDescriptor = TEST_PLUGIN_DESCRIPTOR;
}
#endif

TEST_EXPORT const char* halvorenPluginId() {
    return pluginId();
}

TEST_EXPORT Halvoren::PluginBase* halvorenCreatePlugin() {
    return new (std::nothrow) TestPlugin;
}
