#include "halvoren/commands/RegisterCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/outputs/PoseTarget.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "halvoren/outputs/TipSampler.h"
#include "halvoren/session/FileChecks.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/RunController.h"
#include "halvoren/session/StreamSession.h"

#include "host/Log.h"
#include "navigation/NavigationNames.h"
#include "registration/LandmarkRegistration.h"
#include "registration/PointRegistration.h"
#include "registration/RegistrationReport.h"
#include "registration/TouchDetector.h"
#include "registration/TransformFile.h"
#include "text/Text.h"

#include <unistd.h>

#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

namespace Halvoren::App {

namespace {

using Registration::Landmark;
using Registration::Touch;

/// What the command reads before the camera opens.
struct Inputs {
    std::vector<Landmark> landmarks;
    std::vector<Eigen::Vector3d> targets;
    Eigen::Matrix4d verified = Eigen::Matrix4d::Identity();  // --verify's transform
};

/// Reads and checks the landmarks, the targets and the transform to verify; the exit code.
int readInputs(const RegisterOptions& options, Inputs& inputs, std::ostream& err) {
    std::string error;
    auto landmarks = Registration::readLandmarks(options.landmarks, error);
    if (!landmarks) {
        err << "halvoren register: " << error << '\n';
        return ExitBadInput;
    }
    inputs.landmarks = std::move(*landmarks);
    if (!options.verify.empty()) {
        const auto transform = Registration::readTransformFile(options.verify, error);
        if (!transform) {
            err << "halvoren register: " << error << '\n';
            return ExitBadInput;
        }
        inputs.verified = *transform;
        return ExitOk;
    }
    Registration::Points points;
    for (const Landmark& landmark : inputs.landmarks) {
        points.push_back(landmark.position);
    }
    if (const std::string why = Registration::refusal(points); !why.empty()) {
        err << "halvoren register: the landmarks of " << options.landmarks
            << " cannot give a registration: " << why << " (they must lie at least "
            << Registration::kMinLineDistanceMm
            << " mm RMS, and 5% of their spread, off their best-fitting line)\n";
        return ExitCalibrationRefused;
    }
    for (const std::string& text : options.targets) {
        double xyz[3];
        parseTarget(text, xyz);
        inputs.targets.emplace_back(xyz[0], xyz[1], xyz[2]);
    }
    return ExitOk;
}

/// The pointer's marker and its tip; nothing, with the reason, when the option names none or one
/// without a tip.
const Sequence::RecordedMarker* pointerMarker(const StreamSession& session, const std::string& pointer,
                                              std::ostream& err, int& code) {
    const auto& markers = session.markers();
    const auto index = Navigation::findReference(
        markers, pointer, [](const Sequence::RecordedMarker& m) { return TrackerID(m.id, "", m.name); });
    if (!index) {
        err << "halvoren register: --pointer " << pointer << " names no instrument (or several)\n";
        code = ExitUsage;
        return nullptr;
    }
    if (!markers[*index].tip) {
        err << "halvoren register: the pointer " << markers[*index].name
            << " has no calibrated tip: calibrate it with halvoren pivot --save first\n";
        code = ExitBadInput;
        return nullptr;
    }
    return &markers[*index];
}

/// The landmarks touched in turn: each prompted, then taken once the pointer rested on it long enough.
class Touching {
public:
    Touching(const std::vector<Landmark>& landmarks, double dwell, std::ostream& err)
        : m_landmarks(landmarks), m_dwell(dwell), m_detector(dwell), m_err(err) {}

    bool complete() const { return m_touches.size() == m_landmarks.size(); }
    std::vector<Touch> touches() const { return m_touches; }

    /// Takes the samples that came, and prompts for the next landmark.
    void takeSamples(TipSampler& sampler, bool terminal) {
        while (!complete()) {
            prompt();
            const auto sample = sampler.next(std::chrono::milliseconds(0));
            if (!sample) {
                return;
            }
            if (auto touch = m_detector.add(sample->seconds, sample->tip)) {
                m_err << (terminal ? "\r" : "") << m_landmarks[m_touches.size()].label << " taken at "
                      << touch->point.x() << ' ' << touch->point.y() << ' ' << touch->point.z()
                      << " mm, jitter " << touch->jitterMm << " mm over " << touch->samples << " frames\n";
                m_touches.push_back(*touch);
                m_prompted = false;
            }
        }
    }
    /// The progress line: how long the pointer rested so far.
    void writeResting(std::ostream& line) const {
        line << "  resting " << std::setprecision(1) << m_detector.restedSeconds() << " of " << m_dwell
             << " s   " << std::setprecision(3);
    }

private:
    void prompt() {
        if (!m_prompted) {
            m_err << "touch " << m_landmarks[m_touches.size()].label << " (" << m_touches.size() + 1 << " of "
                  << m_landmarks.size() << ")\n"
                  << std::flush;
            m_prompted = true;
        }
    }

    const std::vector<Landmark>& m_landmarks;
    const double m_dwell;
    Registration::TouchDetector m_detector;
    std::ostream& m_err;
    std::vector<Touch> m_touches;
    bool m_prompted = false;
};

/// Waits for the pointer to rest on each landmark in turn; the touches taken (fewer when the run was cut,
/// the stream stopped or an interrupt came).
std::vector<Touch> touchLandmarks(const std::vector<Landmark>& landmarks, TipSampler& sampler, double dwell,
                                  RunController& controller, std::ostream& err) {
    const bool terminal = showsProgress();
    Touching touching(landmarks, dwell, err);
    err << std::fixed << std::setprecision(3);
    RunController::Plan plan;
    plan.turn = [&touching, &sampler, terminal] { touching.takeSamples(sampler, terminal); };
    plan.done = [&touching] { return touching.complete(); };
    plan.progress = [&touching](std::ostream& line) { touching.writeResting(line); };
    controller.run(plan);
    err.unsetf(std::ios::floatfield);
    return touching.touches();
}

/// Writes the text to the path (through PoseTarget, which refuses a FIFO nobody reads); false when not.
bool writeText(const std::string& path, const std::string& text, std::ostream& err) {
    PoseTarget target;
    bool written = target.open(path, err, err);
    if (written) {
        target.stream() << text;
        written = target.stream().good();
        written = target.close(err) && written;
    }
    if (!written) {
        err << "halvoren: cannot write " << path << '\n';
    }
    return written;
}

int registerTouched(const RegisterOptions& options, const Inputs& inputs, const std::vector<Touch>& touches,
                    const std::string& frame, std::ostream& out, std::ostream& err) {
    const Registration::RegistrationResult result =
        Registration::registerLandmarks(inputs.landmarks, touches, inputs.targets);
    Registration::writeRegistration(result, frame, out);
    for (const std::string& warning : result.warnings) {
        err << "halvoren register: warning: " << warning << '\n';
    }
    std::string error;
    if (!Registration::writeTransformFile(options.output, result.imageToReference, error)) {
        err << "halvoren: " << error << '\n';
        return ExitWriteFailed;
    }
    out << "ImageToReference written to " << options.output << '\n';
    if (!options.report.empty() &&
        !writeText(options.report, Registration::registrationJson(result, frame), err)) {
        return ExitWriteFailed;
    }
    return ExitOk;
}

int verifyTouched(const RegisterOptions& options, const Inputs& inputs, const std::vector<Touch>& touches,
                  std::ostream& out, std::ostream& err) {
    const Registration::VerificationResult result =
        Registration::verifyLandmarks(inputs.verified, inputs.landmarks, touches);
    Registration::writeVerification(result, out);
    if (!options.report.empty() && !writeText(options.report, Registration::verificationJson(result), err)) {
        return ExitWriteFailed;
    }
    return ExitOk;
}

/// Opens the camera, has the landmarks touched and closes it; the exit code, ExitOk with every touch.
int touchAll(const RegisterOptions& options, const Inputs& inputs, std::vector<Touch>& touches,
             std::string& frame, std::ostream& err) {
    LoadedPlugins plugins;
    auto created = StreamSession::create(plugins.manager(), options, false, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    int code = ExitOk;
    const Sequence::RecordedMarker* pointer = pointerMarker(session, options.pointer, err, code);
    if (pointer == nullptr) {
        return code;
    }
    frame = session.navigation().frame;
    RunController controller(session, err);
    auto sampler = std::make_shared<TipSampler>(session.navigation(), pointer->id, options.minQuality,
                                                [&controller] { controller.wake(); });
    session.addOutput(sampler);
    if (!session.stream().start()) {
        err << "halvoren: cannot start the tracking stream\n";
        return ExitFailure;
    }
    touches = touchLandmarks(inputs.landmarks, *sampler, options.dwellSeconds, controller, err);
    session.cutRun();
    session.stream().close();
    session.endRun();
    if (touches.size() == inputs.landmarks.size()) {
        return ExitOk;
    }
    if (Interrupts::requested()) {
        err << "interrupted after " << touches.size() << " of " << inputs.landmarks.size() << " landmarks\n";
        return ExitInterrupted;
    }
    session.writeReplayStop(err);
    err << "halvoren: the tracking stream " << (session.replayEnded() ? "(the recording) ended" : "stopped")
        << " after " << touches.size() << " of " << inputs.landmarks.size() << " landmarks\n";
    return ExitFailure;
}

}  // namespace

bool parseTarget(const std::string& text, double (&xyz)[3]) {
    std::istringstream fields(text);
    std::string field;
    int count = 0;
    while (std::getline(fields, field, ',')) {
        if (count == 3 || !Text::parseFinite(Text::trim(field), xyz[count])) {
            return false;
        }
        ++count;
    }
    return count == 3;
}

int runRegister(const RegisterOptions& options, std::ostream& out, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (options.verify.empty() && options.output.empty()) {
        err << "halvoren register: --output FILE.tfm is required (or --verify FILE.tfm)\n";
        return ExitUsage;
    }
    if (!resultsWritable({&options.output, &options.report}, err)) {
        return ExitBadInput;
    }
    if (const std::string problem = Registration::transformFilePathProblem(options.output);
        !options.output.empty() && !problem.empty()) {
        err << "halvoren: " << problem << '\n';
        return ExitBadInput;
    }
    Inputs inputs;
    if (const int code = readInputs(options, inputs, err); code != ExitOk) {
        return code;
    }
    std::vector<Touch> touches;
    std::string frame;
    const int code = touchAll(options, inputs, touches, frame, err);
    if (!options.verify.empty() && (code == ExitOk || (code == ExitInterrupted && !touches.empty()))) {
        // What was touched before an interrupt is verified all the same: any subset may be checked.
        const int written = verifyTouched(options, inputs, touches, out, err);
        return code == ExitOk ? written : code;
    }
    if (code != ExitOk) {
        if (code == ExitInterrupted) {
            err << "halvoren register: nothing written\n";
        }
        return code;
    }
    return registerTouched(options, inputs, touches, frame, out, err);
}

}  // namespace Halvoren::App
