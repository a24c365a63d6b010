// Plug-in loading: modules refused with their reasons, the good one loaded and used, all unloaded cleanly.
#include "HalvorenVersion.h"
#include "host/Algorithm.h"
#include "host/PluginAutoRegistrationGuard.h"
#include "host/PluginBase.h"
#include "host/PluginManager.h"
#include "host/WorkspaceConversionRegistry.h"

#include "support/LogCapture.h"
#include "support/TempFiles.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

using namespace Halvoren;

namespace {

const std::string kDir = HALVOREN_TEST_PLUGIN_DIR;

std::map<std::string, std::string> refusalsByFile(const PluginManager& manager) {
    std::map<std::string, std::string> result;
    for (const PluginManager::RefusedModule& refused : manager.refusedModules()) {
        result[std::filesystem::path(refused.file).filename().string()] = refused.reason;
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

/// Whether the static constructor of the test module of that name ran in this process.
bool moduleCodeRan(const std::string& name) {
    return std::getenv(("HALVOREN_TEST_PLUGIN_RAN_" + name).c_str()) != nullptr;
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
        EXPECT_EQ(refused.at("e_newer_host.so"), std::string("built for host version ") +
                                                     HALVOREN_TEST_NEWER_HOST + ", this host is " +
                                                     HALVOREN_HOST_VERSION);
        // A plug-in whose init() fails leaves nothing registered behind (its conversion would call into a
        // closed module).
        EXPECT_EQ(refused.at("f_init_fails.so"), "init() failed with code 3");
        EXPECT_EQ(log.countContaining("Plug-in module refused: " + kDir), 5);
        EXPECT_FALSE(moduleIsOpen("c_no_descriptor.so"));
        EXPECT_FALSE(moduleIsOpen("b_same_id.so"));
        EXPECT_FALSE(moduleIsOpen("f_init_fails.so"));
        // Refused on what their files say, before they were opened: none of their code ran in the host.
        EXPECT_TRUE(moduleCodeRan("a_good"));
        EXPECT_TRUE(moduleCodeRan("c_no_descriptor"));
        EXPECT_FALSE(moduleCodeRan("e_newer_host"));
        EXPECT_FALSE(moduleCodeRan("b_same_id"));

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

TEST(PluginManager, RefusesModulesThatThrowHaveTheWrongSymbolsOrNoMetadataWithoutCrashing) {
    TestSupport::LogCapture log;
    TestSupport::TempFiles files;
    std::ifstream good(kDir + "/a_good.so", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(good), std::istreambuf_iterator<char>()};
    ASSERT_GT(bytes.size(), 1000u);
    files.write("cut_short.so", bytes.substr(0, bytes.size() / 2));
    files.write("text.so", "not a module");
    files.write("empty.so", "");
    const auto conversionsBefore = WorkspaceConversionRegistry::instance().conversions().size();

    PluginManager manager;
    EXPECT_EQ(manager.loadFolders({kDir + "/faulty", files.path("")}), 0);
    const auto refused = refusalsByFile(manager);
    EXPECT_EQ(refused.size(), 12u);
    // Their exceptions, of types the modules define, are gone before the modules close.
    EXPECT_EQ(refused.at("create_throws.so"), "exception while initialising: the test plug-in's own error");
    EXPECT_EQ(refused.at("init_throws.so"), "exception while initialising: the test plug-in's own error");
    EXPECT_EQ(refused.at("init_throws_int.so"), "init() threw an exception of unknown type");
    EXPECT_EQ(refused.at("id_throws_int.so"), "halvorenPluginId threw an exception of unknown type");
    EXPECT_EQ(refused.at("vendor_throws_int.so"),
              "vendor(), description() or dependencies() threw an exception of unknown type");
    EXPECT_EQ(refused.at("descriptor_array.so"),
              "halvorenPluginDescriptor is not a pointer to the descriptor text");
    EXPECT_EQ(refused.at("descriptor_differs.so"),
              "halvorenPluginDescriptor differs from the halvoren_plugin section");
    EXPECT_EQ(refused.at("section_wrong_magic.so"), "wrong magic string in the halvoren_plugin section");
    EXPECT_EQ(refused.at("no_section.so"), "no halvoren_plugin section");
    EXPECT_EQ(refused.at("cut_short.so"), "cannot be loaded: truncated or malformed ELF file");
    EXPECT_EQ(refused.at("text.so"), "cannot be loaded: not an ELF file");
    EXPECT_EQ(refused.at("empty.so"), "cannot be loaded: not an ELF file");
    EXPECT_EQ(log.countContaining("Plug-in module refused: "), 12);
    EXPECT_EQ(log.countContaining("the test plug-in's own error"), 2);

    EXPECT_TRUE(moduleCodeRan("create_throws"));
    EXPECT_FALSE(moduleCodeRan("section_wrong_magic"));
    EXPECT_FALSE(moduleCodeRan("no_section"));
    for (const std::string name : {"create_throws.so", "init_throws.so", "id_throws_int.so",
                                   "vendor_throws_int.so", "descriptor_array.so"}) {
        EXPECT_FALSE(moduleIsOpen("faulty/" + name)) << name;
    }
    EXPECT_TRUE(PluginAutoRegistrationGuard::registered().empty());
    EXPECT_EQ(WorkspaceConversionRegistry::instance().conversions().size(), conversionsBefore);
}

TEST(PluginManager, HostVersionRuleAndDefaultFolders) {
    // Versions around the host's own, which the build declares.
    const int major = HALVOREN_HOST_VERSION_MAJOR;
    const int minor = HALVOREN_HOST_VERSION_MINOR;
    const auto version = [](int a, int b, int c) {
        return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
    };
    EXPECT_EQ(std::string(PluginManager::kHostVersion), HALVOREN_HOST_VERSION);
    EXPECT_TRUE(PluginManager::hostVersionFits(HALVOREN_HOST_VERSION));
    EXPECT_TRUE(PluginManager::hostVersionFits(version(major, minor, HALVOREN_HOST_VERSION_PATCH + 7)));
    EXPECT_TRUE(PluginManager::hostVersionFits(std::to_string(major) + ".0"));
    EXPECT_FALSE(PluginManager::hostVersionFits(version(major, minor + 1, 0)));
    EXPECT_FALSE(PluginManager::hostVersionFits(version(major - 1, 9, 0)));
    EXPECT_FALSE(PluginManager::hostVersionFits(version(major + 1, 0, 0)));
    EXPECT_FALSE(PluginManager::hostVersionFits(std::to_string(major)));
    EXPECT_FALSE(PluginManager::hostVersionFits(std::to_string(major) + ".x.0"));
    EXPECT_FALSE(PluginManager::hostVersionFits(""));

    setenv("HALVOREN_PLUGIN_PATH", "/one::/two", 1);
    const std::vector<std::string> folders = PluginManager::defaultFolders();
    unsetenv("HALVOREN_PLUGIN_PATH");
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_NE(folders[0].find("/lib/plugins"), std::string::npos);
    EXPECT_EQ(folders[1], "/one");
    EXPECT_EQ(folders[2], "/two");
}
