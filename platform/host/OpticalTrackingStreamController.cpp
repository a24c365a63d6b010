#include "OpticalTrackingStreamController.h"

#include "OpticalTracking.h"
#include "Parameter.h"
#include "TrackingStream.h"
#include "Utilities.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <limits>
#include <mutex>

namespace Halvoren {

namespace {

constexpr int kRefreshIntervalMs = 34;  // at most 30 refreshes a second

enum Column { IdColumn, NameColumn, QualityColumn, PositionColumn, TipColumn, ColumnCount };

QString positionText(const Eigen::Vector3d& p) {
    return QStringLiteral("%1, %2, %3").arg(p.x(), 0, 'f', 1).arg(p.y(), 0, 'f', 1).arg(p.z(), 0, 'f', 1);
}

QString cameraFrameLabel() {
    return QObject::tr("Frame: Tracker (camera)");
}

/// The parameter's own attributes, overridden by those the stream wrote with its value (the stream may
/// mark a parameter read-only depending on its state).
std::string attributeOf(const ParameterBase& parameter, const Properties::Param* written,
                        const std::string& key) {
    if (written != nullptr) {
        for (const auto& [k, v] : written->attributes) {
            if (k == key) {
                return v;
            }
        }
    }
    const auto it = parameter.attributes().find(key);
    return it != parameter.attributes().end() ? it->second : std::string();
}

template <typename T>
bool parseNumber(const std::string& text, T& value) {
    if (text.empty()) {
        return false;
    }
    Properties p;
    p.setParam("n", text);
    return p.param("n", value);
}

QPushButton* makeButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

}  // namespace

OpticalTrackingStreamController::Actions OpticalTrackingStreamController::allowedActions(
    Stream::State state) {
    Actions actions;
    actions.open = state == Stream::Closed;
    actions.start = state == Stream::Open;
    actions.stop = state == Stream::Running || state == Stream::Paused;
    actions.close = state == Stream::Open || state == Stream::Running || state == Stream::Paused;
    return actions;
}

OpticalTrackingStreamController::OpticalTrackingStreamController(StreamIoAlgorithm* algorithm,
                                                                 QWidget* parent)
    : StreamControllerBase(algorithm, parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeStreamBox());
    auto* parameterBox = new QGroupBox(tr("Parameters"), this);
    m_parameterForm = new QFormLayout(parameterBox);
    layout->addWidget(parameterBox);
    layout->addWidget(makeInstrumentBox(), 1);
    connectButtons();
    m_refreshTimer.setInterval(kRefreshIntervalMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] { refresh(); });
}

void OpticalTrackingStreamController::setHealthLine(const QString& text, bool alert) {
    m_health->setText(text);
    m_health->setStyleSheet(alert ? QStringLiteral("color: red; font-weight: bold;") : QString());
}

QWidget* OpticalTrackingStreamController::makeStreamBox() {
    auto* streamBox = new QGroupBox(tr("Stream"), this);
    auto* streamLayout = new QVBoxLayout(streamBox);
    m_name = new QLabel(streamBox);
    m_name->setObjectName("streamName");
    m_state = new QLabel(streamBox);
    m_state->setObjectName("streamState");
    m_health = new QLabel(tr("no frames yet"), streamBox);
    m_health->setObjectName("streamHealth");
    m_health->setWordWrap(true);
    auto* info = new QFormLayout();
    info->addRow(tr("Name"), m_name);
    info->addRow(tr("State"), m_state);
    info->addRow(tr("Health"), m_health);
    streamLayout->addLayout(info);
    auto* buttons = new QHBoxLayout();
    m_open = makeButton(tr("Open"), "open", streamBox);
    m_start = makeButton(tr("Start"), "start", streamBox);
    m_stop = makeButton(tr("Stop"), "stop", streamBox);
    m_close = makeButton(tr("Close"), "close", streamBox);
    for (QPushButton* button : {m_open, m_start, m_stop, m_close}) {
        button->setEnabled(false);
        buttons->addWidget(button);
    }
    streamLayout->addLayout(buttons);
    return streamBox;
}

QWidget* OpticalTrackingStreamController::makeInstrumentBox() {
    auto* instrumentBox = new QGroupBox(tr("Instruments"), this);
    auto* instrumentLayout = new QVBoxLayout(instrumentBox);
    m_frameLabel = new QLabel(cameraFrameLabel(), instrumentBox);
    m_frameLabel->setObjectName("instrumentFrame");
    instrumentLayout->addWidget(m_frameLabel);
    m_instruments = new QTableWidget(0, ColumnCount, instrumentBox);
    m_instruments->setObjectName("instruments");
    m_instruments->setHorizontalHeaderLabels(
        {tr("ID"), tr("Name"), tr("Quality"), tr("Position (mm)"), tr("Tip (mm)")});
    m_instruments->setColumnHidden(TipColumn, true);  // until a calibrated tool shows up
    m_instruments->verticalHeader()->setVisible(false);
    m_instruments->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_instruments->horizontalHeader()->setStretchLastSection(true);
    m_instruments->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_instruments->setSelectionMode(QAbstractItemView::SingleSelection);
    m_instruments->setEditTriggers(QAbstractItemView::NoEditTriggers);
    instrumentLayout->addWidget(m_instruments);
    auto* markerButtons = new QHBoxLayout();
    m_addMarker = makeButton(tr("Add marker..."), "addMarker", instrumentBox);
    m_removeMarker = makeButton(tr("Remove marker"), "removeMarker", instrumentBox);
    m_addMarker->setEnabled(false);
    m_removeMarker->setEnabled(false);
    markerButtons->addWidget(m_addMarker);
    markerButtons->addWidget(m_removeMarker);
    instrumentLayout->addLayout(markerButtons);
    m_message = new QLabel(instrumentBox);
    m_message->setObjectName("message");
    m_message->setWordWrap(true);
    instrumentLayout->addWidget(m_message);
    return instrumentBox;
}

void OpticalTrackingStreamController::connectButtons() {
    // Each stream button runs its operation on the stream, while there is one.
    const auto drive = [this](QPushButton* button, bool (Stream::*operation)()) {
        connect(button, &QPushButton::clicked, this, [this, operation] {
            if (Stream* s = liveStream()) {
                (s->*operation)();
            }
        });
    };
    drive(m_open, &Stream::open);
    drive(m_start, &Stream::start);
    drive(m_stop, &Stream::stop);
    drive(m_close, &Stream::close);
    connect(m_addMarker, &QPushButton::clicked, this, [this] { chooseAndAddMarker(); });
    connect(m_removeMarker, &QPushButton::clicked, this, [this] { removeSelectedMarker(); });
    connect(m_instruments, &QTableWidget::itemSelectionChanged, this, [this] { updateMarkerButtons(); });
}

OpticalTrackingStreamController::~OpticalTrackingStreamController() {
    // Waits for a receiver running on another thread; none reaches the panel after this.
    SignalReceiver::disconnectAll();
}

void OpticalTrackingStreamController::init() {
    if (m_initialized) {
        return;
    }
    m_initialized = true;
    Stream* s = stream();
    if (s == nullptr) {
        m_name->setText(tr("(no stream)"));
        return;
    }
    m_name->setText(QString::fromStdString(s->name()));
    buildParameterFields(*s);

    // Any thread. On the GUI thread the panel follows at once; elsewhere the timer picks the note up.
    auto note = [this](bool Mailbox::*flag) {
        {
            std::lock_guard<std::mutex> lock(m_mailbox.mutex);
            m_mailbox.*flag = true;
        }
        if (QtHelpers::isMainThread()) {
            refresh();
        }
    };
    m_stateConnection = s->signalStateChanged.connect(
        this, [note](const Stream::StateChange&) { note(&Mailbox::stateChanged); });
    s->signalParametersChanged.connect(this, [note] { note(&Mailbox::parametersChanged); });
    if (auto* tracking = dynamic_cast<TrackingStream*>(s)) {
        tracking->signalInstrumentsChanged.connect(this, [note](InstrumentModifications flags) {
            if (flags.test(InstrumentModification::InstrumentsChanged)) {
                note(&Mailbox::instrumentsChanged);
            }
        });
    }
    // Worker thread: keeps only a reference to the frame, shown by the next refresh.
    s->signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>& data) {
        if (auto frame = std::dynamic_pointer_cast<const TrackingStreamData>(data)) {
            m_frames.push(std::move(frame));
        }
    });

    {
        std::lock_guard<std::mutex> lock(m_mailbox.mutex);
        m_mailbox.stateChanged = true;
        m_mailbox.parametersChanged = true;
        m_mailbox.instrumentsChanged = true;
    }
    refresh();
    m_refreshTimer.start();
}

Stream* OpticalTrackingStreamController::liveStream() {
    if (stream() != nullptr && m_initialized && (!m_stateConnection || !m_stateConnection->isConnected())) {
        // The stream's signal let go of us: the stream is gone.
        forgetStream();
        m_refreshTimer.stop();
        m_state->setText(tr("(gone)"));
        for (QPushButton* button : {m_open, m_start, m_stop, m_close, m_addMarker, m_removeMarker}) {
            button->setEnabled(false);
        }
        for (const Field& field : m_fields) {
            field.widget->setEnabled(false);
        }
    }
    return stream();
}

OpticalTrackingInterface* OpticalTrackingStreamController::markerInterface() {
    return dynamic_cast<OpticalTrackingInterface*>(liveStream());
}

void OpticalTrackingStreamController::refresh() {
    bool stateChanged = false;
    bool parametersChanged = false;
    bool instrumentsChanged = false;
    std::shared_ptr<const TrackingStreamData> frame;
    {
        std::lock_guard<std::mutex> lock(m_mailbox.mutex);
        std::swap(stateChanged, m_mailbox.stateChanged);
        std::swap(parametersChanged, m_mailbox.parametersChanged);
        std::swap(instrumentsChanged, m_mailbox.instrumentsChanged);
    }
    m_frames.tryPop(frame);
    Stream* s = liveStream();
    if (s == nullptr) {
        return;
    }
    if (stateChanged) {
        showState(*s);
    }
    if (stateChanged || parametersChanged) {
        // The state may make a parameter read-only.
        showFieldValues(*s);
    }
    if (instrumentsChanged) {
        if (auto* tracking = dynamic_cast<TrackingStream*>(s)) {
            showInstruments(tracking->instruments());
        }
    } else if (frame) {
        showInstruments(frame->instruments());
    }
}

void OpticalTrackingStreamController::showState(Stream& stream) {
    const Stream::State state = stream.currentState();
    m_state->setText(QString::fromLatin1(Stream::stateName(state)));
    const Actions actions = allowedActions(state);
    m_open->setEnabled(actions.open);
    m_start->setEnabled(actions.start);
    m_stop->setEnabled(actions.stop);
    m_close->setEnabled(actions.close);
    updateMarkerButtons();
}

void OpticalTrackingStreamController::buildParameterFields(Stream& stream) {
    for (ParameterBase* parameter : stream.parameters()) {
        const auto hidden = parameter->attributes().find("hidden");
        if (hidden != parameter->attributes().end() && hidden->second == "true") {
            continue;
        }
        Field::Kind kind = Field::Text;
        QWidget* widget = makeField(*parameter, kind);
        widget->setObjectName(QString::fromStdString(parameter->name()));
        m_parameterForm->addRow(QString::fromStdString(parameter->name()), widget);
        m_fields.push_back({parameter->name(), kind, widget});
    }
}

namespace {

bool isIntegerParameter(const ParameterBase& parameter) {
    return dynamic_cast<const Parameter<int>*>(&parameter) != nullptr ||
           dynamic_cast<const Parameter<unsigned>*>(&parameter) != nullptr ||
           dynamic_cast<const Parameter<long long>*>(&parameter) != nullptr;
}

bool isRealParameter(const ParameterBase& parameter) {
    return dynamic_cast<const Parameter<float>*>(&parameter) != nullptr ||
           dynamic_cast<const Parameter<double>*>(&parameter) != nullptr;
}

}  // namespace

namespace {

std::string attributeOf(const ParameterBase& parameter, const char* key) {
    const auto& attributes = parameter.attributes();
    const auto it = attributes.find(key);
    return it != attributes.end() ? it->second : std::string();
}

QSpinBox* integerBox(const ParameterBase& parameter, QWidget* parent) {
    auto* box = new QSpinBox(parent);
    int low =
        dynamic_cast<const Parameter<unsigned>*>(&parameter) != nullptr ? 0 : std::numeric_limits<int>::min();
    int high = std::numeric_limits<int>::max();
    parseNumber(attributeOf(parameter, "min"), low);
    parseNumber(attributeOf(parameter, "max"), high);
    box->setRange(low, high);
    box->setSpecialValueText(QString::fromStdString(attributeOf(parameter, "specialValue")));
    box->setKeyboardTracking(false);
    return box;
}

QDoubleSpinBox* realBox(const ParameterBase& parameter, QWidget* parent) {
    auto* box = new QDoubleSpinBox(parent);
    double low = -1e6;
    double high = 1e6;
    parseNumber(attributeOf(parameter, "min"), low);
    parseNumber(attributeOf(parameter, "max"), high);
    box->setRange(low, high);
    box->setDecimals(3);
    box->setKeyboardTracking(false);
    return box;
}

}  // namespace

QWidget* OpticalTrackingStreamController::makeField(const ParameterBase& parameter, Field::Kind& kind) {
    // Writes a field's new value through the stream's configuration.
    const auto commit = [this, name = parameter.name()](const auto& value) {
        Properties p;
        p.setParam(name, value);
        commitField(p);
    };
    if (dynamic_cast<const Parameter<bool>*>(&parameter) != nullptr) {
        kind = Field::Bool;
        auto* box = new QCheckBox(this);
        connect(box, &QCheckBox::toggled, this, [commit](bool on) { commit(on); });
        return box;
    }
    if (const std::string values = attributeOf(parameter, "values"); !values.empty()) {
        kind = Field::Choice;
        auto* box = new QComboBox(this);
        for (const std::string& value : String::split(values, ",")) {
            box->addItem(QString::fromStdString(value));
        }
        connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [commit](int index) {
            if (index >= 0) {
                commit(index);
            }
        });
        return box;
    }
    if (isIntegerParameter(parameter)) {
        kind = Field::Integer;
        QSpinBox* box = integerBox(parameter, this);
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this,
                [commit](int value) { commit(value); });
        return box;
    }
    if (isRealParameter(parameter)) {
        kind = Field::Real;
        QDoubleSpinBox* box = realBox(parameter, this);
        connect(box, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                [commit](double value) { commit(value); });
        return box;
    }
    kind = Field::Text;
    auto* edit = new QLineEdit(this);
    connect(edit, &QLineEdit::editingFinished, this, [commit, edit] { commit(edit->text().toStdString()); });
    return edit;
}

void OpticalTrackingStreamController::commitField(const Properties& value) {
    if (Stream* s = liveStream()) {
        // Through the stream's own configure: the parameter signals the change, and the stream may act on
        // it (an open camera takes a new setting at once).
        s->configure(&value);
    }
}

void OpticalTrackingStreamController::showFieldValues(Stream& stream) {
    Properties written;
    stream.configuration(&written);
    for (const Field& field : m_fields) {
        const ParameterBase* parameter = stream.parameter(field.name);
        const Properties::Param* param = written.findParam(field.name);
        if (parameter == nullptr || param == nullptr) {
            continue;
        }
        const QSignalBlocker block(field.widget);
        field.widget->setEnabled(attributeOf(*parameter, param, "readOnly") != "true");
        switch (field.kind) {
            case Field::Bool: {
                bool on = false;
                if (written.param(field.name, on)) {
                    static_cast<QCheckBox*>(field.widget)->setChecked(on);
                }
                break;
            }
            case Field::Choice: {
                int index = 0;
                if (written.param(field.name, index)) {
                    static_cast<QComboBox*>(field.widget)->setCurrentIndex(index);
                }
                break;
            }
            case Field::Integer: {
                int value = 0;
                if (written.param(field.name, value)) {
                    static_cast<QSpinBox*>(field.widget)->setValue(value);
                }
                break;
            }
            case Field::Real: {
                double value = 0.0;
                if (written.param(field.name, value)) {
                    static_cast<QDoubleSpinBox*>(field.widget)->setValue(value);
                }
                break;
            }
            case Field::Text:
                static_cast<QLineEdit*>(field.widget)->setText(QString::fromStdString(param->value));
                break;
        }
    }
}

void OpticalTrackingStreamController::setNavigation(const QString& frameLabel, NavigationHook hook) {
    m_navigation = std::move(hook);
    m_frameLabel->setText(m_navigation ? frameLabel : cameraFrameLabel());
    {
        std::lock_guard<std::mutex> lock(m_mailbox.mutex);
        m_mailbox.instrumentsChanged = true;  // the rows shown are in the old frame
    }
}

const std::vector<OpticalTrackingStreamController::NavigationRow>&
OpticalTrackingStreamController::navigationRows(const std::vector<TrackingInstrument>& instruments) {
    if (m_navigation) {
        m_navigation(instruments, m_rows);
    } else {
        m_rows.assign(instruments.size(), NavigationRow());
        for (std::size_t i = 0; i < instruments.size(); ++i) {
            m_rows[i].valid = instruments[i].quality > 0.0;
            m_rows[i].position = instruments[i].pose.block<3, 1>(0, 3);
        }
    }
    // A row the hook did not give is shown as unknown rather than as another instrument's.
    m_rows.resize(instruments.size());
    return m_rows;
}

void OpticalTrackingStreamController::showInstruments(const std::vector<TrackingInstrument>& instruments) {
    const std::vector<NavigationRow>& rows = navigationRows(instruments);
    const int rowCount = static_cast<int>(instruments.size());
    m_instruments->setRowCount(rowCount);
    bool anyTip = false;
    for (int row = 0; row < rowCount; ++row) {
        const TrackingInstrument& instrument = instruments[static_cast<std::size_t>(row)];
        const NavigationRow& navigation = rows[static_cast<std::size_t>(row)];
        anyTip = anyTip || navigation.hasTip;
        const QString texts[ColumnCount] = {
            QString::fromStdString(instrument.id.ID),
            QString::fromStdString(instrument.id.name),
            instrument.quality > 0.0 ? QString::number(instrument.quality, 'f', 3) : tr("not seen"),
            navigation.valid ? positionText(navigation.position) : navigation.reason,
            navigation.valid && navigation.hasTip ? positionText(navigation.tip) : QString(),
        };
        for (int column = 0; column < ColumnCount; ++column) {
            QTableWidgetItem* item = m_instruments->item(row, column);
            if (item == nullptr) {
                m_instruments->setItem(row, column, new QTableWidgetItem(texts[column]));
            } else if (item->text() != texts[column]) {
                item->setText(texts[column]);
            }
        }
    }
    m_instruments->setColumnHidden(TipColumn, !anyTip);
    updateMarkerButtons();
}

void OpticalTrackingStreamController::updateMarkerButtons() {
    OpticalTrackingInterface* markers = markerInterface();
    m_addMarker->setEnabled(
        markers != nullptr &&
        markers->capabilities().test(OpticalTrackingInterface::Capabilities::AddMarkerFromFile));
    m_removeMarker->setEnabled(markers != nullptr && !m_instruments->selectedItems().isEmpty());
}

QString OpticalTrackingStreamController::chooseMarkerFile() {
    return QFileDialog::getOpenFileName(this, tr("Add marker"), QString(),
                                        tr("Marker geometry (*.ini);;All files (*)"));
}

void OpticalTrackingStreamController::chooseAndAddMarker() {
    const QString path = chooseMarkerFile();
    if (!path.isEmpty()) {
        addMarkerFromFile(path);
    }
}

std::string OpticalTrackingStreamController::addMarkerFromFile(const QString& path) {
    OpticalTrackingInterface* markers = markerInterface();
    if (markers == nullptr) {
        return {};
    }
    const QString name = QFileInfo(path).completeBaseName();
    const std::string id = markers->addTrackingMarker(name.toStdString(), path.toStdString());
    m_message->setText(id.empty() ? tr("Could not add the marker of %1.").arg(path)
                                  : tr("Added %1 as %2.").arg(name, QString::fromStdString(id)));
    {
        std::lock_guard<std::mutex> lock(m_mailbox.mutex);
        m_mailbox.instrumentsChanged = true;
    }
    refresh();
    return id;
}

bool OpticalTrackingStreamController::removeSelectedMarker() {
    OpticalTrackingInterface* markers = markerInterface();
    const QList<QTableWidgetItem*> selected = m_instruments->selectedItems();
    if (markers == nullptr || selected.isEmpty()) {
        return false;
    }
    const QTableWidgetItem* idItem = m_instruments->item(selected.front()->row(), 0);
    const std::string id = idItem != nullptr ? idItem->text().toStdString() : std::string();
    const bool removed = markers->removeTrackingMarker(id);
    m_message->setText(removed ? tr("Removed %1.").arg(QString::fromStdString(id))
                               : tr("Could not remove %1.").arg(QString::fromStdString(id)));
    {
        std::lock_guard<std::mutex> lock(m_mailbox.mutex);
        m_mailbox.instrumentsChanged = true;
    }
    refresh();
    return removed;
}

}  // namespace Halvoren
