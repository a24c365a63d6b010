#pragma once
// Poses in a navigation frame: each instrument's pose relative to a reference marker (or in camera
// coordinates without one), and for calibrated tools the tip's position and the tool's pose moved to its
// tip. Pure: one frame of instruments in, the poses out; the caller keeps it to one thread.

#include "host/TrackingInstrument.h"

#include <Eigen/Core>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Navigation {

enum class Validity {
    Valid,
    NotSeen,          // the instrument is not seen, or held back by the quality gate
    ReferenceNotSeen  // the reference is not seen, or held back by the gate: no pose is known in its frame
};

/// "" for a valid pose, else the reason ("not seen", "reference not seen").
const char* reasonText(Validity validity);

/// The inverse of a rigid transform (rotation and translation): (R^T, -R^T t). Exact for a rotation
/// where a general inverse would accumulate rounding.
Eigen::Matrix4d rigidInverse(const Eigen::Matrix4d& pose);

/// One instrument's poses in the chain's frame. When not valid, the poses are identities.
struct FramePose {
    Validity validity = Validity::NotSeen;
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    bool hasTip = false;
    /// The tool's pose moved to its tip (pose * translation(tip)); meaningful when hasTip.
    Eigen::Matrix4d tipPose = Eigen::Matrix4d::Identity();

    bool valid() const { return validity == Validity::Valid; }
    /// The tip's position in the frame (mm).
    Eigen::Vector3d tipPosition() const { return tipPose.topRightCorner<3, 1>(); }
};

class TransformChain {
public:
    /// The instrument whose frame poses are given in, by its ID or name (see findReference); none for
    /// camera coordinates.
    void setReference(std::optional<std::string> reference);
    const std::optional<std::string>& reference() const { return m_reference; }

    /// Poses in a registered image's frame rather than the reference's: ImageToReference (rigid, image
    /// RAS mm to reference mm); none for the reference's frame. Needs a reference.
    void setImageToReference(const std::optional<Eigen::Matrix4d>& imageToReference);
    bool inImage() const { return m_referenceToImage.has_value(); }

    /// A tool's tip in its marker's frame (mm), by instrument ID; none to remove it.
    void setTip(const std::string& instrumentId, const std::optional<Eigen::Vector3d>& tip);
    std::optional<Eigen::Vector3d> tip(const std::string& instrumentId) const;
    bool hasTips() const { return !m_tips.empty(); }

    /// One frame: `poses` gets one entry per instrument, in their order. An instrument is seen when it
    /// passes the health's quality gate at minQuality. `poses` is reused, so a caller that keeps it
    /// allocates nothing per frame.
    void compute(const std::vector<TrackingInstrument>& instruments, double minQuality,
                 std::vector<FramePose>& poses) const;
    std::vector<FramePose> compute(const std::vector<TrackingInstrument>& instruments,
                                   double minQuality) const;

private:
    std::optional<std::string> m_reference;
    std::optional<Eigen::Matrix4d> m_referenceToImage;
    std::map<std::string, Eigen::Vector3d> m_tips;
};

}  // namespace Halvoren::Navigation
