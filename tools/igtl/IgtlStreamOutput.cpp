#include "igtl/IgtlStreamOutput.h"

#include "host/Image.h"
#include "host/Signal.h"
#include "host/TrackingStream.h"

#include <cstring>

namespace Halvoren::Igtl {

IgtlStreamOutput::IgtlStreamOutput(IgtlServer& server, Stream& tracking,
                                   const std::vector<Stream*>& imageStreams) {
    m_connections.push_back(
        tracking.signalStreamData.connect([&server](const std::shared_ptr<const StreamData>& data) {
            // Worker thread: converting the frame is all it does; the server's thread sends it.
            if (const auto* frame = dynamic_cast<const TrackingStreamData*>(data.get())) {
                server.publish(frameOf(frame->instruments()));
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

TrackingFrame IgtlStreamOutput::frameOf(const std::vector<TrackingInstrument>& instruments) {
    TrackingFrame frame;
    frame.tools.reserve(instruments.size());
    for (const TrackingInstrument& instrument : instruments) {
        ToolPose tool;
        tool.name = instrument.id.name.empty() ? instrument.id.ID : instrument.id.name;
        tool.id = instrument.id.ID;
        tool.seen = instrument.quality > 0.0;
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
