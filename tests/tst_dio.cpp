// dio as a script uses it: command lines against the simulator (each row with its own state file, set up
// with dio-sim) and against a stand-in library that misbehaves; watch, and its end on a signal.
#include <QtTest>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

struct Result {
    int exitCode = -1;
    QString out, err;
};

// Words as a shell splits them, for double quotes; '' stands for an empty word, <TAB>, <NL> and <ESC>
// for those control characters.
QStringList words(const QString &commandLine) {
    QStringList split = QProcess::splitCommand(commandLine);
    std::replace(split.begin(), split.end(), QStringLiteral("''"), QString());
    for (QString &word : split)
        word.replace("<TAB>", "\t").replace("<NL>", "\n").replace("<ESC>", "\x1b");
    return split;
}

// A pattern that matches exactly this text.
QString literally(const char *text) {
    return QRegularExpression::escape(QString::fromUtf8(text));
}

} // namespace

class DioTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        state = std::make_unique<QTemporaryDir>();
        QVERIFY(state->isValid());
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KAVREN_SIM_STATE", state->filePath("sim.state"));
        environment.insert("STANDIN_LOG", state->filePath("calls.log"));
        environment.remove("KAVREN_LIBRARY");
        environment.remove("LD_LIBRARY_PATH");
    }

    void commands_data() {
        QTest::addColumn<QString>("setup"); // dio-sim command lines, separated by ';'
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>(
            "standin"); // KEY=VALUE settings of the stand-in library, or "" for the simulator
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // the whole of stdout, as a pattern
        QTest::addColumn<QString>("err"); // a pattern found in stderr

        const QString sim1 = "DIO-SIM-0001";
        QTest::newRow("list") << ""
                              << "list"
                              << "" << 0
                              << "DIO-SIM-0001\tSimulated USB DIO - outputs wired to inputs\n"
                                 "DIO-SIM-0002\tSimulated USB DIO - counting inputs\n"
                              << "^$";
        QTest::newRow("list json")
            << ""
            << "list --json"
            << "" << 0 << "\\[\\{\"description\":\"Simulated[^\"]*\",\"serial\":\"DIO-SIM-0001\"\\},.*\\]\\n"
            << "^$";
        QTest::newRow("list nothing") << "remove DIO-SIM-0001; remove DIO-SIM-0002"
                                      << "list"
                                      << "" << 0 << ""
                                      << "^$";
        QTest::newRow("read all") << ""
                                  << "read " + sim1 << "" << 0
                                  << "0x00=0x00\n0x01=0x00\n0x10=0x00\n0x11=0x00\n"
                                  << "^$";
        QTest::newRow("read in the order asked") << "add M1 Manual --mode manual; set M1 0x01 0b10100101"
                                                 << "read M1 0x11 1 0x01"
                                                 << "" << 0 << "0x11=0x00\n0x01=0xA5\n0x01=0xA5\n"
                                                 << "^$";
        QTest::newRow("read json") << "add M1 Manual --mode manual; set M1 0 90"
                                   << "read M1 0 --json"
                                   << "" << 0 << "\\{\"ports\":\\{\"0x00\":90\\},\"serial\":\"M1\"\\}\\n"
                                   << "^$";
        QTest::newRow("write reads back") << ""
                                          << "write " + sim1 + " 0x10=0x5A 0x11=0b1"
                                          << "" << 0 << "0x10=0x5A\n0x11=0x01\n"
                                          << "^$";
        QTest::newRow("written outputs reach the loopback inputs") << ""
                                                                   << "write " + sim1 + " 0x10=7 0x10=0x80"
                                                                   << "" << 0 << "0x10=0x80\n"
                                                                   << "^$";
        QTest::newRow("version") << ""
                                 << "version " + sim1 << "" << 0 << "1.0-sim\n"
                                 << "^$";
        QTest::newRow("unknown device") << ""
                                        << "read NO-SUCH"
                                        << "" << 1 << ""
                                        << "^dio: Error Opening Device\n$";
        QTest::newRow("unplugged device") << "unplug " + sim1 << "version " + sim1 << "" << 1 << ""
                                          << "^dio: Error Opening Device\n$";
        QTest::newRow("library message") << ""
                                         << "read " + sim1 + " 0x05"
                                         << "" << 1 << ""
                                         << "^dio: Port 0x05 does not exist\n$";
        QTest::newRow("write to an input") << ""
                                           << "write " + sim1 + " 0x00=1"
                                           << "" << 1 << ""
                                           << "^dio: Port 0x00 is an input\n$";
        QTest::newRow("read fails without message") << "fail ReadPort --message ''"
                                                    << "read " + sim1 << "" << 1 << ""
                                                    << "^dio: Error Reading Port\n$";
        QTest::newRow("write fails without message") << "fail WritePort --message ''"
                                                     << "write " + sim1 + " 16=1"
                                                     << "" << 1 << ""
                                                     << "^dio: Error Writing Port\n$";
        QTest::newRow("version fails with markup") << "fail GetSWVersion --message \"<b>x</b>\""
                                                   << "version " + sim1 << "" << 1 << ""
                                                   << "^dio: <b>x</b>\n$";
        QTest::newRow("close fails") << "fail CloseDevice"
                                     << "read " + sim1 + " 0x10"
                                     << "" << 1 << ""
                                     << "^dio: Error Closing Device\n$";
        QTest::newRow("listing fails") << "fail ListDevices"
                                       << "list"
                                       << "" << 1 << ""
                                       << "^dio: Error Listing Devices\n$";

        // A library that misbehaves.
        QTest::newRow("unterminated version") << ""
                                              << "version S1"
                                              << "STANDIN_VERSION=FILL" << 0 << "xxxxxxxxxx\n"
                                              << "^$";
        QTest::newRow("unterminated message") << ""
                                              << "read S1 0"
                                              << "STANDIN_FAIL=ReadPort STANDIN_MESSAGE=FILL" << 1 << ""
                                              << "^dio: x{256}\n$";
        QTest::newRow("read back differs") << ""
                                           << "write S1 0x10=1"
                                           << "STANDIN_INPUT=90" << 1 << ""
                                           << "^dio: port 0x10 reads back 0x5A after 0x01 was written\n$";
        QTest::newRow("absurd count")
            << ""
            << "list"
            << "STANDIN_COUNT=2000000000 STANDIN_SERIALS=A,B" << 0 << "A\tStand-in device\nB\t\n"
            << "counts 2000000000 devices but lists 2 serial numbers and 1 descriptions";
        QTest::newRow("only the descriptions disagree")
            << ""
            << "list"
            << "STANDIN_COUNT=2 STANDIN_SERIALS=A,B STANDIN_DESCRIPTIONS=a" << 0 << "A\ta\nB\t\n"
            << "counts 2 devices but lists 2 serial numbers and 1 descriptions";
        QTest::newRow("one device, empty description")
            << ""
            << "list"
            << "STANDIN_COUNT=1 STANDIN_SERIALS=A STANDIN_DESCRIPTIONS=" << 0 << "A\t\n"
            << "^$";
        QTest::newRow("simulated device, empty description")
            << "remove DIO-SIM-0001;remove DIO-SIM-0002;add X1 ''"
            << "list --json"
            << "" << 0 << literally("[{\"description\":\"\",\"serial\":\"X1\"}]\n") << "^$";
        QTest::newRow("negative count") << ""
                                        << "list"
                                        << "STANDIN_COUNT=-3" << 0 << ""
                                        << "counts -3 devices";
        QTest::newRow("unterminated list")
            << ""
            << "list --json"
            << "STANDIN_SERIALS=FILL" << 0
            << "\\[\\{\"description\":\"Stand-in device\",\"serial\":\"x{512}\"\\}\\]\\n"
            << "^$";

        // Texts that try to forge lines: escaped in lines and messages, exact in JSON.
        const QString hostileList = "STANDIN_COUNT=2 STANDIN_SERIALS=HOSTILE STANDIN_DESCRIPTIONS=HOSTILE";
        QTest::newRow("hostile list")
            << ""
            << "list" << hostileList << 0 << literally("A\\x09B\tE\\x1B[2J\\x9B\nC\\x0AD\tF\\x5CG\n") << "^$";
        QTest::newRow("hostile list json")
            << ""
            << "list --json" << hostileList << 0
            << literally("[{\"description\":\"E\\u001b[2J\\u009b\",\"serial\":\"A\\tB\"},"
                         "{\"description\":\"F\\\\G\",\"serial\":\"C\\nD\"}]\n")
            << "^$";
        QTest::newRow("hostile version")
            << ""
            << "version S1"
            << "STANDIN_VERSION=HOSTILE" << 0 << literally("v\\x09\\x0A\\x1B\\x5C\\x85\n") << "^$";
        QTest::newRow("hostile message")
            << ""
            << "read S1 0"
            << "STANDIN_FAIL=ReadPort STANDIN_MESSAGE=HOSTILE" << 1 << ""
            << "^" + literally("dio: bad\\x09line\\x0Afake: \\x1B[31mred\\x5C\n") + "$";
        QTest::newRow("backslash from the simulator")
            << "add A\\B Back\\slash"
            << "list"
            << "" << 0
            << "DIO-SIM-0001\t[^\n]*\nDIO-SIM-0002\t[^\n]*\n" + literally("A\\x5CB\tBack\\x5Cslash\n")
            << "^$";
        QTest::newRow("backslash in json")
            << "add A\\B Box"
            << "read A\\B 0x10 --json"
            << "" << 0 << literally("{\"ports\":{\"0x10\":0},\"serial\":\"A\\\\B\"}\n") << "^$";

        // Bad usage: exit 2, the command's usage, and not one library call.
        const char *badUsage[] = {"",
                                  "frobnicate",
                                  "list --bogus",
                                  "read",
                                  "read S1 256",
                                  "read S1 0x5G",
                                  "read S1 -1",
                                  "read 12345678901234567890",
                                  "read ''",
                                  "write S1",
                                  "write S1 0x10",
                                  "write S1 0x10=0x100",
                                  "write S1 =1",
                                  "watch S1 --interval 0",
                                  "watch S1 --interval 60001",
                                  "watch S1 --count 0",
                                  "watch S1 --interval= 100",
                                  "version S1 extra",
                                  "--simulator --library /nowhere list",
                                  "read Seri\u20ac",
                                  "read S<TAB>1",
                                  "write S<NL>1 0x10=1",
                                  "version S<ESC>1",
                                  "watch S<TAB>1",
                                  "watch S1 --duration 0",
                                  "watch S1 --duration 1.0001",
                                  "watch S1 --duration 1.",
                                  "watch S1 --duration -1",
                                  "watch S1 --duration -0.5",
                                  "watch S1 --duration 1000000001",
                                  "watch S1 --duration ''",
                                  "watch S1 --duration=",
                                  "watch S1 --format bogus",
                                  "watch S1 --json --format csv",
                                  "watch S1 --format csv --format vcd",
                                  "watch S1 --format csv --format vcd --output a --output b --output c",
                                  "watch S1 --ports 256",
                                  "watch S1 --output ''"};
        for (const char *line : badUsage)
            QTest::addRow("bad usage: %s", line) << "" << line << "STANDIN_COUNT=1" << 2 << ""
                                                 << "Usage:";
        for (const char *line : {"--library '' --version", "list --library ''",
                                 "--library= --simulator --version", "--library= list", "list --library=",
                                 "list -- --library= --simulator --version", "--library=x --library= list"})
            QTest::addRow("bad usage: %s", line) << "" << line << "" << 2 << ""
                                                 << "^dio: --library needs a path\n\n[^\n]*\nUsage:";
        QTest::newRow("help") << ""
                              << "read --help"
                              << "" << 0 << "(?s).*Usage:.*SERIAL.*PORT.*"
                              << "^$";
        QTest::newRow("missing library") << ""
                                         << "--library /nowhere/libkavren.so.1 list"
                                         << "" << 3 << ""
                                         << "/nowhere/libkavren.so.1";
        QTest::newRow("version of dio")
            << ""
            << "--version"
            << "" << 0 << "dio \\d+\\.\\d+\\.\\d+\ndevice library: /.*libkavren.so.1\n"
            << "^$";
    }
    void commands() {
        QFETCH(QString, setup);
        QFETCH(QString, command);
        QFETCH(QString, standin);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        for (const QString &line : setup.split(';', Qt::SkipEmptyParts)) {
            const Result result = run(DIO_SIM, words(line));
            QVERIFY2(result.exitCode == 0, qPrintable("dio-sim " + line + ": " + result.err));
        }
        QStringList arguments = words(command);
        if (!standin.isEmpty()) {
            for (const QString &setting : words(standin))
                environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
            arguments.prepend(STANDIN_LIBRARY);
            arguments.prepend("--library");
        }
        const Result result = run(DIO, arguments);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out)).match(result.out).hasMatch(),
                 qPrintable("stdout: " + result.out));
        QVERIFY2(QRegularExpression(err).match(result.err).hasMatch(), qPrintable("stderr: " + result.err));
        if (exitCode == 2)
            QVERIFY2(!QFile::exists(state->filePath("calls.log")), "a library call was made on bad usage");
        else
            QVERIFY2(openedEqualsClosed(), "an open was not followed by its close");
    }

    // Lines at start and on each change of a manual device's inputs, then the end after --count changes.
    void watchFollowsChanges_data() {
        QTest::addColumn<bool>("json");
        QTest::newRow("text") << false;
        QTest::newRow("json") << true;
    }
    void watchFollowsChanges() {
        QFETCH(bool, json);
        QCOMPARE(run(DIO_SIM, words("add M1 Manual --mode manual")).exitCode, 0);
        QProcess watch;
        watch.setProcessEnvironment(environment);
        watch.start(DIO, words("watch M1 --interval 10 --count 2") +
                             (json ? QStringList{"--json"} : QStringList{}));
        QVERIFY(waitForLines(watch, 1));
        QCOMPARE(run(DIO_SIM, words("set M1 0x00 0xA5")).exitCode, 0);
        QVERIFY(waitForLines(watch, 2));
        QCOMPARE(run(DIO_SIM, words("set M1 0x01 0x80")).exitCode, 0);
        QVERIFY(watch.waitForFinished(5000));
        QCOMPARE(watch.exitCode(), 0);
        const QString time = "20\\d\\d-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z";
        const QString pattern =
            json ? QString("\\{\"ports\":\\{\"0x00\":0,\"0x01\":0\\},\"time\":\"T\"\\}\\n"
                           "\\{\"ports\":\\{\"0x00\":165,\"0x01\":0\\},\"time\":\"T\"\\}\\n"
                           "\\{\"ports\":\\{\"0x00\":165,\"0x01\":128\\},\"time\":\"T\"\\}\\n")
                       .replace("T", time)
                 : QString("T 0x00=0x00 0x01=0x00\nT 0x00=0xA5 0x01=0x00\nT 0x00=0xA5 0x01=0x80\n")
                       .replace("T", time);
        const QString output = watch.readAllStandardOutput();
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(output).hasMatch(),
                 qPrintable(output));
    }

    void watchEndsOnSignalsAndFailures_data() {
        QTest::addColumn<int>("signal"); // 0: a failing read ends it instead
        QTest::addColumn<QString>("interval");
        QTest::newRow("SIGINT") << SIGINT << "10";
        QTest::newRow("SIGTERM") << SIGTERM << "10";
        QTest::newRow("SIGHUP") << SIGHUP << "10";
        QTest::newRow("read fails") << 0 << "10";
        QTest::newRow("SIGINT during a long interval") << SIGINT << "60000";
        QTest::newRow("SIGTERM during a long interval") << SIGTERM << "60000";
    }
    void watchEndsOnSignalsAndFailures() {
        QFETCH(int, signal);
        QFETCH(QString, interval);
        environment.insert("STANDIN_FAIL", "ReadPort");
        environment.insert("STANDIN_FAIL_WHEN", state->filePath("fail"));
        environment.insert("STANDIN_MESSAGE", "gone");
        QProcess watch;
        watch.setProcessEnvironment(environment);
        watch.setChildProcessModifier([] { // as from a terminal, whatever the test runner left ignored
            for (const int each : {SIGINT, SIGTERM, SIGHUP})
                ::signal(each, SIG_DFL);
        });
        watch.start(DIO, {"--library", STANDIN_LIBRARY, "watch", "S1", "--interval", interval});
        QVERIFY(waitForLines(watch, 1));
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        if (signal != 0) {
            ::kill(static_cast<pid_t>(watch.processId()), signal);
        } else {
            QFile flag(state->filePath("fail"));
            QVERIFY(flag.open(QIODevice::WriteOnly));
        }
        QVERIFY(watch.waitForFinished(5000));
        if (signal != 0) // a hang check, not a speed goal: the wait for the next poll is cut short
            QVERIFY2(sinceSignal.elapsed() < 1000, qPrintable(QString::number(sinceSignal.elapsed())));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), signal != 0 ? 0 : 1);
        if (signal == 0)
            QCOMPARE(watch.readAllStandardError(), QByteArray("dio: gone\n"));
        QVERIFY2(openedEqualsClosed(), "the device was left open");
    }

    // The first SIGINT/SIGTERM lets the slow library call in progress return (and no further call be made:
    // a tick reads two ports), then watch ends with exit 0; a second ends it at once, as the signal would.
    // A signal the caller left ignored stays ignored.
    void watchSignalsDuringSlowCalls_data() {
        QTest::addColumn<QList<int>>("stopSignals");
        QTest::addColumn<bool>("sigintIgnored");
        QTest::addColumn<int>("exitSignal"); // 0: exit 0
        QTest::newRow("SIGTERM: after that call") << QList<int>{SIGTERM} << false << 0;
        QTest::newRow("SIGINT: after that call") << QList<int>{SIGINT} << false << 0;
        QTest::newRow("two SIGTERM: at once") << QList<int>{SIGTERM, SIGTERM} << false << SIGTERM;
        QTest::newRow("SIGTERM then SIGINT: at once") << QList<int>{SIGTERM, SIGINT} << false << SIGINT;
        QTest::newRow("ignored SIGINT stays ignored, SIGTERM ends it")
            << QList<int>{SIGINT, SIGTERM} << true << 0;
    }
    void watchSignalsDuringSlowCalls() {
        QFETCH(QList<int>, stopSignals);
        QFETCH(bool, sigintIgnored);
        QFETCH(int, exitSignal);
        QProcess watch;
        watch.setProcessEnvironment(environment);
        if (sigintIgnored)
            watch.setChildProcessModifier([] { ::signal(SIGINT, SIG_IGN); });
        watch.start(DIO, words("watch DIO-SIM-0001 --interval 10 --format vcd"));
        QVERIFY(waitForLines(watch, 40)); // the head and the first reading
        QCOMPARE(run(DIO_SIM, words("delay ReadPort 3000")).exitCode, 0);
        QTest::qWait(500); // well inside the next tick's first, slow, read
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        for (const int signal : stopSignals) {
            ::kill(static_cast<pid_t>(watch.processId()), signal);
            if (signal == SIGINT && sigintIgnored)
                QVERIFY2(!watch.waitForFinished(3500), "an ignored SIGINT ended watch");
            QTest::qWait(100);
        }
        QVERIFY(watch.state() == QProcess::NotRunning || watch.waitForFinished(10000));
        // Hang bounds: a second read (3 s more) or the wait for the signal's end would pass them.
        QVERIFY2(sinceSignal.elapsed() < (exitSignal != 0 ? 1500 : 5000) + (sigintIgnored ? 3600 : 0),
                 qPrintable(QString::number(sinceSignal.elapsed())));
        if (exitSignal != 0) {
            QCOMPARE(watch.exitStatus(), QProcess::CrashExit);
            QCOMPARE(watch.exitCode(), exitSignal);
            return;
        }
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        const QByteArray vcd = watch.readAllStandardOutput();
        QVERIFY2(QRegularExpression("\\n#\\d+\\n$").match(QString(vcd)).hasMatch(),
                 vcd.right(200).constData());
    }

    // --stats counts the ticks that started more than half an interval late.
    void watchStatsCountLateTicks_data() {
        QTest::addColumn<QString>("delay");
        QTest::addColumn<bool>("late");
        QTest::newRow("reads slower than the interval") << "delay ReadPort 40" << true;
        QTest::newRow("no delay") << "" << false;
    }
    void watchStatsCountLateTicks() {
        QFETCH(QString, delay);
        QFETCH(bool, late);
        if (!delay.isEmpty())
            QCOMPARE(run(DIO_SIM, words(delay)).exitCode, 0);
        const Result result = run(DIO, words("watch DIO-SIM-0001 --interval 50 --duration 0.5 --stats"));
        QCOMPARE(result.exitCode, 0);
        const auto stats = QRegularExpression("^dio watch: (\\d+) ticks, (\\d+) late \\([\\d.]+%\\), largest "
                                              "lateness ([\\d.]+) ms, [\\d.]+ ticks/s of 20.0 asked\\n$")
                               .match(result.err);
        QVERIFY2(stats.hasMatch(), qPrintable(result.err));
        const int ticks = stats.captured(1).toInt(), lateTicks = stats.captured(2).toInt();
        if (late) { // each tick reads two ports: 80 ms for a tick due every 50 ms
            QVERIFY2(ticks >= 3 && lateTicks == ticks - 1, qPrintable(result.err));
            QVERIFY(stats.captured(3).toDouble() > 25.0);
        } else { // a loose bound, for a busy machine: most ticks on time
            QVERIFY2(ticks >= 5 && lateTicks * 2 < ticks, qPrintable(result.err));
        }
    }

    // Whatever a command prints on a full disk: the loss is said and the exit code is 1.
    void lostOutputFails_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("command");
        const char *dio[] = {"list",
                             "list --json",
                             "read DIO-SIM-0001",
                             "read DIO-SIM-0001 --json",
                             "write DIO-SIM-0001 0x10=0x21",
                             "version DIO-SIM-0001",
                             "watch DIO-SIM-0001",
                             "--version",
                             "--help",
                             "read --help"};
        for (const char *command : dio)
            QTest::addRow("dio %s", command) << "dio" << command;
        const char *dioSim[] = {"status", "status --json", "--help", "fail --help"};
        for (const char *command : dioSim)
            QTest::addRow("dio-sim %s", command) << "dio-sim" << command;
    }
    void lostOutputFails() {
        QFETCH(QString, program);
        QFETCH(QString, command);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile("/dev/full");
        process.start(program == "dio" ? DIO : DIO_SIM, words(command));
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        QCOMPARE(QString(process.readAllStandardError()),
                 program + ": cannot write the output: " + QString::fromLocal8Bit(std::strerror(ENOSPC)) +
                     "\n");
        if (command.startsWith("write")) // the device was written all the same
            QCOMPARE(run(DIO, words("read DIO-SIM-0001 0x10")).out, QString("0x10=0x21\n"));
    }

private:
    Result run(const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(10000))
            process.kill();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

    bool waitForLines(QProcess &process, int lines) {
        QDeadlineTimer deadline(5000);
        while (process.peek(1 << 16).count('\n') < lines && !deadline.hasExpired())
            process.waitForReadyRead(50);
        return process.peek(1 << 16).count('\n') >= lines;
    }

    bool openedEqualsClosed() const {
        QFile log(state->filePath("calls.log"));
        if (!log.open(QIODevice::ReadOnly))
            return true; // the simulator was used, or nothing opened
        const QString calls = log.readAll();
        return calls.count("open") == calls.count("close");
    }

    std::unique_ptr<QTemporaryDir> state;
    QProcessEnvironment environment;
};

QTEST_GUILESS_MAIN(DioTest)
#include "tst_dio.moc"
