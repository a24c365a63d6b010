#include "halvoren/PoseWriter.h"

#include "health/FrameAccounting.h"
#include "host/TrackingStream.h"

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
    : FrameOutput("poses", {Output::DropPolicy::EveryFrame, queueFrames}),
      m_out(out),
      m_format(format),
      m_minQuality(minQuality) {}

void PoseWriter::setFailureListener(std::function<void()> listener) {
    m_failureListener = std::move(listener);
}

// Writer's thread.
void PoseWriter::take(const Output::FrameItem& item) {
    if (m_failed.load()) {
        return;
    }
    writeHeader();
    if (item.kind == Output::FrameItem::Kind::Frame) {
        const auto* info = item.tracking->components().get<TrackingFrameInfoData>();
        m_last = item.tracking;
        m_lastCounter = info != nullptr ? info->counter : 0;
        count(m_last->instruments());
        writeLines(m_last->instruments(), false, m_lastCounter);
    } else if (item.kind == Output::FrameItem::Kind::Stale && m_last != nullptr) {
        // The last poses written once more, marked stale: a reader of the poses learns it too.
        writeLines(m_last->instruments(), true, m_lastCounter);
    }
}

// Writer's thread.
void PoseWriter::end() {
    writeHeader();  // a run without frames still says what its columns are
    if (!m_failed.load()) {
        m_out.flush();
        checkOutput();
    }
    m_last.reset();
}

void PoseWriter::writeHeader() {
    if (m_headerWritten || m_failed.load()) {
        return;
    }
    m_headerWritten = true;
    if (m_format == PoseFormat::Csv) {
        m_out << csvHeader() << '\n';
        checkOutput();
    }
}

void PoseWriter::writeLines(const std::vector<TrackingInstrument>& instruments, bool stale,
                            std::uint32_t frame) {
    std::string text;
    for (const TrackingInstrument& instrument : instruments) {
        text += formatLine(instrument, m_format, m_minQuality, stale, frame);
        text += '\n';
    }
    m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
    checkOutput();
}

void PoseWriter::checkOutput() {
    if (!m_out && !m_failed.exchange(true) && m_failureListener) {
        m_failureListener();  // every further pose would be lost too
    }
}

void PoseWriter::count(const std::vector<TrackingInstrument>& instruments) {
    ++m_frames;
    for (const TrackingInstrument& instrument : instruments) {
        InstrumentSummary& s = m_summary[instrument.id.ID];
        s.name = instrument.id.name;
        if (Health::passesGate(instrument, m_minQuality)) {
            ++s.seen;
            s.qualitySum += instrument.quality;
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

std::uint64_t PoseWriter::dropped() const {
    return queue().counts().dropped;
}

void PoseWriter::writeSummary(std::ostream& out) const {
    out << "frames " << m_frames << '\n';
    if (dropped() != 0) {
        out << "poses not written: " << dropped() << " frames (the output could not keep up)\n";
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
