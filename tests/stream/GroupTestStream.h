#pragma once
// A minimal concrete Atracsys stream for the stream group and substream tests: no device, every hook
// succeeds, and the group's protected operations are made reachable.

#include "stream/AtracsysTrackingStreamBase.h"
#include "stream/Substream.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

class GroupTestStream : public Halvoren::AtracsysTrackingStreamBase {
public:
    using Group = Halvoren::StreamGroup<Halvoren::AtracsysTrackingStreamBase>;
    using Group::addSubstream;
    using Group::emitMainAndSubSignals;
    using Group::removeSubstream;

    explicit GroupTestStream(const std::string& name = "Test Stream") : AtracsysTrackingStreamBase(name) {}
    ~GroupTestStream() override { close(); }

    int imageIntegrationTime() const override { return 0; }
    void setImageIntegrationTime(int) override {}
    bool startAfterInit() const override { return false; }
    void setStartAfterInit(bool) override {}
    bool queryImages() const override { return true; }
    void setQueryImages(bool) override {}
    void setFiducialQueryMode(FiducialQueryMode) override {}
    FiducialQueryMode fiducialQueryMode() override { return None; }
    void setMaxFiducialMarkerDistance(double) override {}
    double maxFiducialMarkerDistance() const override { return 0.0; }
    bool isInitialized() const override { return true; }
    bool addGeometry(const std::string&, const std::string&) override { return false; }
    std::vector<Eigen::Vector3d> geometryCoordinates(const std::string&) override { return {}; }

    Halvoren::Flags<Capabilities> capabilities() const override { return {}; }
    using OpticalTrackingInterface::addTrackingMarker;
    std::string addTrackingMarker(std::unique_ptr<Halvoren::OpticalTrackingMarker>) override { return {}; }
    std::unique_ptr<Halvoren::OpticalTrackingMarker> trackingMarker(const std::string&) const override {
        return nullptr;
    }
    bool removeTrackingMarker(const std::string&) override { return true; }

protected:
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    bool pauseImpl() override { return true; }
    bool resumeImpl() override { return true; }
    // Worker thread.
    std::optional<WorkContinuation> doWork() override {
        return WorkContinuation{std::chrono::system_clock::now() + std::chrono::milliseconds(5)};
    }
};

/// An image substream that reports its own destruction.
class FlaggedSubstream : public Halvoren::Substream<Halvoren::ImageStream> {
public:
    FlaggedSubstream(
        Halvoren::StreamGroupBase& group, const std::string& name,
        std::shared_ptr<std::atomic<bool>> destroyed = std::make_shared<std::atomic<bool>>(false))
        : Substream(group, name), m_destroyed(std::move(destroyed)) {}
    ~FlaggedSubstream() override { *m_destroyed = true; }

    std::shared_ptr<std::atomic<bool>> destroyedFlag() const { return m_destroyed; }
    int workPasses() const { return m_workPasses; }

protected:
    // A worker of the substream's own, if it had one.
    std::optional<WorkContinuation> doWork() override {
        ++m_workPasses;
        return std::nullopt;
    }

private:
    std::shared_ptr<std::atomic<bool>> m_destroyed;
    std::atomic<int> m_workPasses{0};
};

}  // namespace TestSupport
