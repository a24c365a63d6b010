#include "registration/TransformFile.h"

#include "text/BoundedFile.h"
#include "text/Text.h"

#include <Eigen/LU>

#include <cmath>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace Halvoren::Registration {

namespace {

constexpr std::size_t kMaxFileBytes = 1024 * 1024;
// A rotation read back from 17 digits is orthonormal far closer than this; a scale of 1.0001 is not.
constexpr double kRotationTolerance = 1e-6;

const Eigen::Matrix4d& rasToLps() {
    static const Eigen::Matrix4d c = Eigen::Vector4d(-1.0, -1.0, 1.0, 1.0).asDiagonal();
    return c;
}

/// "Key: values" of the line, when it has that key.
bool valuesOf(const std::string& line, const std::string& key, std::string& values) {
    if (line.compare(0, key.size() + 1, key + ":") != 0) {
        return false;
    }
    values = Text::trimmed(std::string_view(line).substr(key.size() + 1));
    return true;
}

}  // namespace

Eigen::Matrix4d rigidInverse(const Eigen::Matrix4d& transform) {
    Eigen::Matrix4d inverse = Eigen::Matrix4d::Identity();
    const Eigen::Matrix3d rt = transform.topLeftCorner<3, 3>().transpose();
    inverse.topLeftCorner<3, 3>() = rt;
    inverse.topRightCorner<3, 1>() = -rt * transform.topRightCorner<3, 1>();
    return inverse;
}

std::string transformFileText(const Eigen::Matrix4d& imageToReference) {
    const Eigen::Matrix4d file = rasToLps() * rigidInverse(imageToReference) * rasToLps();
    std::vector<double> parameters;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            parameters.push_back(file(row, column));
        }
    }
    for (int row = 0; row < 3; ++row) {
        parameters.push_back(file(row, 3));
    }
    return "#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\nParameters: " +
           Text::formatNumbers(parameters) + "\nFixedParameters: 0 0 0\n";
}

std::optional<Eigen::Matrix4d> parseTransformFile(const std::string& text, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    if (Text::trimmed(line) != "#Insight Transform File V1.0") {
        error = "not an ITK transform file (it does not begin with \"#Insight Transform File V1.0\")";
        return std::nullopt;
    }
    int transforms = 0;
    std::vector<double> parameters;
    std::vector<double> fixed;
    std::string type;
    while (std::getline(lines, line)) {
        line = Text::trimmed(line);
        std::string values;
        if (valuesOf(line, "Transform", values)) {
            ++transforms;
            type = values;
        } else if (valuesOf(line, "Parameters", values) && !Text::parseNumbers(values, parameters)) {
            parameters.clear();
        } else if (valuesOf(line, "FixedParameters", values) && !Text::parseNumbers(values, fixed)) {
            fixed.clear();
        }
    }
    if (transforms != 1) {
        error = "holds " + std::to_string(transforms) + " transforms, not one";
        return std::nullopt;
    }
    if (type != "AffineTransform_double_3_3" && type != "AffineTransform_float_3_3") {
        error = "holds a " + type + ", not an AffineTransform_double_3_3";
        return std::nullopt;
    }
    if (parameters.size() != 12 || fixed.size() != 3) {
        error = "needs 12 numbers in Parameters and 3 in FixedParameters";
        return std::nullopt;
    }
    Eigen::Matrix4d file = Eigen::Matrix4d::Identity();
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            file(row, column) = parameters[static_cast<std::size_t>(row * 3 + column)];
        }
    }
    const Eigen::Vector3d centre(fixed[0], fixed[1], fixed[2]);
    const Eigen::Vector3d translation(parameters[9], parameters[10], parameters[11]);
    // A (x - c) + t + c: the offset is t + c - A c.
    file.topRightCorner<3, 1>() = translation + centre - file.topLeftCorner<3, 3>() * centre;
    const Eigen::Matrix3d rotation = file.topLeftCorner<3, 3>();
    if (!file.allFinite() || !(rotation.transpose() * rotation).isIdentity(kRotationTolerance) ||
        rotation.determinant() < 0.0) {
        error = "its matrix is not a rotation (scaled, sheared or mirrored): poses cannot be placed with it";
        return std::nullopt;
    }
    return Eigen::Matrix4d(rasToLps() * rigidInverse(file) * rasToLps());
}

std::optional<Eigen::Matrix4d> readTransformFile(const std::string& path, std::string& error) {
    const BoundedFile::Result file = BoundedFile::read(path, kMaxFileBytes);
    if (file.outcome != BoundedFile::Outcome::Read) {
        error = BoundedFile::message(file, path, kMaxFileBytes);
        return std::nullopt;
    }
    auto transform = parseTransformFile(file.text, error);
    if (!transform) {
        error = path + ": " + error;
    }
    return transform;
}

std::string transformFilePathProblem(const std::string& path) {
    // The file is written beside and renamed into place: whatever stands at either name is replaced
    // whole, so only a regular file (or nothing) may stand there; a FIFO would also hold the write.
    for (const std::string& name : {path, path + ".tmp"}) {
        std::error_code ignored;
        const auto status = std::filesystem::symlink_status(name, ignored);
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            return "cannot write " + path + ": " + name +
                   (std::filesystem::is_directory(status) ? " is a folder" : " is not a regular file");
        }
    }
    return std::string();
}

bool writeTransformFile(const std::string& path, const Eigen::Matrix4d& imageToReference,
                        std::string& error) {
    if (error = transformFilePathProblem(path); !error.empty()) {
        return false;
    }
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << transformFileText(imageToReference);
        out.flush();
        if (!out) {
            error = "cannot write " + temporary;
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + " with " + temporary;
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace Halvoren::Registration
