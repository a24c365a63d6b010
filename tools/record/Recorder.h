#pragma once
// Records a tracking run as a sequence metafile while it runs: one of the run's outputs. The stream's
// thread only hands each frame over (the shared data itself, no copy); the recorder's own thread turns it
// into fields and pixels and writes it. Its queue keeps every frame: one that finds it full is dropped from
// the recording and counted, so that the camera never waits for the disk.

#include "navigation/NavigationFrame.h"
#include "output/FrameOutput.h"
#include "record/NavigationFields.h"
#include "record/RecordedFrames.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Halvoren {
class StreamData;
}

namespace Halvoren::Record {

class Recorder : public Output::FrameOutput {
public:
    struct Options {
        std::string path;     // the header, ending in ".mhd"; the data file is written beside it
        bool images = false;  // the left and right camera images side by side, zlib-compressed
        std::vector<RecordedMarker> markers;  // their fields made unique as assignMarkerFields does
        double minQuality = 0.0;              // the pose status of each instrument
        // The run's reference and tips: when it has either, each frame also holds the transforms derived
        // from them (NavigationFields), the raw poses unchanged.
        Navigation::NavigationFrame navigation;
        std::size_t queueFrames = 0;  // 0: 256 frames without images, 32 with
        // Asked on the recorder's thread before each frame: when true, the frames still to come are not
        // recorded (counted), so that the recording finishes at once with those it has.
        std::function<bool()> giveUp;
    };

    /// Checks that the recording can be written (the header's folder exists, the names are regular
    /// files or free); null with the reason otherwise. The run.s outputs give it its thread.
    static std::unique_ptr<Recorder> create(const Options& options, std::string& error);
    /// Finishes, if not done yet.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// Recorder's thread: a frame, with the camera images the tracking data shares when recording
    /// images (frames without both are recorded with black pixels); word of staleness marks the next
    /// frame as the first after a stale period.
    void take(const Output::FrameItem& item) override;
    /// True: the recording's summary names the frames not recorded.
    bool reportsOwnLosses() const override { return true; }
    /// Once the run's outputs finished (nothing is queued any more): writes the last header, with these
    /// fields of the whole run (the run's health figures, named by TrackingFields::healthField). False with
    /// the reason when anything failed during the recording (logged as an error when it happened) or now.
    bool finish(const Sequence::Fields& runFields, std::string& error);

    /// The frames recorded so far; once finished, the frames the recording holds (after a failure, those
    /// its last header written names).
    std::uint64_t framesRecorded() const;
    std::uint64_t framesDropped() const;  // the queue was full
    std::uint64_t framesGivenUp() const;  // Options::giveUp said so

private:
    struct Impl;
    Recorder(std::unique_ptr<Impl> impl, std::size_t capacity);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Halvoren::Record
