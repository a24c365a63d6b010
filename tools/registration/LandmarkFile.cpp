#include "registration/LandmarkFile.h"

#include "text/BoundedFile.h"
#include "text/Text.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <set>
#include <sstream>

namespace Halvoren::Registration {

namespace {

constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

using Json = nlohmann::json;

/// One more landmark, unless its label is taken or the set is full; the reason otherwise.
std::string add(std::vector<Landmark>& landmarks, std::set<std::string>& labels, Landmark landmark) {
    if (landmarks.size() >= kMaxLandmarks) {
        return "more than " + std::to_string(kMaxLandmarks) + " landmarks";
    }
    if (!landmark.position.allFinite()) {
        return "landmark " + landmark.label + ": its position is not finite";
    }
    if (!labels.insert(landmark.label).second) {
        return "the label " + landmark.label + " is given twice";
    }
    landmarks.push_back(std::move(landmark));
    return {};
}

std::string unquoted(std::string_view text) {
    const std::string trimmed = Text::trimmed(text);
    if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"') {
        return trimmed.substr(1, trimmed.size() - 2);
    }
    return trimmed;
}

std::optional<std::vector<Landmark>> parseCsv(const std::string& text, std::string& error) {
    std::vector<Landmark> landmarks;
    std::set<std::string> labels;
    std::istringstream lines(text);
    std::string line;
    bool first = true;  // only the first line may be a header
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string trimmed = Text::trimmed(line);
        if (trimmed.empty() || trimmed.front() == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream cells(trimmed);
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(unquoted(cell));
        }
        Landmark landmark;
        const bool numbers = fields.size() == 4 && Text::parseFinite(fields[1], landmark.position.x()) &&
                             Text::parseFinite(fields[2], landmark.position.y()) &&
                             Text::parseFinite(fields[3], landmark.position.z());
        double ignored = 0.0;
        const bool header = fields.size() == 4 && !Text::parseNumber(fields[1], ignored) &&
                            !Text::parseNumber(fields[2], ignored) && !Text::parseNumber(fields[3], ignored);
        if (header && first) {
            first = false;
            continue;
        }
        first = false;
        std::string why = numbers && !fields[0].empty() ? "" : "expected label,x,y,z (mm, RAS)";
        if (why.empty()) {
            landmark.label = fields[0];
            why = add(landmarks, labels, std::move(landmark));
        }
        if (!why.empty()) {
            error = "line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        }
    }
    return landmarks;
}

/// The first markup of a markups file, checked for its unit and coordinate system; its sign for x and y.
const Json* firstMarkup(const Json& root, double& sign, std::string& error) {
    const auto markups = root.find("markups");
    if (markups == root.end() || !markups->is_array() || markups->empty() || !(*markups)[0].is_object()) {
        error = "no markups in it (not a 3D Slicer markups file)";
        return nullptr;
    }
    const Json& markup = (*markups)[0];
    const auto units = markup.find("coordinateUnits");
    if (units != markup.end() && *units != "mm") {
        error = "its coordinateUnits are not mm";
        return nullptr;
    }
    const auto system = markup.find("coordinateSystem");
    if (system == markup.end() || (*system != "LPS" && *system != "RAS")) {
        error = "its coordinateSystem is neither LPS nor RAS";
        return nullptr;
    }
    sign = *system == "LPS" ? -1.0 : 1.0;
    return &markup;
}

std::optional<std::vector<Landmark>> parseMarkups(const std::string& text, std::string& error) {
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        error = "not valid JSON";
        return std::nullopt;
    }
    double sign = 1.0;
    const Json* markup = firstMarkup(root, sign, error);
    if (markup == nullptr) {
        return std::nullopt;
    }
    const auto points = markup->find("controlPoints");
    if (points == markup->end() || !points->is_array()) {
        error = "its first markup has no controlPoints";
        return std::nullopt;
    }
    std::vector<Landmark> landmarks;
    std::set<std::string> labels;
    for (std::size_t i = 0; i < points->size(); ++i) {
        const Json& point = (*points)[i];
        const Json label = point.is_object() ? point.value("label", Json()) : Json();
        const Json position = point.is_object() ? point.value("position", Json()) : Json();
        if (!label.is_string() || label.get<std::string>().empty() || !position.is_array() ||
            position.size() != 3 || !position[0].is_number() || !position[1].is_number() ||
            !position[2].is_number()) {
            error = "control point " + std::to_string(i + 1) + ": needs a label and a position of 3 numbers";
            return std::nullopt;
        }
        Landmark landmark{label.get<std::string>(),
                          Eigen::Vector3d(sign * position[0].get<double>(), sign * position[1].get<double>(),
                                          position[2].get<double>())};
        if (const std::string why = add(landmarks, labels, std::move(landmark)); !why.empty()) {
            error = why;
            return std::nullopt;
        }
    }
    return landmarks;
}

}  // namespace

std::optional<std::vector<Landmark>> parseLandmarks(const std::string& text, std::string& error) {
    const std::string_view content = Text::trim(text);
    auto landmarks =
        !content.empty() && content.front() == '{' ? parseMarkups(text, error) : parseCsv(text, error);
    if (landmarks && landmarks->empty()) {
        error = "no landmarks in it";
        return std::nullopt;
    }
    return landmarks;
}

std::optional<std::vector<Landmark>> readLandmarks(const std::string& path, std::string& error) {
    const BoundedFile::Result file = BoundedFile::read(path, kMaxFileBytes);
    if (file.outcome != BoundedFile::Outcome::Read) {
        error = BoundedFile::message(file, path, kMaxFileBytes);
        return std::nullopt;
    }
    auto landmarks = parseLandmarks(file.text, error);
    if (!landmarks) {
        error = path + ": " + error;
    }
    return landmarks;
}

}  // namespace Halvoren::Registration
