// The three buttons behind their guard, the two lists following each other, and the 100 ms polling.
#include <QtTest>

#include <QAbstractItemView>
#include <QLabel>

#include "PanelFixture.h"

using fake::Op;

class CommandTest : public QObject {
    Q_OBJECT

private slots:
    void init() { panel = std::make_unique<Panel>(); }
    void cleanup() {
        VERIFY_EVERY_OPEN_CLOSED();
        panel.reset();
    }

    void buttonsNeedASerialNumberOfTwoBytes_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("serial"); // empty: nothing listed
        for (int button : {2, 3, 4}) {
            QTest::addRow("Button%d, nothing listed", button) << button << QString();
            QTest::addRow("Button%d, one-character serial", button) << button << QStringLiteral("A");
        }
    }
    void buttonsNeedASerialNumberOfTwoBytes() {
        QFETCH(int, button);
        QFETCH(QString, serial);
        if (!serial.isEmpty())
            panel->listDevices({serial});
        press(button);
        QCOMPARE(panel->status(), QStringLiteral("Serial Number must be selected"));
        QVERIFY(fake::calls().empty());
        QCOMPARE(panel->form->Label11->text(), QStringLiteral("SW Version :"));
    }

    void timerPollsAOneCharacterSerialNumber() {
        panel->listDevices({"A"});
        panel->form->Timer1Timer();
        QCOMPARE(callTrace().first(), QStringLiteral("open A"));
    }

    void buttonsRunTheirTransactionsInOrder_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QStringList>("trace");
        const QStringList readIn = {"open A1", "read 0x00", "read 0x01"};
        const QStringList readOut = {"open A1", "read 0x10", "read 0x11"};
        QTest::newRow("Read Ports") << 2
                                    << (readIn + QStringList{"close 1"} + readOut + QStringList{"close 2"});
        QTest::newRow("Set Ports") << 3
                                   << (QStringList{"open A1", "write 0x10=0xFE", "write 0x11=0x7F",
                                                   "close 1"} +
                                       readIn + QStringList{"close 2"} + readOut + QStringList{"close 3"});
        QTest::newRow("Get SW Version") << 4 << QStringList{"open A1", "version", "close 1"};
    }
    void buttonsRunTheirTransactionsInOrder() {
        QFETCH(int, button);
        QFETCH(QStringList, trace);
        panel->listDevices({"A1", "B2"});
        clickLamp(17); // bit 0 of port 0x10
        clickLamp(32); // bit 7 of port 0x11
        press(button);
        QCOMPARE(callTrace(), trace);
    }

    void setPortsShowsTheReadBack() {
        panel->listDevices({"A1"});
        clickLamp(18);
        panel->form->Button3Click();
        QCOMPARE(int(fake::portValue("A1", 0x10)), 0xFD);
        QCOMPARE(int(fake::portValue("A1", 0x11)), 0xFF);
        QCOMPARE(panel->lampValue(0x10), 0xFD);
        QVERIFY(panel->status().isEmpty());
    }

    void versionButtonShowsTheVersion() {
        panel->listDevices({"A1"});
        panel->form->Button4Click();
        QCOMPARE(panel->form->Label11->text(), QStringLiteral("SW Version : 1.23"));
        QVERIFY(panel->form->Label11->width() >=
                panel->form->Label11->fontMetrics().horizontalAdvance(panel->form->Label11->text()));
    }

    void pickingADescriptionSelectsItsSerialNumber() {
        panel->listDevices({"A1", "B2", "C3"});
        fake::setDevices({{"A1", ""}, {"B2", ""}, {"C3", ""}});
        fake::setPortValue("C3", 0x10, 0x33);
        showAndFocus(panel->form->ComboBox2);
        QTest::keyClick(panel->form->ComboBox2, Qt::Key_Down); // the operator's pick
        QTest::keyClick(panel->form->ComboBox2, Qt::Key_Down);
        QCOMPARE(panel->form->ComboBox2->currentIndex(), 2);
        QCOMPARE(panel->form->ComboBox1->currentIndex(), 2);
        QCOMPARE(callTrace().last(), QStringLiteral("close 4"));
        QCOMPARE(callTrace().mid(8), QStringList({"open C3", "read 0x00", "read 0x01", "close 3", "open C3",
                                                  "read 0x10", "read 0x11", "close 4"}));
        QCOMPARE(panel->lampValue(0x10), 0x33);
    }

    void pickingASerialNumberSelectsItsDescription() {
        panel->listDevices({"A1", "B2"});
        showAndFocus(panel->form->ComboBox1);
        QTest::keyClick(panel->form->ComboBox1, Qt::Key_Down);
        QCOMPARE(panel->form->ComboBox2->currentIndex(), 1);
        QCOMPARE(callTrace().first(), QStringLiteral("open B2"));
        QCOMPARE(callTrace().size(), 8);
    }

    void selectingFromCodeRunsNoTransaction() {
        panel->listDevices({"A1", "B2"});
        panel->form->ComboBox1->setCurrentIndex(1);
        panel->form->ComboBox2->setCurrentIndex(1);
        QVERIFY(fake::calls().empty());
    }

    void pollingReadsOnlyTheInputs() {
        panel->listDevices({"A1"});
        fake::setPortValue("A1", 0x00, 0x11);
        panel->form->Timer1Timer();
        QCOMPARE(panel->lampValue(0x00), 0x11);
        fake::setPortValue("A1", 0x00, 0x22); // a change at the device's inputs
        fake::setPortValue("A1", 0x10, 0x00);
        panel->form->Timer1Timer();
        QCOMPARE(panel->lampValue(0x00), 0x22);
        QCOMPARE(panel->lampValue(0x10), 0xFF);
        QVERIFY(panel->status().isEmpty());
        QCOMPARE(int(fake::callsOf(Op::OpenDevice).size()), 2);
    }

    void pollingReplacesAnEarlierMessage() {
        panel->listDevices({"A1"});
        panel->form->Button4Click();
        panel->form->StatusBar1->showMessage("old failure");
        panel->form->Timer1Timer();
        QVERIFY(panel->status().isEmpty());
    }

    void nothingListedNoPolling() {
        panel->form->Timer1Timer();
        QVERIFY(fake::calls().empty());
    }

    void openSerialListPausesPolling() {
        panel->listDevices({"A1"});
        showAndFocus(panel->form->ComboBox1);
        panel->form->ComboBox1->showPopup();
        QVERIFY(panel->form->ComboBox1->view()->isVisible());
        panel->form->Timer1Timer();
        QVERIFY(fake::calls().empty());
        panel->form->ComboBox1->hidePopup();
        panel->form->Timer1Timer();
        QCOMPARE(int(fake::callsOf(Op::OpenDevice).size()), 1);
    }

    void openDescriptionListDoesNotPausePolling() {
        panel->listDevices({"A1"});
        showAndFocus(panel->form->ComboBox2);
        panel->form->ComboBox2->showPopup();
        panel->form->Timer1Timer();
        QCOMPARE(int(fake::callsOf(Op::OpenDevice).size()), 1);
        panel->form->ComboBox2->hidePopup();
    }

    void pollingKeepsPendingToggles() {
        panel->listDevices({"A1"});
        clickLamp(20);
        panel->form->Timer1Timer();
        QCOMPARE(panel->lampValue(0x10), 0xF7);
        panel->form->Button3Click();
        QCOMPARE(int(fake::portValue("A1", 0x10)), 0xF7);
    }

    void laterDiscoveryThatFindsNothingStopsPolling_data() {
        QTest::addColumn<bool>("listFails");
        QTest::newRow("list fails") << true;
        QTest::newRow("no device found") << false;
    }
    void laterDiscoveryThatFindsNothingStopsPolling() {
        QFETCH(bool, listFails);
        panel->form->Button1Click();
        fake::Reply reply;
        reply.status = listFails ? 1 : 0;
        reply.count = 0;
        fake::queue(Op::ListDevices, reply);
        panel->form->Button1Click();
        fake::clearCalls();
        panel->form->Timer1Timer();
        QVERIFY(fake::calls().empty());
    }

    void timerDrivesPollingOnItsOwn() {
        panel->listDevices({"A1"});
        panel->form->Timer1->start();
        QTRY_VERIFY_WITH_TIMEOUT(fake::callsOf(Op::OpenDevice).size() >= 2, 5000);
        panel->form->Timer1->stop();
        QVERIFY(fake::callsOf(Op::WritePort).empty());
    }

private:
    void press(int button) {
        switch (button) {
        case 2:
            return panel->form->Button2Click();
        case 3:
            return panel->form->Button3Click();
        default:
            return panel->form->Button4Click();
        }
    }

    void clickLamp(int k) { panel->form->Shape17MouseUp(panel->form->lamp(k), Qt::LeftButton, {}, 5, 5); }

    void showAndFocus(QWidget *control) {
        panel->form->show();
        QApplication::setActiveWindow(panel->form.get());
        QVERIFY(QTest::qWaitForWindowActive(panel->form.get()));
        control->setFocus();
    }

    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(CommandTest)
#include "tst_commands.moc"
