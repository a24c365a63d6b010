#include "stream/AtracsysTrackingStreamBase.h"

namespace Halvoren {

template class StreamGroup<AtracsysTrackingStreamBase>;

AtracsysTrackingStreamBase::AtracsysTrackingStreamBase(const std::string& name)
    : TrackingStream(name), StreamGroup<AtracsysTrackingStreamBase>(), OpticalTrackingInterface() {}

// The update signal, our only member, goes first: its receivers are told to forget their connections
// before the group destroys the substreams and the tracking stream goes.
AtracsysTrackingStreamBase::~AtracsysTrackingStreamBase() = default;

bool AtracsysTrackingStreamBase::removeGeometry(const std::string& name) {
    return removeTrackingMarker(name);
}

}  // namespace Halvoren
