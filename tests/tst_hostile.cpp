// A misbehaving device library: unterminated and full buffers, absurd counts, every byte value, odd
// handles, and replies that contradict their status. Whatever it returns, the window must survive, read
// nothing past a buffer (the asan build checks that), close every open and tell the truth in the status
// line.
#include <QtTest>

#include <climits>

#include <QLabel>
#include <QLineEdit>

#include "DeviceList.h"
#include "PanelFixture.h"
#include "StatusOracle.h"

using fake::Op;
using fake::Reply;

namespace {

// Every byte value 0x01 to 0xFF, less the ones given.
std::string allBytesExcept(const std::string &left_out = {}) {
    std::string bytes;
    for (int byte = 1; byte <= 0xFF; ++byte)
        if (left_out.find(static_cast<char>(byte)) == std::string::npos)
            bytes += static_cast<char>(byte);
    return bytes;
}

std::vector<std::string> chunks(const std::string &bytes, std::size_t size) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size)
        pieces.push_back(bytes.substr(at, size));
    return pieces;
}

std::string joined(const std::vector<std::string> &fields) {
    std::string list;
    for (const std::string &field : fields)
        list += (list.empty() ? "" : ",") + field;
    return list;
}

QString latin1(const std::string &bytes) {
    return device::decodeText(bytes);
}

} // namespace

class HostileLibraryTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        panel = std::make_unique<Panel>();
        fake::setDevices({{"A", "a"}, {"B", "b"}, {"S1", "s"}});
    }
    void cleanup() {
        VERIFY_EVERY_OPEN_CLOSED();
        panel.reset();
    }

    void listsThatFillTheirBuffersWithoutNul() {
        std::string serials;
        while (serials.size() + 3 <= KAVREN_SERIAL_LIST_SIZE)
            serials += "S1,";
        serials +=
            std::string(KAVREN_SERIAL_LIST_SIZE - serials.size(), '2'); // 512 bytes, the last field "22"
        QCOMPARE(serials.size(), std::size_t(KAVREN_SERIAL_LIST_SIZE));
        const std::string descriptions(KAVREN_DESCRIPTION_LIST_SIZE, 'D');
        fake::queue(Op::ListDevices, listingReply(INT_MAX, serials, descriptions));
        panel->form->Button1Click();
        QCOMPARE(panel->form->ComboBox1->count(), MaxListedDevices);
        QCOMPARE(panel->form->ComboBox1->itemText(0), QStringLiteral("S1"));
        QCOMPARE(panel->form->ComboBox1->itemText(MaxListedDevices - 1), QStringLiteral("22"));
        QCOMPARE(panel->form->ComboBox2->itemText(0), QString(KAVREN_DESCRIPTION_LIST_SIZE, 'D'));
        QCOMPARE(panel->form->ComboBox2->itemText(1), QString(KAVREN_DESCRIPTION_LIST_SIZE, 'D'));
        QCOMPARE(panel->status(), *fake::expectedStatusOfLastTransaction());
    }

    void messageThatFillsItsBufferWithoutNul() {
        panel->listDevices({"S1"});
        const std::string message(KAVREN_MESSAGE_SIZE, 'M');
        fake::queue(Op::ReadPort, statusReply(5, message));
        panel->form->Timer1Timer();
        QCOMPARE(panel->status(), QString(KAVREN_MESSAGE_SIZE, 'M'));
    }

    void versionThatFillsItsBufferWithoutNul() {
        panel->listDevices({"S1"});
        Reply reply;
        reply.text = "\xFF\x80" + std::string(8, 'v');
        fake::queue(Op::GetSWVersion, reply);
        panel->form->Button4Click();
        QCOMPARE(panel->form->Label11->text(),
                 QStringLiteral("SW Version : ") + QString::fromLatin1("\xFF\x80vvvvvvvv"));
    }

    void countsAgainstShortLists_data() {
        QTest::addColumn<std::int32_t>("count");
        QTest::addColumn<QByteArray>("list");
        const std::pair<const char *, QByteArray> lists[] = {
            {"short", "A,B"}, {"empty", ""}, {"comma only", ",,,"}, {"single field", "A"}};
        for (const std::int32_t count : {INT_MIN, -1, 0, 1, 512, 513, INT_MAX})
            for (const auto &[name, list] : lists)
                QTest::addRow("%d, %s", count, name) << count << list;
    }
    void countsAgainstShortLists() {
        QFETCH(std::int32_t, count);
        QFETCH(QByteArray, list);
        const std::string bytes = list.toStdString();
        fake::queue(Op::ListDevices, listingReply(count, fake::cstr(bytes), fake::cstr(bytes)));
        panel->form->Button1Click();

        const QStringList fields = QString::fromLatin1(list).split(',');
        const int expectedItems = std::clamp<std::int32_t>(count, 0, MaxListedDevices);
        QCOMPARE(panel->form->ComboBox1->count(), expectedItems);
        QCOMPARE(panel->form->ComboBox2->count(), expectedItems);
        for (int i = 0; i < expectedItems; ++i) {
            const QString expected = fields[std::min<qsizetype>(i, fields.size() - 1)];
            QCOMPARE(panel->form->ComboBox1->itemText(i), expected);
            QCOMPARE(panel->form->ComboBox2->itemText(i), expected);
        }
        QCOMPARE(panel->form->Edit1->text(), QString::number(count));
        QCOMPARE(panel->status(), *fake::expectedStatusOfLastTransaction());
    }

    void everyByteValueInSerialNumbersAndDescriptionsRoundTrips() {
        const std::vector<std::string> serials = chunks(allBytesExcept(","), KAVREN_SERIAL_NUMBER_SIZE - 1);
        std::vector<std::string> descriptions = serials;
        for (std::string &description : descriptions)
            std::reverse(description.begin(), description.end());
        const auto count = static_cast<std::int32_t>(serials.size());
        fake::queue(Op::ListDevices,
                    listingReply(count, fake::cstr(joined(serials)), fake::cstr(joined(descriptions))));
        panel->form->Button1Click();
        QCOMPARE(panel->form->ComboBox1->count(), count);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(panel->form->ComboBox2->itemText(i), latin1(descriptions[std::size_t(i)]));
            fake::clearCalls();
            panel->form->ComboBox1->setCurrentIndex(i);
            emit panel->form->ComboBox1->activated(i);
            std::string sent = serials[std::size_t(i)];
            sent.resize(KAVREN_SERIAL_NUMBER_SIZE, '\0');
            QCOMPARE(fake::calls().front().serialNumber, sent); // byte for byte what was listed
        }
    }

    void everyByteValueInVersionsRoundTrips() {
        panel->listDevices({"S1"});
        for (const std::string &version : chunks(allBytesExcept(), KAVREN_VERSION_SIZE - 1)) {
            Reply reply;
            reply.text = fake::cstr(version);
            fake::queue(Op::GetSWVersion, reply);
            panel->form->Button4Click();
            QCOMPARE(panel->form->Label11->text(), QStringLiteral("SW Version : ") + latin1(version));
        }
    }

    void everyByteValueInMessagesRoundTrips() {
        panel->listDevices({"S1"});
        const std::string message = allBytesExcept(); // 255 bytes and the NUL fill the buffer
        fake::queue(Op::ReadPort, statusReply(7, fake::cstr(message)));
        panel->form->Timer1Timer();
        QCOMPARE(panel->status(), latin1(message));
    }

    void listedSerialNumberLengths_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("opened");
        QTest::newRow("1 byte") << 1 << true;
        QTest::newRow("19 bytes") << 19 << true;
        QTest::newRow("20 bytes") << 20 << false;
        QTest::newRow("511 bytes") << 511 << false;
    }
    void listedSerialNumberLengths() {
        QFETCH(int, length);
        QFETCH(bool, opened);
        const std::string serial(std::size_t(length), 'N');
        fake::setDevices({{serial, "n"}});
        fake::queue(Op::ListDevices, listingReply(1, fake::cstr(serial), fake::cstr("n")));
        panel->form->Button1Click();
        QCOMPARE(panel->form->ComboBox1->currentText(), QString(length, 'N'));
        const auto opens = fake::callsOf(Op::OpenDevice);
        QCOMPARE(opens.size(), opened ? std::size_t(2) : std::size_t(0));
        if (opened) {
            QCOMPARE(opens[0].serialNumber.substr(0, std::size_t(length) + 1), fake::cstr(serial));
            QVERIFY(panel->status().isEmpty());
        } else {
            QCOMPARE(panel->status(), QStringLiteral("Error Opening Device"));
        }
        fake::clearCalls();
        panel->form->Button2Click();
        if (length < 2)
            QCOMPARE(panel->status(), QStringLiteral("Serial Number must be selected"));
        else
            QCOMPARE(panel->status(), opened ? QString() : QStringLiteral("Error Opening Device"));
    }

    void failureThatWritesAValuePaintsNothing() {
        panel->listDevices({"S1"});
        Reply reply = statusReply(5);
        reply.value = 0x00;
        fake::queue(Op::ReadPort, reply);
        panel->form->Timer1Timer();
        QCOMPARE(panel->lampValue(0x00), 0xFF);
        QCOMPARE(panel->status(), QStringLiteral("Error Reading Port"));
    }

    void successThatWritesAMessageIsStillSuccess_data() {
        QTest::addColumn<int>("button");
        QTest::newRow("Read Ports") << 2;
        QTest::newRow("Set Ports") << 3;
        QTest::newRow("Get SW Version") << 4;
    }
    void successThatWritesAMessageIsStillSuccess() {
        QFETCH(int, button);
        panel->listDevices({"S1"});
        fake::setReplySource([](Op op) -> std::optional<Reply> {
            if (op != Op::ReadPort && op != Op::WritePort && op != Op::GetSWVersion)
                return std::nullopt;
            Reply reply = statusReply(0, fake::cstr("Everything is fine, really"));
            reply.value = 0x5A;
            reply.text = fake::cstr("3.1");
            return reply;
        });
        button == 2   ? panel->form->Button2Click()
        : button == 3 ? panel->form->Button3Click()
                      : panel->form->Button4Click();
        QVERIFY(panel->status().isEmpty());
        if (button == 4)
            QCOMPARE(panel->form->Label11->text(), QStringLiteral("SW Version : 3.1"));
        else
            QCOMPARE(panel->lampValue(0x01), 0x5A);
    }

    void unusualHandlesFromASuccessfulOpen_data() {
        QTest::addColumn<DeviceHandle>("handle");
        QTest::newRow("0") << DeviceHandle(0);
        QTest::newRow("0xFFFFFFFF") << DeviceHandle(0xFFFFFFFF);
    }
    void unusualHandlesFromASuccessfulOpen() {
        QFETCH(DeviceHandle, handle);
        panel->listDevices({"S1"});
        Reply open;
        open.handle = handle;
        fake::queue(Op::OpenDevice, open);
        fake::queue(Op::OpenDevice, open);
        panel->form->Button2Click();
        for (const fake::Call &call : fake::calls())
            if (call.op != Op::OpenDevice)
                QCOMPARE(call.handle, handle);
        QVERIFY(panel->status().isEmpty());
    }

private:
    std::unique_ptr<Panel> panel;
};

QTEST_MAIN(HostileLibraryTest)
#include "tst_hostile.moc"
