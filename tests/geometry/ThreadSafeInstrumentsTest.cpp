#include "geometry/AtracsysGeometry.h"
#include "geometry/ThreadSafeInstruments.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Halvoren;
using SpryTrack::AtracsysGeometry;
using TestSupport::LogCapture;

const std::string category = "ThreadSafeInstruments";
constexpr std::uint32_t DataBit = 1;
constexpr std::uint32_t MainBit = 2;
constexpr std::uint32_t SetBit = 4;

/// Special object that counts its destructions.
struct Tag : Clonable {
    explicit Tag(int value, std::atomic<int>* destroyed = nullptr) : value(value), destroyed(destroyed) {}
    ~Tag() override {
        if (destroyed) {
            ++*destroyed;
        }
    }
    Tag* clone() const override { return new Tag(value, destroyed); }
    int value;
    std::atomic<int>* destroyed;
};
using Registry = ThreadSafeInstruments<Tag>;

TrackerID tracker(const std::string& id) {
    return TrackerID(id, "model", "name-" + id);
}

std::vector<std::string> ids(const ThreadSafeInstrumentsBase& registry) {
    std::vector<std::string> result;
    for (const auto& instrument : registry.instruments()) {
        result.push_back(instrument.id.ID);
    }
    return result;
}

TEST(Registry, FirstCreatedStaysMainAndListingFollowsByteOrder) {
    Registry registry;
    EXPECT_EQ(registry.create(tracker("atracsys-1002"), true).value(), SetBit | MainBit);
    EXPECT_EQ(registry.create(tracker("atracsys-1001"), false).value(), SetBit);
    EXPECT_EQ(registry.create(tracker("atracsys-100"), true).value(), SetBit);
    EXPECT_EQ(registry.create(tracker("Z"), true).value(), SetBit);

    EXPECT_EQ(ids(registry),
              (std::vector<std::string>{"Z", "atracsys-100", "atracsys-1001", "atracsys-1002"}));
    EXPECT_EQ(registry.mainId(), "atracsys-1002");
    EXPECT_EQ(registry.mainName(), "name-atracsys-1002");
    ASSERT_TRUE(registry.mainInstrument().has_value());
    EXPECT_EQ(registry.mainInstrument()->id.ID, "atracsys-1002");
    EXPECT_EQ(registry.size(), 4);
    EXPECT_FALSE(registry.isActive("atracsys-1001"));
    EXPECT_EQ(registry.indexOf("atracsys-1001"), 2);
    EXPECT_EQ(registry.indexOf("atracsys-1"), -1);
    EXPECT_FALSE(registry.instrument("atracsys-1").has_value());
    // The main index follows the main entry as entries are inserted before it.
    EXPECT_EQ(registry.mainIndex(), 3u);
}

TEST(Registry, RemovingMainPromotesFirstRemainingAndRemovingLastEmptiesMain) {
    LogCapture log;
    Registry registry;
    registry.create(tracker("atracsys-1001"), true);
    registry.create(tracker("atracsys-1002"), true);

    EXPECT_EQ(registry.remove("atracsys-1001").value(), SetBit | MainBit);
    EXPECT_EQ(registry.mainId(), "atracsys-1002");
    EXPECT_EQ(registry.mainIndex(), 0u);

    EXPECT_EQ(registry.remove("atracsys-1003").value(), 0u);
    EXPECT_EQ(log.count(Log::Error, category, "remove: Instrument with ID atracsys-1003 not found"), 1);

    EXPECT_EQ(registry.remove("atracsys-1002").value(), SetBit | MainBit);
    EXPECT_EQ(registry.mainId(), "");
    EXPECT_EQ(registry.mainName(), "");
    EXPECT_FALSE(registry.mainInstrument().has_value());
    EXPECT_EQ(registry.size(), 0);
}

TEST(Registry, MainIndexStaysOnMainEntryAcrossInsertionAndRemoval) {
    Registry registry;
    registry.create(tracker("c"), true);
    registry.create(tracker("a"), true);
    registry.create(tracker("b"), true);
    EXPECT_EQ(registry.mainIndex(), 2u);
    EXPECT_EQ(registry.setMainByIndex(2).value(), 0u);

    EXPECT_EQ(registry.remove("a").value(), SetBit);
    EXPECT_EQ(registry.mainIndex(), 1u);
    // Index 0 names "b", not the main entry, so it must switch.
    EXPECT_EQ(registry.setMainByIndex(0).value(), MainBit);
    EXPECT_EQ(registry.mainId(), "b");
    EXPECT_EQ(registry.remove("c").value(), SetBit);
    EXPECT_EQ(registry.mainIndex(), 0u);

    // An empty registry's main ID is the empty ID: an entry created under it is the main one, at index 0.
    Registry empty;
    EXPECT_EQ(empty.setMainByIndex(5).value(), MainBit);
    EXPECT_EQ(empty.create(tracker(""), true).value(), SetBit);
    EXPECT_EQ(empty.mainName(), "name-");
    EXPECT_EQ(empty.mainIndex(), 0u);
}

TEST(Registry, CreatingExistingIdKeepsEntryAndDestroysGivenSpecialObject) {
    LogCapture log;
    std::atomic<int> destroyed{0};
    Registry registry;
    registry.create(tracker("tool"), std::make_unique<Tag>(1, &destroyed), false);
    registry.update("tool", Eigen::Matrix4d::Constant(2.0), 0.5, 7, 3);

    EXPECT_EQ(registry.create(TrackerID("tool", "other", "other"), std::make_unique<Tag>(2, &destroyed), true)
                  .value(),
              0u);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(registry.create(TrackerID("tool", "other", "other"), true).value(), 0u);
    EXPECT_EQ(log.count(Log::Error, category, "create: Instrument with ID tool already exists"), 2);
    for (const auto& record : log.records()) {
        EXPECT_EQ(record.file, "");
        EXPECT_EQ(record.line, -1);
    }

    const auto kept = registry.instrument("tool");
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->id, tracker("tool"));
    EXPECT_FALSE(kept->active);
    EXPECT_EQ(kept->pose(1, 2), 2.0);
    EXPECT_EQ(kept->state, 3u);
    EXPECT_EQ(registry.specialObjects().at("tool")->value, 1);
    EXPECT_EQ(registry.size(), 1);
}

TEST(Registry, GeneratedIdTakesFirstFreeCounter) {
    Registry registry;
    registry.create(tracker("tool0"), true);
    registry.create(tracker("tool1"), true);
    EXPECT_EQ(registry.create("tool", "Pointer", "P-7", false).value(), SetBit);
    const auto created = registry.instrument("tool2");
    ASSERT_TRUE(created.has_value());
    EXPECT_EQ(created->id, TrackerID("tool2", "P-7", "Pointer"));
    EXPECT_FALSE(created->active);

    registry.remove("tool0");
    registry.create("tool", "Again", "P-8", true);
    EXPECT_EQ(ids(registry), (std::vector<std::string>{"tool0", "tool1", "tool2"}));
    EXPECT_TRUE(registry.specialObjects().at("tool0") == nullptr);
}

TEST(Registry, SetMainByIdAndByIndex) {
    LogCapture log;
    Registry registry;
    // An empty registry accepts any index; the first instrument then becomes main at index 0.
    EXPECT_EQ(registry.setMainById("").value(), 0u);
    EXPECT_EQ(registry.setMainByIndex(5).value(), MainBit);
    EXPECT_EQ(registry.mainIndex(), 5u);
    EXPECT_EQ(registry.create(tracker("a"), true).value(), SetBit | MainBit);
    EXPECT_EQ(registry.mainIndex(), 0u);
    registry.create(tracker("b"), true);
    registry.create(tracker("c"), true);

    EXPECT_EQ(registry.setMainByIndex(5).value(), 0u);
    EXPECT_EQ(log.count(Log::Error, category, "Index 5 exceeds size of instruments"), 1);
    EXPECT_EQ(registry.setMainByIndex(3).value(), 0u);
    EXPECT_EQ(log.count(Log::Error, category, "Index 3 exceeds size of instruments"), 1);
    EXPECT_EQ(registry.mainId(), "a");

    EXPECT_EQ(registry.setMainById("a").value(), 0u);
    EXPECT_EQ(registry.setMainById("x").value(), 0u);
    EXPECT_EQ(log.count(Log::Error, category, "setMainById: Instrument with ID x not found"), 1);
    EXPECT_EQ(registry.setMainById("c").value(), MainBit);
    EXPECT_EQ(registry.mainIndex(), 2u);
    EXPECT_EQ(registry.setMainByIndex(1).value(), MainBit);
    EXPECT_EQ(registry.mainId(), "b");

    EXPECT_EQ(registry.clear().value(), SetBit | MainBit);
    EXPECT_EQ(registry.mainIndex(), 0u);
    EXPECT_EQ(registry.clear().value(), 0u);
}

TEST(Registry, UpdateAlwaysReportsDataAndResetAllOnlyRealChanges) {
    Registry registry;
    registry.create(tracker("a"), true);
    registry.create(tracker("b"), false);
    const Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    EXPECT_EQ(registry.update("a", pose, 0.0, 0, 0).value(), DataBit);
    EXPECT_EQ(registry.update("missing", pose, 0.0, 0, 0).value(), 0u);

    EXPECT_EQ(registry.resetAll(0).value(), 0u);
    EXPECT_EQ(registry.resetAll(100).value(), DataBit);
    EXPECT_EQ(registry.resetAll(100).value(), 0u);

    registry.update("b", pose, std::numeric_limits<double>::quiet_NaN(), 100, 0);
    EXPECT_EQ(registry.resetAll(100).value(), DataBit);
    const auto b = registry.instrument("b");
    EXPECT_EQ(b->quality, 0.0);
    EXPECT_EQ(b->timestamp, 100u);
    EXPECT_FALSE(b->active);
    EXPECT_EQ(b->id, tracker("b"));
}

TEST(Registry, ModifyReportsIdentityAndDataChangesAndUndoesIdChange) {
    LogCapture log;
    Registry registry;
    registry.create(tracker("a"), true);
    auto modify = [&](const std::function<void(TrackingInstrument&)>& change) {
        return registry.modify("a", [&](const std::string&, TrackingInstrument& i) { change(i); }).value();
    };

    EXPECT_EQ(modify([](TrackingInstrument& i) { i.id.name = "renamed"; }), SetBit);
    EXPECT_EQ(modify([](TrackingInstrument& i) { i.id.modelNumber = "m2"; }), SetBit);
    EXPECT_EQ(modify([](TrackingInstrument& i) {
                  i.id.name = "again";
                  i.state = 9;
              }),
              SetBit | DataBit);
    EXPECT_EQ(modify([](TrackingInstrument& i) { i.active = false; }), 0u);
    EXPECT_FALSE(registry.isActive("a"));
    EXPECT_EQ(modify([](TrackingInstrument& i) { i.pose(3, 3) = std::nan(""); }), DataBit);
    EXPECT_EQ(modify([](TrackingInstrument&) {}), DataBit) << "a NaN pose element always differs";

    EXPECT_EQ(modify([](TrackingInstrument& i) {
                  i.id.ID = "b";
                  i.quality = 0.9;
              }),
              0u);
    EXPECT_EQ(log.count(Log::Error, category,
                        "ID must not be modified. TrackingInstrument is reset to state before modification"),
              1);
    const auto a = registry.instrument("a");
    EXPECT_EQ(a->id, TrackerID("a", "m2", "again"));
    EXPECT_EQ(a->quality, 0.0);

    bool called = false;
    EXPECT_EQ(
        registry.modify("missing", [&](const std::string&, TrackingInstrument&) { called = true; }).value(),
        0u);
    EXPECT_FALSE(called);
}

TEST(Registry, ModifyAllChecksEachEntryAndRestoresOnlyTheOneWhoseIdChanged) {
    LogCapture log;
    Registry registry;
    registry.create(tracker("a"), true);
    registry.create(tracker("b"), true);
    const auto flags = registry.modifyAll([](const std::string& id, TrackingInstrument& i) {
        i.quality = 0.5;
        if (id == "a") {
            i.id.ID = "z";
        }
    });
    EXPECT_EQ(flags.value(), DataBit);
    EXPECT_EQ(log.count(Log::Error, category,
                        "ID must not be modified. TrackingInstrument is reset to state before modification"),
              1);
    EXPECT_EQ(registry.instrument("a")->quality, 0.0);
    EXPECT_EQ(registry.instrument("b")->quality, 0.5);
    EXPECT_EQ(ids(registry), (std::vector<std::string>{"a", "b"}));
}

TEST(Registry, TypedOperationsOnEntryWithoutSpecialObjectLogAndSkipIt) {
    LogCapture log;
    Registry registry;
    registry.create(tracker("plain"), true);
    registry.create(tracker("tagged"), std::make_unique<Tag>(1), true);

    bool called = false;
    EXPECT_EQ(registry.modify("plain", [&](const std::string&, TrackingInstrument&, Tag&) { called = true; })
                  .value(),
              0u);
    registry.modify("plain", [&](const std::string&, Tag&) { called = true; });
    EXPECT_FALSE(called);
    EXPECT_EQ(
        log.count(Log::Error, category, "modify: Special object for instrument with ID plain does not exist"),
        2);

    std::vector<std::string> visited;
    registry.modifyAll([&](const std::string& id, Tag& tag) {
        visited.push_back(id);
        tag.value = 5;
    });
    EXPECT_EQ(visited, std::vector<std::string>{"tagged"});
    EXPECT_EQ(log.count(Log::Error, category,
                        "modifyAll: Special object for instrument with ID plain does not exist"),
              1);

    EXPECT_EQ(registry
                  .modify("tagged",
                          [](const std::string&, TrackingInstrument& i, Tag& tag) {
                              i.timestamp = 42;
                              tag.value = 6;
                          })
                  .value(),
              DataBit);
    EXPECT_EQ(registry.specialObjects().at("tagged")->value, 6);
    // Unknown IDs are silent for the typed forms.
    registry.modify("missing", [&](const std::string&, Tag&) { called = true; });
    EXPECT_EQ(
        registry.modify("missing", [&](const std::string&, TrackingInstrument&, Tag&) { called = true; })
            .value(),
        0u);
    EXPECT_FALSE(called);
}

TEST(Registry, SpecialObjectsAreIndependentClones) {
    ThreadSafeInstruments<AtracsysGeometry> registry;
    ftkGeometry geometry{};
    geometry.geometryId = 1001;
    geometry.pointsCount = 4;
    geometry.positions[3].z = 12.5f;
    registry.create(tracker("atracsys-1001"),
                    std::make_unique<AtracsysGeometry>("marker.ini", geometry, false), true);
    registry.create(tracker("atracsys-host"), true);

    auto clones = registry.specialObjects();
    ASSERT_EQ(clones.size(), 2u);
    EXPECT_TRUE(clones.at("atracsys-host") == nullptr);
    auto& clone = *clones.at("atracsys-1001");
    EXPECT_EQ(clone.path, "marker.ini");
    EXPECT_EQ(clone.geometry.geometryId, 1001u);
    EXPECT_EQ(clone.geometry.positions[3].z, 12.5f);
    clone.registered = true;
    EXPECT_FALSE(registry.specialObjects().at("atracsys-1001")->registered);

    // One entry's copy, and every instrument paired with its copy in one snapshot.
    EXPECT_EQ(registry.specialObject("atracsys-1001")->path, "marker.ini");
    EXPECT_EQ(registry.specialObject("atracsys-host"), nullptr);
    EXPECT_EQ(registry.specialObject("atracsys-9"), nullptr);
    const auto pairs = registry.instrumentsWithSpecialObjects();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0].first.id.name, "name-atracsys-1001");
    ASSERT_NE(pairs[0].second, nullptr);
    EXPECT_EQ(pairs[0].second->geometry.positions[3].z, 12.5f);
    EXPECT_EQ(pairs[1].first.id.ID, "atracsys-host");
    EXPECT_EQ(pairs[1].second, nullptr);
}

TEST(Registry, CallbackFailuresReleaseTheLock) {
    Registry registry;
    registry.create(tracker("a"), std::make_unique<Tag>(1), true);
    EXPECT_THROW(registry.modify("a", Registry::Callback()), std::bad_function_call);
    EXPECT_THROW(registry.modify("a", Registry::TypedCallback()), std::bad_function_call);
    EXPECT_EQ(registry.modify("missing", Registry::Callback()).value(), 0u);

    EXPECT_THROW(registry.modify("a",
                                 [](const std::string&, TrackingInstrument& i) {
                                     i.quality = 0.25;
                                     throw std::runtime_error("callback failed");
                                 }),
                 std::runtime_error);
    // A callback that gives up after changing the ID must not leave the entry under the wrong key.
    EXPECT_THROW(registry.modifyAll([](const std::string&, TrackingInstrument& i) {
        i.id.ID = "b";
        throw std::runtime_error("callback failed");
    }),
                 std::runtime_error);

    // Another thread must be able to take the lock now.
    auto other = std::async(std::launch::async, [&] { return registry.instrument("a"); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto a = other.get();
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->quality, 0.25);
    EXPECT_EQ(a->id.ID, "a");
}

TEST(Registry, SetActiveAndIsActiveOnUnknownIdLog) {
    LogCapture log;
    Registry registry;
    registry.setActive("x", true);
    EXPECT_FALSE(registry.isActive("x"));
    EXPECT_EQ(log.count(Log::Error, category, "setActive: Instrument with ID x not found"), 1);
    EXPECT_EQ(log.count(Log::Error, category, "isActive: Instrument with ID x not found"), 1);
}

// While a callback runs under the registry's lock, every operation tried from another thread must wait
// for it: an operation that does not take the lock finishes at once and fails here, every time.
TEST(RegistryConcurrency, EveryOperationWaitsWhileACallbackHoldsTheLock) {
    LogCapture log;
    Registry registry;
    for (const char* id : {"a", "b", "c"}) {
        registry.create(tracker(id), std::make_unique<Tag>(1), true);
    }
    using Operation = std::function<void(Registry&)>;
    const Registry::Callback touch = [](const std::string&, TrackingInstrument& i) { i.quality = 0.5; };
    const Registry::SpecialCallback tag = [](const std::string&, Tag& t) { ++t.value; };
    // Destructive operations last: the holding callback works on "a".
    const std::vector<std::pair<std::string, Operation>> operations = {
        {"instruments", [](Registry& r) { r.instruments(); }},
        {"mainInstrument", [](Registry& r) { r.mainInstrument(); }},
        {"setMainByIndex", [](Registry& r) { r.setMainByIndex(1); }},
        {"setMainById", [](Registry& r) { r.setMainById("a"); }},
        {"mainIndex", [](Registry& r) { r.mainIndex(); }},
        {"mainId", [](Registry& r) { r.mainId(); }},
        {"mainName", [](Registry& r) { r.mainName(); }},
        {"setActive", [](Registry& r) { r.setActive("b", false); }},
        {"isActive", [](Registry& r) { r.isActive("b"); }},
        {"create", [](Registry& r) { r.create(tracker("d"), true); }},
        {"create generated", [](Registry& r) { r.create("e", "name", "model", true); }},
        {"create typed", [](Registry& r) { r.create(tracker("f"), std::make_unique<Tag>(2), true); }},
        {"resetAll", [](Registry& r) { r.resetAll(7); }},
        {"update", [](Registry& r) { r.update("b", Eigen::Matrix4d::Identity(), 1.0, 8, 0); }},
        {"modify", [&](Registry& r) { r.modify("b", touch); }},
        {"modifyAll", [&](Registry& r) { r.modifyAll(touch); }},
        {"modify typed",
         [](Registry& r) { r.modify("b", [](const std::string&, TrackingInstrument&, Tag&) {}); }},
        {"modify special", [&](Registry& r) { r.modify("b", tag); }},
        {"modifyAll special", [&](Registry& r) { r.modifyAll(tag); }},
        {"size", [](Registry& r) { r.size(); }},
        {"instrument", [](Registry& r) { r.instrument("b"); }},
        {"specialObjects", [](Registry& r) { r.specialObjects(); }},
        {"indexOf", [](Registry& r) { r.indexOf("b"); }},
        {"remove", [](Registry& r) { r.remove("c"); }},
        {"clear", [](Registry& r) { r.clear(); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        std::mutex mutex;
        std::condition_variable changed;
        bool started = false;
        bool finished = false;
        std::thread other;
        bool finishedWhileHeld = true;
        registry.modify("a", [&](const std::string&, TrackingInstrument&, Tag&) {
            other = std::thread([&, operation = operation] {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    started = true;
                }
                changed.notify_all();
                operation(registry);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    finished = true;
                }
                changed.notify_all();
            });
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return started; });
            finishedWhileHeld =
                changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; });
        });
        other.join();
        EXPECT_FALSE(finishedWhileHeld);
        EXPECT_TRUE(finished);
    }
    EXPECT_EQ(registry.size(), 0);
    // The entries created without a special object.
    for (const char* id : {"d", "e0"}) {
        EXPECT_EQ(log.count(Log::Error, category,
                            std::string("modifyAll: Special object for instrument with ID ") + id +
                                " does not exist"),
                  1);
    }
}

// Writers update poses the way the acquisition pass does while readers list the registry and another
// thread adds and removes entries before and after the writers' IDs in ID order.
TEST(RegistryConcurrency, WritersReadersAndChurnSeeConsistentState) {
    LogCapture log;
    ThreadSafeInstruments<AtracsysGeometry> registry;
    const std::vector<std::vector<std::string>> writerIds = {{"atracsys-1001", "atracsys-1002"},
                                                             {"atracsys-2001", "atracsys-2002"}};
    for (const auto& idsOfWriter : writerIds) {
        for (const auto& id : idsOfWriter) {
            registry.create(tracker(id), std::make_unique<AtracsysGeometry>("", ftkGeometry{}, false), true);
        }
    }
    constexpr int writes = 2000;
    constexpr int churns = 300;
    std::atomic<int> running{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;

    for (const auto& idsOfWriter : writerIds) {
        ++running;
        threads.emplace_back([&, idsOfWriter] {
            for (int i = 1; i <= writes; ++i) {
                for (const auto& id : idsOfWriter) {
                    // Two elements written together; readers must never see them differ.
                    const auto flags = registry.modify(
                        id, [i](const std::string&, TrackingInstrument& inst, AtracsysGeometry& g) {
                            inst.pose(0, 3) = i;
                            inst.pose(1, 3) = i;
                            g.registered = i % 2 == 0;
                        });
                    EXPECT_EQ(flags.value(), DataBit);
                }
            }
            --running;
        });
    }
    ++running;
    threads.emplace_back([&] {
        for (int k = 0; k < churns; ++k) {
            const std::string before = "a-" + std::to_string(k);
            EXPECT_EQ(registry
                          .create(tracker(before),
                                  std::make_unique<AtracsysGeometry>("", ftkGeometry{}, false), true)
                          .value(),
                      SetBit);
            EXPECT_EQ(registry.create("z-", "generated", "", true).value(), SetBit);
            EXPECT_EQ(registry.specialObjects().size(), 6u);
            registry.resetAll(static_cast<std::uint64_t>(k));
            EXPECT_EQ(registry.remove("z-0").value(), SetBit);
            EXPECT_EQ(registry.remove(before).value(), SetBit);
        }
        --running;
    });
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (!stop) {
                const auto listed = registry.instruments();
                for (std::size_t n = 0; n < listed.size(); ++n) {
                    EXPECT_EQ(listed[n].pose(0, 3), listed[n].pose(1, 3));
                    if (n > 0) {
                        EXPECT_LT(listed[n - 1].id.ID, listed[n].id.ID);
                    }
                }
                const auto main = registry.mainInstrument();
                ASSERT_TRUE(main.has_value());
                EXPECT_EQ(main->id.ID, "atracsys-1001");
                EXPECT_GE(registry.indexOf("atracsys-1001"), 0);
            }
        });
    }

    const bool finished = TestSupport::waitFor([&] { return running == 0; }, std::chrono::seconds(120));
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(ids(registry),
              (std::vector<std::string>{"atracsys-1001", "atracsys-1002", "atracsys-2001", "atracsys-2002"}));
    EXPECT_EQ(registry.mainIndex(), 0u);
}

}  // namespace
