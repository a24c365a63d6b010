#include "halvoren/outputs/PoseWriter.h"

#include "health/FrameAccounting.h"
#include "host/TrackingStream.h"
#include "text/JsonWriter.h"

#include <Eigen/Geometry>

#include <iomanip>
#include <optional>
#include <sstream>

namespace Halvoren::App {

namespace {

// Enough for a micrometre at ten metres, and the quaternions to about 1e-10.
constexpr int kSignificantDigits = 10;

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

PoseWriter::PoseWriter(std::ostream& out, PoseFormat format, std::size_t queueFrames, double minQuality,
                       Navigation::NavigationFrame navigation)
    : FrameOutput("poses", {Output::DropPolicy::EveryFrame, queueFrames}),
      m_out(out),
      m_format(format),
      m_minQuality(minQuality),
      m_navigation(std::move(navigation)) {}

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
        // The last poses written once more, marked stale: a reader of the poses
        // learns it too.
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
    m_navigation.chain.compute(instruments, m_minQuality, m_poses);
    const LineContext context{m_navigation.relative(), stale, frame};
    std::string text;
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        text += formatLine(instruments[i], m_poses[i], m_format, context);
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
    return "timestamp,id,name,quality,x,y,z,qw,qx,qy,qz,status,stale,frame,tip_x,"
           "tip_y,tip_z,reason";
}

namespace {

/// A pose's position and rotation as written: the quaternion with w >= 0, one
/// of the two equal ones, always the same one.
struct WrittenPose {
    explicit WrittenPose(const Eigen::Matrix4d& pose)
        : t(pose.topRightCorner<3, 1>()), q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>())) {
        q.normalize();
        if (q.w() < 0) {
            q.coeffs() *= -1.0;
        }
    }
    Eigen::Vector3d t;
    Eigen::Quaterniond q;
};

void csvPose(std::ostream& line, const std::optional<WrittenPose>& pose) {
    if (pose) {
        line << pose->t.x() << ',' << pose->t.y() << ',' << pose->t.z() << ',' << pose->q.w() << ','
             << pose->q.x() << ',' << pose->q.y() << ',' << pose->q.z();
    } else {
        line << ",,,,,,";
    }
}

void jsonPose(Text::JsonWriter& json, const std::optional<WrittenPose>& pose) {
    json.key("position");
    if (pose) {
        json.vector3(pose->t).key("rotation").beginArray();
        json.number(pose->q.w()).number(pose->q.x()).number(pose->q.y()).number(pose->q.z()).endArray();
    } else {
        json.null().key("rotation").null();
    }
}

/// What a line says besides the instrument and its pose.
struct LineFields {
    const char* status;
    std::string reason;
    bool tipKnown;
    Eigen::Vector3d tip;
};

std::string csvLine(const TrackingInstrument& instrument, const std::optional<WrittenPose>& written,
                    const LineFields& fields, const PoseWriter::LineContext& context) {
    std::ostringstream line;
    line << std::setprecision(kSignificantDigits);
    line << instrument.timestamp << ',' << csvField(instrument.id.ID) << ',' << csvField(instrument.id.name)
         << ',' << instrument.quality << ',';
    csvPose(line, written);
    line << ',' << fields.status << ',' << (context.stale ? 1 : 0) << ',';
    if (context.frame != 0) {
        line << context.frame;
    }
    if (fields.tipKnown) {
        line << ',' << fields.tip.x() << ',' << fields.tip.y() << ',' << fields.tip.z() << ',';
    } else {
        line << ",,,,";
    }
    line << csvField(fields.reason);
    return line.str();
}

std::string jsonLine(const TrackingInstrument& instrument, const std::optional<WrittenPose>& written,
                     bool hasTip, const LineFields& fields, const PoseWriter::LineContext& context) {
    Text::JsonWriter json(Text::JsonWriter::Layout::Compact, kSignificantDigits);
    json.beginObject().key("timestamp").integer(instrument.timestamp);
    json.key("id").string(instrument.id.ID).key("name").string(instrument.id.name);
    json.key("quality").number(instrument.quality);
    jsonPose(json, written);
    json.key("status").string(fields.status).key("stale").boolean(context.stale).key("frame");
    if (context.frame != 0) {
        json.integer(context.frame);
    } else {
        json.null();
    }
    if (hasTip) {
        json.key("tip");
        if (fields.tipKnown) {
            json.vector3(fields.tip);
        } else {
            json.null();
        }
    }
    json.key("reason").string(fields.reason).endObject();
    return json.take();
}

}  // namespace

std::string PoseWriter::formatLine(const TrackingInstrument& instrument, const Navigation::FramePose& pose,
                                   PoseFormat format, const LineContext& context) {
    const bool ok = !context.stale && pose.valid();
    const char* status = ok ? "OK" : "INVALID";
    // In camera coordinates an INVALID pose keeps what the camera gave; relative
    // to a reference there is none to give.
    std::optional<WrittenPose> written;
    if (!context.relative) {
        written.emplace(instrument.pose);
    } else if (pose.valid()) {
        written.emplace(pose.pose);
    }
    // Given where the tool's pose is valid.
    const bool tipKnown = pose.hasTip && pose.valid();
    const LineFields fields{status, context.stale ? "stale" : Navigation::reasonText(pose.validity), tipKnown,
                            tipKnown ? Eigen::Vector3d(pose.tipPosition()) : Eigen::Vector3d::Zero()};
    return format == PoseFormat::Csv ? csvLine(instrument, written, fields, context)
                                     : jsonLine(instrument, written, pose.hasTip, fields, context);
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
