#pragma once
// Records a tracking run as a sequence metafile while it runs. The stream's thread only hands each frame
// over (the shared data itself, no copy); the recorder's own thread turns it into fields and pixels and
// writes it. The hand-over queue is bounded: a frame that finds it full is dropped from the recording and
// counted, so that the camera never waits for the disk.

#include "record/RecordedFrames.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Halvoren {
class StreamData;
}

namespace Halvoren::Record {

class Recorder {
public:
    struct Options {
        std::string path;     // the header, ending in ".mhd"; the data file is written beside it
        bool images = false;  // the left and right camera images side by side, zlib-compressed
        std::vector<RecordedMarker> markers;  // their fields made unique as assignMarkerFields does
        double minQuality = 0.0;              // the pose status of each instrument
        std::size_t queueFrames = 0;          // 0: 256 frames without images, 32 with
    };

    /// Checks that the recording can be written (the header's folder exists, the names are regular
    /// files or free); null with the reason otherwise. Starts the recorder's thread.
    static std::unique_ptr<Recorder> create(const Options& options, std::string& error);
    /// Finishes, if not done yet.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    /// The stream's thread: one frame of tracking data and, when recording images, its left and right
    /// image data; without them, the camera images the tracking data shares (TrackingCameraImagesData).
    /// Frames without both images are recorded with black pixels. Never waits for the disk.
    void addFrame(std::shared_ptr<const StreamData> tracking,
                  std::shared_ptr<const StreamData> left = nullptr,
                  std::shared_ptr<const StreamData> right = nullptr);
    /// Any thread: the next frame handed over comes after a stale period.
    void markStale();
    /// Writes what is still queued and the last header, with these fields of the whole run (the run's
    /// health figures, named by TrackingFields::healthField). False with the reason when anything
    /// failed during the recording (logged as an error when it happened) or now.
    bool finish(const Sequence::Fields& runFields, std::string& error);

    /// The frames recorded so far; once finished, the frames the recording holds (after a failure, those
    /// its last header written names).
    std::uint64_t framesRecorded() const;
    std::uint64_t framesDropped() const;  // the queue was full

private:
    struct Impl;
    explicit Recorder(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Halvoren::Record
