// The open-operate-close frame and the four jobs, driven through the handlers that run them.
#include <QtTest>

#include <QLabel>

#include "PanelFixture.h"

using fake::Op;
using fake::Reply;

namespace {

Reply readValue(std::uint8_t value, std::int32_t code = 0,
                std::optional<std::string> message = std::nullopt) {
    Reply reply = statusReply(code, std::move(message));
    reply.value = value;
    return reply;
}

// The paints the window's widgets receive, by name, and the status line's text at each of its paints.
class PaintLog final : public QObject {
public:
    explicit PaintLog(const TForm1 &form) : form_(form) { qApp->installEventFilter(this); }
    ~PaintLog() override { qApp->removeEventFilter(this); }

    QStringList widgets;
    QStringList statusTexts;

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override {
        if (event->type() != QEvent::Paint)
            return false;
        if (receiver == form_.StatusBar1) {
            widgets << QStringLiteral("StatusBar1");
            statusTexts << form_.StatusBar1->currentMessage();
            return false;
        }
        for (int k = 1; k <= LampCount; ++k) {
            if (receiver == form_.lamp(k)) {
                widgets << QStringLiteral("Shape%1").arg(k);
                return false;
            }
        }
        widgets << QString::fromLatin1(receiver->metaObject()->className());
        return false;
    }

private:
    const TForm1 &form_;
};

} // namespace

class TransactionTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        panel = std::make_unique<Panel>();
        panel->listDevices({"A1", "B2"});
    }
    void cleanup() {
        VERIFY_EVERY_OPEN_CLOSED();
        panel.reset();
    }

    void readInputsOpensReadsBothPortsAndCloses() {
        fake::setPortValue("A1", 0x00, 0xA5);
        fake::setPortValue("A1", 0x01, 0x3C);
        panel->form->Timer1Timer();
        QCOMPARE(callTrace(), QStringList({"open A1", "read 0x00", "read 0x01", "close 1"}));
        QCOMPARE(panel->lampValue(0x00), 0xA5);
        QCOMPARE(panel->lampValue(0x01), 0x3C);
        QCOMPARE(panel->lampValue(0x10), 0xFF); // outputs untouched
        QVERIFY(panel->status().isEmpty());
    }

    void buffersStartZeroedAndTheValueIsNotResetBetweenPorts() {
        fake::setPortValue("A1", 0x00, 0x42);
        panel->form->Timer1Timer();
        const auto calls = fake::calls();
        QCOMPARE(calls[0].serialNumber, std::string("A1") + std::string(18, '\0'));
        QCOMPARE(calls[0].handle, DeviceHandle(0));
        QCOMPARE(calls[1].message, std::string(KAVREN_MESSAGE_SIZE, '\0'));
        QCOMPARE(int(calls[1].value), 0);
        QCOMPARE(int(calls[2].value), 0x42); // what the first read left
    }

    void statusLineIsBlankWhenTheDeviceIsTouched_data() {
        QTest::addColumn<QString>("showing");
        QTest::addColumn<QStringList>("paintedBeforeOpen"); // the status line's text at each of its paints
        QTest::newRow("a stale message is painted blank first") << "stale" << QStringList{""};
        QTest::newRow("a blank line is not repainted") << "" << QStringList{};
    }
    void statusLineIsBlankWhenTheDeviceIsTouched() {
        QFETCH(QString, showing);
        QFETCH(QStringList, paintedBeforeOpen);
        showWindow();
        panel->form->StatusBar1->showMessage(showing);
        QApplication::processEvents(); // the message is on the screen
        PaintLog paints(*panel->form);
        QString statusAtOpen = "not called";
        QStringList paintedAtOpen;
        fake::setReplySource([&](Op op) -> std::optional<Reply> {
            if (op == Op::OpenDevice) {
                statusAtOpen = panel->status();
                paintedAtOpen = paints.statusTexts;
            }
            return std::nullopt;
        });
        panel->form->Timer1Timer();
        QCOMPARE(statusAtOpen, QString());
        QCOMPARE(paintedAtOpen, paintedBeforeOpen);
    }

    void pollTickPaintsOnlyWhatChanged_data() {
        QTest::addColumn<QString>("showing");
        QTest::addColumn<int>("port0");
        QTest::addColumn<QStringList>("painted");
        QTest::newRow("inputs steady") << "" << 0xFF << QStringList{};
        QTest::newRow("bit 0 goes low") << "" << 0xFE << QStringList{"Shape1"};
        QTest::newRow("bits 7 and 0 go low") << "" << 0x7E << QStringList{"Shape1", "Shape8"};
        QTest::newRow("a stale message is cleared")
            << "stale" << 0xFF << QStringList{"StatusBar1", "TForm1"}; // and the form behind it
    }
    void pollTickPaintsOnlyWhatChanged() {
        QFETCH(QString, showing);
        QFETCH(int, port0);
        QFETCH(QStringList, painted);
        showWindow(); // every lamp red: both input ports read 0xFF unless changed
        fake::setPortValue("A1", 0x00, static_cast<std::uint8_t>(port0));
        fake::setPortValue("A1", 0x01, 0xFF);
        panel->form->StatusBar1->showMessage(showing);
        QApplication::processEvents();
        PaintLog paints(*panel->form);
        panel->form->Timer1Timer();
        QApplication::processEvents(); // the scheduled repaints, as between two ticks
        paints.widgets.sort();
        QCOMPARE(paints.widgets, painted);
        QCOMPARE(panel->lampValue(0x00), port0);
    }

    void failedOpenSkipsTheBodyAndStillCloses_data() {
        QTest::addColumn<std::int32_t>("closeStatus");
        QTest::addColumn<QString>("expected");
        QTest::newRow("close succeeds") << 0 << "Error Opening Device";
        QTest::newRow("close fails too") << 9 << "Error Closing Device";
    }
    void failedOpenSkipsTheBodyAndStillCloses() {
        QFETCH(std::int32_t, closeStatus);
        QFETCH(QString, expected);
        Reply open = statusReply(4);
        open.handle = 77; // whatever the failed open left is what is closed
        fake::queue(Op::OpenDevice, open);
        fake::queue(Op::CloseDevice, statusReply(closeStatus));
        panel->form->Timer1Timer();
        QCOMPARE(callTrace(), QStringList({"open A1", "close 77"}));
        QCOMPARE(panel->status(), expected);
        QCOMPARE(panel->lampValue(0x00), 0xFF);
    }

    void portFailures_data() {
        QTest::addColumn<int>("failingPort"); // 0 first, 1 second
        QTest::addColumn<QByteArray>("firstMessage");
        QTest::addColumn<QByteArray>("failureMessage");
        QTest::addColumn<QString>("expectedStatus");
        QTest::newRow("first port fails") << 0 << QByteArray() << QByteArray("Port jammed") << "Port jammed";
        QTest::newRow("second port fails")
            << 1 << QByteArray() << QByteArray("Port 1 jammed") << "Port 1 jammed";
        QTest::newRow("second fails silently after a message left on success")
            << 1 << QByteArray("Slow response") << QByteArray() << "Slow response";
        QTest::newRow("failure with no message is not shown as success")
            << 1 << QByteArray() << QByteArray() << "Error Reading Port";
        QTest::newRow("first fails with no message")
            << 0 << QByteArray() << QByteArray() << "Error Reading Port";
    }
    void portFailures() {
        QFETCH(int, failingPort);
        QFETCH(QByteArray, firstMessage);
        QFETCH(QByteArray, failureMessage);
        QFETCH(QString, expectedStatus);
        const auto message = [](const QByteArray &text) {
            return text.isNull() ? std::nullopt : std::optional<std::string>(fake::cstr(text.toStdString()));
        };
        if (failingPort == 0) {
            fake::queue(Op::ReadPort, readValue(0x00, 5, message(failureMessage)));
        } else {
            fake::queue(Op::ReadPort, readValue(0x0F, 0, message(firstMessage)));
            fake::queue(Op::ReadPort, readValue(0x00, 5, message(failureMessage)));
        }
        panel->form->Timer1Timer();
        QCOMPARE(panel->status(), expectedStatus);
        QCOMPARE(panel->lampValue(0x00), failingPort == 0 ? 0xFF : 0x0F); // painted only when read
        QCOMPARE(panel->lampValue(0x01), 0xFF);                           // a failed read paints nothing
        QCOMPARE(callTrace().last(), QStringLiteral("close 1"));
        QCOMPARE(int(fake::callsOf(Op::ReadPort).size()), failingPort + 1);
    }

    void messageBufferIsSharedAndNeverClearedBetweenCalls() {
        fake::queue(Op::ReadPort, readValue(0x01, 0, fake::cstr("first note")));
        panel->form->Timer1Timer();
        const auto reads = fake::callsOf(Op::ReadPort);
        QCOMPARE(reads[1].message.substr(0, 11), fake::cstr("first note"));
    }

    void closeFailureOverwritesEarlierText_data() {
        QTest::addColumn<bool>("portFails");
        QTest::newRow("after success") << false;
        QTest::newRow("after a port failure") << true;
    }
    void closeFailureOverwritesEarlierText() {
        QFETCH(bool, portFails);
        if (portFails)
            fake::queue(Op::ReadPort, readValue(0, 5, fake::cstr("Port jammed")));
        fake::queue(Op::CloseDevice, statusReply(2));
        panel->form->Timer1Timer();
        QCOMPARE(panel->status(), QStringLiteral("Error Closing Device"));
    }

    void outputsAreReadAfterInputs() {
        fake::setPortValue("A1", 0x10, 0x81);
        fake::setPortValue("A1", 0x11, 0x18);
        panel->form->Button2Click();
        QCOMPARE(callTrace(), QStringList({"open A1", "read 0x00", "read 0x01", "close 1", "open A1",
                                           "read 0x10", "read 0x11", "close 2"}));
        QCOMPARE(panel->lampValue(0x10), 0x81);
        QCOMPARE(panel->lampValue(0x11), 0x18);
    }

    void failedFirstWriteSkipsTheSecondAndKeepsTheLamps() {
        panel->paintLamps(0x10, 0x12);
        panel->paintLamps(0x11, 0x34);
        QString statusAtClose;
        fake::queue(Op::WritePort, statusReply(6));
        fake::setReplySource([&](Op op) -> std::optional<Reply> {
            if (op == Op::CloseDevice && statusAtClose.isNull())
                statusAtClose = panel->status();
            if (op == Op::OpenDevice && !fake::callsOf(Op::CloseDevice).empty())
                return statusReply(1); // the read-back that follows cannot open, so the lamps stay
            return std::nullopt;
        });
        panel->form->Button3Click();
        QCOMPARE(callTrace().mid(0, 3), QStringList({"open A1", "write 0x10=0x12", "close 1"}));
        QCOMPARE(int(fake::callsOf(Op::WritePort).size()), 1);
        QCOMPARE(statusAtClose, QStringLiteral("Error Writing Port"));
        QCOMPARE(panel->lampValue(0x10), 0x12);
        QCOMPARE(panel->lampValue(0x11), 0x34);
        QCOMPARE(panel->status(), QStringLiteral("Error Opening Device")); // the last transaction's outcome
    }

    void versionRead_data() {
        QTest::addColumn<std::int32_t>("code");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("expectedStatus");
        QTest::newRow("success") << 0 << QByteArray("2.05\0", 5) << QByteArray() << "SW Version : 2.05"
                                 << "";
        QTest::newRow("version fills its buffer without a NUL")
            << 0 << QByteArray("123456789X") << QByteArray() << "SW Version : 123456789X"
            << "";
        QTest::newRow("failure shows the message")
            << 3 << QByteArray("9.9\0", 4) << QByteArray("No firmware\0", 12) << "SW Version :"
            << "No firmware";
        QTest::newRow("failure without a message") << 3 << QByteArray() << QByteArray() << "SW Version :"
                                                   << "Error Reading SW Version";
    }
    void versionRead() {
        QFETCH(std::int32_t, code);
        QFETCH(QByteArray, version);
        QFETCH(QByteArray, message);
        QFETCH(QString, caption);
        QFETCH(QString, expectedStatus);
        Reply reply = statusReply(code);
        if (!version.isEmpty())
            reply.text = version.toStdString();
        if (!message.isEmpty())
            reply.message = message.toStdString();
        fake::queue(Op::GetSWVersion, reply);
        panel->form->Button4Click();
        QCOMPARE(callTrace(), QStringList({"open A1", "version", "close 1"}));
        QCOMPARE(fake::calls()[1].text, std::string(KAVREN_VERSION_SIZE, '\0'));
        QCOMPARE(panel->form->Label11->text(), caption);
        QCOMPARE(panel->status(), expectedStatus);
    }

    void serialNumberTooLongIsRefusedNotCut() {
        panel->form->ComboBox1->clear();
        panel->listDevices({QString(20, 'S')});
        panel->form->Timer1Timer();
        QVERIFY(fake::calls().empty());
        QCOMPARE(panel->status(), QStringLiteral("Error Opening Device"));
    }

    void nineteenByteSerialNumberIsPassedWhole() {
        panel->form->ComboBox1->clear();
        const QString serial(19, 'S');
        panel->listDevices({serial});
        panel->form->Timer1Timer();
        QCOMPARE(fake::calls()[0].serialNumber, std::string(19, 'S') + '\0');
    }

private:
    void showWindow() {
        panel->form->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel->form.get()));
    }

    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(TransactionTest)
#include "tst_transactions.moc"
