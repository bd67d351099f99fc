// What a user of the simulator's state sees when the file goes bad in the middle of a call, when things
// are planted beside it, when another program holds its lock, and when its directory or its records
// cannot be trusted: a failed call or a refusal that names the way out, never a hang, a crash or a
// write through someone else's file.
#include <QtTest>

#include <QElapsedTimer>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <map>
#include <sys/file.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "ChangeCount.h"
#include "SimProcess.h"
#include "StateFormat.h"
#include "kavren.h"

namespace {

// Runs once, right after the next call to take the state's lock got it.
std::function<void()> whileLocked;
// Runs once, when the next file is about to be synced: a change's temporary file, still open.
std::function<void()> whileWriting;

struct Outcome {
    int status = 0;
    QString message;
};

// One operation on DIO-SIM-0001 through `handle` (OpenDevice sets it).
Outcome call(const QString &operation, DeviceHandle &handle) {
    std::array<char, KAVREN_MESSAGE_SIZE> message{};
    std::array<char, KAVREN_SERIAL_LIST_SIZE> serials{};
    std::array<char, KAVREN_DESCRIPTION_LIST_SIZE> descriptions{};
    std::array<char, KAVREN_VERSION_SIZE> version{};
    std::int32_t count = 0;
    std::uint8_t value = 0;
    const std::map<QString, std::function<std::int32_t()>> operations{
        {"ListDevices", [&] { return ListDevices(&count, serials.data(), descriptions.data()); }},
        {"OpenDevice", [&] { return OpenDevice("DIO-SIM-0001", &handle); }},
        {"CloseDevice", [&] { return CloseDevice(handle); }},
        {"GetSWVersion", [&] { return GetSWVersion(handle, version.data(), message.data()); }},
        {"ReadPort", [&] { return ReadPort(handle, 0x10, &value, message.data()); }},
        {"WritePort", [&] { return WritePort(handle, 0x10, 0x42, message.data()); }},
    };
    const std::int32_t status = operations.at(operation)();
    return {status, QString::fromLatin1(message.data())};
}

bool isFile(const QString &path) {
    struct stat info {};
    return ::lstat(qPrintable(path), &info) == 0;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray stateBytes(const sim::State &state) {
    const std::vector<std::uint8_t> bytes = sim::encode(state);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

// The descriptors a program started now by another thread of this process would have open, as that
// program lists them.
QString descriptorsOfAChildStartedMeanwhile() {
    QString listing;
    std::thread([&] {
        FILE *child = ::popen("ls -l /proc/self/fd/", "r");
        std::array<char, 4096> buffer{};
        while (child != nullptr && std::fgets(buffer.data(), int(buffer.size()), child) != nullptr)
            listing += QString::fromLocal8Bit(buffer.data());
        if (child != nullptr)
            ::pclose(child);
    }).join();
    return listing;
}

sim::CountRecord countRecord(const QString &lockPath) {
    sim::CountRecord record;
    QFile file(lockPath);
    if (file.open(QIODevice::ReadOnly))
        file.read(reinterpret_cast<char *>(&record), sizeof record);
    return record;
}

void writeCountRecord(const QString &lockPath, const sim::CountRecord &record) {
    QFile file(lockPath);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QCOMPARE(file.write(reinterpret_cast<const char *>(&record), sizeof record), qint64(sizeof record));
}

// How many processes have the segment attached, -1 when it is gone.
int attachedTo(std::int64_t segment) {
    struct shmid_ds info {};
    return ::shmctl(int(segment), IPC_STAT, &info) == 0 ? int(info.shm_nattch) : -1;
}

// Writes a 64-bit number at `offset` of the segment, as another program of the user's could.
bool scribble(std::int64_t segment, std::size_t offset, std::uint64_t value) {
    void *at = ::shmat(int(segment), nullptr, 0);
    if (at == reinterpret_cast<void *>(-1))
        return false;
    std::memcpy(static_cast<char *>(at) + offset, &value, sizeof value);
    return ::shmdt(at) == 0;
}

// A segment that looks like the count's but was not made by the simulator: `mode` and `size` as given,
// holding `nonce` and a count; removed at the end of the test row.
std::int64_t plantSegment(int mode, std::size_t size, std::uint64_t nonce) {
    const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | mode);
    if (id >= 0 && !scribble(id, 0, nonce))
        return -1;
    return id;
}

// Ways to spoil a sound state that the file format itself would carry.
const std::map<QString, std::function<void(sim::State &)>> Spoilers{
    {"", [](sim::State &) {}},
    {"a counted fault with no call left",
     [](sim::State &state) { state.ruleFor(sim::Operation::ReadPort, "").fails = true; }},
    {"a control character in a serial", [](sim::State &state) { state.devices[0].serial = "DIO\x01"; }},
    {"a line feed in a version", [](sim::State &state) { state.devices[0].version = "1.0\n"; }},
    {"two devices with one serial",
     [](sim::State &state) { state.devices[1].serial = state.devices[0].serial; }},
};

} // namespace

// Stands in for the C library's flock, for the simulated library too, so a test can spoil the state
// between a call's first look and its change.
extern "C" int flock(int fd, int operation) {
    static const auto real = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "flock"));
    const int result = real(fd, operation);
    if (result == 0 && (operation & LOCK_EX) != 0 && whileLocked)
        std::exchange(whileLocked, nullptr)();
    return result;
}

// Counts the reads of a lock file (a look at the change count that asks the kernel), and makes every
// new shared-memory segment fail while `noSegments` is set, for the simulated library too.
std::atomic<int> lockFileReads{0};
bool noSegments = false;

extern "C" ssize_t pread(int fd, void *bytes, size_t count, off_t offset) {
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, void *, size_t, off_t)>(dlsym(RTLD_NEXT, "pread"));
    std::array<char, 4096> target{};
    const ssize_t length =
        ::readlink(qPrintable(QString("/proc/self/fd/%1").arg(fd)), target.data(), target.size() - 1);
    if (length > 0 && QByteArray(target.data(), int(length)).endsWith(".lock"))
        ++lockFileReads;
    return real(fd, bytes, count, offset);
}

extern "C" ssize_t pread64(int fd, void *bytes, size_t count, off_t offset) {
    return pread(fd, bytes, count, offset);
}

extern "C" int shmget(key_t key, size_t size, int flags) {
    static const auto real = reinterpret_cast<int (*)(key_t, size_t, int)>(dlsym(RTLD_NEXT, "shmget"));
    if (noSegments) {
        errno = ENOSPC;
        return -1;
    }
    return real(key, size, flags);
}

// Makes the coarse clock fail while `noCoarseClock` is set, as on a kernel that does not offer it.
bool noCoarseClock = false;

extern "C" int clock_gettime(clockid_t clock, timespec *time) {
    static const auto real =
        reinterpret_cast<int (*)(clockid_t, timespec *)>(dlsym(RTLD_NEXT, "clock_gettime"));
    if (noCoarseClock && clock == CLOCK_MONOTONIC_COARSE) {
        errno = EINVAL;
        return -1;
    }
    return real(clock, time);
}

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (whileWriting)
        std::exchange(whileWriting, nullptr)();
    return real(fd);
}

class SimStateTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory_;
    QString state_;
    int stateNumber_ = 0;

    void sim(const QString &lines) { runSimCommands(lines, state_); }
    // A state path of its own with no file yet, in a directory that exists.
    void useStateNotMadeYet() {
        state_ = directory_.filePath(QString("state-%1-new/kavren-sim.state").arg(stateNumber_));
        QVERIFY(QDir().mkpath(QFileInfo(state_).absolutePath()));
        qputenv("KAVREN_SIM_STATE", state_.toLocal8Bit());
    }

private slots:
    void init() {
        state_ = directory_.filePath(QString("state-%1/kavren-sim.state").arg(++stateNumber_));
        qputenv("KAVREN_SIM_STATE", state_.toLocal8Bit());
        sim("status"); // makes the state
    }

    void stateGoingBadMidwayFailsTheCall_data() {
        QTest::addColumn<QString>("fault"); // a dio-sim fail command, or none
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("chmod"); // made writable by others, else cut short
        const auto row = [](const QString &fault, const QString &operation, bool chmod) {
            QTest::addRow("%s, %s, %s", qPrintable(operation),
                          fault.isEmpty() ? "no fault" : qPrintable(fault), chmod ? "chmod 666" : "damaged")
                << fault << operation << chmod;
        };
        for (const char *operation :
             {"ListDevices", "OpenDevice", "CloseDevice", "GetSWVersion", "ReadPort", "WritePort"})
            row(QString("fail %1 --times 1").arg(operation), operation, false);
        row("fail ReadPort --always", "ReadPort", false);
        row("", "WritePort", false);
        row("fail CloseDevice --times 1", "CloseDevice", true);
        row("fail ReadPort --times 1", "ReadPort", true);
    }
    void stateGoingBadMidwayFailsTheCall() {
        QFETCH(QString, fault);
        QFETCH(QString, operation);
        QFETCH(bool, chmod);
        DeviceHandle handle = 0;
        if (operation != "OpenDevice")
            QCOMPARE(call("OpenDevice", handle).status, 0);
        sim(fault);
        whileLocked = [&] {
            QFile file(state_);
            if (chmod)
                file.setPermissions(file.permissions() | QFile::WriteOther);
            else if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write(stateBytes(sim::defaultState()).left(20));
        };
        const Outcome outcome = call(operation, handle);
        QVERIFY2(!whileLocked, "the call never took the lock");
        QVERIFY(outcome.status != 0);
        if (sim::hasMessage(*sim::parseOperation(operation.toStdString())))
            QVERIFY2(outcome.message.contains(state_) &&
                         outcome.message.contains(chmod ? "chmod 600" : "dio-sim reset"),
                     qPrintable(outcome.message));
        if (operation == "OpenDevice")
            QCOMPARE(handle, DeviceHandle(0));
        ::chmod(qPrintable(state_), 0600);
        sim("reset");
        if (handle != 0)
            QVERIFY(CloseDevice(handle) != 0); // released by the failed close, or unplugged by the reset
    }

    // A child forked while a change holds the lock shares the locked file; once the change is done, the
    // lock is free for everyone although that child still lives.
    void lockIsFreeAfterAChangeDuringAFork() {
        DeviceHandle handle = 0;
        QCOMPARE(call("OpenDevice", handle).status, 0);
        pid_t child = -1;
        whileLocked = [&] {
            child = ::fork();
            if (child == 0) {
                ::sleep(4);
                ::_exit(0);
            }
        };
        QCOMPARE(call("WritePort", handle).status, 0);
        QVERIFY2(child > 0, "the change never took the lock");
        const auto reap = qScopeGuard([&] {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        });
        QProcess other;
        other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        other.start(DIO_SIM_PATH, {"unplug", "DIO-SIM-0002"});
        QVERIFY(other.waitForFinished(10000));
        QCOMPARE(other.exitCode(), 0);
        QCOMPARE(CloseDevice(handle), 0);
    }

    void plantedFilesNeitherBlockNorGetWritten_data() {
        QTest::addColumn<QString>("suffix"); // after the state's path
        QTest::addColumn<QString>("kind");   // fifo, hard link (to a file of the user's) or symlink
        QTest::addColumn<bool>("works");
        const auto row = [](const QString &suffix, const QString &kind, bool works) {
            QTest::addRow("%s at <state>%s", qPrintable(kind), qPrintable(suffix)) << suffix << kind << works;
        };
        for (const char *suffix : {".new", ".tmp-AAAAAA"})
            for (const char *kind : {"fifo", "hard link"})
                row(suffix, kind, true);
        row(".lock", "hard link", true);
        row(".lock", "fifo", false);
        row(".lock", "symlink", false);
        row("", "symlink", false);
    }
    void plantedFilesNeitherBlockNorGetWritten() {
        QFETCH(QString, suffix);
        QFETCH(QString, kind);
        QFETCH(bool, works);
        const QString victim = state_ + "-victim", planted = state_ + suffix;
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("precious") == 8);
        file.close();
        QFile::remove(planted);
        const QByteArray name = planted.toLocal8Bit(), target = victim.toLocal8Bit();
        QCOMPARE(kind == "fifo"        ? ::mkfifo(name, 0600)
                 : kind == "hard link" ? ::link(target, name)
                                       : ::symlink(target, name),
                 0);
        DeviceHandle handle = 0;
        const bool stateIsPlanted = suffix.isEmpty();
        QCOMPARE(call("OpenDevice", handle).status, stateIsPlanted ? 7 : 0);
        if (!stateIsPlanted)
            QCOMPARE(call("WritePort", handle).status, works ? 0 : 7);
        QElapsedTimer timer;
        timer.start();
        const Run run = dioSim({"unplug", "DIO-SIM-0001"}, state_);
        QVERIFY2(run.exitCode == (works ? 0 : 1), qPrintable(run.err));
        QVERIFY(timer.elapsed() < 10000);
        if (works)
            QCOMPARE(call("ReadPort", handle).status, 6); // the unplug was written
        else
            QVERIFY2(run.err.contains(planted) && run.err.contains("KAVREN_SIM_STATE"), qPrintable(run.err));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
    }

    void lockHeldByAnotherProgram_data() {
        QTest::addColumn<QString>("tool"); // dio-sim or the library
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("changes");
        QTest::addColumn<bool>("stateMissing"); // the holder is making the state file
        const auto row = [](const QString &tool, const QString &command, bool changes, bool stateMissing) {
            QTest::addRow("%s %s%s", qPrintable(tool), qPrintable(command),
                          stateMissing ? ", no state file" : "")
                << tool << command << changes << stateMissing;
        };
        for (const bool stateMissing : {false, true}) {
            row("dio-sim", "status", false, stateMissing);
            row("library", stateMissing ? "ListDevices" : "ReadPort", false, stateMissing);
            row("dio-sim", "unplug DIO-SIM-0001", true, stateMissing);
        }
        row("library", "WritePort", true, false);
    }
    void lockHeldByAnotherProgram() {
        QFETCH(QString, tool);
        QFETCH(QString, command);
        QFETCH(bool, changes);
        QFETCH(bool, stateMissing);
        DeviceHandle handle = 0;
        if (stateMissing)
            useStateNotMadeYet();
        else
            QCOMPARE(call("OpenDevice", handle).status, 0);
        const QString lock = state_ + ".lock";
        QProcess holder;
        holder.start("flock", {"--exclusive", lock, "sleep", "30"});
        QVERIFY(holder.waitForStarted());
        const int probe = ::open(qPrintable(lock), O_RDONLY | O_CLOEXEC);
        const auto heldByHolder = [&] {
            const bool free = ::flock(probe, LOCK_EX | LOCK_NB) == 0;
            ::flock(probe, LOCK_UN);
            return !free;
        };
        QTRY_VERIFY(heldByHolder());
        ::close(probe);

        QElapsedTimer timer;
        timer.start();
        Outcome outcome;
        if (tool == "dio-sim") {
            const Run run = dioSim(words(command), state_);
            outcome = {run.exitCode, run.err};
        } else {
            outcome = call(command, handle);
        }
        const qint64 waited = timer.elapsed();
        holder.kill();
        holder.waitForFinished();
        QCOMPARE(outcome.status != 0, changes);
        if (changes) {
            QVERIFY2(outcome.message.contains("Another program holds " + lock), qPrintable(outcome.message));
            QVERIFY2(waited >= 1900 && waited < 10000, qPrintable(QString::number(waited)));
        } else {
            QVERIFY2(waited < 1000, qPrintable(QString::number(waited)));
        }
        if (stateMissing)
            QVERIFY2(outcome.message.isEmpty() || changes, qPrintable(outcome.message));
        else
            QCOMPARE(CloseDevice(handle), 0);
    }

    void handleDiesWithItsDevice_data() {
        QTest::addColumn<QString>("commands");
        QTest::newRow("one reset") << "reset";
        QTest::newRow("two resets in quick succession") << "reset;reset";
        QTest::newRow("unplugged and plugged again") << "unplug DIO-SIM-0001;plug DIO-SIM-0001";
    }
    void handleDiesWithItsDevice() {
        QFETCH(QString, commands);
        QVERIFY(QFile::remove(state_)); // a handle on a state made just now
        DeviceHandle handle = 0;
        QCOMPARE(call("OpenDevice", handle).status, 0);
        sim(commands);
        const Outcome outcome = call("ReadPort", handle);
        QCOMPARE(outcome.status, 6);
        QCOMPARE(outcome.message, QString("Device DIO-SIM-0001 was unplugged"));
        QVERIFY(CloseDevice(handle) != 0);
    }

    // Only what a writer killed midway left behind goes, and only once the state's path was found sound.
    void leftoversGoWithTheNextChange_data() {
        QTest::addColumn<QString>("name");    // beside the state; STATE stands for its file name
        QTest::addColumn<QString>("kind");    // file, fifo, linked (a file with a second link) or foreign
        QTest::addColumn<QString>("content"); // a state, other bytes, or nothing
        QTest::addColumn<bool>("removed");
        const auto row = [](const QString &name, const QString &kind, const QString &content, bool removed) {
            QTest::addRow("%s %s, %s", qPrintable(kind), qPrintable(name), qPrintable(content))
                << name << kind << content << removed;
        };
        row("STATE.tmp-Ab12Cd", "file", "a state", true);
        row("STATE.tmp-backup", "file", "other bytes", false);
        row("STATE.tmp-abcdef", "file", "other bytes", false);
        row("STATE.tmp-Ab12Cd", "file", "nothing", false);
        row("STATE.tmp-Fifo01", "fifo", "nothing", false);
        row("STATE.tmp-Ab12Cd", "linked", "a state", false);
        row("STATE.tmp-Xy98Zw", "foreign", "a state", false);
        row("STATE.tmp-Ab12Cd7", "file", "a state", false);
        row("STATE.tmp-Ab.2Cd", "file", "a state", false);
        row("other.tmp-Ab12Cd", "file", "a state", false);
    }
    void leftoversGoWithTheNextChange() {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, content);
        QFETCH(bool, removed);
        if (kind == "foreign" && ::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        const QFileInfo state(state_);
        const QString leftover = state.absolutePath() + "/" + name.replace("STATE", state.fileName());
        const QByteArray bytes = content == "a state"       ? stateBytes(sim::defaultState())
                                 : content == "other bytes" ? QByteArray("KAVSIM\r\n notes of my own\n")
                                                            : QByteArray();
        if (kind == "fifo")
            QCOMPARE(::mkfifo(qPrintable(leftover), 0600), 0);
        else
            QVERIFY(writeFile(leftover, bytes));
        if (kind == "foreign")
            QCOMPARE(::chown(qPrintable(leftover), 4242, 4242), 0);
        if (kind == "linked")
            QCOMPARE(::link(qPrintable(leftover), qPrintable(leftover + "-link")), 0);
        sim("status");
        QVERIFY(isFile(leftover)); // reading changes nothing
        sim("unplug DIO-SIM-0001");
        QCOMPARE(!isFile(leftover), removed);
    }

    // A path that cannot hold the state is refused before anything is made or removed beside it, with a
    // message that points at the setting rather than at the thing the path names.
    void refusedPathsStayAsTheyWere_data() {
        QTest::addColumn<QString>("path"); // DIR stands for a directory of the test's own
        QTest::addColumn<QString>("says");
        QTest::newRow("a directory, with a slash") << "DIR/"
                                                   << "names a directory";
        QTest::newRow("a directory") << "DIR"
                                     << "is a directory";
        QTest::newRow("a FIFO") << "DIR/fifo"
                                << "is a FIFO";
        QTest::newRow("/dev/null") << "/dev/null"
                                   << "is a character device";
    }
    void refusedPathsStayAsTheyWere() {
        QFETCH(QString, path);
        QFETCH(QString, says);
        const QString directory = directory_.filePath(QString("refused-%1").arg(stateNumber_));
        QVERIFY(QDir().mkpath(directory));
        for (const char *name : {".tmp-drafts", ".tmp-Ab12Cd", "fifo.tmp-Ab12Cd"})
            QVERIFY(writeFile(directory + "/" + name, stateBytes(sim::defaultState())));
        QCOMPARE(::mkfifo(qPrintable(directory + "/fifo"), 0600), 0);
        const QStringList before = QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
        path.replace("DIR", directory);
        const bool lockThere = isFile(path + ".lock"); // /dev/null.lock may be left from elsewhere
        for (const char *command : {"reset", "status", "unplug DIO-SIM-0001"}) {
            const Run run = dioSim(words(command), path);
            QVERIFY2(run.exitCode == 1 && run.err.contains(path) && run.err.contains(says) &&
                         run.err.contains("KAVREN_SIM_STATE") && !run.err.contains("remove"),
                     qPrintable(QString(command) + ": " + run.err));
        }
        QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before);
        QVERIFY(!isFile(directory + ".lock"));
        QCOMPARE(isFile(path + ".lock"), lockThere);
    }

    // The change count cannot be written (a full disk): a change that was made still succeeds, one that was
    // not still fails, so a script's exit code says what happened.
    void changeMadeWithoutItsCount_data() {
        QTest::addColumn<QString>("program"); // dio-sim, or sim_writer (the library's WritePort)
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("shown"); // what `dio-sim status` shows afterwards...
        QTest::addColumn<bool>("made");     // ... when the change was made
        const auto row = [](const char *name, const QString &program, const QString &command, int exitCode,
                            const QString &shown, bool made) {
            QTest::newRow(name) << program << command << exitCode << shown << made;
        };
        row("dio-sim add", "dio-sim", "add F2 d", 0, "\nF2 ", true);
        row("dio-sim unplug", "dio-sim", "unplug DIO-SIM-0001", 0, "unplugged", true);
        row("dio-sim unplug, no such device", "dio-sim", "unplug NOPE", 2, "NOPE", false);
        row("library WritePort", "sim_writer", "ports DIO-SIM-0001 16 3", 0, "outputs 0x03", true);
    }
    void changeMadeWithoutItsCount() {
        QFETCH(QString, program);
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, shown);
        QFETCH(bool, made);
        QVERIFY(writeFile(state_ + ".lock", {})); // the count was never written
        QProcess process;
        QProcessEnvironment environment = environmentFor(state_);
        environment.insert("LD_PRELOAD", FAIL_COUNT_WRITE_PATH);
        environment.insert("ASAN_OPTIONS", "verify_asan_link_order=0"); // the shim is no sanitized library
        process.setProcessEnvironment(environment);
        process.start(program == "dio-sim" ? DIO_SIM_PATH : SIM_WRITER_PATH, words(command));
        QVERIFY(process.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == exitCode,
                 qPrintable(err));
        QCOMPARE(QFileInfo(state_ + ".lock").size(), 0); // the shim did fail the count
        const Run status = dioSim({"status"}, state_);
        QVERIFY2(status.out.contains(shown) == made, qPrintable(status.out));
    }

    // A program started by another thread while a change is written inherits none of the state's files:
    // it would keep the lock or the temporary file open for as long as it runs.
    void childStartedDuringAChangeInheritsNothing_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("stateMissing"); // the call makes the state file
        QTest::newRow("WritePort") << "WritePort" << false;
        QTest::newRow("ListDevices, state made") << "ListDevices" << true;
    }
    void childStartedDuringAChangeInheritsNothing() {
        QFETCH(QString, operation);
        QFETCH(bool, stateMissing);
        DeviceHandle handle = 0;
        if (stateMissing)
            useStateNotMadeYet();
        else
            QCOMPARE(call("OpenDevice", handle).status, 0);
        QString descriptors;
        whileWriting = [&] { descriptors = descriptorsOfAChildStartedMeanwhile(); };
        QCOMPARE(call(operation, handle).status, 0);
        QVERIFY2(!whileWriting, "nothing was written");
        QVERIFY2(descriptors.contains("/proc/"), qPrintable(descriptors)); // the child listed its own
        QVERIFY2(!descriptors.contains(QFileInfo(state_).absolutePath()), qPrintable(descriptors));
        if (handle != 0)
            QCOMPARE(CloseDevice(handle), 0);
    }

    void fallbackDirectoryMustBeTheUsersAlone_data() {
        QTest::addColumn<QString>("planted"); // what /tmp/kavren-sim-<uid> is beforehand
        QTest::addColumn<bool>("used");
        for (const char *planted : {"nothing", "0700"})
            QTest::newRow(planted) << planted << true;
        for (const char *planted : {"0777", "0750", "foreign", "symlink", "file"})
            QTest::newRow(planted) << planted << false;
    }
    void fallbackDirectoryMustBeTheUsersAlone() {
        QFETCH(QString, planted);
        QFETCH(bool, used);
        const QString fallback = QString("/tmp/kavren-sim-%1").arg(::geteuid());
        if (isFile(fallback))
            QSKIP("the fallback directory is in use; it is never touched by the tests");
        if (planted == "foreign" && ::geteuid() != 0)
            QSKIP("only root can give a directory to another user");
        const QString target = directory_.filePath("private");
        QDir().mkpath(target);
        ::chmod(qPrintable(target), 0700);
        const QByteArray path = fallback.toLocal8Bit();
        if (planted == "symlink")
            QCOMPARE(::symlink(qPrintable(target), path), 0);
        else if (planted == "file")
            QVERIFY(QFile(fallback).open(QIODevice::WriteOnly));
        else if (planted != "nothing")
            QVERIFY(::mkdir(path, 0700) == 0 &&
                    ::chmod(path, planted.startsWith("07") ? planted.toUInt(nullptr, 8) : 0700) == 0);
        if (planted == "foreign")
            QCOMPARE(::chown(path, 4242, 4242), 0);
        struct stat before {};
        ::lstat(path, &before);

        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("KAVREN_SIM_STATE");
        environment.remove("XDG_RUNTIME_DIR");
        process.setProcessEnvironment(environment);
        process.start(DIO_SIM_PATH, {"status"});
        QVERIFY(process.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        struct stat after {};
        ::lstat(path, &after);
        const bool stateMade = isFile(fallback + "/kavren-sim.state");
        if (planted == "symlink" || planted == "file")
            QFile::remove(fallback);
        else
            QDir(fallback).removeRecursively();

        QVERIFY2(process.exitCode() == (used ? 0 : 1), qPrintable(err));
        QCOMPARE(stateMade, used);
        if (used) {
            QCOMPARE(after.st_mode & 0777, 0700u);
        } else {
            QVERIFY2(err.contains(fallback) && err.contains("XDG_RUNTIME_DIR") &&
                         err.contains("KAVREN_SIM_STATE"),
                     qPrintable(err));
            QCOMPARE(after.st_mode, before.st_mode); // never repaired
            QCOMPARE(after.st_uid, before.st_uid);
        }
    }

    // Another program's change reaches a reader that has the device open: at once when it goes through the
    // simulator and the lock file may carry the change count, within a second otherwise, even while the
    // reader calls without pause. Whatever is done to the lock file meanwhile, the reader lives.
    void changesReachAnOpenReader_data() {
        QTest::addColumn<QString>("lock");   // what <state>.lock is before the reader's first look
        QTest::addColumn<QString>("then");   // what is done to it while the reader polls
        QTest::addColumn<QString>("change"); // "unplug" through dio-sim, or "replace" the file by hand
        QTest::addColumn<bool>("busy");      // another thread calls all the while
        QTest::addColumn<bool>("atOnce");
        const auto row = [](const char *name, const QString &lock, const QString &then, const QString &change,
                            bool busy,
                            bool atOnce) { QTest::newRow(name) << lock << then << change << busy << atOnce; };
        row("unplug, idle reader", "as made", "", "unplug", false, true);
        row("unplug, busy reader", "as made", "", "unplug", true, true);
        row("file replaced by hand, idle reader", "as made", "", "replace", false, false);
        row("file replaced by hand, busy reader", "as made", "", "replace", true, false);
        row("file replaced by hand, no coarse clock", "as made", "no coarse clock", "replace", true, false);
        // The file read last stays linked and untouched in the directory moved aside.
        row("directory replaced by hand, idle reader", "as made", "", "replace directory", false, false);
        row("directory replaced by hand, busy reader", "as made", "", "replace directory", true, false);
        row("unplug, lock writable by group", "0620", "", "unplug", false, true);
        row("unplug, lock with a second link", "linked", "", "unplug", false, true);
        // The lock file emptied no longer names the segment the reader has: the next change names another.
        row("unplug, lock truncated", "as made", "truncate", "unplug", true, false);
        row("unplug, lock grown", "as made", "grow", "unplug", true, true);
        row("unplug, lock replaced by an empty file", "as made", "replace", "unplug", true, false);
        row("unplug, lock deleted", "as made", "delete", "unplug", true, false);
        row("unplug, segment removed by ipcrm", "as made", "ipcrm", "unplug", true, true);
        row("unplug, segment's nonce scribbled", "as made", "scribble nonce", "unplug", true, true);
        row("unplug, segment's count scribbled", "as made", "scribble count", "unplug", true, true);
        row("unplug, lock names a segment others may read", "segment 0644", "", "unplug", false, true);
        row("unplug, lock names a segment of another size", "segment of 64 bytes", "", "unplug", false, true);
        row("unplug, lock names a segment with another nonce", "segment, other nonce", "", "unplug", false,
            true);
    }
    void changesReachAnOpenReader() {
        QFETCH(QString, lock);
        QFETCH(QString, then);
        QFETCH(QString, change);
        QFETCH(bool, busy);
        QFETCH(bool, atOnce);
        const QString lockPath = state_ + ".lock";
        if (lock == "0620")
            QCOMPARE(::chmod(qPrintable(lockPath), 0620), 0);
        if (lock == "linked")
            QCOMPARE(::link(qPrintable(lockPath), qPrintable(lockPath + "-link")), 0);
        std::int64_t planted = -1;
        const auto removePlanted = qScopeGuard([&] { ::shmctl(int(planted), IPC_RMID, nullptr); });
        if (lock.startsWith("segment")) {
            sim::CountRecord record = countRecord(lockPath);
            planted = plantSegment(lock.contains("0644") ? 0644 : 0600, lock.contains("64 bytes") ? 64 : 16,
                                   record.nonce + (lock.contains("nonce") ? 1 : 0));
            QVERIFY(planted >= 0);
            record.segment = planted;
            writeCountRecord(lockPath, record);
        }
        DeviceHandle handle = 0;
        QCOMPARE(call("OpenDevice", handle).status, 0);
        if (planted >= 0)
            QCOMPARE(attachedTo(planted), 0);                       // refused
        const std::int64_t segment = countRecord(lockPath).segment; // the reader's, once it looked
        if (lock == "as made")
            QCOMPARE(attachedTo(segment), 1);
        std::atomic<bool> stop{false};
        std::thread caller([&] {
            while (busy && !stop)
                call("ReadPort", handle);
        });
        const auto joinCaller = qScopeGuard([&] {
            stop = true;
            caller.join();
        });
        noCoarseClock = then == "no coarse clock";
        const auto restoreClock = qScopeGuard([] { noCoarseClock = false; });
        if (then == "truncate")
            QCOMPARE(::truncate(qPrintable(lockPath), 0), 0);
        if (then == "grow")
            QCOMPARE(::truncate(qPrintable(lockPath), 1 << 20), 0);
        if (then == "replace")
            QVERIFY(writeFile(lockPath + ".new", {}) &&
                    ::rename(qPrintable(lockPath + ".new"), qPrintable(lockPath)) == 0);
        if (then == "delete")
            QVERIFY(QFile::remove(lockPath));
        if (then == "ipcrm") {
            QCOMPARE(QProcess::execute("ipcrm", {"-m", QString::number(segment)}), 0);
            QCOMPARE(attachedTo(segment), 1); // still mapped by the reader, as the kernel promises
        }
        if (then.startsWith("scribble"))
            QVERIFY(scribble(segment, then.endsWith("nonce") ? 0 : 8, 0x5a5a5a5a5a5a5a5aULL));
        for (int look = 0; look < 3; ++look) { // polls what was done to the lock file
            QCOMPARE(call("ReadPort", handle).status, 0);
            QTest::qWait(2);
        }
        if (change == "unplug") {
            sim("unplug DIO-SIM-0001");
        } else if (change == "replace directory") {
            sim::State unplugged = sim::defaultState();
            unplugged.devices[0].plugged = false;
            const QString directory = QFileInfo(state_).absolutePath();
            QCOMPARE(::rename(qPrintable(directory), qPrintable(directory + "-aside")), 0);
            QVERIFY(QDir().mkpath(directory));
            QVERIFY(writeFile(state_, stateBytes(unplugged)));
        } else {
            sim::State unplugged = sim::defaultState();
            unplugged.devices[0].plugged = false;
            QVERIFY(writeFile(state_ + ".by-hand", stateBytes(unplugged)));
            QCOMPARE(::rename(qPrintable(state_ + ".by-hand"), qPrintable(state_)), 0);
        }
        if (atOnce)
            QCOMPARE(call("ReadPort", handle).status, 6);
        else
            QTRY_COMPARE_WITH_TIMEOUT(call("ReadPort", handle).status, 6, 3000);
    }

    // While nothing changes, a poll reads the change count from the segment the lock file names and asks
    // the kernel nothing; without a segment it reads the lock file, and a change reaches it at once both
    // ways.
    void steadyPollReadsNoFile_data() {
        QTest::addColumn<bool>("segments"); // shared-memory segments can be made
        QTest::newRow("with a segment") << true;
        QTest::newRow("no segment can be made") << false;
    }
    void steadyPollReadsNoFile() {
        QFETCH(bool, segments);
        noSegments = !segments;
        const auto allowSegments = qScopeGuard([] { noSegments = false; });
        sim("add OTHER x"); // names no segment that lives: the reader makes one, or cannot
        DeviceHandle handle = 0;
        QCOMPARE(call("OpenDevice", handle).status, 0);
        QCOMPARE(call("ReadPort", handle).status, 0); // a look at the state, at most
        lockFileReads = 0;
        for (int poll = 0; poll < 100; ++poll) {
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
            QCOMPARE(call("ReadPort", handle).status, 0);
        }
        const int reads = lockFileReads;
        // One look at the lock file a second, should the polls have taken that long.
        QVERIFY2(segments ? reads <= 1 : reads >= 50, qPrintable(QString::number(reads)));
        sim("unplug DIO-SIM-0001");
        QCOMPARE(call("ReadPort", handle).status, 6);
    }

    void untrustedStatesAreRefused_data() {
        QTest::addColumn<QString>("spoiler"); // what the records hold beyond a sound state
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("says"); // empty when the state is used
        for (const int mode : {0660, 0620, 0602, 0666})
            QTest::addRow("mode %04o", mode) << "" << mode << "chmod 600 STATE";
        for (const int mode : {0600, 0640, 0644})
            QTest::addRow("mode %04o", mode) << "" << mode << "";
        for (const auto &[name, spoil] : Spoilers)
            if (!name.isEmpty())
                QTest::newRow(qPrintable(name)) << name << 0600 << "is not valid";
    }
    void untrustedStatesAreRefused() {
        QFETCH(QString, spoiler);
        QFETCH(int, mode);
        QFETCH(QString, says);
        sim::State state = sim::defaultState();
        Spoilers.at(spoiler)(state);
        const std::vector<std::uint8_t> bytes = sim::encode(state);
        QFile file(state_);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size()));
        file.close();
        QCOMPARE(::chmod(qPrintable(state_), static_cast<mode_t>(mode)), 0);
        const Run run = dioSim({"status"}, state_);
        QCOMPARE(run.exitCode, says.isEmpty() ? 0 : 1);
        QVERIFY2(run.err.contains(says.replace("STATE", state_)), qPrintable(run.err));
        DeviceHandle handle = 0;
        QCOMPARE(call("ListDevices", handle).status, says.isEmpty() ? 0 : 7);
    }
};

QTEST_GUILESS_MAIN(SimStateTest)
#include "tst_sim_state.moc"
