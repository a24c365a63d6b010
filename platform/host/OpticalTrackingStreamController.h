#pragma once

#include "OutputQueue.h"
#include "Signal.h"
#include "Stream.h"
#include "StreamControllerBase.h"
#include "TrackingInstrument.h"

#include <Eigen/Core>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;
class QFormLayout;

namespace Halvoren {

class OpticalTrackingInterface;
class StreamIoAlgorithm;
class TrackingStreamData;

/// The panel of an optical tracking stream: its name and state with open, start, stop and close buttons,
/// its parameters as editable fields, and its instruments with quality and position, with buttons to add
/// a marker from a geometry file and to remove the selected one. Positions are in camera coordinates
/// unless the application gives the frame it navigates in (setNavigation).
///
/// The stream's signals may arrive on any thread. Off the GUI thread they only leave a note in a mailbox
/// (under its mutex); a timer on the GUI thread picks the notes up at most 30 times a second, so no other
/// thread ever touches a widget. The stream must be destroyed on the GUI thread; the panel notices and
/// forgets it.
class OpticalTrackingStreamController : public StreamControllerBase, public SignalReceiver {
    Q_OBJECT

public:
    explicit OpticalTrackingStreamController(StreamIoAlgorithm* algorithm, QWidget* parent = nullptr);
    /// Disconnects from the stream first: a stream that lives on never calls into a dead panel.
    ~OpticalTrackingStreamController() override;

    /// GUI thread. Builds the parameter fields and follows the stream from now on. Runs once.
    void init() override;

    /// GUI thread. Adds the marker of a geometry file through the stream's marker interface, named after
    /// the file. Returns the instrument ID, or an empty text when the stream refused it.
    std::string addMarkerFromFile(const QString& path);
    /// GUI thread. Removes the instrument selected in the list; false when none is selected or the stream
    /// refused.
    bool removeSelectedMarker();
    /// GUI thread. The stream's health as the application counts it (frame rate, missed frames,
    /// latency), in red when `alert` (the poses are stale).
    void setHealthLine(const QString& text, bool alert);
    /// GUI thread. Shows what the stream reported since the last refresh; the timer calls it.
    void refresh();

    /// One instrument's row in the frame the application navigates in.
    struct NavigationRow {
        bool valid = false;  // the position is known in the frame
        Eigen::Vector3d position = Eigen::Vector3d::Zero();
        bool hasTip = false;  // a calibrated tool: its tip is shown too
        Eigen::Vector3d tip = Eigen::Vector3d::Zero();
        QString reason;  // why the position is not known ("reference not seen")
    };
    /// GUI thread. Fills `rows` with one row per instrument, in their order; `rows` is kept between calls.
    using NavigationHook =
        std::function<void(const std::vector<TrackingInstrument>&, std::vector<NavigationRow>&)>;
    /// GUI thread. Shows the instruments' positions as `hook` gives them, under `frameLabel`; without a
    /// hook, the camera's positions under "Frame: Tracker (camera)". The hook runs on the GUI thread
    /// only, so it may keep state without a lock.
    void setNavigation(const QString& frameLabel, NavigationHook hook);
    /// GUI thread. Shows these instruments (a frame's, or the stream's own) in the table.
    void showInstruments(const std::vector<TrackingInstrument>& instruments);

    /// Which buttons a state allows: the operations that act in it.
    struct Actions {
        bool open = false;
        bool start = false;
        bool stop = false;
        bool close = false;
    };
    static Actions allowedActions(Stream::State state);

protected:
    /// GUI thread. Asks the user for a geometry file; empty when cancelled.
    virtual QString chooseMarkerFile();

private:
    /// What the stream's signals leave for the GUI thread.
    struct Mailbox {
        std::mutex mutex;  // guards the members below; nothing else is taken while it is held
        bool stateChanged = false;
        bool parametersChanged = false;
        bool instrumentsChanged = false;  // the set of instruments: read the registry
    };
    struct Field {
        enum Kind { Bool, Choice, Integer, Real, Text };
        std::string name;
        Kind kind;
        QWidget* widget;
    };

    // Constructor steps: the widgets of the stream's box and of the instruments' box, and their signals.
    QWidget* makeStreamBox();
    QWidget* makeInstrumentBox();
    void connectButtons();
    void buildParameterFields(Stream& stream);
    QWidget* makeField(const ParameterBase& parameter, Field::Kind& kind);
    /// Writes one value through the stream's configuration, so the parameter signals the change.
    void commitField(const Properties& value);
    /// The stream, or null once it is gone.
    Stream* liveStream();
    OpticalTrackingInterface* markerInterface();
    void showState(Stream& stream);
    void showFieldValues(Stream& stream);
    /// The instruments' rows in the navigation frame; the camera's positions without a hook.
    const std::vector<NavigationRow>& navigationRows(const std::vector<TrackingInstrument>& instruments);
    void updateMarkerButtons();
    void chooseAndAddMarker();

    Mailbox m_mailbox;
    // The newest frame not shown yet: the worker's hand-over, only the latest kept.
    Output::OutputQueue<std::shared_ptr<const TrackingStreamData>> m_frames{
        {Output::DropPolicy::LatestOnly, 1}};
    std::shared_ptr<SignalConnection> m_stateConnection;  // disconnected by the stream when it dies
    bool m_initialized = false;
    QTimer m_refreshTimer;

    QLabel* m_name;
    QLabel* m_state;
    QLabel* m_health;
    QPushButton* m_open;
    QPushButton* m_start;
    QPushButton* m_stop;
    QPushButton* m_close;
    QFormLayout* m_parameterForm;
    std::vector<Field> m_fields;
    QLabel* m_frameLabel;
    QTableWidget* m_instruments;
    NavigationHook m_navigation;
    std::vector<NavigationRow> m_rows;  // the hook's output, reused
    QPushButton* m_addMarker;
    QPushButton* m_removeMarker;
    QLabel* m_message;
};

}  // namespace Halvoren
