// The pictures in docs/ show what the current build draws: scripts/pictures makes them again into a scratch
// folder, and each must have the size and the coarse layout of the one in docs/. Not the same bytes: the
// simulated camera's noise and the figures' digits differ from run to run.
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QProcess>

#include <algorithm>

#include <string>
#include <vector>

namespace {

constexpr int kCell = 16;  // pixels a side of the layout's cells

/// Per cell of the picture, whether anything dark is drawn in it: text, lines, the camera views.
std::vector<bool> inkMap(const QImage& picture) {
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    std::vector<bool> cells;
    for (int top = 0; top < grey.height(); top += kCell) {
        for (int left = 0; left < grey.width(); left += kCell) {
            bool ink = false;
            for (int y = top; y < std::min(top + kCell, grey.height()) && !ink; ++y) {
                const uchar* row = grey.constScanLine(y);
                for (int x = left; x < std::min(left + kCell, grey.width()) && !ink; ++x) {
                    ink = row[x] < 128;
                }
            }
            cells.push_back(ink);
        }
    }
    return cells;
}

}  // namespace

TEST(DocsPictures, TheScriptDrawsEachPictureOfTheDocsWithItsSizeAndLayout) {
    TestSupport::TempFiles files;
    const std::string folder = files.path("pictures");
    QProcess script;
    script.start(QStringLiteral("bash"), {QStringLiteral(HALVOREN_SOURCE_DIR "/scripts/pictures"),
                                          QStringLiteral(HALVOREN_APP_PATH), QString::fromStdString(folder)});
    ASSERT_TRUE(script.waitForFinished(300000));
    ASSERT_EQ(script.exitCode(), 0) << script.readAllStandardError().toStdString();
    for (const char* name : {"gui.png", "assessment-plot.png"}) {
        const QImage documented(QString::fromStdString(std::string(HALVOREN_SOURCE_DIR "/docs/") + name));
        const QImage drawn(QString::fromStdString(folder + "/" + name));
        ASSERT_FALSE(documented.isNull() || drawn.isNull()) << name;
        ASSERT_EQ(documented.size(), drawn.size()) << name << ": run scripts/pictures";
        const std::vector<bool> a = inkMap(documented);
        const std::vector<bool> b = inkMap(drawn);
        std::size_t differing = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            differing += a[i] != b[i] ? 1 : 0;
        }
        // A line of text more or less, a panel moved: far more than the figures' digits change.
        EXPECT_LT(differing, a.size() / 50)
            << name << ": " << differing << " of " << a.size() << " cells differ; run scripts/pictures";
    }
}
