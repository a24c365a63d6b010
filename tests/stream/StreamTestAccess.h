#pragma once
// What the stream tests may look at beyond the stream's public face: its driver session.

#include "stream/AtracsysTrackingStream.h"

namespace Halvoren::SpryTrack {

struct AtracsysTrackingStreamTestAccess {
    static AtracsysTrackingStream::DriverConnection& driver(AtracsysTrackingStream& stream) {
        return *stream.m_driver;
    }
};

}  // namespace Halvoren::SpryTrack

namespace TestSupport {
inline Halvoren::SpryTrack::AtracsysTrackingStream::DriverConnection& driverOf(
    Halvoren::SpryTrack::AtracsysTrackingStream& stream) {
    return Halvoren::SpryTrack::AtracsysTrackingStreamTestAccess::driver(stream);
}
}  // namespace TestSupport
