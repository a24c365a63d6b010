// The module as a host sees it: its dynamic symbol table and its entry points. The module stays loaded
// until the process ends: the conversion it registered is code of the module.
#include "HalvorenVersion.h"
#include "host/AlgorithmControllerFactory.h"
#include "host/AlgorithmFactory.h"
#include "host/HalvorenLibPlugin.h"
#include "host/PluginAutoRegistrationGuard.h"
#include "host/PluginManager.h"
#include "host/PluginMetadata.h"
#include "host/Stream.h"
#include "host/WorkspaceConversionRegistry.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <QCoreApplication>

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

/// Names of the symbols the module defines in its dynamic symbol table, as nm lists them.
std::set<std::string> exportedSymbols(const std::string& module) {
    const std::string command = std::string(HALVOREN_NM) + " -D --defined-only '" + module + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    EXPECT_NE(pipe, nullptr) << command;
    std::set<std::string> names;
    if (!pipe) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, kind, name;
        if (fields >> address >> kind >> name) {
            names.insert(name);
        }
    }
    EXPECT_EQ(pclose(pipe.release()), 0) << command;
    return names;
}

}  // namespace

TEST(Module, ExportsExactlyTheThreeEntryPoints) {
    EXPECT_EQ(
        exportedSymbols(HALVOREN_PLUGIN_MODULE),
        (std::set<std::string>{"halvorenCreatePlugin", "halvorenPluginDescriptor", "halvorenPluginId"}));
}

TEST(Module, EntryPointsGiveTheDescriptorTheIdAndAPluginThatRegistersEverything) {
    TestSupport::LogCapture log;
    void* module = dlopen(HALVOREN_PLUGIN_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto* descriptor = static_cast<const char* const*>(dlsym(module, "halvorenPluginDescriptor"));
    auto* id = reinterpret_cast<const char* (*)()>(dlsym(module, "halvorenPluginId"));
    auto* create = reinterpret_cast<Halvoren::PluginBase* (*)()>(dlsym(module, "halvorenCreatePlugin"));
    ASSERT_TRUE(descriptor != nullptr && id != nullptr && create != nullptr);

    EXPECT_STREQ(*descriptor, "__HALVOREN_PLUGIN_V2_MAGIC_STRING__|hostversion=" HALVOREN_HOST_VERSION
                              "|buildflags=MSC_VER:1929,IDL:0|pluginversion=" HALVOREN_VERSION);
    const char* first = id();
    EXPECT_STREQ(first, "Halvoren.AtracsysTrackingSpryTrack");
    // The file says the same before it is opened.
    Halvoren::PluginMetadata metadata;
    std::string reason;
    ASSERT_TRUE(Halvoren::PluginMetadata::read(HALVOREN_PLUGIN_MODULE, metadata, reason)) << reason;
    EXPECT_EQ(metadata.descriptor, *descriptor);
    EXPECT_EQ(metadata.id, first);
    EXPECT_EQ(id(), first);
    int guards = 0;
    for (Halvoren::PluginAutoRegistrationGuard::IdFunction announced :
         Halvoren::PluginAutoRegistrationGuard::registered()) {
        guards += announced() == first ? 1 : 0;
    }
    EXPECT_EQ(guards, 1);

    std::unique_ptr<Halvoren::PluginBase> plugin(create());
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->vendor(), "Halvoren GmbH");
    EXPECT_EQ(plugin->description(), "Plugin for real-time streaming Atracsys tracking systems");
    EXPECT_EQ(plugin->dependencies(), (std::vector<std::string>{"Halvoren.Stream", "Halvoren.Navigation"}));

    auto& registry = Halvoren::WorkspaceConversionRegistry::instance();
    const std::size_t conversionsBefore = registry.conversions().size();
    EXPECT_EQ(plugin->init(), 0);
    auto* libPlugin = dynamic_cast<Halvoren::HalvorenLibPlugin*>(plugin.get());
    ASSERT_NE(libPlugin, nullptr);
    ASSERT_NE(libPlugin->algorithmFactory(), nullptr);
    EXPECT_NE(libPlugin->algorithmFactory()->algorithmDescriptor("Atracsys.SpryTrackStream"), nullptr);
    ASSERT_NE(libPlugin->controllerFactory(), nullptr);
    EXPECT_EQ(libPlugin->controllerFactory()->name(), "Atracsys");
    EXPECT_EQ(libPlugin->annotationFactory(), nullptr);

    const auto conversions = registry.conversions();
    ASSERT_EQ(conversions.size(), conversionsBefore + 1);
    const Halvoren::WorkspaceConversionFunction& conversion = conversions.back();
    EXPECT_EQ(conversion.description, "Renamed Atracsys tracking stream to standardized naming scheme");
    EXPECT_EQ(conversion.number, 34);
    Halvoren::Properties workspace;
    workspace.addSubProperties("Algorithms")->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack");
    EXPECT_TRUE(conversion.convert(workspace, Halvoren::Filesystem::Path()));
    EXPECT_NE(workspace.subProperties("Algorithms", false)->subProperties("Atracsys.SpryTrackStream", false),
              nullptr);
}

TEST(Module, HostLoadsItRunsTheStreamAlgorithmAndUnloadsItWithoutTrace) {
    TestSupport::LogCapture log;
    TestSupport::scriptDevice();
    {
        Halvoren::PluginManager manager;
        ASSERT_TRUE(manager.loadModule(HALVOREN_PLUGIN_MODULE));
        ASSERT_EQ(manager.plugins().size(), 1u);
        EXPECT_EQ(manager.plugins()[0].id, "Halvoren.AtracsysTrackingSpryTrack");
        std::unique_ptr<Halvoren::Algorithm> algorithm =
            manager.algorithmFactory().instantiateAlgorithm("Atracsys.SpryTrackStream", Halvoren::DataList());
        ASSERT_NE(algorithm, nullptr);
        Halvoren::Properties settings;
        settings.setParam("autoOpen", true);
        settings.setParam("autoStart", true);
        algorithm->configure(&settings);
        algorithm->run();
        Halvoren::OwningDataList output = algorithm->takeOutput();
        auto* stream = dynamic_cast<Halvoren::Stream*>(output.get(0));
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->currentState(), Halvoren::Stream::Running);
        EXPECT_NE(manager.createController(algorithm.get()), nullptr);
        output = Halvoren::OwningDataList();
        algorithm.reset();
        // Main-thread work the stream queued is the module's code: it has to run before the module closes.
        QCoreApplication::sendPostedEvents();
    }
    void* stillOpen = dlopen(HALVOREN_PLUGIN_MODULE, RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_EQ(stillOpen, nullptr);
    EXPECT_TRUE(Halvoren::PluginAutoRegistrationGuard::registered().empty());
}

namespace {
/// Entries of a folder of /proc/self now: threads in "task", open descriptors in "fd".
std::size_t entryCount(const char* folder) {
    std::size_t count = 0;
    if (DIR* tasks = opendir(folder)) {
        while (const dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        closedir(tasks);
    }
    return count;
}
std::size_t threadCount() {
    return entryCount("/proc/self/task");
}
}  // namespace

TEST(Module, LoadingStreamingAndUnloadingAHundredTimesLeavesNoThreadAndNoModule) {
    // The simulated camera, not a script: every cycle streams real frames.
    TestSupport::LogCapture log;
    std::size_t threadsBefore = 0;
    std::size_t descriptorsBefore = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        {
            Halvoren::PluginManager manager;
            ASSERT_TRUE(manager.loadModule(HALVOREN_PLUGIN_MODULE)) << "cycle " << cycle;
            std::unique_ptr<Halvoren::Algorithm> algorithm = manager.algorithmFactory().instantiateAlgorithm(
                "Atracsys.SpryTrackStream", Halvoren::DataList());
            ASSERT_NE(algorithm, nullptr);
            Halvoren::Properties settings;
            settings.setParam("open", true);
            settings.setParam("start", true);
            algorithm->configure(&settings);
            algorithm->run();
            Halvoren::OwningDataList output = algorithm->takeOutput();
            auto* stream = dynamic_cast<Halvoren::Stream*>(output.get(0));
            ASSERT_NE(stream, nullptr);
            std::mutex mutex;
            std::condition_variable arrived;
            int frames = 0;
            auto connection = stream->signalStreamData.connect([&](const auto&) {
                std::lock_guard<std::mutex> lock(mutex);
                ++frames;
                arrived.notify_all();
            });
            {
                std::unique_lock<std::mutex> lock(mutex);
                ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(30), [&] { return frames >= 3; }))
                    << "cycle " << cycle;
            }
            connection->disconnect();
            output = Halvoren::OwningDataList();
            algorithm.reset();
            QCoreApplication::sendPostedEvents();
        }
        ASSERT_EQ(dlopen(HALVOREN_PLUGIN_MODULE, RTLD_LAZY | RTLD_NOLOAD), nullptr) << "cycle " << cycle;
        if (cycle == 0) {
            // Counted after the first cycle: the driver library and Qt keep threads of their own.
            threadsBefore = threadCount();
            descriptorsBefore = entryCount("/proc/self/fd");
        }
    }
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(entryCount("/proc/self/fd"), descriptorsBefore);
}
