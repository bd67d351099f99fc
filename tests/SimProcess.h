// Runs dio-sim and the simulator's helper programs on a state file of the test's own.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

inline QProcessEnvironment environmentFor(const QString &statePath) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KAVREN_SIM_STATE", statePath);
    return environment;
}

inline Run runProgram(const QString &program, const QStringList &arguments, const QString &statePath) {
    QProcess process;
    process.setProcessEnvironment(environmentFor(statePath));
    process.start(program, arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

inline Run dioSim(const QStringList &arguments, const QString &statePath) {
    return runProgram(DIO_SIM_PATH, arguments, statePath);
}

// A command line written as one text, split at spaces; "_" stands for a space inside an argument.
inline QStringList words(const QString &line) {
    QStringList result = line.split(' ', Qt::SkipEmptyParts);
    for (QString &word : result)
        word.replace('_', ' ');
    return result;
}

// Runs dio-sim command lines separated by ';' on the state; each one must succeed.
inline void runSimCommands(const QString &lines, const QString &statePath) {
    for (const QString &line : lines.split(';', Qt::SkipEmptyParts)) {
        const Run run = dioSim(words(line), statePath);
        QVERIFY2(run.exitCode == 0, qPrintable(line + ": " + run.err));
    }
}
