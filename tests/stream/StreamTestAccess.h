#pragma once
// What the tests may look at beyond the stream's public face: its driver session, its instrument registry
// and its newest update record.

#include "stream/AtracsysTrackingStream.h"

namespace Halvoren::SpryTrack {

struct AtracsysTrackingStreamTestAccess {
    static AtracsysTrackingStream::DriverConnection& driver(AtracsysTrackingStream& stream) {
        return *stream.m_driver;
    }
    static ThreadSafeInstruments<AtracsysGeometry>& registry(const AtracsysTrackingStream& stream) {
        return *stream.m_instrumentRegistry;
    }
    static const AtracsysTrackingStreamBase::AtracsysUpdate* lastUpdate(
        const AtracsysTrackingStream& stream) {
        return stream.m_lastUpdate.get();
    }
};

}  // namespace Halvoren::SpryTrack

namespace TestSupport {
inline Halvoren::SpryTrack::AtracsysTrackingStream::DriverConnection& driverOf(
    Halvoren::SpryTrack::AtracsysTrackingStream& stream) {
    return Halvoren::SpryTrack::AtracsysTrackingStreamTestAccess::driver(stream);
}
/// Any thread; every registry operation takes the registry's lock.
inline Halvoren::ThreadSafeInstruments<Halvoren::SpryTrack::AtracsysGeometry>& registryOf(
    const Halvoren::SpryTrack::AtracsysTrackingStream& stream) {
    return Halvoren::SpryTrack::AtracsysTrackingStreamTestAccess::registry(stream);
}
/// The worker thread writes it: read it only while the stream is not running.
inline const Halvoren::AtracsysTrackingStreamBase::AtracsysUpdate* lastUpdateOf(
    const Halvoren::SpryTrack::AtracsysTrackingStream& stream) {
    return Halvoren::SpryTrack::AtracsysTrackingStreamTestAccess::lastUpdate(stream);
}
}  // namespace TestSupport
