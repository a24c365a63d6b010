// A small plug-in module for the loader tests. Compile definitions make its variants:
// TEST_PLUGIN_DESCRIPTOR (the exported descriptor; without it the module exports none),
// TEST_PLUGIN_SECTION_DESCRIPTOR (the descriptor in its metadata section, by default the exported one;
// without either the module has no such section), TEST_PLUGIN_DESCRIPTOR_ARRAY (exports the descriptor as
// a character array), TEST_PLUGIN_ID, TEST_PLUGIN_INIT_RESULT (what init() returns after registering
// everything), TEST_PLUGIN_CREATE_THROWS, TEST_PLUGIN_INIT_THROWS and TEST_PLUGIN_ID_THROWS (what those
// throw), and TEST_PLUGIN_TRACE (an environment variable its static constructor sets).
#include "host/AlgorithmFactory.h"
#include "host/HalvorenLibPlugin.h"
#include "host/IoAlgorithm.h"
#include "host/PluginAutoRegistrationGuard.h"
#include "host/WorkspaceConversionRegistry.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef TEST_PLUGIN_INIT_RESULT
#define TEST_PLUGIN_INIT_RESULT 0
#endif
#if defined(TEST_PLUGIN_DESCRIPTOR) && !defined(TEST_PLUGIN_SECTION_DESCRIPTOR)
#define TEST_PLUGIN_SECTION_DESCRIPTOR TEST_PLUGIN_DESCRIPTOR
#endif

namespace {

/// Its destructor is code of this module.
class TestError : public std::runtime_error {
public:
    TestError() : std::runtime_error("the test plug-in's own error") {}
};

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
    std::string vendor() const override {
#ifdef TEST_PLUGIN_VENDOR_THROWS
        throw TEST_PLUGIN_VENDOR_THROWS;
#endif
        return "Test vendor";
    }
    std::string description() const override {
        return "Test plug-in";
    }
    std::vector<std::string> dependencies() const override {
        return {"Halvoren.Stream"};
    }
    int init() override {
        registerFactories(std::make_unique<DummyFactory>(), nullptr, nullptr);
        Halvoren::WorkspaceConversionRegistry::instance().addConversion(
            {"Test conversion", 7, [](Halvoren::Properties& workspace, const Halvoren::Filesystem::Path&) {
                 workspace.setParam("converted", true);
                 return true;
             }});
#ifdef TEST_PLUGIN_INIT_THROWS
        throw TEST_PLUGIN_INIT_THROWS;
#endif
        return TEST_PLUGIN_INIT_RESULT;
    }
};

const char* pluginId() {
    return TEST_PLUGIN_ID;
}

const Halvoren::PluginAutoRegistrationGuard guard(&pluginId);

#ifdef TEST_PLUGIN_TRACE
[[maybe_unused]] const bool traced = setenv(TEST_PLUGIN_TRACE, "1", 1) == 0;
#endif

#ifdef TEST_PLUGIN_SECTION_DESCRIPTOR
__attribute__((section("halvoren_plugin"), used)) const char metadata[] =
    TEST_PLUGIN_SECTION_DESCRIPTOR "\0" TEST_PLUGIN_ID;
#endif

}  // namespace

#if defined(TEST_PLUGIN_DESCRIPTOR_ARRAY)
TEST_EXPORT const char halvorenPluginDescriptor[];
const char halvorenPluginDescriptor[] = TEST_PLUGIN_DESCRIPTOR;
#elif defined(TEST_PLUGIN_DESCRIPTOR)
TEST_EXPORT const char* halvorenPluginDescriptor;
const char* halvorenPluginDescriptor = TEST_PLUGIN_DESCRIPTOR;
#endif

TEST_EXPORT const char* halvorenPluginId() {
#ifdef TEST_PLUGIN_ID_THROWS
    throw TEST_PLUGIN_ID_THROWS;
#endif
    return pluginId();
}

TEST_EXPORT Halvoren::PluginBase* halvorenCreatePlugin() {
#ifdef TEST_PLUGIN_CREATE_THROWS
    throw TEST_PLUGIN_CREATE_THROWS;
#endif
    return new (std::nothrow) TestPlugin;
}
