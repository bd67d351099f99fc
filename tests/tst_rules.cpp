// The rules that need no window: lamps, list splitting and the library's texts.
#include <QtTest>

#include "DeviceList.h"
#include "DeviceText.h"
#include "Lamps.h"

namespace {

QString lampRow(const LampSet &lamps, int first) {
    QString row;
    for (int lamp = first + 7; lamp >= first; --lamp)
        row += lamps.lampColor(lamp) == clRed ? 'R' : lamps.lampColor(lamp) == clLime ? 'G' : '?';
    return row;
}

QStringList split(std::string_view list, int passes) {
    QStringList fields;
    std::size_t start = 0;
    for (int i = 0; i < passes; ++i)
        fields << device::decodeText(SplitDeviceList(list, start));
    return fields;
}

} // namespace

class RulesTest : public QObject {
    Q_OBJECT

private slots:
    void showPortValuePaintsBitSevenLeftmost() {
        LampColors lamps;
        lamps::ShowPortValue(lamps, 0x00, 0xA5);
        QCOMPARE(lampRow(lamps, 1), QStringLiteral("RGRGGRGR"));
        QCOMPARE(lampRow(lamps, 9), QStringLiteral("RRRRRRRR")); // other ports untouched
    }

    void everyValueRoundTripsThroughBothOutputPorts() {
        for (const std::uint8_t port : {OutputPort0, OutputPort1}) {
            LampColors lamps;
            for (int value = 0; value <= 0xFF; ++value) {
                lamps::ShowPortValue(lamps, port, static_cast<std::uint8_t>(value));
                QCOMPARE(int(lamps::CollectPortValue(lamps, port)), value);
            }
        }
    }

    void portsMapToTheirOwnLamps_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("firstLamp");
        QTest::newRow("0x00") << 0x00 << 1;
        QTest::newRow("0x01") << 0x01 << 9;
        QTest::newRow("0x10") << 0x10 << 17;
        QTest::newRow("0x11") << 0x11 << 25;
    }
    void portsMapToTheirOwnLamps() {
        QFETCH(int, port);
        QFETCH(int, firstLamp);
        LampColors lamps;
        lamps::ShowPortValue(lamps, static_cast<std::uint8_t>(port), 0x01);
        for (int lamp = 1; lamp <= LampCount; ++lamp) {
            const bool inGroup = lamp >= firstLamp && lamp < firstLamp + 8;
            const TColor expected = !inGroup || lamp == firstLamp ? clRed : clLime;
            QCOMPARE(lamps.lampColor(lamp), expected);
        }
    }

    void untouchedOutputLampsCollectAllOnes() {
        const LampColors lamps;
        QCOMPARE(int(lamps::CollectPortValue(lamps, OutputPort0)), 0xFF);
        QCOMPARE(int(lamps::CollectPortValue(lamps, OutputPort1)), 0xFF);
    }

    void onlyExactGreenCollectsAsZero() {
        LampColors lamps;
        lamps.setLampColor(17, 0x00FE00); // nearly green counts as 1
        lamps.setLampColor(18, clLime);
        lamps.setLampColor(19, 0x000000);
        QCOMPARE(int(lamps::CollectPortValue(lamps, OutputPort0)), 0xFD);
    }

    void unknownPortsChangeNothingAndCollectAllOnes_data() {
        QTest::addColumn<int>("port");
        for (const int port : {0x02, 0x0F, 0x12, 0xFF})
            QTest::newRow(qPrintable(QString::asprintf("0x%02X", port))) << port;
    }
    void unknownPortsChangeNothingAndCollectAllOnes() {
        QFETCH(int, port);
        LampColors lamps;
        lamps::ShowPortValue(lamps, static_cast<std::uint8_t>(port), 0x00);
        for (int lamp = 1; lamp <= LampCount; ++lamp)
            QCOMPARE(lamps.lampColor(lamp), clRed);
        lamps.setLampColor(1, clLime);
        QCOMPARE(int(lamps::CollectPortValue(lamps, static_cast<std::uint8_t>(port))), 0xFF);
    }

    void inputPortsAreNotCollected() {
        LampColors lamps;
        lamps::ShowPortValue(lamps, InputPort0, 0x00);
        QCOMPARE(int(lamps::CollectPortValue(lamps, InputPort0)), 0xFF);
    }

    void toggleTurnsRedGreenAndAnythingElseRed() {
        QCOMPARE(lamps::toggledColor(clRed), clLime);
        QCOMPARE(lamps::toggledColor(lamps::toggledColor(clRed)), clRed);
        QCOMPARE(lamps::toggledColor(0x123456), clRed);
    }

    void splitDeviceList_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<int>("passes");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("as many fields as passes") << QByteArray("A,B,C") << 3 << QStringList{"A", "B", "C"};
        QTest::newRow("single field") << QByteArray("A") << 1 << QStringList{"A"};
        QTest::newRow("last field repeats") << QByteArray("A,B") << 3 << QStringList{"A", "B", "B"};
        QTest::newRow("trailing comma gives empty fields")
            << QByteArray("A,B,") << 4 << QStringList{"A", "B", "", ""};
        QTest::newRow("surplus fields ignored") << QByteArray("A,B,") << 2 << QStringList{"A", "B"};
        QTest::newRow("empty fields kept") << QByteArray(",,X") << 3 << QStringList{"", "", "X"};
        QTest::newRow("spaces kept") << QByteArray(" A , B") << 2 << QStringList{" A ", " B"};
        QTest::newRow("empty list") << QByteArray("") << 2 << QStringList{"", ""};
        QTest::newRow("comma only") << QByteArray(",") << 3 << QStringList{"", "", ""};
    }
    void splitDeviceList() {
        QFETCH(QByteArray, list);
        QFETCH(int, passes);
        QFETCH(QStringList, fields);
        QCOMPARE(split(std::string_view(list.constData(), static_cast<std::size_t>(list.size())), passes),
                 fields);
    }

    void boundedTextStopsAtNulOrBufferEnd() {
        const char withNul[6] = {'a', 'b', '\0', 'c', 'd', 'e'};
        QCOMPARE(device::boundedText(withNul, sizeof withNul), std::string_view("ab"));
        const char full[4] = {'w', 'x', 'y', 'z'}; // no NUL anywhere: nothing past the end is read
        QCOMPARE(device::boundedText(full, sizeof full), std::string_view("wxyz", 4));
        QCOMPARE(device::boundedText(full, 0), std::string_view());
    }

    void everyByteDecodesToOneCharacterAndBack() {
        std::string all;
        for (int byte = 1; byte <= 0xFF; ++byte)
            all += static_cast<char>(byte);
        const QString text = device::decodeText(all);
        QCOMPARE(text.size(), 255);
        QByteArray back;
        QVERIFY(device::encodeText(text, back));
        QCOMPARE(back, QByteArray(all.data(), static_cast<qsizetype>(all.size())));
    }

    void serialNumberEncoding_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("19 bytes") << QString(19, 'S') << true;
        QTest::newRow("20 bytes is refused, never cut") << QString(20, 'S') << false;
        QTest::newRow("Latin-1 high bytes") << QString::fromLatin1("\xA9\xFF") << true;
        QTest::newRow("no single-byte form") << QString::fromUtf8("\u20AC") << false;
    }
    void serialNumberEncoding() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        device::SerialNumberBuffer buffer{};
        buffer.fill('#');
        QCOMPARE(device::encodeSerialNumber(text, buffer), accepted);
        if (accepted) {
            QCOMPARE(device::decodeText(buffer), text);
            QCOMPARE(buffer[static_cast<std::size_t>(text.size())], '\0');
        } else {
            QCOMPARE(std::count(buffer.begin(), buffer.end(), '#'), std::ptrdiff_t(buffer.size()));
        }
    }
};

QTEST_APPLESS_MAIN(RulesTest)
#include "tst_rules.moc"
