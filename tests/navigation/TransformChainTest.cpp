#include "navigation/TransformChain.h"

#include <gtest/gtest.h>
#include <Eigen/Geometry>

namespace Halvoren::Navigation {
namespace {

Eigen::Matrix4d rigid(double angle, const Eigen::Vector3d& axis, const Eigen::Vector3d& translation) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    m.topRightCorner<3, 1>() = translation;
    return m;
}

TrackingInstrument instrument(const std::string& id, const std::string& name, const Eigen::Matrix4d& pose,
                              double quality = 0.9) {
    TrackingInstrument i;
    i.id = TrackerID(id, "", name);
    i.pose = pose;
    i.quality = quality;
    return i;
}

TEST(TransformChain, GivesPosesAndTipsRelativeToTheReference) {
    const Eigen::Matrix4d referencePose = rigid(0.7, {1, 2, 3}, {100, -50, 1200});
    const Eigen::Vector3d tip(2, -1, -150);
    TransformChain chain;
    chain.setReference(std::string("reference"));
    chain.setTip("p1", tip);
    // The pointer posed relative to the reference, then moved (turned and shifted) with the tip on it.
    for (const Eigen::Matrix4d& truth :
         {rigid(-1.1, {0, 1, 1}, {30, 40, -20}), rigid(2.5, {1, 0, 0}, {-5, 9, 60})}) {
        const std::vector<TrackingInstrument> frame{instrument("p1", "pointer", referencePose * truth),
                                                    instrument("r1", "reference", referencePose)};
        const auto poses = chain.compute(frame, 0.0);
        ASSERT_EQ(poses.size(), 2u);
        ASSERT_TRUE(poses[0].valid());
        EXPECT_LT((poses[0].pose - truth).cwiseAbs().maxCoeff(), 1e-9);
        ASSERT_TRUE(poses[0].hasTip);
        const Eigen::Vector3d tipTruth = (truth * tip.homogeneous()).head<3>();
        EXPECT_LT((poses[0].tipPosition() - tipTruth).norm(), 1e-9);
        EXPECT_LT((poses[0].tipPose.topLeftCorner<3, 3>() - truth.topLeftCorner<3, 3>()).norm(), 1e-9);
        EXPECT_FALSE(poses[1].hasTip);
    }
    // Without a reference, poses stay in camera coordinates.
    chain.setReference(std::nullopt);
    const auto poses = chain.compute({instrument("p1", "pointer", referencePose)}, 0.0);
    EXPECT_EQ(poses[0].pose, referencePose);
    EXPECT_LT((poses[0].tipPosition() - (referencePose * tip.homogeneous()).head<3>()).norm(), 1e-9);
    EXPECT_TRUE((rigidInverse(referencePose) * referencePose).isIdentity(1e-12));
}

TEST(TransformChain, PosesAreValidOnlyWhenTheInstrumentAndTheReferenceAreSeen) {
    const Eigen::Matrix4d referencePose = rigid(0.3, {0, 0, 1}, {10, 20, 900});
    TransformChain chain;
    chain.setReference(std::string("r1"));  // by ID
    chain.setTip("p1", Eigen::Vector3d(0, 0, -100));
    std::vector<TrackingInstrument> frame{instrument("p1", "pointer", rigid(1, {1, 1, 0}, {0, 0, 1000}), 0.5),
                                          instrument("r1", "reference", referencePose),
                                          instrument("t1", "tool", Eigen::Matrix4d::Identity(), 0.0)};
    auto poses = chain.compute(frame, 0.8);
    EXPECT_EQ(poses[0].validity, Validity::NotSeen);  // below the gate
    EXPECT_STREQ(reasonText(poses[0].validity), "not seen");
    EXPECT_TRUE(poses[0].hasTip);
    EXPECT_TRUE(poses[1].valid());
    EXPECT_EQ(poses[1].pose, Eigen::Matrix4d::Identity());                // exactly
    EXPECT_EQ(chain.compute(frame, 0.0)[2].validity, Validity::NotSeen);  // quality 0 is never seen
    EXPECT_TRUE(chain.compute(frame, 0.0)[0].valid());

    frame[1].quality = 0.7;  // the reference below the gate
    poses = chain.compute(frame, 0.8);
    frame.pop_back();
    frame.erase(frame.begin() + 1);  // the reference not in the frame at all
    for (const auto& framePoses : {poses, chain.compute(frame, 0.0)}) {
        for (const FramePose& p : framePoses) {
            EXPECT_EQ(p.validity, Validity::ReferenceNotSeen);
            EXPECT_STREQ(reasonText(p.validity), "reference not seen");
        }
    }
}

}  // namespace
}  // namespace Halvoren::Navigation
