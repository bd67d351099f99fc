#include "Unit1.h"

#include <algorithm>
#include <span>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include "DeviceList.h"
#include "OperationTexts.h"
#include "TShape.h"

TForm1 *Form1 = nullptr;

namespace {

const QString OpenErrorText = QString::fromLatin1(device::OpenErrorText);
const QString CloseErrorText = QString::fromLatin1(device::CloseErrorText);
const QString ReadErrorText = QString::fromLatin1(device::ReadErrorText);
const QString WriteErrorText = QString::fromLatin1(device::WriteErrorText);
const QString VersionErrorText = QString::fromLatin1(device::VersionErrorText);
const QString VersionCaption = QStringLiteral("SW Version :");
const QString VersionPrefix = QStringLiteral("SW Version : ");

constexpr int ClientWidth = 559;
constexpr int ClientHeight = 370;
constexpr int LampSize = 17;
constexpr int PollIntervalMs = 100;

// The window's shapes seen as the thirty-two lamps of the lamp rules. Given `changed`, a lamp that changes
// colour is added to it for the caller to repaint; otherwise it repaints when the event loop next runs.
class ShapeLamps final : public LampSet {
public:
    explicit ShapeLamps(const std::array<TShape *, LampCount> &shapes, ChangedLamps *changed = nullptr)
        : shapes_(shapes), changed_(changed) {}
    TColor lampColor(int lamp) const override { return shape(lamp)->brushColor(); }
    void setLampColor(int lamp, TColor color) override {
        TShape *const changing = shape(lamp);
        if (changed_ == nullptr)
            changing->setBrushColor(color);
        else if (changing->changeBrushColor(color))
            changed_->add(changing);
    }

private:
    TShape *shape(int lamp) const { return shapes_.at(static_cast<std::size_t>(lamp - 1)); }
    const std::array<TShape *, LampCount> &shapes_;
    ChangedLamps *changed_;
};

// The face the window asks for is rarely installed outside Windows; these stand in for it. They run a
// little wider, so the letters are set slightly closer to keep every caption whole in its label.
QFont panelFont(int pixelSize, qreal letterSpacingPercent) {
    QFont::insertSubstitutions(
        QStringLiteral("MS Sans Serif"),
        {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(pixelSize);
    font.setLetterSpacing(QFont::PercentageSpacing, letterSpacingPercent);
    return font;
}

QIcon panelIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 2));
    painter.setBrush(QColor(255, 0, 0));
    painter.drawEllipse(QRectF(2, 2, 13, 13));
    painter.drawEllipse(QRectF(17, 17, 13, 13));
    painter.setBrush(QColor(0, 255, 0));
    painter.drawEllipse(QRectF(17, 2, 13, 13));
    painter.drawEllipse(QRectF(2, 17, 13, 13));
    return QIcon(pixmap);
}

QLabel *createLabel(QWidget *parent, const QString &caption, QRect geometry, bool rightAligned) {
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText); // the version label shows the library's text, never markup
    label->setText(caption);
    label->setGeometry(geometry);
    label->setAlignment((rightAligned ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    return label;
}

QPushButton *createButton(QWidget *parent, const QString &caption, QRect geometry) {
    auto *button = new QPushButton(caption, parent);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QComboBox *createDropDownList(QWidget *parent, QRect geometry) {
    auto *box = new QComboBox(parent);
    box->setEditable(false);
    box->setGeometry(geometry);
    return box;
}

} // namespace

TForm1::TForm1(QWidget *parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Test USB DIO"));
    setWindowIcon(panelIcon());
    setFont(panelFont(11, 95));
    setFixedSize(ClientWidth, ClientHeight);
    move(225, 105);
    CreateControls();
    SetTabOrder();
    ConnectEvents();
    Timer1->start();
}

TForm1::~TForm1() = default;

void TForm1::CreateControls() {
    Edit1 = new QLineEdit(this);
    Edit1->setGeometry(120, 8, 49, 21);
    Button1 = createButton(this, QStringLiteral("Get Devices"), {96, 88, 121, 33});
    Label1 = createLabel(this, QStringLiteral("Number of Devices :"), {16, 8, 97, 13}, true);
    Label2 = createLabel(this, QStringLiteral("Selected Device :"), {28, 32, 85, 13}, true);
    Label3 = createLabel(this, QStringLiteral("Device Description :"), {17, 56, 96, 13}, true);
    Label4 = createLabel(this, QStringLiteral("Port 0"), {133, 144, 28, 13}, true);
    Label5 = createLabel(this, QStringLiteral("Port 1"), {373, 144, 28, 13}, true);
    Button2 = createButton(this, QStringLiteral("Read Ports"), {96, 280, 121, 33});
    Button3 = createButton(this, QStringLiteral("Set Ports"), {328, 280, 121, 33});
    ComboBox1 = createDropDownList(this, {120, 32, 177, 21});
    serialNumberPopup_ = ComboBox1->view();
    ComboBox2 = createDropDownList(this, {120, 56, 361, 21});
    Label9 = createLabel(this, QStringLiteral("Port 10"), {127, 208, 34, 13}, true);
    Label10 = createLabel(this, QStringLiteral("Port 11"), {367, 208, 34, 13}, true);
    Button4 = createButton(this, QStringLiteral("Get SW Version"), {328, 88, 105, 33});
    Label11 = createLabel(this, QString(), {376, 32, 77, 16}, false);
    Label11->setFont(panelFont(13, 100));
    SetVersionCaption(VersionCaption);
    StatusBar1 = new QStatusBar(this);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, 345, ClientWidth, 25);
    CreateShapes();
    Timer1 = new QTimer(this);
    Timer1->setInterval(PollIntervalMs);
}

// Two rows of sixteen lamps, each row two groups of eight with bit 7 leftmost.
void TForm1::CreateShapes() {
    TShape **named[LampCount] = {&Shape1,  &Shape2,  &Shape3,  &Shape4,  &Shape5,  &Shape6,  &Shape7,
                                 &Shape8,  &Shape9,  &Shape10, &Shape11, &Shape12, &Shape13, &Shape14,
                                 &Shape15, &Shape16, &Shape17, &Shape18, &Shape19, &Shape20, &Shape21,
                                 &Shape22, &Shape23, &Shape24, &Shape25, &Shape26, &Shape27, &Shape28,
                                 &Shape29, &Shape30, &Shape31, &Shape32};
    for (int index = 0; index < LampCount; ++index) {
        const int bit = index % 8;
        const int groupRight = (index / 8) % 2 == 0 ? 224 : 464;
        const int top = index < 16 ? 168 : 232;
        auto *shape = new TShape(this);
        shape->setGeometry(groupRight - 24 * bit, top, LampSize, LampSize);
        if (index >= 16)
            shape->setToolTip(QStringLiteral("Click to change state"));
        *named[index] = shape;
        lamps_[static_cast<std::size_t>(index)] = shape;
    }
}

// From the count box: "Get Devices", "Read Ports", "Set Ports", the two lists, "Get SW Version".
void TForm1::SetTabOrder() {
    QWidget *const order[] = {Edit1, Button1, Button2, Button3, ComboBox1, ComboBox2, Button4};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void TForm1::ConnectEvents() {
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(Button3); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(Button4); });
    // activated is raised by the operator's pick only, never by setCurrentIndex from code.
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(ComboBox1); });
    connect(ComboBox1, &QComboBox::currentTextChanged, this, &TForm1::EncodeSelectedSerialNumber);
    // What every poll asks of the list and the status line is kept here as it changes, so a poll reads
    // two flags instead of walking into the controls.
    const auto countSerialNumbers = [this] { serialNumbersListed_ = ComboBox1->count() > 0; };
    connect(ComboBox1->model(), &QAbstractItemModel::rowsInserted, this, countSerialNumbers);
    connect(ComboBox1->model(), &QAbstractItemModel::rowsRemoved, this, countSerialNumbers);
    connect(ComboBox1->model(), &QAbstractItemModel::modelReset, this, countSerialNumbers);
    connect(StatusBar1, &QStatusBar::messageChanged, this,
            [this](const QString &text) { statusShowsMessage_ = !text.isEmpty(); });
    connect(ComboBox2, &QComboBox::activated, this, [this] { ComboBox2Change(ComboBox2); });
    for (int k = 17; k <= LampCount; ++k)
        connect(lamp(k), &TShape::mouseUp, this, &TForm1::Shape17MouseUp);
    // The timer itself as the context, as an idle timer has it: a tick stays within the timer's own object.
    connect(Timer1, &QTimer::timeout, Timer1, [this] { Timer1Timer(Timer1); });
}

void TForm1::Shape17MouseUp(QObject *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers, int, int) {
    auto *shape = qobject_cast<TShape *>(Sender);
    if (Button != Qt::LeftButton || shape == nullptr)
        return;
    shape->setBrushColor(lamps::toggledColor(shape->brushColor()));
}

void TForm1::ShowPortValue(std::uint8_t port, std::uint8_t value) {
    ShapeLamps shapes(lamps_, &changedLamps_);
    lamps::ShowPortValue(shapes, port, value);
}

// One changed lamp is painted at once: a single trip to the display, and no event posted to wake the
// window for it. Several are left to one repaint of them all when the event loop next runs.
void TForm1::RepaintChangedLamps() {
    const std::span<TShape *const> changed(changedLamps_.lamps.data(), changedLamps_.count);
    changedLamps_.count = 0;
    if (changed.size() == 1) {
        changed.front()->repaint();
        return;
    }
    for (TShape *lamp : changed)
        lamp->update();
}

std::uint8_t TForm1::CollectPortValue(std::uint8_t port) const {
    return lamps::CollectPortValue(ShapeLamps(lamps_), port);
}

// The selected serial number in the library's encoding, made once per selection rather than on every poll.
void TForm1::EncodeSelectedSerialNumber(const QString &text) {
    device::SerialNumberBuffer serialNumber{};
    selectedSerialNumberFits_ = device::encodeSerialNumber(text, serialNumber);
    selectedSerialNumber_ = serialNumber;
}

void TForm1::SetStatusText(const QString &text) {
    StatusBar1->showMessage(text);
}

// The version label grows to fit its caption.
void TForm1::SetVersionCaption(const QString &caption) {
    Label11->setText(caption);
    Label11->resize(std::max(Label11->fontMetrics().horizontalAdvance(caption), 1), Label11->height());
}

// ---- Device transactions: open the selected device, do one job, close it, report in the status line.

template <typename Body> void TForm1::RunTransaction(Body body) {
    device::SerialNumberBuffer serialNumber = selectedSerialNumber_;
    device::MessageBuffer message{}; // shared by every call of the job and never cleared between them
    DeviceHandle handle = 0;

    // A stale message leaves the screen before the device is touched; a blank line has nothing to repaint,
    // so a quiet poll sends nothing to the display.
    if (statusShowsMessage_) {
        SetStatusText(QString());
        StatusBar1->repaint();
    }

    if (!selectedSerialNumberFits_) {
        SetStatusText(OpenErrorText); // too long to pass whole: no device is opened
        return;
    }
    if (OpenDevice(serialNumber.data(), &handle) != 0)
        SetStatusText(OpenErrorText);
    else
        body(handle, message);
    if (CloseDevice(handle) != 0)
        SetStatusText(CloseErrorText);
    RepaintChangedLamps();
}

// A failed call that left no message must not leave the status line blank, which reads as success.
void TForm1::ReportCallFailure(const device::MessageBuffer &message, const QString &fallback) {
    const QString text = device::decodeText(message);
    SetStatusText(text.isEmpty() ? fallback : text);
}

void TForm1::ReadPortPair(DeviceHandle handle, device::MessageBuffer &message, std::uint8_t first,
                          std::uint8_t second) {
    std::uint8_t value = 0; // kept, not reset, between the two ports
    for (const std::uint8_t port : {first, second}) {
        if (ReadPort(handle, port, &value, message.data()) != 0) {
            ReportCallFailure(message, ReadErrorText);
            return;
        }
        ShowPortValue(port, value);
    }
}

void TForm1::ReadInputPorts() {
    RunTransaction([this](DeviceHandle handle, device::MessageBuffer &message) {
        ReadPortPair(handle, message, InputPort0, InputPort1);
    });
}

void TForm1::ReadOutputPorts() {
    RunTransaction([this](DeviceHandle handle, device::MessageBuffer &message) {
        ReadPortPair(handle, message, OutputPort0, OutputPort1);
    });
}

void TForm1::WriteOutputPorts() {
    RunTransaction([this](DeviceHandle handle, device::MessageBuffer &message) {
        for (const std::uint8_t port : {OutputPort0, OutputPort1}) {
            if (WritePort(handle, port, CollectPortValue(port), message.data()) != 0) {
                ReportCallFailure(message, WriteErrorText);
                return;
            }
        }
    });
}

void TForm1::ReadSWVersion() {
    device::VersionBuffer version{};
    RunTransaction([&](DeviceHandle handle, device::MessageBuffer &message) {
        if (GetSWVersion(handle, version.data(), message.data()) != 0)
            ReportCallFailure(message, VersionErrorText);
        else
            SetVersionCaption(VersionPrefix + device::decodeText(version));
    });
}

// ---- Discovery

void TForm1::Button1Click(QObject *) {
    device::SerialListBuffer serialNumbers{};
    device::DescriptionListBuffer descriptions{};
    std::int32_t count = 0;

    Edit1->clear();
    ComboBox1->clear();
    ComboBox2->clear();
    if (ListDevices(&count, serialNumbers.data(), descriptions.data()) != 0) {
        SetStatusText(QStringLiteral("Error"));
    } else {
        Edit1->setText(QString::number(count));
        FillDeviceLists(serialNumbers, descriptions, count);
        ComboBox1->setCurrentIndex(0);
        ComboBox2->setCurrentIndex(0);
    }
    ReadInputPorts();
    ReadOutputPorts();
}

// One pass per counted device, bounded so that an absurd count can neither hang the window nor exhaust
// memory; below the bound a count beyond the fields repeats the last field.
void TForm1::FillDeviceLists(const device::SerialListBuffer &serialNumbers,
                             const device::DescriptionListBuffer &descriptions, std::int32_t count) {
    const std::string_view serialText = device::boundedText(serialNumbers);
    const std::string_view descriptionText = device::boundedText(descriptions);
    std::size_t serialStart = 0;
    std::size_t descriptionStart = 0;
    const int passes = std::min<std::int32_t>(count, MaxListedDevices);
    for (int pass = 0; pass < passes; ++pass) {
        ComboBox1->addItem(device::decodeText(SplitDeviceList(serialText, serialStart)));
        ComboBox2->addItem(device::decodeText(SplitDeviceList(descriptionText, descriptionStart)));
    }
}

// ---- Operator commands and polling

// Each character of a listed serial number is one byte of the library's encoding.
bool TForm1::SerialNumberSelected() {
    if (ComboBox1->currentText().size() >= 2)
        return true;
    SetStatusText(QStringLiteral("Serial Number must be selected"));
    return false;
}

void TForm1::Button2Click(QObject *) {
    if (!SerialNumberSelected())
        return;
    ReadInputPorts();
    ReadOutputPorts();
}

void TForm1::Button3Click(QObject *) {
    if (!SerialNumberSelected())
        return;
    WriteOutputPorts();
    ReadInputPorts();
    ReadOutputPorts();
}

void TForm1::Button4Click(QObject *) {
    if (!SerialNumberSelected())
        return;
    ReadSWVersion();
}

void TForm1::ComboBox1Change(QObject *) {
    ComboBox2->setCurrentIndex(ComboBox1->currentIndex());
    ReadInputPorts();
    ReadOutputPorts();
}

void TForm1::ComboBox2Change(QObject *) {
    ComboBox1->setCurrentIndex(ComboBox2->currentIndex());
    ReadInputPorts();
    ReadOutputPorts();
}

void TForm1::Timer1Timer(QObject *) {
    if (serialNumbersListed_ && !serialNumberPopup_->isVisible())
        ReadInputPorts();
}
