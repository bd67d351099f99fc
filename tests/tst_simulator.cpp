// The simulated device library, called through the same C interface the panel uses.
#include <QtTest>

#include <QElapsedTimer>

#include <array>
#include <cstring>
#include <thread>

#include "SimProcess.h"

#include "kavren.h"

namespace {

constexpr const char *LoopbackSerial = "DIO-SIM-0001";
constexpr const char *CountingSerial = "DIO-SIM-0002";

struct Listing {
    std::int32_t count = 0;
    std::array<char, KAVREN_SERIAL_LIST_SIZE> serials{};
    std::array<char, KAVREN_DESCRIPTION_LIST_SIZE> descriptions{};
};

DeviceHandle openDevice(const char *serial) {
    std::array<char, KAVREN_SERIAL_NUMBER_SIZE> buffer{};
    std::strncpy(buffer.data(), serial, buffer.size() - 1);
    DeviceHandle handle = 0;
    if (OpenDevice(buffer.data(), &handle) != 0)
        return 0;
    return handle;
}

bool terminatedWithin(const char *buffer, std::size_t size) {
    return std::memchr(buffer, '\0', size) != nullptr;
}

// A read that must succeed; the message buffer is checked to stay empty.
std::uint8_t readPort(DeviceHandle handle, std::uint8_t port) {
    std::array<char, KAVREN_MESSAGE_SIZE> message{};
    std::uint8_t value = 0;
    const std::int32_t status = ReadPort(handle, port, &value, message.data());
    if (status != 0)
        qFatal("ReadPort(0x%02X) failed: %s", port, message.data());
    return value;
}

} // namespace

class SimulatorTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory_;
    QString state_;
    int stateNumber_ = 0;

    void sim(const QString &lines) { runSimCommands(lines, state_); }

private slots:
    // Every test starts on fresh default devices in a state file of its own.
    void init() {
        state_ = directory_.filePath(QString("state-%1").arg(++stateNumber_));
        qputenv("KAVREN_SIM_STATE", state_.toLocal8Bit());
    }

    void outputsAreSharedWithOtherProcesses() {
        const DeviceHandle handle = openDevice(LoopbackSerial);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        QCOMPARE(WritePort(handle, 0x11, 0x3C, message.data()), 0);
        QCOMPARE(CloseDevice(handle), 0);
        QVERIFY(
            dioSim({"status"}, state_).out.contains(QRegularExpression("DIO-SIM-0001 .*outputs 0x00 0x3C")));
    }

    // What a call sees after dio-sim has changed the device: status != 0 and the message, or the value.
    void drivenDevice_data() {
        QTest::addColumn<QString>("before");    // dio-sim commands before the device is opened
        QTest::addColumn<QString>("afterOpen"); // dio-sim commands between open and the calls
        QTest::addColumn<QString>("calls"); // r<port> reads, w<port> writes 0x42, v version; space-separated
        QTest::addColumn<QString>("expected"); // per call: value, "ok" or "fail:<status>:<message>"
        QTest::newRow("unplugged while open")
            << ""
            << "unplug DIO-SIM-0001"
            << "r10 w10 v"
            << "fail:6:Device DIO-SIM-0001 was unplugged fail:6:Device DIO-SIM-0001 was unplugged "
               "fail:6:Device DIO-SIM-0001 was unplugged";
        QTest::newRow("unplugged and plugged again while open") << ""
                                                                << "unplug DIO-SIM-0001;plug DIO-SIM-0001"
                                                                << "r00"
                                                                << "fail:6:Device DIO-SIM-0001 was unplugged";
        QTest::newRow("plugged in at power-up outputs") << ""
                                                        << ""
                                                        << "w10 r10 r00"
                                                        << "ok 0x42 0x42";
        QTest::newRow("manual inputs") << "add M Box --mode manual;set M 0 0xA5;set M 1 7"
                                       << ""
                                       << "r00 r01"
                                       << "0xA5 0x07";
        QTest::newRow("fault for the next two reads") << "fail ReadPort --times 2 --status 9 --message Jammed"
                                                      << ""
                                                      << "r10 r10 r10"
                                                      << "fail:9:Jammed fail:9:Jammed 0x00";
        QTest::newRow("empty message") << "fail WritePort --message="
                                       << ""
                                       << "w10 w10"
                                       << "fail:1: ok";
        QTest::newRow("fault for one device before one for all")
            << "fail ReadPort --always --status 3 --message all;fail ReadPort --serial DIO-SIM-0001 --status "
               "4 "
               "--message one"
            << ""
            << "r10 r10"
            << "fail:4:one fail:3:all";
        QTest::newRow("fault for another device") << "fail GetSWVersion --serial DIO-SIM-0002"
                                                  << ""
                                                  << "v"
                                                  << "ok";
        QTest::newRow("fault added while open") << ""
                                                << "fail readport --message late"
                                                << "r00"
                                                << "fail:1:late";
        QTest::newRow("cleared") << "fail WritePort --always"
                                 << "clear"
                                 << "w10 r00"
                                 << "ok 0x42";
    }
    void drivenDevice() {
        QFETCH(QString, before);
        QFETCH(QString, afterOpen);
        QFETCH(QString, calls);
        QFETCH(QString, expected);
        const QString serial = before.contains("add M") ? "M" : LoopbackSerial;
        sim(before);
        const DeviceHandle handle = openDevice(qPrintable(serial));
        QVERIFY(handle != 0);
        sim(afterOpen);
        QStringList results;
        for (const QString &call : calls.split(' ')) {
            std::array<char, KAVREN_MESSAGE_SIZE> message{};
            std::array<char, KAVREN_VERSION_SIZE> version{};
            std::uint8_t value = 0;
            const auto port = static_cast<std::uint8_t>(call.mid(1).toInt(nullptr, 16));
            const std::int32_t status = call[0] == 'r' ? ReadPort(handle, port, &value, message.data())
                                        : call[0] == 'w'
                                            ? WritePort(handle, port, 0x42, message.data())
                                            : GetSWVersion(handle, version.data(), message.data());
            if (status != 0)
                results << QString("fail:%1:%2").arg(status).arg(message.data());
            else
                results << (call[0] == 'r'
                                ? QString("0x%1").arg(value, 2, 16, QChar('0')).toUpper().replace("0X", "0x")
                                : "ok");
        }
        QCOMPARE(results.join(' '), expected);
        CloseDevice(handle);
    }

    void plugBringsBackAtPowerUp() {
        DeviceHandle handle = openDevice(LoopbackSerial);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        QCOMPARE(WritePort(handle, 0x10, 0xFF, message.data()), 0);
        sim("unplug DIO-SIM-0001");
        QVERIFY(CloseDevice(handle) != 0); // opened before the unplug
        QCOMPARE(openDevice(LoopbackSerial), DeviceHandle(0));
        Listing listing;
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        QCOMPARE(listing.count, 1);
        QCOMPARE(QByteArray(listing.serials.data()), QByteArray(CountingSerial));
        sim("plug DIO-SIM-0001");
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        QCOMPARE(QByteArray(listing.serials.data()), QByteArray("DIO-SIM-0001,DIO-SIM-0002")); // same place
        handle = openDevice(LoopbackSerial);
        QCOMPARE(int(readPort(handle, 0x10)), 0x00);
        QCOMPARE(CloseDevice(handle), 0);
    }

    void faultsWithoutMessageBuffersFailWithTheirStatus() {
        sim("fail ListDevices --status 11;fail OpenDevice --status 12 --serial DIO-SIM-0002;fail "
            "CloseDevice");
        Listing listing;
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 11);
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        DeviceHandle handle = 0;
        QCOMPARE(OpenDevice(CountingSerial, &handle), 12);
        QCOMPARE(handle, DeviceHandle(0));
        QCOMPARE(CloseDevice(handle), 1);
        QCOMPARE(CloseDevice(handle), 0);
    }

    void delayIsServedBeforeTheFault() {
        sim("delay ReadPort 150");
        sim("fail ReadPort --message slow");
        const DeviceHandle handle = openDevice(LoopbackSerial);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        std::uint8_t value = 0;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ReadPort(handle, 0x00, &value, message.data()), 1);
        QVERIFY(timer.elapsed() >= 150);
        QCOMPARE(QByteArray(message.data()), QByteArray("slow"));
        sim("delay readport 0");
        timer.restart();
        QCOMPARE(ReadPort(handle, 0x00, &value, message.data()), 0);
        QVERIFY(timer.elapsed() < 150);
        QCOMPARE(CloseDevice(handle), 0);
    }
    // A handle closed by one thread while another thread's read on it serves a delay, in a state the
    // environment no longer names, so that the handle was the state's last holder: the read ends as on a
    // handle that is not open, and the state stays alive for it (a sanitizer build would report otherwise).
    void handleClosedDuringADelayInAStateNoLongerNamed() {
        const DeviceHandle handle = openDevice(LoopbackSerial);
        sim("delay ReadPort 300");
        qputenv("KAVREN_SIM_STATE", directory_.filePath("named-later").toLocal8Bit());
        Listing listing;
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        std::int32_t status = -1;
        std::thread reader([&] {
            std::array<char, KAVREN_MESSAGE_SIZE> message{};
            std::uint8_t value = 0;
            status = ReadPort(handle, 0x00, &value, message.data());
        });
        QThread::msleep(100);
        const std::int32_t closed = CloseDevice(handle);
        reader.join();
        QCOMPARE(closed, 0);
        QCOMPARE(status, 3);
    }

    void listsTwoDevicesInOrder() {
        Listing listing;
        listing.serials.fill('#');
        listing.descriptions.fill('#');
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        QCOMPARE(listing.count, 2);
        QVERIFY(terminatedWithin(listing.serials.data(), listing.serials.size()));
        QVERIFY(terminatedWithin(listing.descriptions.data(), listing.descriptions.size()));
        QCOMPARE(QByteArray(listing.serials.data()), QByteArray("DIO-SIM-0001,DIO-SIM-0002"));
        QCOMPARE(
            QByteArray(listing.descriptions.data()),
            QByteArray("Simulated USB DIO - outputs wired to inputs,Simulated USB DIO - counting inputs"));
    }

    // Each description stands at its serial number's place in the lists, an empty one too.
    void listsEachDescriptionAtItsSerialNumbersPlace_data() {
        QTest::addColumn<QStringList>("changes"); // dio-sim command lines; '' is an empty argument
        QTest::addColumn<QByteArray>("serials");
        QTest::addColumn<QByteArray>("descriptions");
        const QString onlyNew = "remove DIO-SIM-0001;remove DIO-SIM-0002;";
        QTest::newRow("an empty description first")
            << (onlyNew + "add AAA '';add BBB bee").split(';') << QByteArray("AAA,BBB") << QByteArray(",bee");
        QTest::newRow("empty descriptions only")
            << (onlyNew + "add AAA '';add BBB ''").split(';') << QByteArray("AAA,BBB") << QByteArray(",");
        QTest::newRow("an empty description after an unplugged device")
            << QString("unplug DIO-SIM-0001;add AAA '';add BBB bee").split(';')
            << QByteArray("DIO-SIM-0002,AAA,BBB") << QByteArray("Simulated USB DIO - counting inputs,,bee");
    }
    void listsEachDescriptionAtItsSerialNumbersPlace() {
        QFETCH(QStringList, changes);
        QFETCH(QByteArray, serials);
        QFETCH(QByteArray, descriptions);
        for (const QString &change : changes) {
            QStringList arguments = words(change);
            arguments.replaceInStrings(QRegularExpression("^''$"), QString());
            QCOMPARE(dioSim(arguments, state_).exitCode, 0);
        }
        Listing listing;
        QCOMPARE(ListDevices(&listing.count, listing.serials.data(), listing.descriptions.data()), 0);
        QCOMPARE(listing.count, int(serials.count(',')) + 1);
        QCOMPARE(QByteArray(listing.serials.data()), serials);
        QCOMPARE(QByteArray(listing.descriptions.data()), descriptions);
    }

    void outputsLoopBackToInputsAndPersistAcrossOpens() {
        DeviceHandle handle = openDevice(LoopbackSerial);
        QVERIFY(handle != 0);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        QCOMPARE(WritePort(handle, 0x10, 0x5A, message.data()), 0);
        QCOMPARE(WritePort(handle, 0x11, 0xC3, message.data()), 0);
        QCOMPARE(CloseDevice(handle), 0);

        handle = openDevice(LoopbackSerial);
        QCOMPARE(int(readPort(handle, 0x00)), 0x5A);
        QCOMPARE(int(readPort(handle, 0x01)), 0xC3);
        QCOMPARE(int(readPort(handle, 0x10)), 0x5A);
        QCOMPARE(int(readPort(handle, 0x11)), 0xC3);
        QCOMPARE(message[0], '\0');
        QCOMPARE(CloseDevice(handle), 0);
    }

    void countingDeviceInputsChangeWithTime() {
        const DeviceHandle handle = openDevice(CountingSerial);
        QVERIFY(handle != 0);
        const std::uint8_t walking = readPort(handle, 0x01);
        QCOMPARE(qPopulationCount(walking), 1); // exactly one bit lit
        const std::uint8_t first = readPort(handle, 0x00);
        QTRY_VERIFY_WITH_TIMEOUT(readPort(handle, 0x00) != first, 2000);
        QTRY_VERIFY_WITH_TIMEOUT(readPort(handle, 0x01) != walking, 3000);
        QCOMPARE(qPopulationCount(readPort(handle, 0x01)), 1);
        QCOMPARE(CloseDevice(handle), 0);
    }

    void versionFitsItsBuffer() {
        const DeviceHandle handle = openDevice(LoopbackSerial);
        std::array<char, KAVREN_VERSION_SIZE> version{};
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        QCOMPARE(GetSWVersion(handle, version.data(), message.data()), 0);
        QVERIFY(version[0] != '\0');
        QVERIFY(terminatedWithin(version.data(), version.size()));
        QCOMPARE(CloseDevice(handle), 0);
    }

    void opensGiveDistinctNonZeroHandles() {
        const DeviceHandle first = openDevice(LoopbackSerial);
        const DeviceHandle second = openDevice(LoopbackSerial);
        QVERIFY(first != 0 && second != 0 && first != second);
        QCOMPARE(CloseDevice(first), 0);
        QCOMPARE(CloseDevice(second), 0);
    }

    // Opening looks first where the last opened device stood: after the list changed, that place may hold
    // another device or be past the end, and the open must still give the device asked for. Each device's
    // version names it.
    void openAfterTheListChangedGivesTheDeviceAskedFor_data() {
        QTest::addColumn<QString>("opened"); // opened first, so its place is remembered
        QTest::addColumn<QString>("change"); // dio-sim commands before the second open
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QString>("expected"); // the version of the device opened, or "fail"
        const auto row = [](const char *name, const char *opened, const char *change, const char *wanted,
                            const char *expected) {
            QTest::newRow(name) << QString(opened) << QString(change) << QString(wanted) << QString(expected);
        };
        row("remembered place holds the next device", "B", "remove A", "B", "vB");
        row("place after it holds another device", "A", "remove B;add B Box --version vB", "B", "vB");
        row("remembered place past the end", "C", "remove A;remove B", "C", "vC");
        row("both places past the end", "C", "remove C;remove B", "A", "vA");
        row("removed", "B", "remove B", "B", "fail");
        row("unplugged", "B", "unplug B", "B", "fail");
    }
    void openAfterTheListChangedGivesTheDeviceAskedFor() {
        QFETCH(QString, opened);
        QFETCH(QString, change);
        QFETCH(QString, wanted);
        QFETCH(QString, expected);
        sim("add A Box --version vA;add B Box --version vB;add C Box --version vC");
        const DeviceHandle first = openDevice(qPrintable(opened));
        QVERIFY(first != 0);
        QCOMPARE(CloseDevice(first), 0);
        sim(change);
        const DeviceHandle second = openDevice(qPrintable(wanted));
        std::array<char, KAVREN_VERSION_SIZE> version{};
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        const bool opens = second != 0 && GetSWVersion(second, version.data(), message.data()) == 0;
        QCOMPARE(opens ? QString(version.data()) : QString("fail"), expected);
        CloseDevice(second);
    }

    void unknownOrEmptySerialFailsAndLeavesHandleZero_data() {
        QTest::addColumn<QByteArray>("serial");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("unknown") << QByteArray("DIO-SIM-0003");
        QTest::newRow("prefix of a known one") << QByteArray("DIO-SIM-000");
    }
    void unknownOrEmptySerialFailsAndLeavesHandleZero() {
        QFETCH(QByteArray, serial);
        DeviceHandle handle = 0;
        QVERIFY(OpenDevice(serial.constData(), &handle) != 0);
        QCOMPARE(handle, DeviceHandle(0));
        QCOMPARE(CloseDevice(handle), 0); // closing what a failed open left is normal
    }

    void closedHandleStopsWorking() {
        const DeviceHandle handle = openDevice(LoopbackSerial);
        QCOMPARE(CloseDevice(handle), 0);
        QVERIFY(CloseDevice(handle) != 0);
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        std::uint8_t value = 0;
        QVERIFY(ReadPort(handle, 0x00, &value, message.data()) != 0);
        QVERIFY(std::strlen(message.data()) > 0);
    }

    void badCallsFailWithClearMessages_data() {
        QTest::addColumn<bool>("write");
        QTest::addColumn<bool>("badHandle");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("read of a missing port")
            << false << false << 0x05 << QByteArray("Port 0x05 does not exist");
        QTest::newRow("write of a missing port")
            << true << false << 0x12 << QByteArray("Port 0x12 does not exist");
        QTest::newRow("write of input 0x00") << true << false << 0x00 << QByteArray("Port 0x00 is an input");
        QTest::newRow("write of input 0x01") << true << false << 0x01 << QByteArray("Port 0x01 is an input");
        QTest::newRow("read through a bad handle")
            << false << true << 0x00 << QByteArray("Device handle 0xDEADBEEF is not open");
        QTest::newRow("write through a bad handle")
            << true << true << 0x10 << QByteArray("Device handle 0xDEADBEEF is not open");
    }
    void badCallsFailWithClearMessages() {
        QFETCH(bool, write);
        QFETCH(bool, badHandle);
        QFETCH(int, port);
        QFETCH(QByteArray, expected);
        const DeviceHandle opened = openDevice(LoopbackSerial);
        const DeviceHandle handle = badHandle ? 0xDEADBEEF : opened;
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        std::uint8_t value = 0;
        const std::int32_t status =
            write ? WritePort(handle, static_cast<std::uint8_t>(port), 1, message.data())
                  : ReadPort(handle, static_cast<std::uint8_t>(port), &value, message.data());
        QVERIFY(status != 0);
        QVERIFY(terminatedWithin(message.data(), message.size()));
        QCOMPARE(QByteArray(message.data()), expected);
        QCOMPARE(CloseDevice(opened), 0);
    }

    void versionThroughBadHandleFails() {
        std::array<char, KAVREN_VERSION_SIZE> version{};
        std::array<char, KAVREN_MESSAGE_SIZE> message{};
        QVERIFY(GetSWVersion(0, version.data(), message.data()) != 0);
        QCOMPARE(version[0], '\0');
        QVERIFY(std::strlen(message.data()) > 0);
    }

    void closingAnUnknownHandleFails() { QVERIFY(CloseDevice(0x7FFFFFFF) != 0); }

    void nullArgumentsFailInsteadOfCrashing() {
        std::int32_t count = 0;
        std::array<char, KAVREN_SERIAL_LIST_SIZE> serials{};
        QVERIFY(ListDevices(&count, serials.data(), nullptr) != 0);
        DeviceHandle handle = 0;
        QVERIFY(OpenDevice(nullptr, &handle) != 0);
        QVERIFY(OpenDevice(LoopbackSerial, nullptr) != 0);
    }
};

QTEST_APPLESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
