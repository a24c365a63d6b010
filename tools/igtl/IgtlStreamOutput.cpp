#include "igtl/IgtlStreamOutput.h"

#include "health/FrameAccounting.h"
#include "host/Image.h"
#include "host/Signal.h"
#include "host/TrackingStream.h"

#include <chrono>
#include <cstring>

namespace Halvoren::Igtl {

namespace {

/// The frame's exposure time when the camera stamps it on the host's clock (else the latency to the
/// clients cannot be told from it): us since the epoch, or 0.
std::uint64_t exposureOf(const StreamData& data) {
    const auto* info = data.components().get<TrackingFrameInfoData>();
    if (info == nullptr) {
        return 0;
    }
    const auto nowUs = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                      std::chrono::system_clock::now().time_since_epoch())
                                                      .count());
    return Health::onHostClock(info->exposureUs, nowUs) ? info->exposureUs : 0;
}

}  // namespace

IgtlStreamOutput::IgtlStreamOutput(IgtlServer& server, Stream& tracking,
                                   const std::vector<Stream*>& imageStreams, double minQuality) {
    m_connections.push_back(tracking.signalStreamData.connect(
        [&server, minQuality](const std::shared_ptr<const StreamData>& data) {
            // Worker thread: converting the frame is all it does; the server's thread sends it.
            if (const auto* frame = dynamic_cast<const TrackingStreamData*>(data.get())) {
                TrackingFrame out = frameOf(frame->instruments(), minQuality);
                out.exposureUs = exposureOf(*frame);
                server.publish(std::move(out));
            }
        }));
    for (Stream* stream : imageStreams) {
        const std::string device = stream->name();
        m_connections.push_back(stream->signalStreamData.connect(
            [&server, device](const std::shared_ptr<const StreamData>& data) {
                const auto* imageData = dynamic_cast<const ImageStreamData*>(data.get());
                // Copied only when the image rate lets it go out.
                if (imageData == nullptr || !imageData->image() || !server.wantsImage(device)) {
                    return;
                }
                const std::shared_ptr<MemImage> mem = imageData->image()->sharedMem();
                if (!mem || mem->data() == nullptr) {
                    return;
                }
                const ImageDescriptor& descriptor = mem->descriptor();
                if (descriptor.bytesPerPixel() != 1 || descriptor.channels != 1 || descriptor.slices != 1) {
                    return;  // only 8-bit grey images are served
                }
                GreyImage image;
                image.device = device;
                image.width = descriptor.width;
                image.height = descriptor.height;
                image.timestampMs = data->timestampArrival();
                image.pixels.assign(mem->data(), mem->data() + descriptor.byteSize());
                server.publishImage(std::move(image));
            }));
    }
}

IgtlStreamOutput::~IgtlStreamOutput() {
    for (const auto& connection : m_connections) {
        connection->disconnect();
    }
}

TrackingFrame IgtlStreamOutput::frameOf(const std::vector<TrackingInstrument>& instruments,
                                        double minQuality) {
    TrackingFrame frame;
    frame.tools.reserve(instruments.size());
    for (const TrackingInstrument& instrument : instruments) {
        ToolPose tool;
        tool.name = instrument.id.name.empty() ? instrument.id.ID : instrument.id.name;
        tool.id = instrument.id.ID;
        tool.seen = Health::passesGate(instrument, minQuality);
        tool.timestampMs = instrument.timestamp;
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                tool.matrix[static_cast<std::size_t>(row * 4 + column)] =
                    static_cast<float>(instrument.pose(row, column));
            }
        }
        frame.tools.push_back(std::move(tool));
    }
    return frame;
}

}  // namespace Halvoren::Igtl
