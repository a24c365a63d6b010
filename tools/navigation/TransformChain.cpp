#include "navigation/TransformChain.h"

#include "health/FrameAccounting.h"
#include "navigation/NavigationNames.h"

namespace Halvoren::Navigation {

const char* reasonText(Validity validity) {
    switch (validity) {
        case Validity::Valid:
            return "";
        case Validity::NotSeen:
            return "not seen";
        case Validity::ReferenceNotSeen:
            return "reference not seen";
    }
    return "";
}

Eigen::Matrix4d rigidInverse(const Eigen::Matrix4d& pose) {
    Eigen::Matrix4d inverse = Eigen::Matrix4d::Identity();
    const Eigen::Matrix3d rt = pose.topLeftCorner<3, 3>().transpose();
    inverse.topLeftCorner<3, 3>() = rt;
    inverse.topRightCorner<3, 1>() = -rt * pose.topRightCorner<3, 1>();
    return inverse;
}

void TransformChain::setReference(std::optional<std::string> reference) {
    m_reference = std::move(reference);
}

void TransformChain::setImageToReference(const std::optional<Eigen::Matrix4d>& imageToReference) {
    m_referenceToImage.reset();
    if (imageToReference) {
        m_referenceToImage = rigidInverse(*imageToReference);
    }
}

void TransformChain::setTip(const std::string& instrumentId, const std::optional<Eigen::Vector3d>& tip) {
    if (tip) {
        m_tips[instrumentId] = *tip;
    } else {
        m_tips.erase(instrumentId);
    }
}

std::optional<Eigen::Vector3d> TransformChain::tip(const std::string& instrumentId) const {
    const auto found = m_tips.find(instrumentId);
    if (found == m_tips.end()) {
        return std::nullopt;
    }
    return found->second;
}

void TransformChain::compute(const std::vector<TrackingInstrument>& instruments, double minQuality,
                             std::vector<FramePose>& poses) const {
    poses.assign(instruments.size(), FramePose{});
    std::optional<std::size_t> reference;
    bool referenceSeen = true;
    Eigen::Matrix4d toFrame = Eigen::Matrix4d::Identity();
    if (m_reference) {
        reference = findReference(instruments, *m_reference,
                                  [](const TrackingInstrument& i) -> const TrackerID& { return i.id; });
        referenceSeen = reference && Health::passesGate(instruments[*reference], minQuality);
        if (referenceSeen) {
            toFrame = rigidInverse(instruments[*reference].pose);
            if (m_referenceToImage) {
                toFrame = *m_referenceToImage * toFrame;
            }
        }
    }
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        FramePose& p = poses[i];
        const auto tip = m_tips.find(instruments[i].id.ID);
        p.hasTip = tip != m_tips.end();
        p.validity = !referenceSeen                                    ? Validity::ReferenceNotSeen
                     : !Health::passesGate(instruments[i], minQuality) ? Validity::NotSeen
                                                                       : Validity::Valid;
        if (!p.valid()) {
            continue;
        }
        // The reference in its own frame is the identity exactly, not R^T R's rounding of it.
        if (i != reference) {
            p.pose = m_reference ? Eigen::Matrix4d(toFrame * instruments[i].pose) : instruments[i].pose;
        } else if (m_referenceToImage) {
            p.pose = *m_referenceToImage;
        }
        if (p.hasTip) {
            p.tipPose = p.pose;
            p.tipPose.topRightCorner<3, 1>() += p.pose.topLeftCorner<3, 3>() * tip->second;
        }
    }
}

std::vector<FramePose> TransformChain::compute(const std::vector<TrackingInstrument>& instruments,
                                               double minQuality) const {
    std::vector<FramePose> poses;
    compute(instruments, minQuality, poses);
    return poses;
}

}  // namespace Halvoren::Navigation
