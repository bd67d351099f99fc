// The simulated device library, called through the same C interface the panel uses.
#include <QtTest>

#include <array>
#include <cstring>

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

private slots:
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
