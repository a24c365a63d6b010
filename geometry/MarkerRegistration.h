#pragma once
// Marker geometries on the camera and in the instrument registry: registration, description and removal,
// as free functions over the driver session and the registry. None emits a signal: each hands back the
// registry's changes, which the caller announces after every lock is released.

#include "geometry/AtracsysGeometry.h"
#include "geometry/ThreadSafeInstruments.h"
#include "sdk/DriverConnection.h"

#include "ftk/ftk.h"
#include "host/OpticalTracking.h"

#include <Eigen/Core>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::SpryTrack {

using InstrumentRegistry = ThreadSafeInstruments<AtracsysGeometry>;

/// Control thread. Raises a reserved id in the caller's record (and says so), then under the driver lock
/// and the registry's lock gives the geometry to the camera, when one is open, and creates its
/// instrument. No changes when the id is taken.
InstrumentModifications registerGeometry(DriverConnection& driver, InstrumentRegistry& registry,
                                         ftkGeometry& geometry, const std::string& name,
                                         const std::string& path);

/// Control thread, registry lock only: the geometry of a marker description, with the next free id when
/// it names none. Nothing (logged) when it has more fiducials than a geometry holds.
std::optional<ftkGeometry> geometryOfMarker(const OpticalTrackingMarker& marker,
                                            const InstrumentRegistry& registry);

/// Any thread, registry lock only: the description of a registered marker; null for an unknown id.
std::unique_ptr<OpticalTrackingMarker> markerOfGeometry(const InstrumentRegistry& registry,
                                                        const std::string& id);

/// Control thread: the driver lock, then the registry's. Only an ID the stream handed out is accepted; the
/// camera is asked to forget the geometry only when it holds it. False (logged) when the id names no
/// marker or the camera refuses; `changes` then stays empty.
bool unregisterGeometry(DriverConnection& driver, InstrumentRegistry& registry, const std::string& id,
                        InstrumentModifications& changes);

/// Any thread, registry lock only: the fiducial coordinates of a registered marker (logged when unknown).
std::vector<Eigen::Vector3d> fiducialCoordinates(InstrumentRegistry& registry, const std::string& id);

}  // namespace Halvoren::SpryTrack
