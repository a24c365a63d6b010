#include "output/OutputHub.h"

#include "host/Signal.h"
#include "host/Stream.h"
#include "host/TrackingStream.h"

namespace Halvoren::Output {

OutputHub::OutputHub() = default;

OutputHub::~OutputHub() {
    finish();
}

void OutputHub::add(std::shared_ptr<FrameOutput> output) {
    Channel channel;
    channel.output = std::move(output);
    if (channel.output->consumer() == FrameOutput::Consumer::OwnThread) {
        channel.thread = std::thread(&OutputHub::run, std::ref(*channel.output));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_channels.push_back(std::move(channel));
}

void OutputHub::remove(const std::shared_ptr<FrameOutput>& output) {
    Channel removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
            if (it->output == output) {
                removed = std::move(*it);
                m_channels.erase(it);
                break;
            }
        }
    }
    if (removed.output) {
        close(removed);
    }
}

void OutputHub::close(Channel& channel) {
    channel.output->queue().close();
    if (channel.thread.joinable()) {
        channel.thread.join();
    } else {
        channel.output->end();
        channel.output->queue().discard();  // frames before the cut reach the output, or count as lost
    }
}

// The output's own thread.
void OutputHub::run(FrameOutput& output) {
    std::deque<FrameItem> items;
    while (output.queue().popAll(items)) {
        for (const FrameItem& item : items) {
            output.take(item);
        }
        items.clear();  // lets the frames go before waiting for the next
    }
    output.end();
}

void OutputHub::listen(Stream& stream) {
    m_connection = stream.signalStreamData.connect(
        [this](const std::shared_ptr<const StreamData>& data) { handOver(data); });
}

void OutputHub::setFrameLimit(std::uint64_t frames) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = frames;
}

void OutputHub::setCutListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cutListener = std::move(listener);
}

// Worker thread.
void OutputHub::handOver(const std::shared_ptr<const StreamData>& data) {
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
    if (tracking == nullptr) {
        return;
    }
    FrameItem item;
    item.tracking = std::shared_ptr<const TrackingStreamData>(data, tracking);
    pushToAll(std::move(item), true);
}

void OutputHub::notify(FrameItem::Kind kind, double millisecondsWithoutFrame) {
    FrameItem item;
    item.kind = kind;
    item.millisecondsWithoutFrame = millisecondsWithoutFrame;
    pushToAll(std::move(item), false);
}

void OutputHub::pushToAll(FrameItem item, bool frame) {
    bool cutNow = false;
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cut) {
            return;
        }
        item.handedOver = std::chrono::steady_clock::now();
        item.handedOverSystem = std::chrono::system_clock::now();
        if (frame) {
            item.number = ++m_frames;
        }
        // Under the lock, so that every output sees the items in one order; a push never waits.
        for (Channel& channel : m_channels) {
            channel.output->queue().push(item);
            channel.output->queued();
        }
        if (frame && m_limit != 0 && m_frames >= m_limit) {
            m_cut = cutNow = true;
            listener = m_cutListener;
        }
    }
    if (cutNow) {
        m_cutChanged.notify_all();
        if (listener) {
            listener();
        }
    }
}

void OutputHub::cut() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cut) {
            return;
        }
        m_cut = true;
        listener = m_cutListener;
    }
    m_cutChanged.notify_all();
    if (listener) {
        listener();
    }
}

bool OutputHub::isCut() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cut;
}

bool OutputHub::waitForCut(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cutChanged.wait_for(lock, timeout, [this] { return m_cut; });
}

std::uint64_t OutputHub::frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

void OutputHub::finish() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished) {
            return;
        }
        m_finished = true;
        m_cut = true;
    }
    m_cutChanged.notify_all();
    if (m_connection) {
        m_connection->disconnect();  // waits for a hand-over in progress
    }
    std::vector<Channel> channels;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        channels.swap(m_channels);
    }
    for (Channel& channel : channels) {
        channel.output->queue().close();  // all at once: they drain side by side
    }
    for (Channel& channel : channels) {
        close(channel);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_channels = std::move(channels);  // for the reports; the run is cut, nothing is pushed any more
}

std::vector<OutputHub::Report> OutputHub::reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Report> reports;
    for (const Channel& channel : m_channels) {
        reports.push_back({channel.output->name(), channel.output->queue().policy(),
                           channel.output->queue().counts(), channel.output->reportsOwnLosses()});
    }
    return reports;
}

}  // namespace Halvoren::Output
