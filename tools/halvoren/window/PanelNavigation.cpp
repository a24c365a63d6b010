#include "halvoren/window/PanelNavigation.h"

#include <utility>
#include <vector>

namespace Halvoren::App {

OpticalTrackingStreamController::NavigationHook panelNavigation(Navigation::NavigationFrame navigation,
                                                                double minQuality) {
    using Row = OpticalTrackingStreamController::NavigationRow;
    std::vector<Navigation::FramePose> poses;  // reused from frame to frame
    // GUI thread.
    return [navigation = std::move(navigation), minQuality, poses](
               const std::vector<TrackingInstrument>& instruments, std::vector<Row>& rows) mutable {
        navigation.chain.compute(instruments, minQuality, poses);
        rows.resize(poses.size());
        for (std::size_t i = 0; i < poses.size(); ++i) {
            const Navigation::FramePose& pose = poses[i];
            Row& row = rows[i];
            row.valid = pose.valid();
            row.position = pose.pose.topRightCorner<3, 1>();
            row.hasTip = pose.hasTip;
            row.tip = pose.tipPosition();
            row.reason = QString::fromLatin1(Navigation::reasonText(pose.validity));
        }
    };
}

QString panelFrameLabel(const Navigation::NavigationFrame& navigation) {
    if (!navigation.relative()) {
        return QStringLiteral("Frame: %1 (camera)").arg(QString::fromStdString(navigation.frame));
    }
    return QStringLiteral("Frame: %1 (%2)")
        .arg(QString::fromStdString(navigation.frame), QString::fromStdString(*navigation.chain.reference()));
}

}  // namespace Halvoren::App
