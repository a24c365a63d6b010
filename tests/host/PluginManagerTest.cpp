// Plug-in loading: modules refused with their reasons, the good one loaded and used, all unloaded cleanly.
#include "host/Algorithm.h"
#include "host/PluginAutoRegistrationGuard.h"
#include "host/PluginBase.h"
#include "host/PluginManager.h"
#include "host/WorkspaceConversionRegistry.h"

#include "support/LogCapture.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace Halvoren;

namespace {

const std::string kDir = HALVOREN_TEST_PLUGIN_DIR;

std::map<std::string, std::string> refusalsByFile(const PluginManager& manager) {
    std::map<std::string, std::string> result;
    for (const PluginManager::RefusedModule& refused : manager.refusedModules()) {
        result[refused.file.substr(kDir.size() + 1)] = refused.reason;
    }
    return result;
}

bool moduleIsOpen(const std::string& name) {
    void* handle = dlopen((kDir + "/" + name).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

}  // namespace

TEST(PluginManager, RefusesBadModulesWithReasonsLoadsTheGoodOneAndUnloadsCleanly) {
    TestSupport::LogCapture log;
    const auto conversionsBefore = WorkspaceConversionRegistry::instance().conversions().size();
    {
        PluginManager manager;
        EXPECT_EQ(manager.loadFolders({kDir, kDir + "/missing"}), 1);

        const auto refused = refusalsByFile(manager);
        EXPECT_EQ(refused.size(), 5u);
        EXPECT_EQ(refused.at("b_same_id.so"),
                  "plug-in id 'Test.Plugin' is already loaded from " + kDir + "/a_good.so");
        EXPECT_EQ(refused.at("c_no_descriptor.so"), "no halvorenPluginDescriptor");
        EXPECT_EQ(refused.at("d_wrong_magic.so"), "wrong magic string in halvorenPluginDescriptor");
        EXPECT_EQ(refused.at("e_newer_host.so"), "built for host version 4.6.0, this host is 4.5.0");
        // A plug-in whose init() fails leaves nothing registered behind (its conversion would call into a
        // closed module).
        EXPECT_EQ(refused.at("f_init_fails.so"), "init() failed with code 3");
        EXPECT_EQ(log.countContaining("Plug-in module refused: " + kDir), 5);
        EXPECT_FALSE(moduleIsOpen("c_no_descriptor.so"));
        EXPECT_FALSE(moduleIsOpen("b_same_id.so"));
        EXPECT_FALSE(moduleIsOpen("f_init_fails.so"));

        const std::vector<PluginManager::LoadedPlugin> plugins = manager.plugins();
        ASSERT_EQ(plugins.size(), 1u);
        EXPECT_EQ(plugins[0].id, "Test.Plugin");
        EXPECT_EQ(plugins[0].plugin->vendor(), "Test vendor");
        EXPECT_EQ(plugins[0].plugin->dependencies(), std::vector<std::string>{"Halvoren.Stream"});
        ASSERT_NE(plugins[0].algorithmFactory, nullptr);
        EXPECT_EQ(PluginAutoRegistrationGuard::registered().size(), 1u);

        // The plug-in's algorithm is reachable through the manager's factory; its conversion is registered.
        std::unique_ptr<Algorithm> algorithm =
            manager.algorithmFactory().instantiateAlgorithm("Test.Dummy", {});
        ASSERT_NE(algorithm, nullptr);
        EXPECT_EQ(algorithm->factoryInfo().shortName, "Dummy");
        EXPECT_EQ(manager.createController(algorithm.get()), nullptr);
        algorithm.reset();
        EXPECT_EQ(WorkspaceConversionRegistry::instance().conversions().size(), conversionsBefore + 1);
        EXPECT_TRUE(moduleIsOpen("a_good.so"));

        manager.unloadAll();
        EXPECT_FALSE(moduleIsOpen("a_good.so"));
        EXPECT_TRUE(manager.plugins().empty());
        EXPECT_TRUE(manager.algorithmFactory().algorithmDescriptors().empty());
        EXPECT_TRUE(PluginAutoRegistrationGuard::registered().empty());
        EXPECT_EQ(WorkspaceConversionRegistry::instance().conversions().size(), conversionsBefore);

        // Loading again after an unload works: nothing of the first load is left behind.
        EXPECT_TRUE(manager.loadModule(kDir + "/a_good.so"));
    }
    EXPECT_FALSE(moduleIsOpen("a_good.so"));
}

TEST(PluginManager, HostVersionRuleAndDefaultFolders) {
    EXPECT_TRUE(PluginManager::hostVersionFits("4.5.0"));
    EXPECT_TRUE(PluginManager::hostVersionFits("4.5.7"));
    EXPECT_TRUE(PluginManager::hostVersionFits("4.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits("4.6.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits("3.9.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits("5.0.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits("4"));
    EXPECT_FALSE(PluginManager::hostVersionFits("4.x.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits(""));

    setenv("HALVOREN_PLUGIN_PATH", "/one::/two", 1);
    const std::vector<std::string> folders = PluginManager::defaultFolders();
    unsetenv("HALVOREN_PLUGIN_PATH");
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_NE(folders[0].find("/lib/plugins"), std::string::npos);
    EXPECT_EQ(folders[1], "/one");
    EXPECT_EQ(folders[2], "/two");
}
