// dio-sim as a user types it: command line -> output, exit code and the state it leaves, and what a
// state file that cannot be trusted does to the tool and to the library.
#include <QtTest>

#include <array>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "SimProcess.h"
#include "kavren.h"

namespace {

const QString DefaultStatus = "DIO-SIM-0001 +plugged +loopback .*\nDIO-SIM-0002 +plugged +counting .*\n"
                              "no faults or delays\n";

} // namespace

class DioSimTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory_;
    QString state_;

private slots:
    void init() {
        state_ = directory_.filePath(QString("state-%1").arg(QTest::currentDataTag()).replace(' ', '_'));
        QFile::remove(state_);
        qputenv("KAVREN_SIM_STATE", state_.toLocal8Bit());
    }

    void commands_data() {
        QTest::addColumn<QString>("before"); // commands run first, separated by ';'
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // patterns
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("status"); // what `dio-sim status` shows afterwards

        const QString none = "^$";
        QTest::newRow("status creates the default devices")
            << ""
            << "status" << 0 << DefaultStatus << none << DefaultStatus;
        QTest::newRow("status --json")
            << ""
            << "status --json" << 0 << "\"serial\": \"DIO-SIM-0002\"" << none << DefaultStatus;
        QTest::newRow("add manual")
            << ""
            << "add M1 Bench_box --mode manual --version 2.1" << 0 << none << none
            << "M1 +plugged +manual +inputs 0x00 0x00  outputs 0x00 0x00  Bench box\n";
        QTest::newRow("add then set in hex, decimal, binary")
            << "add M1 Box --mode manual;set M1 0x00 0xA5"
            << "set M1 1 0b00001111" << 0 << none << none << "M1 +plugged +manual +inputs 0xA5 0x0F";
        QTest::newRow("remove") << ""
                                << "remove DIO-SIM-0002" << 0 << none << none
                                << "^DIO-SIM-0001[^\n]*\nno faults";
        QTest::newRow("unplug") << ""
                                << "unplug DIO-SIM-0001" << 0 << none << none << "DIO-SIM-0001 +unplugged";
        QTest::newRow("plug") << "unplug DIO-SIM-0001"
                              << "plug DIO-SIM-0001" << 0 << none << none << "^DIO-SIM-0001 +plugged";
        QTest::newRow("fail with defaults")
            << ""
            << "fail readport" << 0 << none << none
            << "fault ReadPort on every device: next 1 call\\(s\\) fail\\(s\\) with "
               "status 1 and message \"Simulated failure\"";
        QTest::newRow("fail always for one device")
            << ""
            << "fail WRITEPORT --serial DIO-SIM-0002 --always --status 7 --message Jammed" << 0 << none
            << none
            << "fault WritePort on DIO-SIM-0002: every call fail\\(s\\) with status 7 and message \"Jammed\"";
        QTest::newRow("fail with empty message") << ""
                                                 << "fail GetSWVersion --times 3 --message=" << 0 << none
                                                 << none << "next 3 call\\(s\\) .* message \"\"";
        QTest::newRow("delay") << ""
                               << "delay OpenDevice 250 --serial DIO-SIM-0001" << 0 << none << none
                               << "delay OpenDevice on DIO-SIM-0001: 250 ms";
        QTest::newRow("delay 0 removes it")
            << "delay ReadPort 40"
            << "delay readport 0" << 0 << none << none << "no faults or delays";
        QTest::newRow("clear") << "fail ListDevices --always;delay ReadPort 5"
                               << "clear" << 0 << none << none << DefaultStatus;
        QTest::newRow("reset") << "add X Y --mode manual;unplug DIO-SIM-0001;fail openDevice;set X 0 1"
                               << "reset" << 0 << none << none << DefaultStatus;
        QTest::newRow("backslash escaped in status")
            << ""
            << "add A\\B Back\\slash" << 0 << none << none << "^A\\\\x5CB +plugged [^\n]*  Back\\\\x5Cslash$";
        QTest::newRow("backslash exact in json")
            << "add A\\B Box"
            << "status --json" << 0 << "\"serial\": \"A\\\\\\\\B\"" << none << "^A\\\\x5CB +plugged";
        QTest::newRow("help") << ""
                              << "--help" << 0 << "Usage: dio-sim .*status.*delay" << none << DefaultStatus;
        QTest::newRow("command help")
            << ""
            << "fail --help" << 0 << "Usage: dio-sim fail .*--always" << none << DefaultStatus;

        const QString failUsage = "Usage: dio-sim fail";
        const QString addUsage = "Usage: dio-sim add";
        const auto bad = [&](const char *name, const char *before, const char *command, const QString &err) {
            QTest::newRow(name) << before << command << 2 << none << err << DefaultStatus;
        };
        bad("no command", "", "", "Usage: dio-sim \\[OPTIONS\\] SUBCOMMAND");
        bad("unknown command", "", "jump", "jump.*Usage: dio-sim");
        bad("unknown operation", "", "fail Frobnicate", "unknown operation 'Frobnicate'.*" + failUsage);
        bad("unknown mode", "", "add M1 Box --mode random", "unknown mode 'random'.*" + addUsage);
        bad("unknown device", "", "unplug DIO-SIM-0009",
            "there is no device DIO-SIM-0009.*Usage: dio-sim unplug");
        bad("duplicate serial", "", "add DIO-SIM-0001 Again", "already a device DIO-SIM-0001.*" + addUsage);
        bad("empty serial", "", "add  Box", "(empty|required).*" + addUsage);
        bad("serial over 19 bytes", "", "add ABCDEFGHIJKLMNOPQRST Box", "at most 19 bytes.*" + addUsage);
        bad("serial with a comma", "", "add A,B Box", "comma.*" + addUsage);
        bad("serial beyond Latin-1", "", "add Ω1 Box", "single-byte form.*" + addUsage);
        bad("description with a comma", "", "add M1 a,b", "comma.*" + addUsage);
        bad("version over 9 bytes", "", "add M1 Box --version 1234567890", "at most 9 bytes.*" + addUsage);
        bad("set on a loopback device", "", "set DIO-SIM-0001 0 1", "only the inputs of a manual device");
        bad("set an output port", "add M1 Box --mode manual", "set M1 0x10 1", "not an input port");
        bad("bad value", "add M1 Box --mode manual", "set M1 0 256",
            "'256' is not a byte.*Usage: dio-sim set");
        bad("bad port", "add M1 Box --mode manual", "set M1 -1 1", "Usage: dio-sim set");
        bad("times 0", "", "fail ReadPort --times 0", "--times must be a whole number.*" + failUsage);
        bad("times and always", "", "fail ReadPort --times 2 --always", "excludes.*" + failUsage);
        bad("status 0", "", "fail ReadPort --status 0", "non-zero status.*" + failUsage);
        bad("status not a number", "", "fail ReadPort --status x1", "--status must be.*" + failUsage);
        bad("message for ListDevices", "", "fail ListDevices --message No",
            "no message buffer.*" + failUsage);
        bad("message for OpenDevice", "", "fail OpenDevice --message No", "no message buffer");
        bad("message for CloseDevice", "", "fail closedevice --message=", "no message buffer");
        bad("serial for ListDevices", "", "fail ListDevices --serial DIO-SIM-0001", "--serial does not go");
        bad("delay over 10000 ms", "", "delay ReadPort 10001", "0 to 10000.*Usage: dio-sim delay");
        bad("delay not a number", "", "delay ReadPort soon", "Usage: dio-sim delay");
        bad("fault for an unknown device", "", "fail ReadPort --serial NOPE", "there is no device NOPE");
        // A control character in any device text: refused, and shown escaped in the message.
        bad("serial with a tab", "", "add S<TAB>1 Box", "control character: 'S\\\\x091'.*" + addUsage);
        bad("description with a newline", "", "add M1 Two<NL>lines", "control character: 'Two\\\\x0Alines'");
        bad("version with an escape", "", "add M1 Box --version 1<ESC>[2J", "control character.*" + addUsage);
        bad("message with a tab", "", "fail ReadPort --message a<TAB>b", "control character.*" + failUsage);
        bad("fault serial with an escape", "", "fail ReadPort --serial S<ESC>1",
            "control character.*" + failUsage);
        bad("delay serial with a newline", "", "delay ReadPort 5 --serial S<NL>1",
            "control character.*Usage: dio-sim delay");
        bad("remove with a tab", "", "remove DIO-SIM-0001<TAB>", "control character.*Usage: dio-sim remove");
        bad("unplug with a newline", "", "unplug DIO-SIM-0001<NL>",
            "control character.*Usage: dio-sim unplug");
        bad("plug with an escape", "", "plug <ESC>[2J", "control character.*Usage: dio-sim plug");
        bad("set with a tab", "add M1 Box --mode manual", "set M1<TAB> 0 1",
            "control character.*Usage: dio-sim set");
    }
    void commands() {
        QFETCH(QString, before);
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, status);
        for (const QString &line : before.split(';', Qt::SkipEmptyParts))
            QCOMPARE(dioSim(words(line), state_).exitCode, 0);
        QStringList arguments = words(command);
        for (QString &argument : arguments)
            argument.replace("<TAB>", "\t").replace("<NL>", "\n").replace("<ESC>", "\x1b");
        if (command.startsWith("add  ")) // an empty serial
            arguments = {"add", "", "Box"};
        const Run run = dioSim(arguments, state_);
        const auto matches = [](const QString &text, const QString &pattern) {
            return QRegularExpression(pattern, QRegularExpression::DotMatchesEverythingOption |
                                                   QRegularExpression::MultilineOption)
                .match(text)
                .hasMatch();
        };
        QVERIFY2(run.exitCode == exitCode,
                 qPrintable(QString("exit code %1: %2").arg(run.exitCode).arg(run.err)));
        QVERIFY2(matches(run.out, out), qPrintable(run.out));
        QVERIFY2(matches(run.err, err), qPrintable(run.err));
        const Run after = dioSim({"status"}, state_);
        QCOMPARE(after.exitCode, 0);
        QVERIFY2(matches(after.out, status), qPrintable(after.out));
    }

    void listsOverflowCountEveryDevice() {
        // 18 serials of 19 bytes and 2 defaults (12 bytes) with commas and the NUL: 18*20 + 2*13 = 386;
        // the list would overflow at the 26th device, plugged or not.
        int added = 0;
        for (; added < 40; ++added) {
            const QString serial = QString("S%1").arg(added, 18, 10, QChar('0'));
            const Run run = dioSim({"add", serial, "d"}, state_);
            if (run.exitCode != 0) {
                QCOMPARE(run.exitCode, 2);
                QVERIFY2(run.err.contains("512-byte list"), qPrintable(run.err));
                break;
            }
            QCOMPARE(dioSim({"unplug", serial}, state_).exitCode, 0);
        }
        QCOMPARE(added, 24); // 26 + 24 * 20 = 506 fits, one more would need 526
        const QString description(1000, 'x');
        const Run tooLong = dioSim({"add", "LONG", description}, state_);
        QCOMPARE(tooLong.exitCode, 2);
        QVERIFY2(tooLong.err.contains("1024-byte list"), qPrintable(tooLong.err));
    }

    void untrustedFilesAreRefused_data() {
        QTest::addColumn<QString>("damage"); // how the valid file is spoiled
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("resetExitCode");
        QTest::newRow("empty") << "empty"
                               << "dio-sim reset" << 0;
        QTest::newRow("truncated") << "truncate"
                                   << "dio-sim reset" << 0;
        QTest::newRow("garbage") << "garbage"
                                 << "is not a simulator state" << 1;
        QTest::newRow("other format version") << "version"
                                              << "dio-sim reset" << 0;
        QTest::newRow("flipped byte") << "flip"
                                      << "dio-sim reset" << 0;
        QTest::newRow("writable by others") << "mode"
                                            << "chmod 600" << 1;
        QTest::newRow("a directory") << "directory"
                                     << "not a regular file" << 1;
        if (geteuid() == 0)
            QTest::newRow("another user's") << "owner"
                                            << "belongs to user 65534" << 1;
    }
    void untrustedFilesAreRefused() {
        QFETCH(QString, damage);
        QFETCH(QString, says);
        QFETCH(int, resetExitCode);
        DeviceHandle opened = 0;
        QCOMPARE(OpenDevice("DIO-SIM-0001", &opened), 0); // creates the file
        QFile file(state_);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        QVERIFY(bytes.size() > 40);
        if (damage == "empty")
            bytes.clear();
        else if (damage == "truncate")
            bytes.chop(5);
        else if (damage == "garbage")
            bytes = QByteArray(300, '\x7f');
        else if (damage == "version")
            bytes[8] = 2;
        else if (damage == "flip")
            bytes[bytes.size() - 3] = char(bytes[bytes.size() - 3] ^ 0x40);
        file.resize(0);
        file.write(bytes);
        file.close();
        if (damage == "mode")
            QCOMPARE(::chmod(qPrintable(state_), 0666), 0);
        if (damage == "owner")
            QCOMPARE(::chown(qPrintable(state_), 65534, 65534), 0);
        if (damage == "directory") {
            QVERIFY(QFile::remove(state_));
            QVERIFY(QDir().mkdir(state_));
        }

        std::int32_t count = 0;
        std::array<char, KAVREN_SERIAL_LIST_SIZE> serials{};
        std::array<char, KAVREN_DESCRIPTION_LIST_SIZE> descriptions{};
        QVERIFY(ListDevices(&count, serials.data(), descriptions.data()) != 0);
        DeviceHandle handle = 0;
        QVERIFY(OpenDevice("DIO-SIM-0001", &handle) != 0);
        QVERIFY(CloseDevice(handle) != 0);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        std::uint8_t value = 0;
        QVERIFY(ReadPort(opened, 0x10, &value, message.data()) != 0);
        QVERIFY(std::memchr(message.data(), '\0', message.size()) != nullptr);
        const QString text = QString::fromLatin1(message.data());
        QVERIFY2(text.contains(state_) && text.contains(says), qPrintable(text));
        CloseDevice(opened);

        const Run status = dioSim({"status"}, state_);
        QCOMPARE(status.exitCode, 1);
        QVERIFY2(status.err.contains(state_) && status.err.contains(says), qPrintable(status.err));
        QCOMPARE(dioSim({"reset"}, state_).exitCode, resetExitCode);
        if (resetExitCode == 0)
            QCOMPARE(ListDevices(&count, serials.data(), descriptions.data()), 0);
        if (damage == "directory")
            QDir(state_).removeRecursively();
    }

    // A reset replaces only what the simulator wrote, a state however damaged after its magic, or an empty
    // file: any other file at the path stays byte for byte whatever its mode, with a message that points
    // elsewhere rather than at a reset, and so does a state that others may write.
    void resetReplacesOnlyASimulatorState_data() {
        QTest::addColumn<QByteArray>(
            "content"); // "STATE" stands for a sound state, "STATE-5" for one cut short
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("says"); // empty when the reset replaces the file
        const QString foreign = "is not a simulator state";
        QByteArray binary;
        for (int byte = 0; byte < 512; ++byte)
            binary += char(byte * 7);
        QTest::newRow("a text file") << QByteArray("precious\n") << 0600 << foreign;
        QTest::newRow("a binary file") << binary << 0600 << foreign;
        QTest::newRow("a text file of mode 0644") << QByteArray("root:x:0:0\n") << 0644 << foreign;
        QTest::newRow("the magic cut short") << QByteArray("KAVSIM\r") << 0600 << foreign;
        QTest::newRow("an empty file") << QByteArray() << 0600 << "";
        QTest::newRow("a state cut short") << QByteArray("STATE-5") << 0600 << "";
        QTest::newRow("the magic, then garbage") << QByteArray("KAVSIM\r\n") + binary << 0600 << "";
        QTest::newRow("a state writable by others") << QByteArray("STATE") << 0666 << "chmod 600";
        QTest::newRow("a damaged state writable by group") << QByteArray("STATE-5") << 0620 << "chmod 600";
    }
    void resetReplacesOnlyASimulatorState() {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(QString, says);
        QCOMPARE(dioSim({"status"}, state_).exitCode, 0);
        QFile file(state_);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray sound = file.readAll();
        file.close();
        if (content.startsWith("STATE"))
            content = content == "STATE" ? sound : sound.chopped(5);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(content) == content.size());
        file.close();
        QCOMPARE(::chmod(qPrintable(state_), mode_t(mode)), 0);
        QVERIFY(QFile::remove(state_ + ".lock"));

        const Run reset = dioSim({"reset"}, state_);
        struct stat info {};
        QCOMPARE(::stat(qPrintable(state_), &info), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        if (says.isEmpty()) {
            QVERIFY2(reset.exitCode == 0, qPrintable(reset.err));
            QCOMPARE(info.st_mode & 0777, 0600u);
            const Run status = dioSim({"status"}, state_);
            QVERIFY2(status.exitCode == 0 && QRegularExpression(DefaultStatus).match(status.out).hasMatch(),
                     qPrintable(status.out + status.err));
            return;
        }
        QVERIFY2(reset.exitCode == 1 && reset.err.contains(state_) && reset.err.contains(says),
                 qPrintable(reset.err));
        QCOMPARE(after, content);
        QCOMPARE(info.st_mode & 0777, mode_t(mode));
        if (says.contains("chmod"))
            return;
        QVERIFY2(reset.err.contains("KAVREN_SIM_STATE") && !reset.err.contains("dio-sim reset"),
                 qPrintable(reset.err));
        QVERIFY2(!QFile::exists(state_ + ".lock"), "a lock file was made beside somebody else's file");
        for (const char *command : {"status", "unplug DIO-SIM-0001"}) {
            const Run run = dioSim(words(command), state_);
            QVERIFY2(run.exitCode == 1 && run.err == reset.err, qPrintable(run.err));
        }
        QCOMPARE(after, content);
    }

    void newFilesArePrivate() {
        const QString nested = directory_.filePath("new/deeper/state");
        QCOMPARE(dioSim({"status"}, nested).exitCode, 0);
        struct stat info {};
        QCOMPARE(::stat(qPrintable(nested), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);
        QCOMPARE(::stat(qPrintable(directory_.filePath("new/deeper")), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);
    }
};

QTEST_GUILESS_MAIN(DioSimTest)
#include "tst_dio_sim.moc"
