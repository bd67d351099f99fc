// The test panel's one window: its controls, their event handlers and the device transactions.
#pragma once

#include <array>
#include <cstdint>

#include <QWidget>

#include "DeviceText.h"
#include "Lamps.h"
#include "kavren.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class TShape;

// Lamps whose colour a transaction changed, in the order it changed them.
struct ChangedLamps {
    std::array<TShape *, LampCount> lamps{};
    std::size_t count = 0;
    void add(TShape *lamp) { lamps.at(count++) = lamp; }
};

class TForm1 : public QWidget {
    Q_OBJECT

public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    QLineEdit *Edit1;
    QPushButton *Button1;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QLabel *Label4;
    QLabel *Label5;
    QPushButton *Button2;
    QPushButton *Button3;
    QComboBox *ComboBox1;
    QComboBox *ComboBox2;
    QLabel *Label9;
    QLabel *Label10;
    QPushButton *Button4;
    QLabel *Label11;
    QStatusBar *StatusBar1;
    TShape *Shape1, *Shape2, *Shape3, *Shape4, *Shape5, *Shape6, *Shape7, *Shape8;
    TShape *Shape9, *Shape10, *Shape11, *Shape12, *Shape13, *Shape14, *Shape15, *Shape16;
    TShape *Shape17, *Shape18, *Shape19, *Shape20, *Shape21, *Shape22, *Shape23, *Shape24;
    TShape *Shape25, *Shape26, *Shape27, *Shape28, *Shape29, *Shape30, *Shape31, *Shape32;
    QTimer *Timer1;

    // Lamp k (1 to 32), the same control as ShapeK.
    TShape *lamp(int k) const { return lamps_.at(static_cast<std::size_t>(k - 1)); }

public slots:
    void Button1Click(QObject *Sender = nullptr);
    void Button2Click(QObject *Sender = nullptr);
    void Button3Click(QObject *Sender = nullptr);
    void Button4Click(QObject *Sender = nullptr);
    void ComboBox1Change(QObject *Sender = nullptr);
    void ComboBox2Change(QObject *Sender = nullptr);
    void Shape17MouseUp(QObject *Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    void Timer1Timer(QObject *Sender = nullptr);

private:
    void CreateControls();
    void CreateShapes();
    void SetTabOrder();
    void ConnectEvents();

    void ReadInputPorts();
    void ReadOutputPorts();
    void WriteOutputPorts();
    void ReadSWVersion();
    template <typename Body> void RunTransaction(Body body);
    void ReadPortPair(DeviceHandle handle, device::MessageBuffer &message, std::uint8_t first,
                      std::uint8_t second);
    void ReportCallFailure(const device::MessageBuffer &message, const QString &fallback);

    void ShowPortValue(std::uint8_t port, std::uint8_t value);
    void RepaintChangedLamps();
    std::uint8_t CollectPortValue(std::uint8_t port) const;

    void FillDeviceLists(const device::SerialListBuffer &serialNumbers,
                         const device::DescriptionListBuffer &descriptions, std::int32_t count);
    bool SerialNumberSelected();
    void EncodeSelectedSerialNumber(const QString &text);
    void SetStatusText(const QString &text);
    void SetVersionCaption(const QString &caption);

    std::array<TShape *, LampCount> lamps_{};
    ChangedLamps changedLamps_;
    const QWidget *serialNumberPopup_ = nullptr;        // ComboBox1's list: no poll while it is dropped down
    device::SerialNumberBuffer selectedSerialNumber_{}; // nothing listed: the empty text
    bool selectedSerialNumberFits_ = true;
    bool serialNumbersListed_ = false;
    bool statusShowsMessage_ = false;
};

extern TForm1 *Form1;
