// Arguments typed on a command line (port numbers, values, other numbers: the forms accepted and
// everything refused), the rule for device texts, and how texts are escaped for a line of output.
#include <QtTest>

#include "Arguments.h"
#include "Console.h"
#include "TextRules.h"

namespace {

QString problemOf(const QString &kind, const std::string &bytes) {
    const auto problem = kind == "serial"        ? device::serialProblem(bytes)
                         : kind == "description" ? device::descriptionProblem(bytes)
                         : kind == "version"     ? device::versionProblem(bytes)
                                                 : device::messageProblem(bytes);
    return problem ? QString::fromStdString(*problem) : QString();
}

} // namespace

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

    void parsesIntegersInRange_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("expected"); // -99: refused (the range is -10..4294967295)
        QTest::newRow("low end") << "-10" << qint64(-10);
        QTest::newRow("high end") << "4294967295" << qint64(4294967295);
        QTest::newRow("below") << "-11" << qint64(-99);
        QTest::newRow("above") << "4294967296" << qint64(-99);
        QTest::newRow("plus") << "+1" << qint64(-99);
        QTest::newRow("hex is no decimal") << "0x10" << qint64(-99);
        QTest::newRow("empty") << "" << qint64(-99);
        QTest::newRow("beyond 64 bits") << "99999999999999999999" << qint64(-99);
    }
    void parsesIntegersInRange() {
        QFETCH(QString, text);
        QFETCH(qint64, expected);
        const auto value = cli::parseInteger(text.toStdString(), -10, 4294967295);
        QCOMPARE(value ? qint64(*value) : qint64(-99), expected);
    }

    // The rule for each kind of device text; bytes are given as Latin-1 characters.
    void deviceTextRule_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("problem"); // empty: keeps the rule
        QTest::newRow("serial") << "serial"
                                << "DIO-SIM-0001"
                                << "";
        QTest::newRow("serial of 19 Latin-1 bytes") << "serial" << QString(19, QChar(0xE9)) << "";
        QTest::newRow("serial of 20 bytes") << "serial" << QString(20, 'x') << "at most 19 bytes";
        QTest::newRow("empty serial") << "serial"
                                      << ""
                                      << "cannot be empty";
        QTest::newRow("serial with a comma") << "serial"
                                             << "A,B"
                                             << "comma";
        QTest::newRow("serial with a tab") << "serial"
                                           << "A\tB"
                                           << "control character";
        QTest::newRow("serial with DEL") << "serial"
                                         << "A\x7F"
                                         << "control character";
        QTest::newRow("serial with a C1 control")
            << "serial" << QString("A") + QChar(0x9F) << "control character";
        QTest::newRow("serial with NBSP") << "serial" << QString("A") + QChar(0xA0) << "";
        QTest::newRow("serial with a backslash") << "serial"
                                                 << "A\\B"
                                                 << "";
        QTest::newRow("empty description") << "description"
                                           << ""
                                           << "";
        QTest::newRow("description with a comma") << "description"
                                                  << "a,b"
                                                  << "comma";
        QTest::newRow("description with a newline") << "description"
                                                    << "a\nb"
                                                    << "control character";
        QTest::newRow("description of 1024 bytes") << "description" << QString(1024, 'd') << "at most 1023";
        QTest::newRow("version of 9 bytes") << "version"
                                            << "123456789"
                                            << "";
        QTest::newRow("version of 10 bytes") << "version"
                                             << "1234567890"
                                             << "at most 9 bytes";
        QTest::newRow("version with a comma") << "version"
                                              << "1,2"
                                              << "";
        QTest::newRow("version with an escape") << "version"
                                                << "1\x1B"
                                                << "control character";
        QTest::newRow("message of 255 bytes") << "message" << QString(255, 'm') << "";
        QTest::newRow("message of 256 bytes") << "message" << QString(256, 'm') << "at most 255 bytes";
        QTest::newRow("message with a NUL") << "message" << QString(QChar(0)) << "control character";
    }
    void deviceTextRule() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QString, problem);
        const QByteArray bytes = text.toLatin1();
        const QString found = problemOf(kind, bytes.toStdString());
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    }

    // Lines get control bytes and the backslash as \xHH; messages keep UTF-8 but lose every control.
    void escaping_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("line");    // device::printableText, for Latin-1 device texts
        QTest::addColumn<QByteArray>("message"); // cli::oneLine, for UTF-8 messages
        QTest::newRow("plain") << QByteArray("ab") << QByteArray("ab") << QByteArray("ab");
        QTest::newRow("tab, newline, escape")
            << QByteArray("\t\n\x1b[") << QByteArray("\\x09\\x0A\\x1B[") << QByteArray("\\x09\\x0A\\x1B[");
        QTest::newRow("backslash") << QByteArray("a\\b") << QByteArray("a\\x5Cb") << QByteArray("a\\b");
        QTest::newRow("NUL and DEL") << QByteArray("\0\x7f", 2) << QByteArray("\\x00\\x7F")
                                     << QByteArray("\\x00\\x7F");
        QTest::newRow("Latin-1 e-acute, UTF-8 e-acute")
            << QByteArray("\xe9") << QByteArray("\xc3\xa9") << QByteArray("\\xE9");
        QTest::newRow("C1 control") << QByteArray("\xc2\x9b") << QByteArray("\xc3\x82\\x9B")
                                    << QByteArray("\\x9B");
        QTest::newRow("euro sign") << QByteArray("\xe2\x82\xac") << QByteArray("\xc3\xa2\\x82\xc2\xac")
                                   << QByteArray("\xe2\x82\xac");
        // Sequences no strict decoder takes are escaped byte by byte, so none can pass for a control.
        QTest::newRow("overlong CSI") << QByteArray("\xe0\x82\x9b") << QByteArray("\xc3\xa0\\x82\\x9B")
                                      << QByteArray("\\xE0\\x82\\x9B");
        QTest::newRow("overlong 4-byte NUL")
            << QByteArray("\xf0\x80\x80\x80") << QByteArray("\xc3\xb0\\x80\\x80\\x80")
            << QByteArray("\\xF0\\x80\\x80\\x80");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << QByteArray("\xc3\xad\xc2\xa0\\x80")
                                   << QByteArray("\\xED\\xA0\\x80");
        QTest::newRow("past U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << QByteArray("\xc3\xb4\\x90\\x80\\x80")
            << QByteArray("\\xF4\\x90\\x80\\x80");
        QTest::newRow("highest and last 3-byte")
            << QByteArray("\xf4\x8f\xbf\xbf\xef\xbf\xbd")
            << QByteArray("\xc3\xb4\\x8F\xc2\xbf\xc2\xbf\xc3\xaf\xc2\xbf\xc2\xbd")
            << QByteArray("\xf4\x8f\xbf\xbf\xef\xbf\xbd");
    }
    void escaping() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, message);
        const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        QCOMPARE(QByteArray::fromStdString(device::printableText(text)), line);
        QCOMPARE(QByteArray::fromStdString(cli::oneLine(text)), message);
    }

    void jsonKeepsTextsButEscapesEveryControl() {
        QCOMPARE(cli::escapeJsonControls("{\"a\":\"\x7f\xc2\x85\xc3\xa9\\u001b\"}"),
                 std::string("{\"a\":\"\\u007f\\u0085\xc3\xa9\\u001b\"}"));
    }
};

QTEST_APPLESS_MAIN(ByteArgumentTest)
#include "tst_byte_argument.moc"
