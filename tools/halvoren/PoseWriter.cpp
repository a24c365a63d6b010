#include "halvoren/PoseWriter.h"

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

PoseWriter::PoseWriter(std::ostream& out, PoseFormat format) : m_out(out), m_format(format) {}

void PoseWriter::begin() {
    if (m_format == PoseFormat::Csv) {
        m_out << "timestamp,id,name,quality,x,y,z,qw,qx,qy,qz\n";
    }
    m_failed = m_failed || !m_out;
}

bool PoseWriter::flush() {
    if (!m_failed) {
        m_out.flush();
        m_failed = !m_out;
    }
    return !m_failed;
}

std::string PoseWriter::formatLine(const TrackingInstrument& instrument, PoseFormat format) {
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
             << ',' << t.z() << ',' << q.w() << ',' << q.x() << ',' << q.y() << ',' << q.z();
    } else {
        line << "{\"timestamp\":" << instrument.timestamp << ",\"id\":" << jsonString(instrument.id.ID)
             << ",\"name\":" << jsonString(instrument.id.name) << ",\"quality\":" << instrument.quality
             << ",\"position\":[" << t.x() << ',' << t.y() << ',' << t.z() << "],\"rotation\":[" << q.w()
             << ',' << q.x() << ',' << q.y() << ',' << q.z() << "]}";
    }
    return line.str();
}

void PoseWriter::writeFrame(const std::vector<TrackingInstrument>& instruments) {
    if (m_failed) {
        return;
    }
    ++m_frames;
    for (const TrackingInstrument& instrument : instruments) {
        m_out << formatLine(instrument, m_format) << '\n';
        m_failed = m_failed || !m_out;
        InstrumentSummary& s = m_summary[instrument.id.ID];
        s.name = instrument.id.name;
        if (instrument.quality > 0.0) {
            ++s.seen;
            s.qualitySum += instrument.quality;
        }
    }
}

void PoseWriter::writeSummary(std::ostream& out) const {
    out << "frames " << m_frames << '\n';
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
