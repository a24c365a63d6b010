#include "registration/LandmarkFile.h"

#include <gtest/gtest.h>

using namespace Halvoren::Registration;

TEST(LandmarkFile, ReadsMarkupsInLpsOrRasAndCsvInRas) {
    const std::string markups = R"({"@schema": "https://example/markups-schema-v1.0.3.json#",
        "markups": [{"type": "Fiducial", "coordinateSystem": "LPS", "coordinateUnits": "mm",
          "controlPoints": [
            {"id": "1", "label": "F-1", "position": [10.5, -20.0, 30.0], "orientation": [1,0,0,0,1,0,0,0,1],
             "selected": true, "locked": false, "visibility": true, "positionStatus": "defined"},
            {"id": "2", "label": "F-2", "position": [0, 0, -5]}]}]})";
    std::string error;
    auto read = parseLandmarks(markups, error);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[0].label, "F-1");
    EXPECT_EQ((*read)[0].position, Eigen::Vector3d(-10.5, 20.0, 30.0));  // LPS to RAS

    std::string ras = markups;
    ras.replace(ras.find("\"LPS\""), 5, "\"RAS\"");
    read = parseLandmarks(ras, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ((*read)[0].position, Eigen::Vector3d(10.5, -20.0, 30.0));

    read = parseLandmarks("label,x,y,z\n# the nose\nnasion, 1.5, -2, 3\n\n\"left ear\",4,5,6\n", error);
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[1].label, "left ear");
    EXPECT_EQ((*read)[0].position, Eigen::Vector3d(1.5, -2, 3));
}

TEST(LandmarkFile, RefusesWithAReasonThatNamesTheFault) {
    const auto refused = [](const std::string& text) {
        std::string error;
        EXPECT_FALSE(parseLandmarks(text, error)) << text;
        return error;
    };
    EXPECT_EQ(refused("a,1,2,3\nb,1,2\n"), "line 2: expected label,x,y,z (mm, RAS)");
    EXPECT_EQ(refused("a,1,2,3\na,4,5,6\n"), "line 2: the label a is given twice");
    EXPECT_EQ(refused("a,1,2,nan\n"), "line 1: expected label,x,y,z (mm, RAS)");
    EXPECT_EQ(refused("label,x,y,z\n"), "no landmarks in it");
    EXPECT_EQ(refused("{\"markups\": [{\"controlPoints\": []}]}"),
              "its coordinateSystem is neither LPS nor RAS");
    EXPECT_EQ(refused("{\"markups\": [{\"coordinateSystem\": \"RAS\", \"coordinateUnits\": \"um\"}]}"),
              "its coordinateUnits are not mm");
    EXPECT_EQ(refused("{\"markups\": [{\"coordinateSystem\": \"RAS\", \"controlPoints\": [{\"label\": \"a\", "
                      "\"position\": [1, 2]}]}]}"),
              "control point 1: needs a label and a position of 3 numbers");
    EXPECT_EQ(refused("{\"markups\": "), "not valid JSON");
    EXPECT_EQ(refused("{\"other\": 1}"), "no markups in it (not a 3D Slicer markups file)");
}
