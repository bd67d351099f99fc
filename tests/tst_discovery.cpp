// "Get Devices": clearing, the list call, splitting into both lists, and the reads that follow.
#include <QtTest>

#include <climits>

#include <QLineEdit>

#include "PanelFixture.h"

using fake::Op;
using fake::Reply;

namespace {

Reply listing(std::int32_t count, const std::string &serials, const std::string &descriptions) {
    return listingReply(count, fake::cstr(serials), fake::cstr(descriptions));
}

} // namespace

class DiscoveryTest : public QObject {
    Q_OBJECT

private slots:
    void init() { panel = std::make_unique<Panel>(); }
    void cleanup() {
        VERIFY_EVERY_OPEN_CLOSED();
        panel.reset();
    }

    void listsDevicesSelectsTheFirstAndShowsItsPorts() {
        fake::setPortValue("A1", 0x00, 0x01);
        fake::setPortValue("A1", 0x01, 0x02);
        fake::setPortValue("A1", 0x10, 0x03);
        fake::setPortValue("A1", 0x11, 0x04);
        panel->form->Button1Click();
        QCOMPARE(panel->form->Edit1->text(), QStringLiteral("2"));
        QCOMPARE(panel->items(panel->form->ComboBox1), QStringList({"A1", "B2"}));
        QCOMPARE(panel->items(panel->form->ComboBox2), QStringList({"One", "Two"}));
        QCOMPARE(panel->form->ComboBox1->currentText(), QStringLiteral("A1"));
        QCOMPARE(panel->form->ComboBox2->currentText(), QStringLiteral("One"));
        QCOMPARE(callTrace(), QStringList({"list", "open A1", "read 0x00", "read 0x01", "close 1", "open A1",
                                           "read 0x10", "read 0x11", "close 2"}));
        QCOMPARE(panel->lampValue(0x00), 0x01);
        QCOMPARE(panel->lampValue(0x01), 0x02);
        QCOMPARE(panel->lampValue(0x10), 0x03);
        QCOMPARE(panel->lampValue(0x11), 0x04);
        QVERIFY(panel->status().isEmpty());
    }

    void clearsBeforeAskingAndPassesZeroedBuffers() {
        panel->form->Edit1->setText("7");
        panel->listDevices({"OLD1", "OLD2"});
        QString countAtCall, itemsAtCall;
        fake::setReplySource([&](Op op) -> std::optional<Reply> {
            if (op == Op::ListDevices)
                countAtCall = panel->form->Edit1->text(),
                itemsAtCall =
                    QString::number(panel->form->ComboBox1->count() + panel->form->ComboBox2->count());
            return std::nullopt;
        });
        panel->form->Button1Click();
        QCOMPARE(countAtCall, QString());
        QCOMPARE(itemsAtCall, QStringLiteral("0"));
        const fake::Call list = fake::calls().front();
        QCOMPARE(list.count, 0);
        QCOMPARE(list.text, std::string(KAVREN_SERIAL_LIST_SIZE, '\0'));
        QCOMPARE(list.descriptions, std::string(KAVREN_DESCRIPTION_LIST_SIZE, '\0'));
    }

    void splitsBothListsByCount_data() {
        QTest::addColumn<std::int32_t>("count");
        QTest::addColumn<QByteArray>("serials");
        QTest::addColumn<QByteArray>("descriptions");
        QTest::addColumn<QStringList>("serialItems");
        QTest::addColumn<QStringList>("descriptionItems");
        QTest::newRow("three of three") << 3 << QByteArray("A,B,C") << QByteArray("a,b,c")
                                        << QStringList{"A", "B", "C"} << QStringList{"a", "b", "c"};
        QTest::newRow("single, no comma")
            << 1 << QByteArray("A") << QByteArray("a") << QStringList{"A"} << QStringList{"a"};
        QTest::newRow("count above fields repeats the last")
            << 3 << QByteArray("A,B") << QByteArray("a,b") << QStringList{"A", "B", "B"}
            << QStringList{"a", "b", "b"};
        QTest::newRow("trailing comma adds an empty item")
            << 3 << QByteArray("A,B,") << QByteArray("a,b,") << QStringList{"A", "B", ""}
            << QStringList{"a", "b", ""};
        QTest::newRow("count below fields ignores the rest")
            << 2 << QByteArray("A,B,") << QByteArray("a,b,c") << QStringList{"A", "B"}
            << QStringList{"a", "b"};
        QTest::newRow("lists split independently")
            << 2 << QByteArray("A") << QByteArray("a,b") << QStringList{"A", "A"} << QStringList{"a", "b"};
        QTest::newRow("empty fields and spaces kept")
            << 3 << QByteArray(", X ,") << QByteArray(",,") << QStringList{"", " X ", ""}
            << QStringList{"", "", ""};
        QTest::newRow("one device, empty description")
            << 1 << QByteArray("A1") << QByteArray("") << QStringList{"A1"} << QStringList{""};
        QTest::newRow("count zero") << 0 << QByteArray("A,B") << QByteArray("a,b") << QStringList{}
                                    << QStringList{};
        QTest::newRow("negative count")
            << -5 << QByteArray("A") << QByteArray("a") << QStringList{} << QStringList{};
    }
    void splitsBothListsByCount() {
        QFETCH(std::int32_t, count);
        QFETCH(QByteArray, serials);
        QFETCH(QByteArray, descriptions);
        QFETCH(QStringList, serialItems);
        QFETCH(QStringList, descriptionItems);
        fake::queue(Op::ListDevices, listing(count, serials.toStdString(), descriptions.toStdString()));
        panel->form->Button1Click();
        QCOMPARE(panel->form->Edit1->text(), QString::number(count));
        QCOMPARE(panel->items(panel->form->ComboBox1), serialItems);
        QCOMPARE(panel->items(panel->form->ComboBox2), descriptionItems);
        QCOMPARE(panel->form->ComboBox1->currentIndex(), serialItems.isEmpty() ? -1 : 0);
        QCOMPARE(panel->form->ComboBox2->currentIndex(), serialItems.isEmpty() ? -1 : 0);
    }

    void noDeviceFoundLeavesTheTimerIdle() {
        fake::queue(Op::ListDevices, listing(0, "", ""));
        panel->form->Button1Click();
        QCOMPARE(panel->form->Edit1->text(), QStringLiteral("0"));
        QVERIFY(panel->form->ComboBox1->currentText().isEmpty());
        // the reads still run, with an empty serial number
        QCOMPARE(callTrace(), QStringList({"list", "open ", "close 0", "open ", "close 0"}));
        QCOMPARE(fake::calls()[1].serialNumber, std::string(KAVREN_SERIAL_NUMBER_SIZE, '\0'));
        fake::clearCalls();
        panel->form->Timer1Timer();
        QVERIFY(fake::calls().empty());
    }

    void failedListLeavesEverythingEmptyAndStillReads() {
        panel->listDevices({"OLD1"});
        Reply failure = listing(3, "X,Y,Z", "x,y,z"); // what a failing library wrote is ignored
        failure.status = 8;
        fake::queue(Op::ListDevices, failure);
        panel->form->Button1Click();
        QVERIFY(panel->form->Edit1->text().isEmpty());
        QCOMPARE(panel->form->ComboBox1->count(), 0);
        QCOMPARE(panel->form->ComboBox2->count(), 0);
        QCOMPARE(callTrace(), QStringList({"list", "open ", "close 0", "open ", "close 0"}));
        QCOMPARE(panel->status(), QStringLiteral("Error Opening Device")); // "Error" replaced by the reads
    }

    void secondDiscoveryReplacesTheLists() {
        panel->form->Button1Click();
        fake::setDevices({{"C3", "Three"}});
        panel->form->Button1Click();
        QCOMPARE(panel->items(panel->form->ComboBox1), QStringList({"C3"}));
        QCOMPARE(panel->items(panel->form->ComboBox2), QStringList({"Three"}));
        QCOMPARE(panel->form->Edit1->text(), QStringLiteral("1"));
    }

    void absurdCountsAreBounded_data() {
        QTest::addColumn<std::int32_t>("count");
        QTest::addColumn<int>("items");
        QTest::newRow("512") << 512 << 512;
        QTest::newRow("513") << 513 << 512;
        QTest::newRow("INT_MAX") << INT_MAX << 512;
        QTest::newRow("INT_MIN") << INT_MIN << 0;
    }
    void absurdCountsAreBounded() {
        QFETCH(std::int32_t, count);
        QFETCH(int, items);
        fake::queue(Op::ListDevices, listing(count, "A,B", "a,b"));
        panel->form->Button1Click();
        QCOMPARE(panel->form->ComboBox1->count(), items);
        QCOMPARE(panel->form->ComboBox2->count(), items);
        if (items > 0) {
            QCOMPARE(panel->form->ComboBox1->itemText(items - 1), QStringLiteral("B"));
            QCOMPARE(panel->form->ComboBox2->itemText(items - 1), QStringLiteral("b"));
        }
    }

    void unterminatedListsAreReadToTheirEndOnly() {
        Reply reply;
        reply.count = 2;
        reply.text = std::string(KAVREN_SERIAL_LIST_SIZE - 3, 'S') + ",XY"; // fills all 512 bytes
        reply.descriptions = std::string(KAVREN_DESCRIPTION_LIST_SIZE, 'D');
        fake::queue(Op::ListDevices, reply);
        panel->form->Button1Click();
        QCOMPARE(panel->items(panel->form->ComboBox1),
                 QStringList({QString(KAVREN_SERIAL_LIST_SIZE - 3, 'S'), QStringLiteral("XY")}));
        QCOMPARE(panel->form->ComboBox2->itemText(0), QString(KAVREN_DESCRIPTION_LIST_SIZE, 'D'));
        // the 509-byte serial number cannot be passed whole, so no device is opened
        QCOMPARE(callTrace(), QStringList({"list"}));
        QCOMPARE(panel->status(), QStringLiteral("Error Opening Device"));
    }

private:
    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
