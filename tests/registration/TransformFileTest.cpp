#include "registration/TransformFile.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <sstream>
#include <vector>

using namespace Halvoren::Registration;

namespace {

std::vector<double> parametersOf(const std::string& text) {
    const auto at = text.find("Parameters: ");
    std::istringstream numbers(text.substr(at + 12, text.find('\n', at) - at - 12));
    std::vector<double> values;
    for (double v; numbers >> v;) {
        values.push_back(v);
    }
    return values;
}

std::string file(const std::string& type, const std::string& parameters, const std::string& fixed) {
    return "#Insight Transform File V1.0\n#Transform 0\nTransform: " + type + "\nParameters: " + parameters +
           "\nFixedParameters: " + fixed + "\n";
}

}  // namespace

TEST(TransformFile, HoldsTheInverseInLpsAndReadsBackExactly) {
    // ImageToReference moving image points by (10, 20, 30) in RAS: the resampling transform moves by
    // (-10, -20, -30), which in LPS is (10, 20, -30).
    Eigen::Matrix4d shift = Eigen::Matrix4d::Identity();
    shift.topRightCorner<3, 1>() = Eigen::Vector3d(10, 20, 30);
    const std::string text = transformFileText(shift);
    EXPECT_EQ(
        text.rfind("#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\n", 0),
        0u);
    EXPECT_EQ(parametersOf(text), (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1, 10, 20, -30}));

    // A rotation about the superior axis by +90 degrees (R to A) in RAS is the same rotation in LPS; the
    // file holds its inverse.
    Eigen::Matrix4d turn = Eigen::Matrix4d::Identity();
    turn.topLeftCorner<3, 3>() = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()).toRotationMatrix();
    const std::vector<double> turned = parametersOf(transformFileText(turn));
    EXPECT_NEAR(turned[1], 1.0, 1e-15);  // a12 of R^T
    EXPECT_NEAR(turned[3], -1.0, 1e-15);

    Eigen::Matrix4d any = Eigen::Matrix4d::Identity();
    any.topLeftCorner<3, 3>() =
        Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, -2, 0.5).normalized()).toRotationMatrix();
    any.topRightCorner<3, 1>() = Eigen::Vector3d(-31.25, 412.5, 1003.0625);
    std::string error;
    const auto back = parseTransformFile(transformFileText(any), error);
    ASSERT_TRUE(back) << error;
    EXPECT_TRUE(back->isApprox(any, 1e-14));

    // A centre other than 0 0 0 moves the offset: A (x - c) + t + c.
    const auto centred =
        parseTransformFile(file("AffineTransform_double_3_3", "1 0 0 0 1 0 0 0 1 0 0 0", "5 6 7"), error);
    ASSERT_TRUE(centred) << error;
    EXPECT_TRUE(centred->isIdentity(1e-15));
}

TEST(TransformFile, RefusesWhatCannotPlacePoses) {
    std::string error;
    EXPECT_FALSE(parseTransformFile("Transform: AffineTransform_double_3_3\n", error));
    EXPECT_NE(error.find("not an ITK transform file"), std::string::npos);
    EXPECT_FALSE(
        parseTransformFile(file("AffineTransform_double_3_3", "2 0 0 0 1 0 0 0 1 0 0 0", "0 0 0"), error));
    EXPECT_NE(error.find("not a rotation"), std::string::npos);
    EXPECT_FALSE(
        parseTransformFile(file("AffineTransform_double_3_3", "-1 0 0 0 1 0 0 0 1 0 0 0", "0 0 0"), error));
    EXPECT_FALSE(
        parseTransformFile(file("BSplineTransform_double_3_3", "1 0 0 0 1 0 0 0 1 0 0 0", "0 0 0"), error));
    EXPECT_NE(error.find("BSplineTransform_double_3_3"), std::string::npos);
    EXPECT_FALSE(
        parseTransformFile(file("AffineTransform_double_3_3", "1 0 0 0 1 0 0 0 1 0 0", "0 0 0"), error));
    const std::string two = file("AffineTransform_double_3_3", "1 0 0 0 1 0 0 0 1 0 0 0", "0 0 0") +
                            "#Transform 1\nTransform: AffineTransform_double_3_3\n";
    EXPECT_FALSE(parseTransformFile(two, error));
    EXPECT_NE(error.find("2 transforms"), std::string::npos);
}
