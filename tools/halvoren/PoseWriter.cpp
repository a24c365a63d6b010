#include "halvoren/PoseWriter.h"

#include "health/FrameAccounting.h"

#include <Eigen/Geometry>

#include <cstdio>
#include <iomanip>
#include <sstream>

namespace Halvoren::App {

namespace {
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}
}  // namespace

PoseWriter::PoseWriter(std::ostream& out, PoseFormat format, std::size_t queueFrames, double minQuality)
    : m_out(out), m_format(format), m_capacity(queueFrames), m_minQuality(minQuality) {
    m_thread = std::thread([this] { run(); });
}

PoseWriter::~PoseWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_queued.notify_one();
    m_thread.join();
}

void PoseWriter::begin() {
    if (m_format == PoseFormat::Csv) {
        Pending header;
        header.kind = Pending::Text;
        header.text = std::string(csvHeader()) + '\n';
        enqueue(std::move(header));
    }
}

void PoseWriter::enqueue(Pending pending) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(pending));
    }
    m_queued.notify_one();
}

bool PoseWriter::flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    // In the queue like a frame: what was handed over before is written first.
    const std::uint64_t ticket = ++m_flushRequests;
    Pending request;
    request.kind = Pending::Flush;
    m_queue.push_back(std::move(request));
    m_queued.notify_one();
    m_flushed.wait(lock, [&] { return m_flushesDone >= ticket; });
    return !m_failed.load();
}

void PoseWriter::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_queued.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) {
            return;  // stopped, and everything handed over is written
        }
        Pending pending = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        if (!m_failed.load()) {
            switch (pending.kind) {
                case Pending::Text:
                    m_out << pending.text;
                    break;
                case Pending::Frame: {
                    std::string text;
                    for (const TrackingInstrument& instrument : pending.instruments) {
                        text += formatLine(instrument, m_format, m_minQuality, pending.stale, pending.frame);
                        text += '\n';
                    }
                    m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
                    break;
                }
                case Pending::Flush:
                    m_out.flush();
                    break;
            }
            if (!m_out) {
                m_failed.store(true);
            }
        }
        lock.lock();
        if (pending.kind == Pending::Flush) {
            ++m_flushesDone;
            m_flushed.notify_all();
        }
    }
}

const char* PoseWriter::csvHeader() {
    return "timestamp,id,name,quality,x,y,z,qw,qx,qy,qz,status,stale,frame";
}

std::string PoseWriter::formatLine(const TrackingInstrument& instrument, PoseFormat format, double minQuality,
                                   bool stale, std::uint32_t frame) {
    const char* status = !stale && Health::passesGate(instrument, minQuality) ? "OK" : "INVALID";
    const Eigen::Matrix3d rotation = instrument.pose.topLeftCorner<3, 3>();
    Eigen::Quaterniond q(rotation);
    q.normalize();
    if (q.w() < 0) {
        q.coeffs() *= -1.0;  // one of the two equal quaternions, always the same one
    }
    const Eigen::Vector3d t = instrument.pose.topRightCorner<3, 1>();
    std::ostringstream line;
    line << std::setprecision(10);
    if (format == PoseFormat::Csv) {
        line << instrument.timestamp << ',' << csvField(instrument.id.ID) << ','
             << csvField(instrument.id.name) << ',' << instrument.quality << ',' << t.x() << ',' << t.y()
             << ',' << t.z() << ',' << q.w() << ',' << q.x() << ',' << q.y() << ',' << q.z() << ',' << status
             << ',' << (stale ? 1 : 0) << ',';
        if (frame != 0) {
            line << frame;
        }
    } else {
        line << "{\"timestamp\":" << instrument.timestamp << ",\"id\":" << jsonString(instrument.id.ID)
             << ",\"name\":" << jsonString(instrument.id.name) << ",\"quality\":" << instrument.quality
             << ",\"position\":[" << t.x() << ',' << t.y() << ',' << t.z() << "],\"rotation\":[" << q.w()
             << ',' << q.x() << ',' << q.y() << ',' << q.z() << "],\"status\":\"" << status
             << "\",\"stale\":" << (stale ? "true" : "false") << ",\"frame\":";
        if (frame != 0) {
            line << frame;
        } else {
            line << "null";
        }
        line << '}';
    }
    return line.str();
}

bool PoseWriter::writeFrame(const std::vector<TrackingInstrument>& instruments, std::uint32_t frameNumber) {
    if (m_failed.load()) {
        return false;
    }
    Pending frame;
    frame.instruments = instruments;  // copied before the lock: the writer's thread is not held up
    frame.frame = frameNumber;
    if (!tryEnqueue(std::move(frame))) {
        ++m_dropped;
        return true;
    }
    ++m_frames;
    for (const TrackingInstrument& instrument : instruments) {
        InstrumentSummary& s = m_summary[instrument.id.ID];
        s.name = instrument.id.name;
        if (Health::passesGate(instrument, m_minQuality)) {
            ++s.seen;
            s.qualitySum += instrument.quality;
        }
    }
    return true;
}

bool PoseWriter::writeStale(const std::vector<TrackingInstrument>& instruments, std::uint32_t frame) {
    if (m_failed.load()) {
        return false;
    }
    Pending lines;
    lines.instruments = instruments;
    lines.stale = true;
    lines.frame = frame;
    if (!tryEnqueue(std::move(lines))) {
        ++m_dropped;
    }
    return true;
}

bool PoseWriter::tryEnqueue(Pending pending) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() >= m_capacity) {
            return false;
        }
        m_queue.push_back(std::move(pending));
    }
    m_queued.notify_one();
    return true;
}

void PoseWriter::writeSummary(std::ostream& out) const {
    out << "frames " << m_frames << '\n';
    if (m_dropped != 0) {
        out << "poses not written: " << m_dropped << " frames (the output could not keep up)\n";
    }
    for (const auto& [id, s] : m_summary) {
        const double ratio =
            m_frames == 0 ? 0.0 : static_cast<double>(s.seen) / static_cast<double>(m_frames);
        const double mean = s.seen == 0 ? 0.0 : s.qualitySum / static_cast<double>(s.seen);
        out << std::fixed << std::setprecision(3) << id << " (" << s.name << "): seen " << ratio * 100.0
            << "% of frames, mean quality " << mean << '\n';
        out.unsetf(std::ios::floatfield);
    }
}

}  // namespace Halvoren::App
