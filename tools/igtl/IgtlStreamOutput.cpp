#include "igtl/IgtlStreamOutput.h"

#include "health/FrameAccounting.h"
#include "host/Image.h"
#include "host/Log.h"
#include "host/TrackingStream.h"

#include <iomanip>
#include <sstream>

namespace Halvoren::Igtl {

namespace {

// Only the newest frames matter to navigation, so the oldest waiting one makes room. More than one waits
// only while the server's thread is held up; four let word of stale poses and the frames right behind it
// through a hold-up of three frame periods, and never hold more than three superseded frames.
constexpr std::size_t kQueueCapacity = 4;

const char* const kCategory = "OpenIGTLink";

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

void toMatrix(const Eigen::Matrix4d& pose, std::array<float, 16>& matrix) {
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            matrix[static_cast<std::size_t>(row * 4 + column)] = static_cast<float>(pose(row, column));
        }
    }
}

double millisecondsBetween(std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

IgtlStreamOutput::IgtlStreamOutput(IgtlServer& server, Options options)
    : FrameOutput("OpenIGTLink", {Output::DropPolicy::LatestOnly, kQueueCapacity}, Consumer::Owner),
      m_server(server),
      m_options(std::move(options)),
      m_names(m_options.navigation) {
    // Before it is attached: the server's thread names only what comes later.
    for (const TrackerID& instrument : m_options.instruments) {
        m_names.of(instrument, m_options.navigation.chain.tip(instrument.ID).has_value(),
                   &m_shortenedAtStart);
    }
    m_server.attach(*this);
}

IgtlStreamOutput::~IgtlStreamOutput() {
    detach();
}

void IgtlStreamOutput::end() {
    detach();
}

void IgtlStreamOutput::detach() {
    if (m_attached.exchange(false)) {
        m_server.detach(*this);
    }
}

void IgtlStreamOutput::queued() {
    if (!m_wakePending.exchange(true)) {
        m_server.wake();
    }
}

// Server thread. A frame's camera images are packed in a delivery of their own, after its poses went
// into the clients' sockets: packing an image takes milliseconds, and the poses must not wait for it.
bool IgtlStreamOutput::deliver(IgtlServer::Outlet& outlet) {
    // Before the queue is looked at: an item queued after this wakes the server again. The server asks
    // again after every item delivered, so none queued before is left behind.
    m_wakePending.store(false);
    Output::FrameItem item;
    if (!queue().tryPop(item)) {
        if (!m_imagesOf) {
            return false;
        }
        sendImages(*m_imagesOf, outlet);
        m_imagesOf.reset();
        return true;
    }
    m_imagesOf.reset();  // a newer frame came meanwhile: its images are the ones to send
    m_outlet = &outlet;
    take(item);
    m_outlet = nullptr;
    return true;
}

void IgtlStreamOutput::take(const Output::FrameItem& item) {
    if (m_outlet == nullptr) {
        return;  // only the server's thread sends, while it delivers
    }
    if (item.kind == Output::FrameItem::Kind::Frame) {
        if (m_stale) {
            // Word that frames came back made room for newer frames in the queue: this one says so.
            m_stale = false;
            m_outlet->setStale(false, staleReason(false, millisecondsBetween(m_lastFrame, item.handedOver)));
        }
        m_lastFrame = item.handedOver;
        sendFrame(item, *m_outlet);
        return;
    }
    m_stale = item.kind == Output::FrameItem::Kind::Stale;
    m_outlet->setStale(m_stale, staleReason(m_stale, item.millisecondsWithoutFrame));
}

void IgtlStreamOutput::sendFrame(const Output::FrameItem& item, IgtlServer::Outlet& outlet) {
    if (!item.tracking) {
        return;
    }
    const TrackingStreamData& tracking = *item.tracking;
    TrackingFrame frame = frameOf(tracking.instruments());
    frame.exposureUs = exposureOf(tracking);
    outlet.sendFrame(std::move(frame));
    if (tracking.components().get<TrackingCameraImagesData>() != nullptr &&
        (imageDue(m_options.leftDevice, outlet) || imageDue(m_options.rightDevice, outlet))) {
        m_imagesOf = item.tracking;
    }
}

void IgtlStreamOutput::sendImages(const TrackingStreamData& tracking, IgtlServer::Outlet& outlet) {
    if (const auto* images = tracking.components().get<TrackingCameraImagesData>()) {
        sendImage(images->left, m_options.leftDevice, tracking.timestampArrival(), outlet);
        sendImage(images->right, m_options.rightDevice, tracking.timestampArrival(), outlet);
    }
}

bool IgtlStreamOutput::imageDue(const std::string& device, IgtlServer::Outlet& outlet) const {
    return m_options.imageServer != nullptr ? m_options.imageServer->wantsImage(device)
                                            : outlet.imageDue(device);
}

// Copied only when the image rate lets it go out.
void IgtlStreamOutput::sendImage(const std::shared_ptr<SharedImage>& image, const std::string& device,
                                 std::uint64_t timestampMs, IgtlServer::Outlet& outlet) {
    if (!image || !imageDue(device, outlet)) {
        return;
    }
    const std::shared_ptr<MemImage> mem = image->sharedMem();
    if (!mem || mem->data() == nullptr) {
        return;
    }
    const ImageDescriptor& descriptor = mem->descriptor();
    if (descriptor.bytesPerPixel() != 1 || descriptor.channels != 1 || descriptor.slices != 1) {
        return;  // only 8-bit grey images are served
    }
    GreyImage grey;
    grey.device = device;
    grey.width = descriptor.width;
    grey.height = descriptor.height;
    grey.timestampMs = timestampMs;
    grey.pixels.assign(mem->data(), mem->data() + descriptor.byteSize());
    if (m_options.imageServer != nullptr) {
        m_options.imageServer->publishImage(std::move(grey));
    } else {
        outlet.sendImage(std::move(grey));
    }
}

TrackingFrame IgtlStreamOutput::frameOf(const std::vector<TrackingInstrument>& instruments) {
    m_options.navigation.chain.compute(instruments, m_options.minQuality, m_poses);
    TrackingFrame frame;
    frame.tools.reserve(instruments.size() + (m_options.navigation.chain.hasTips() ? instruments.size() : 0));
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const Navigation::FramePose& pose = m_poses[i];
        const InstrumentDeviceNames& names = namesOf(instruments[i].id, pose.hasTip);
        ToolPose tool;
        tool.name = names.transform;
        tool.element = names.element;
        tool.seen = pose.valid();
        if (pose.validity == Navigation::Validity::ReferenceNotSeen) {
            tool.reason = Navigation::reasonText(pose.validity);
        }
        tool.timestampMs = instruments[i].timestamp;
        toMatrix(pose.pose, tool.matrix);
        if (pose.hasTip && !names.tipTransform.empty()) {
            ToolPose tip = tool;
            tip.name = names.tipTransform;
            tip.tracked = false;
            toMatrix(pose.tipPose, tip.matrix);
            frame.tools.push_back(std::move(tool));
            frame.tools.push_back(std::move(tip));
        } else {
            frame.tools.push_back(std::move(tool));
        }
    }
    return frame;
}

// Names an instrument that was not known at start; one shortened is warned about then.
const InstrumentDeviceNames& IgtlStreamOutput::namesOf(const TrackerID& instrument, bool hasTip) {
    std::vector<ShortenedName> shortened;
    const InstrumentDeviceNames& names = m_names.of(instrument, hasTip, &shortened);
    for (const ShortenedName& name : shortened) {
        HALVOREN_LOG(Log::Warning, kCategory, shortenedWarning(name));
    }
    return names;
}

std::string IgtlStreamOutput::staleReason(bool stale, double millisecondsWithoutFrame) {
    std::ostringstream reason;
    reason << std::fixed << std::setprecision(0);
    if (stale) {
        reason << "no new frame from the camera for " << millisecondsWithoutFrame
               << " ms: the poses are stale";
    } else {
        reason << "frames from the camera again after " << millisecondsWithoutFrame << " ms";
    }
    return reason.str();
}

}  // namespace Halvoren::Igtl
