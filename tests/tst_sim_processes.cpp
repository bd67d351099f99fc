// Several processes on one simulator state: no update is lost, and a process killed in the middle of a
// change leaves a state the next call reads whole.
#include <QtTest>

#include <QRandomGenerator>
#include <csignal>

#include "SimProcess.h"

class SimProcessesTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory_;

private slots:
    void twoWritersLoseNothing() {
        const QString state = directory_.filePath("writers");
        QProcess first, second;
        for (QProcess *writer : {&first, &second})
            writer->setProcessEnvironment(environmentFor(state));
        QCOMPARE(dioSim({"status"}, state).exitCode, 0); // both start on the same file
        first.start(SIM_WRITER_PATH, {"ports", "DIO-SIM-0001", "0x10", "600"});
        second.start(SIM_WRITER_PATH, {"ports", "DIO-SIM-0001", "0x11", "600"});
        for (QProcess *writer : {&first, &second}) {
            QVERIFY(writer->waitForFinished(120000));
            QVERIFY2(writer->exitCode() == 0, writer->readAllStandardError().constData());
        }
        // 600 mod 256 = 0x58, the last value each wrote.
        const Run status = dioSim({"status"}, state);
        QVERIFY2(status.out.contains(QRegularExpression("DIO-SIM-0001 .* outputs 0x58 0x58")),
                 qPrintable(status.out));
    }

    void killedWriterLeavesWholeState_data() {
        QTest::addColumn<QStringList>("writer");
        QTest::newRow("writing ports") << QStringList{"ports", "DIO-SIM-0001", "0x10", "1000000"};
        QTest::newRow("adding and removing devices") << QStringList{"devices", "1000000"};
    }
    void killedWriterLeavesWholeState() {
        QFETCH(QStringList, writer);
        const QString state = directory_.filePath(QTest::currentDataTag()).replace(' ', '_');
        QCOMPARE(dioSim({"status"}, state).exitCode, 0);
        for (int round = 0; round < 25; ++round) {
            QProcess process;
            process.setProcessEnvironment(environmentFor(state));
            process.start(SIM_WRITER_PATH, writer);
            QVERIFY(process.waitForStarted());
            QTest::qSleep(5 + QRandomGenerator::global()->bounded(40));
            QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
            ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
            QVERIFY(process.waitForFinished());
            const Run status = dioSim({"status", "--json"}, state);
            QVERIFY2(status.exitCode == 0, qPrintable(status.err));
            QVERIFY(QJsonDocument::fromJson(status.out.toUtf8()).object().value("devices").toArray().size() >=
                    2);
        }
        // What the killed writers left behind goes with the next change.
        QCOMPARE(dioSim({"clear"}, state).exitCode, 0);
        const QFileInfo file(state);
        QCOMPARE(file.dir().entryList({file.fileName() + ".tmp-*"}, QDir::System | QDir::Files),
                 QStringList());
    }
};

QTEST_GUILESS_MAIN(SimProcessesTest)
#include "tst_sim_processes.moc"
