"""The module against the simulator: transactions, failures, unplugging, bad arguments and threads."""
import threading
import time

import pytest

import dio

LOOPBACK, COUNTING = "DIO-SIM-0001", "DIO-SIM-0002"


def write_then_read(serial, writes, port):
    with dio.Device(serial) as dev:
        for written_port, value in writes:
            dev.write(written_port, value)
        return dev.read(port)


def counting_changes():
    with dio.Device(COUNTING) as dev:
        first = dev.read(0x00)
        time.sleep(0.6)
        return dev.read(0x00) != first


def version(serial):
    with dio.Device(serial) as dev:
        return dev.version


@pytest.mark.parametrize(
    "transaction, expected",
    [
        (lambda: write_then_read(LOOPBACK, [(0x10, 0x5A)], 0x00), 0x5A),
        (lambda: write_then_read(LOOPBACK, [(0x11, 0x81)], 0x01), 0x81),
        (lambda: write_then_read(LOOPBACK, [(0x10, 1), (0x10, 0xFF)], 0x10), 0xFF),
        (lambda: write_then_read(LOOPBACK, [], 0x11), 0x00),
        (counting_changes, True),
        (lambda: version(LOOPBACK), "1.0-sim"),
        (
            dio.devices,
            [
                dio.DeviceInfo(LOOPBACK, "Simulated USB DIO - outputs wired to inputs"),
                dio.DeviceInfo(COUNTING, "Simulated USB DIO - counting inputs"),
            ],
        ),
    ],
    ids=["loopback 0x10", "loopback 0x11", "last write wins", "outputs start at 0", "counting inputs",
         "version", "listing"],
)
def test_transactions(transaction, expected):
    assert transaction() == expected


@pytest.mark.parametrize(
    "fault, call, status, message",
    [
        (["ReadPort", "--status", "5", "--message", "Cable fault"], lambda: write_then_read(LOOPBACK, [], 0),
         5, "Cable fault"),
        (["ReadPort", "--message", ""], lambda: write_then_read(LOOPBACK, [], 0), 1, "Error Reading Port"),
        (["WritePort", "--status", "3", "--message", ""], lambda: write_then_read(LOOPBACK, [(0x10, 1)], 0),
         3, "Error Writing Port"),
        (["GetSWVersion", "--message", "Câble défaillant"], lambda: version(LOOPBACK), 1, "Câble défaillant"),
        (["GetSWVersion", "--message", ""], lambda: version(LOOPBACK), 1, "Error Reading SW Version"),
        (["OpenDevice", "--status", "4"], lambda: version(LOOPBACK), 4, "Error Opening Device"),
        (["ListDevices"], dio.devices, 1, "Error Listing Devices"),
    ],
    ids=["message", "read without message", "write without message", "Latin-1 message",
         "version without message", "open", "list"],
)
def test_failures(sim, fault, call, status, message):
    sim("fail", *fault)
    with pytest.raises(dio.DeviceError) as raised:
        call()
    assert (raised.value.status, raised.value.message) == (status, message)


def test_failed_close_releases_the_device(sim):
    dev = dio.Device(LOOPBACK)
    sim("fail", "CloseDevice", "--status", "9")
    with pytest.raises(dio.DeviceError) as raised:
        dev.close()
    assert (raised.value.status, raised.value.message, dev.closed) == (9, "Error Closing Device", True)
    with pytest.raises(ValueError):
        dev.read(0x00)
    dev.close()  # closing again is no call


def test_unplug_while_open(sim):
    with pytest.raises(dio.DeviceError) as raised:
        with dio.Device(LOOPBACK) as dev:
            sim("unplug", LOOPBACK)
            dev.read(0x00)
    # The read's failure leaves the block; the close that failed after it is a note on it.
    assert raised.value.message == "Device DIO-SIM-0001 was unplugged"
    assert raised.value.__notes__ == ["closing the device failed too: Error Closing Device (status 6)"]
    assert dev.closed
    assert [d.serial for d in dio.devices()] == [COUNTING]


@pytest.fixture
def slow_library(sim):
    """An open device, then every open, read and write waits 2 s first: a library call shows."""
    with dio.Device(LOOPBACK) as dev:
        for operation in ("OpenDevice", "ReadPort", "WritePort", "GetSWVersion"):
            sim("delay", operation, "2000")
        yield dev


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda dev: dio.Device(""), ValueError),
        (lambda dev: dio.Device("A,B"), ValueError),
        (lambda dev: dio.Device("X" * 20), ValueError),
        (lambda dev: dio.Device("BELL\x07"), ValueError),
        (lambda dev: dio.Device("DIO\x00SIM"), ValueError),
        (lambda dev: dio.Device("DIO-Ω"), ValueError),
        (lambda dev: dio.Device(b"DIO-SIM-0001"), TypeError),
        (lambda dev: dio.Device(1), TypeError),
        (lambda dev: dev.read(256), ValueError),
        (lambda dev: dev.read(-1), ValueError),
        (lambda dev: dev.read(2**70), ValueError),
        (lambda dev: dev.read("0x00"), TypeError),
        (lambda dev: dev.read(0.0), TypeError),
        (lambda dev: dev.write(0x10, 256), ValueError),
        (lambda dev: dev.write(256, 0), ValueError),
        (lambda dev: dev.write(0x10, None), TypeError),
        (lambda dev: (dev.close(), dev.read(0x00)), ValueError),
        (lambda dev: (dev.close(), dev.version), ValueError),
        (lambda dev: (dev.close(), dev.__enter__()), ValueError),
    ],
)
def test_bad_arguments_make_no_library_call(slow_library, call, error):
    started = time.monotonic()
    with pytest.raises(error):
        call(slow_library)
    assert time.monotonic() - started < 1.0


def test_other_threads_run_during_a_call(sim):
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    with dio.Device(LOOPBACK) as dev:
        sim("delay", "ReadPort", "600")
        ticker = threading.Thread(target=tick)
        ticker.start()
        started = time.monotonic()
        dev.read(0x00)
        ended = time.monotonic()
        stop.set()
        ticker.join()
    # With the GIL held the ticker could not run at all in the middle of the call.
    assert len([t for t in ticks if started + 0.15 < t < ended - 0.15]) > 10


def test_one_device_serves_one_thread_at_a_time(sim):
    with dio.Device(LOOPBACK) as dev:
        dev.write(0x10, 0x33)
        sim("delay", "ReadPort", "400")
        values = []
        readers = [threading.Thread(target=lambda: values.append(dev.read(0x00))) for _ in range(2)]
        started = time.monotonic()
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()
        elapsed = time.monotonic() - started
    # The simulator itself lets the two waits overlap; the module does not.
    assert values == [0x33, 0x33]
    assert elapsed >= 0.8
