#pragma once

#include "Flags.h"

#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {

/// Description of a rigid optical marker: a name, an optional marker id and its fiducial positions (mm).
class OpticalTrackingMarker {
public:
    explicit OpticalTrackingMarker(std::string name, std::optional<std::uint32_t> markerId = std::nullopt)
        : name(std::move(name)), markerId(markerId) {}
    void addFiducial(const Eigen::Vector3d& position,
                     const std::optional<Eigen::Vector3d>& normal = std::nullopt) {
        fiducialPositions.push_back(position);
        fiducialNormals.push_back(normal);
    }
    std::size_t fiducialCount() const { return fiducialPositions.size(); }

    std::string name;
    std::optional<std::uint32_t> markerId;
    std::vector<Eigen::Vector3d> fiducialPositions;
    std::vector<std::optional<Eigen::Vector3d>> fiducialNormals;
};

/// Marker management of an optical tracking stream.
class OpticalTrackingInterface {
public:
    enum class Capabilities : std::uint32_t { AddMarkerFromFile = 1, AddMarkerFromDescription = 2 };

    virtual ~OpticalTrackingInterface() = default;
    virtual Flags<Capabilities> capabilities() const = 0;
    /// Adds a marker from a geometry file; returns the instrument ID or an empty text. The host's own
    /// implementation hands the file to the stream's file-based registration.
    virtual std::string addTrackingMarker(const std::string& name, const std::string& path);
    virtual std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) = 0;
    virtual std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string& id) const = 0;
    virtual bool removeTrackingMarker(const std::string& id) = 0;

protected:
    /// Registration from a file, supplied by the stream; returns the instrument ID or an empty text.
    virtual std::string addTrackingMarkerFromFile(const std::string& name, const std::string& path) {
        (void)name;
        (void)path;
        return {};
    }
};

inline std::string OpticalTrackingInterface::addTrackingMarker(const std::string& name,
                                                                const std::string& path) {
    return addTrackingMarkerFromFile(name, path);
}

}  // namespace Halvoren
