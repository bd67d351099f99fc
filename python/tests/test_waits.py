"""Waiting for inputs, errors that name the device, the ports' names and integers of any kind."""
import pickle
import signal
import threading
import time

import pytest

import dio
import dio.sim

LOOPBACK, COUNTING = "DIO-SIM-0001", "DIO-SIM-0002"


class InterruptedFloat:
    def __float__(self):
        raise KeyboardInterrupt("Ctrl-C in __float__")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda d: (d.write(0x10, 0x5A), d.wait_for(0x00, 0x5A, timeout=1))[1], 0x5A),
        (lambda d: (d.write(0x10, 0xF1), d.wait_for(0x00, 0x01, mask=0x0F, timeout=1))[1], 0xF1),
        (lambda d: d.wait_for(0x00, 0x00, mask=0, timeout=0), 0x00),
        (lambda d: dio.Device(COUNTING).wait_change(0x00, timeout=2, interval=0.05) >= 0, True),
        (lambda d: d.wait_for(0x00, 0x00, timeout=10**400), 0x00),
    ],
    ids=["value met", "masked value met", "empty mask", "counting input changes", "int timeout beyond a float"],
)
def test_waits_meet(call, expected):
    with dio.Device(LOOPBACK) as device:
        assert call(device) == expected


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda d: d.wait_for(0x00, 0x01, timeout=0.2), TimeoutError,
         r"^port 0x00 did not reach 0x01 within 0.2 s; last read 0x00$"),
        (lambda d: d.wait_for(0x01, 0x01, mask=0x81, timeout=0), TimeoutError,
         r"^port 0x01 did not reach 0x01 under mask 0x81 within 0 s; last read 0x00$"),
        (lambda d: d.wait_change(0x00, timeout=0.2), TimeoutError,
         r"^port 0x00 did not change from 0x00 within 0.2 s; last read 0x00$"),
        (lambda d: d.wait_for(0x00, 0x80, mask=0x0F), ValueError, "bits outside mask"),
        (lambda d: d.wait_for(0x00, 0, timeout=-1), ValueError, "timeout must be 0 or more"),
        (lambda d: d.wait_for(0x00, 0, timeout=float("nan")), ValueError, "timeout"),
        (lambda d: d.wait_for(0x00, 0, interval=0), ValueError, "interval must be more than 0"),
        (lambda d: d.wait_for(0x00, 0, timeout="1"), TypeError, "timeout must be a number of seconds, not str"),
        (lambda d: d.wait_change(0x00, timeout=True), TypeError, "not bool"),
        (lambda d: d.wait_for(0x00, 0, interval=None), TypeError, "interval must be a number of seconds, not NoneType"),
        (lambda d: d.wait_change(0x00, timeout=0, interval=None), TypeError, "interval must be a number"),
        (lambda d: d.wait_for(0x00, 0, timeout=InterruptedFloat()), KeyboardInterrupt, "Ctrl-C in __float__"),
        (lambda d: d.wait_for(0x00, 0, timeout=-(10**400)), ValueError, "timeout must be 0 or more"),
        (lambda d: d.wait_for(0x00, 0x01, timeout=-0.0), TimeoutError, "within 0 s;"),
    ],
    ids=["timeout", "masked timeout", "no change", "value outside mask", "negative timeout", "NaN timeout",
         "zero interval", "text timeout", "bool timeout", "None interval", "None interval of a change",
         "Ctrl-C in __float__", "negative int beyond a float", "negative zero timeout"],
)
def test_waits_fail(call, error, text):
    with dio.Device(LOOPBACK) as device:
        with pytest.raises(error, match=text):
            call(device)


@pytest.mark.parametrize(
    "read_delay_ms, interval, bound",
    [(0, 1.0, 0.3 + 1.0 + 0.5), (0, 30.0, 0.3 + 0.5), (1500, 0.01, 1.5 + 0.5)],
    ids=["within one interval", "a long interval is cut", "after a slow library call"],
)
def test_ctrl_c_ends_a_wait(read_delay_ms, interval, bound):
    with dio.Device(LOOPBACK) as device:
        if read_delay_ms:
            dio.sim.delay("ReadPort", read_delay_ms)
        main = threading.get_ident()
        timer = threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT))
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            device.wait_for(0x00, 0xFF, timeout=60, interval=interval)
        assert time.monotonic() - started < bound
        timer.join()


@pytest.mark.parametrize(
    "wait",
    [lambda d: d.wait_for(0x00, 0x01, timeout=None, interval=30.0),
     lambda d: d.wait_change(0x00, timeout=60, interval=30.0)],
    ids=["wait_for", "wait_change"],
)
def test_close_from_another_thread_ends_a_wait(wait):
    device = dio.Device(LOOPBACK)
    timer = threading.Timer(0.3, device.close)
    started = time.monotonic()
    timer.start()
    with pytest.raises(ValueError, match="the device is closed"):
        wait(device)
    assert time.monotonic() - started < 0.3 + 5.0  # not the 30 s interval
    timer.join()


def test_device_errors_name_the_device_and_are_os_errors():
    dio.sim.unplug(LOOPBACK)
    with pytest.raises(OSError) as raised:
        dio.Device(LOOPBACK)
    error = raised.value
    assert isinstance(error, dio.DeviceError)
    assert str(error) == "DIO-SIM-0001: Error Opening Device (status 2)"
    assert (error.serial, error.operation, error.status, error.message, error.errno) == (
        LOOPBACK, "OpenDevice", 2, "Error Opening Device", None)
    copied = pickle.loads(pickle.dumps(error))
    assert (type(copied), str(copied), copied.operation) == (dio.DeviceError, str(error), "OpenDevice")
    dio.sim.fail("ListDevices")
    with pytest.raises(dio.DeviceError) as raised:
        dio.devices()
    assert (str(raised.value), raised.value.serial) == ("Error Listing Devices (status 1)", None)


@pytest.mark.parametrize("serial", ["dio-sim-0001", " DIO-SIM-0001"], ids=["wrong case", "leading space"])
def test_a_wrong_serial_is_named(serial):
    with pytest.raises(dio.DeviceError, match=f"^{serial}: Error Opening Device"):
        dio.Device(serial)


def test_port_names():
    assert (dio.INPUT_PORTS, dio.OUTPUT_PORTS) == ((0x00, 0x01), (0x10, 0x11))
    with dio.Device(LOOPBACK) as device:
        for output, input_port in zip(dio.OUTPUT_PORTS, dio.INPUT_PORTS):
            device.write(output, output + 3)
            assert device.read(input_port) == output + 3


numpy = pytest.importorskip("numpy")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda d: (d.write(numpy.uint8(0x10), numpy.int64(7)), d.read(numpy.int32(0)))[1], 7),
        (lambda d: d.wait_for(numpy.uint16(0x00), numpy.uint8(0), mask=numpy.int8(1),
                              timeout=numpy.float32(1)), 0),
        (lambda d: d.read(numpy.array([0x10])[0]), 0),
    ],
    ids=["write and read", "wait_for", "array element"],
)
def test_numpy_integers_are_accepted(call, expected):
    with dio.Device(LOOPBACK) as device:
        assert call(device) == expected


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda d: d.read(numpy.float64(0)), TypeError, "port must be an integer .* not float64"),
        (lambda d: d.write(0x10, numpy.uint16(256)), ValueError, "value must be 0-255, not 256"),
        (lambda d: d.write(0x10, True), TypeError, "value must be an integer .* not bool"),
        (lambda d: d.read(numpy.bool_(True)), TypeError, "port must be an integer .* not bool"),
        (lambda d: d.wait_for(0x00, 1, mask=numpy.int64(-1)), ValueError, "mask must be 0-255, not -1"),
        (lambda d: d.read(numpy.array([0x10, 0x11])), TypeError, "port must be an integer .* not ndarray"),
        (lambda d: d.write(0x10, numpy.array(1.0)), TypeError, "value must be an integer .* not ndarray"),
    ],
    ids=["numpy float", "numpy too big", "bool", "numpy bool", "negative mask", "numpy array", "numpy float array"],
)
def test_other_numbers_are_refused_by_name(call, error, text):
    with dio.Device(LOOPBACK) as device:
        with pytest.raises(error, match=text):
            call(device)
