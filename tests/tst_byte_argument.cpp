// Port numbers and values typed on a command line: the forms accepted and everything refused.
#include <QtTest>

#include "Arguments.h"

class ByteArgumentTest : public QObject {
    Q_OBJECT

private slots:
    void parses_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected"); // -1: refused
        QTest::newRow("hex") << "0x5A" << 0x5A;
        QTest::newRow("hex upper prefix, lower digits") << "0Xff" << 0xFF;
        QTest::newRow("hex one digit") << "0x5" << 5;
        QTest::newRow("hex leading zeros") << "0x0011" << 0x11;
        QTest::newRow("decimal") << "90" << 90;
        QTest::newRow("decimal zero") << "0" << 0;
        QTest::newRow("decimal leading zero is not octal") << "010" << 10;
        QTest::newRow("binary") << "0b01011010" << 0x5A;
        QTest::newRow("binary upper prefix") << "0B1" << 1;
        QTest::newRow("largest") << "255" << 255;
        QTest::newRow("one past") << "256" << -1;
        QTest::newRow("hex past") << "0x100" << -1;
        QTest::newRow("binary past") << "0b100000000" << -1;
        QTest::newRow("huge") << "99999999999999999999" << -1;
        QTest::newRow("negative") << "-1" << -1;
        QTest::newRow("plus") << "+1" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("bare hex prefix") << "0x" << -1;
        QTest::newRow("bare binary prefix") << "0b" << -1;
        QTest::newRow("binary with a 2") << "0b102" << -1;
        QTest::newRow("trailing junk") << "12z" << -1;
        QTest::newRow("space") << " 1" << -1;
        QTest::newRow("trailing space") << "1 " << -1;
        QTest::newRow("signed hex") << "0x-1" << -1;
        QTest::newRow("octal-looking prefix") << "0o7" << -1;
    }
    void parses() {
        QFETCH(QString, text);
        QFETCH(int, expected);
        const QByteArray bytes = text.toLatin1();
        const auto value = cli::parseByte({bytes.constData(), static_cast<std::size_t>(bytes.size())});
        QCOMPARE(value ? int(*value) : -1, expected);
    }
};

QTEST_APPLESS_MAIN(ByteArgumentTest)
#include "tst_byte_argument.moc"
