// The controller panel of an optical tracking stream, driven through its widgets against a test stream.
#include "host/OpticalTrackingStreamController.h"

#include "host/OpticalTracking.h"
#include "host/Parameter.h"
#include "host/StreamIoAlgorithm.h"
#include "host/TrackingStream.h"
#include "host/Utilities.h"

#include "geometry/ThreadSafeInstruments.h"

#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using namespace Halvoren;
using namespace std::chrono_literals;
using TestSupport::waitFor;

namespace {

/// A tracking stream with one parameter of each kind the panel knows and a marker interface that takes
/// any file. While running, every pass moves the instruments one millimetre along x and delivers a frame.
/// Like a camera, "images" is read-only once the stream is open.
class PanelTestStream : public TrackingStream, public OpticalTrackingInterface {
public:
    PanelTestStream() : TrackingStream("Panel test stream") {
        auto registry = std::make_unique<ThreadSafeInstruments<int>>();
        m_registry = registry.get();
        setInstrumentsRegistry(std::move(registry));
        m_mode.setAttribute("values", "Off,Some,All");
        m_time.setAttribute("min", "0");
        m_time.setAttribute("max", "200");
        m_time.setAttribute("specialValue", "auto");
    }
    ~PanelTestStream() override { close(); }

    void setState(State state) { changeState(state); }

    void configuration(Properties* p) const override {
        TrackingStream::configuration(p);
        if (p != nullptr && currentState() != Closed) {
            p->setParamAttributes("images", {{"readOnly", "true"}});
        }
    }

    Flags<Capabilities> capabilities() const override {
        return Flags<Capabilities>(Capabilities::AddMarkerFromFile);
    }
    std::string addTrackingMarker(const std::string& name, const std::string& path) override {
        if (path.find("refused") != std::string::npos) {
            return {};
        }
        const std::string id = "marker-" + std::to_string(++m_markers);
        emitSignals(m_registry->create(TrackerID(id, path, name), true));
        return id;
    }
    std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker>) override { return {}; }
    std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string&) const override {
        return nullptr;
    }
    bool removeTrackingMarker(const std::string& id) override {
        const InstrumentModifications flags = m_registry->remove(id);
        emitSignals(flags);
        return flags.test(InstrumentModification::InstrumentsChanged);
    }

    Parameter<bool> m_images{"images", false, this};
    Parameter<int> m_mode{"mode", 1, this};
    Parameter<int> m_time{"time", 20, this};
    Parameter<double> m_distance{"distance", 2.5, this};

protected:
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }

    // Worker thread.
    std::optional<WorkContinuation> doWork() override {
        const double x = ++m_passes;
        m_registry->modifyAll([x](const std::string&, TrackingInstrument& instrument) {
            instrument.pose(0, 3) = x;
            instrument.quality = 0.9;
        });
        signalStreamData.emitSignal(createTrackingStreamData());
        return WorkContinuation{std::chrono::system_clock::now() + 2ms};
    }

private:
    ThreadSafeInstruments<int>* m_registry;
    int m_markers = 0;
    std::atomic<int> m_passes{0};
};

class TestAlgorithm : public StreamIoAlgorithm {
public:
    explicit TestAlgorithm(Stream* stream) : m_stream(stream) {}
    Stream* stream() const override { return m_stream; }
    void run() override {}

private:
    Stream* m_stream;
};

/// A panel whose file dialog answers with a preset path.
class TestController : public OpticalTrackingStreamController {
public:
    using OpticalTrackingStreamController::OpticalTrackingStreamController;
    QString chosenFile;

protected:
    QString chooseMarkerFile() override { return chosenFile; }
};

template <typename W>
W* child(const QWidget& parent, const char* name) {
    W* widget = parent.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

QString cell(const QWidget& panel, int row, int column) {
    const QTableWidgetItem* item = child<QTableWidget>(panel, "instruments")->item(row, column);
    return item != nullptr ? item->text() : QString();
}

}  // namespace

TEST(OpticalTrackingStreamController, ButtonsAllowExactlyWhatEachStateAllows) {
    TestSupport::LogCapture log;
    struct Row {
        Stream::State state;
        bool open, start, stop, close;
    };
    using S = Stream;
    const Row rows[] = {
        {S::Closed, true, false, false, false},    {S::Opening, false, false, false, false},
        {S::Open, false, true, false, true},       {S::Starting, false, false, false, false},
        {S::Running, false, false, true, true},    {S::Pausing, false, false, false, false},
        {S::Paused, false, false, true, true},     {S::Resuming, false, false, false, false},
        {S::Stopping, false, false, false, false}, {S::Closing, false, false, false, false},
    };
    PanelTestStream stream;
    TestAlgorithm algorithm(&stream);
    OpticalTrackingStreamController panel(&algorithm);
    panel.init();
    EXPECT_EQ(child<QLabel>(panel, "streamName")->text(), "Panel test stream");
    for (const Row& row : rows) {
        SCOPED_TRACE(Stream::stateName(row.state));
        stream.setState(row.state);
        EXPECT_EQ(child<QLabel>(panel, "streamState")->text(), Stream::stateName(row.state));
        EXPECT_EQ(child<QPushButton>(panel, "open")->isEnabled(), row.open);
        EXPECT_EQ(child<QPushButton>(panel, "start")->isEnabled(), row.start);
        EXPECT_EQ(child<QPushButton>(panel, "stop")->isEnabled(), row.stop);
        EXPECT_EQ(child<QPushButton>(panel, "close")->isEnabled(), row.close);
    }

    // A change made on another thread reaches the panel through the GUI thread.
    std::thread([&] { stream.setState(Stream::Closed); }).join();
    EXPECT_TRUE(waitFor([&] { return child<QPushButton>(panel, "open")->isEnabled(); }));
    EXPECT_EQ(child<QLabel>(panel, "streamState")->text(), "Closed");
}

TEST(OpticalTrackingStreamController, ButtonsDriveTheStreamAndInstrumentsFollowItsFrames) {
    TestSupport::LogCapture log;
    PanelTestStream stream;
    TestAlgorithm algorithm(&stream);
    TestController panel(&algorithm);
    panel.init();
    ASSERT_FALSE(panel.addMarkerFromFile("/data/pointer.ini").empty());
    EXPECT_EQ(cell(panel, 0, 0), "marker-1");
    EXPECT_EQ(cell(panel, 0, 1), "pointer");
    EXPECT_EQ(cell(panel, 0, 2), "not seen");

    child<QPushButton>(panel, "open")->click();
    EXPECT_EQ(stream.currentState(), Stream::Open);
    child<QPushButton>(panel, "start")->click();
    EXPECT_EQ(stream.currentState(), Stream::Running);
    EXPECT_TRUE(child<QPushButton>(panel, "stop")->isEnabled());

    // Frames come from the worker; the table shows a moving pose with its quality.
    auto x = [&] { return cell(panel, 0, 3).section(',', 0, 0).toDouble(); };
    ASSERT_TRUE(waitFor([&] { return x() >= 1.0; }));
    EXPECT_EQ(cell(panel, 0, 2), "0.900");
    EXPECT_TRUE(cell(panel, 0, 3).endsWith(", 0.0, 0.0")) << cell(panel, 0, 3).toStdString();
    const double first = x();
    ASSERT_TRUE(waitFor([&] { return x() > first; }));

    child<QPushButton>(panel, "stop")->click();
    EXPECT_EQ(stream.currentState(), Stream::Open);
    child<QPushButton>(panel, "close")->click();
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_TRUE(child<QPushButton>(panel, "open")->isEnabled());
}

TEST(OpticalTrackingStreamController, TableShowsTheApplicationsRowsComputedOnTheGuiThread) {
    TestSupport::LogCapture log;
    PanelTestStream stream;
    TestAlgorithm algorithm(&stream);
    OpticalTrackingStreamController panel(&algorithm);
    panel.init();
    ASSERT_FALSE(panel.addMarkerFromFile("/m/pointer.ini").empty());
    ASSERT_FALSE(panel.addMarkerFromFile("/m/reference.ini").empty());
    auto* table = child<QTableWidget>(panel, "instruments");
    auto* frameLabel = child<QLabel>(panel, "instrumentFrame");
    EXPECT_EQ(frameLabel->text(), "Frame: Tracker (camera)");
    EXPECT_TRUE(table->isColumnHidden(4));

    // The application's rows: the pointer 100 mm off along x with a tip, the reference's frame unknown.
    std::atomic<bool> offGuiThread{false};
    using Row = OpticalTrackingStreamController::NavigationRow;
    panel.setNavigation("Frame: Reference (marker-2)", [&](const std::vector<TrackingInstrument>& instruments,
                                                           std::vector<Row>& rows) {
        offGuiThread = offGuiThread || !QtHelpers::isMainThread();
        rows.assign(1, Row());  // too few rows: the rest shows as unknown
        rows[0].valid = true;
        rows[0].position = instruments[0].pose.block<3, 1>(0, 3) + Eigen::Vector3d(100, 0, 0);
        rows[0].hasTip = true;
        rows[0].tip = Eigen::Vector3d(1, -120, 7.5);
    });
    EXPECT_EQ(frameLabel->text(), "Frame: Reference (marker-2)");
    ASSERT_TRUE(stream.open() && stream.start());
    auto x = [&] { return cell(panel, 0, 3).section(',', 0, 0).toDouble(); };
    ASSERT_TRUE(waitFor([&] { return x() >= 101.0; }));
    EXPECT_EQ(cell(panel, 0, 4), "1.0, -120.0, 7.5");
    EXPECT_FALSE(table->isColumnHidden(4));
    EXPECT_EQ(cell(panel, 1, 2), "0.900");
    EXPECT_EQ(cell(panel, 1, 3), "");
    EXPECT_EQ(cell(panel, 1, 4), "");
    ASSERT_TRUE(stream.close());
    EXPECT_FALSE(offGuiThread);

    // Without the hook, camera coordinates again.
    panel.setNavigation("ignored", nullptr);
    panel.refresh();
    EXPECT_EQ(frameLabel->text(), "Frame: Tracker (camera)");
    EXPECT_LT(x(), 100.0);
    EXPECT_TRUE(table->isColumnHidden(4));
}

TEST(OpticalTrackingStreamController, ParameterFieldsEditThroughTheParameterAndFollowIt) {
    TestSupport::LogCapture log;
    PanelTestStream stream;
    TestAlgorithm algorithm(&stream);
    OpticalTrackingStreamController panel(&algorithm);
    panel.init();
    auto* images = child<QCheckBox>(panel, "images");
    auto* mode = child<QComboBox>(panel, "mode");
    auto* time = child<QSpinBox>(panel, "time");
    auto* distance = child<QDoubleSpinBox>(panel, "distance");
    ASSERT_TRUE(images && mode && time && distance);

    // Fields are made from the parameters, with their choices, limits and current values.
    EXPECT_FALSE(images->isChecked());
    ASSERT_EQ(mode->count(), 3);
    EXPECT_EQ(mode->itemText(2), "All");
    EXPECT_EQ(mode->currentIndex(), 1);
    EXPECT_EQ(time->minimum(), 0);
    EXPECT_EQ(time->maximum(), 200);
    EXPECT_EQ(time->specialValueText(), "auto");
    EXPECT_EQ(time->value(), 20);
    EXPECT_DOUBLE_EQ(distance->value(), 2.5);

    // An edit goes through the parameter: its change signal fires.
    int changes = 0;
    auto connection = stream.m_mode.signalValueChanged.connect([&] { ++changes; });
    mode->setCurrentIndex(2);
    EXPECT_EQ(stream.m_mode.value(), 2);
    EXPECT_EQ(changes, 1);
    images->setChecked(true);
    time->setValue(80);
    distance->setValue(4.25);
    EXPECT_TRUE(stream.m_images.value());
    EXPECT_EQ(stream.m_time.value(), 80);
    EXPECT_DOUBLE_EQ(stream.m_distance.value(), 4.25);

    // Changes made elsewhere show up, also from another thread.
    stream.m_time = 0;
    EXPECT_EQ(time->text(), "auto");
    std::thread([&] { stream.m_distance = 7.5; }).join();
    EXPECT_TRUE(waitFor([&] { return distance->value() == 7.5; }));

    // A parameter the stream marks read-only cannot be edited while that holds.
    EXPECT_TRUE(images->isEnabled());
    ASSERT_TRUE(stream.open());
    EXPECT_FALSE(images->isEnabled());
    EXPECT_TRUE(time->isEnabled());
    ASSERT_TRUE(stream.close());
    EXPECT_TRUE(images->isEnabled());
}

TEST(OpticalTrackingStreamController, MarkersAreAddedFromAChosenFileAndRemovedBySelection) {
    TestSupport::LogCapture log;
    PanelTestStream stream;
    TestAlgorithm algorithm(&stream);
    TestController panel(&algorithm);
    panel.init();
    auto* add = child<QPushButton>(panel, "addMarker");
    auto* remove = child<QPushButton>(panel, "removeMarker");
    auto* table = child<QTableWidget>(panel, "instruments");
    EXPECT_TRUE(add->isEnabled());
    EXPECT_FALSE(remove->isEnabled());

    panel.chosenFile = "/markers/pointer.ini";
    add->click();
    panel.chosenFile = "/markers/tool.ini";
    add->click();
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(cell(panel, 1, 1), "tool");
    EXPECT_EQ(stream.instruments()[1].id.modelNumber, "/markers/tool.ini");

    // A cancelled dialog adds nothing; a refused file is said so.
    panel.chosenFile.clear();
    add->click();
    panel.chosenFile = "/markers/refused.ini";
    add->click();
    EXPECT_EQ(table->rowCount(), 2);
    EXPECT_TRUE(child<QLabel>(panel, "message")->text().contains("refused.ini"));

    table->selectRow(0);
    EXPECT_TRUE(remove->isEnabled());
    remove->click();
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(cell(panel, 0, 0), "marker-2");
    EXPECT_EQ(stream.instruments().size(), 1u);
}

TEST(OpticalTrackingStreamController, PanelAndStreamMayGoInEitherOrder) {
    TestSupport::LogCapture log;
    {
        // The panel goes while frames and state changes arrive; the stream streams on.
        PanelTestStream stream;
        TestAlgorithm algorithm(&stream);
        auto panel = std::make_unique<OpticalTrackingStreamController>(&algorithm);
        panel->init();
        ASSERT_FALSE(panel->addMarkerFromFile("/m/a.ini").empty());
        ASSERT_TRUE(stream.open());
        ASSERT_TRUE(stream.start());
        ASSERT_TRUE(waitFor([&] { return cell(*panel, 0, 2) == "0.900"; }));
        panel.reset();
        EXPECT_EQ(stream.signalStreamData.connectionCount(), 0u);
        EXPECT_EQ(stream.signalStateChanged.connectionCount(), 0u);
        const auto frames = stream.instruments()[0].pose(0, 3);
        ASSERT_TRUE(waitFor([&] { return stream.instruments()[0].pose(0, 3) > frames + 2; }));
        ASSERT_TRUE(stream.close());
    }
    {
        // The stream goes first: the panel forgets it and offers nothing more.
        auto stream = std::make_unique<PanelTestStream>();
        TestAlgorithm algorithm(stream.get());
        OpticalTrackingStreamController panel(&algorithm);
        panel.init();
        ASSERT_TRUE(stream->open());
        stream.reset();
        // Its last state change left Open enabled; the panel must not reach the stream through it.
        child<QPushButton>(panel, "open")->click();
        panel.refresh();
        EXPECT_EQ(panel.stream(), nullptr);
        EXPECT_FALSE(child<QPushButton>(panel, "open")->isEnabled());
        EXPECT_FALSE(child<QPushButton>(panel, "addMarker")->isEnabled());
        EXPECT_TRUE(panel.addMarkerFromFile("/m/a.ini").empty());
    }
}
