"""The simulated devices, driven from a test as dio-sim drives them, in this process and by the same code.

Every function works on the state file the simulated library uses: KAVREN_SIM_STATE, else the default
(see dio-sim --help), read again at each call. The rules and the texts of the errors are dio-sim's: a bad
argument or a command the state refuses (an unknown device, a full list) raises ValueError or TypeError;
a state file that cannot be read or changed raises OSError with what is wrong and how to fix it.

    import dio.sim
    dio.sim.reset()                                   # the two default devices, no faults or delays
    dio.sim.fail("ReadPort", status=5, message="Cable fault")
    dio.sim.delay("OpenDevice", 500)
    dio.sim.add("DUT-1", "Bench DUT", mode="manual")
    dio.sim.set_inputs("DUT-1", 0x00, 0x01)           # dio-sim set
    dio.sim.status()                                  # [SimDevice(serial='DIO-SIM-0001', ...), ...]
"""

import json
import typing

from . import _dio

__all__ = ["SimDevice", "SimFault", "SimDelay", "status", "faults", "delays", "reset", "add", "remove",
           "plug", "unplug", "set_inputs", "fail", "delay", "clear"]


class SimDevice(typing.NamedTuple):
    """A simulated device, as dio-sim status shows it."""

    serial: str
    description: str
    plugged: bool
    mode: str  # "loopback", "counting" or "manual"
    inputs: tuple[int, int]  # ports 0x00 and 0x01 now
    outputs: tuple[int, int]  # ports 0x10 and 0x11
    version: str


class SimFault(typing.NamedTuple):
    """A fault waiting for calls of an operation: for one device, or every device (serial None)."""

    operation: str
    serial: str | None
    times: int | None  # calls left to fail; None: every call until cleared
    status: int
    message: str | None  # None for the operations without a message buffer


class SimDelay(typing.NamedTuple):
    """A wait before every call of an operation."""

    operation: str
    serial: str | None
    milliseconds: int


def _state() -> dict:
    return json.loads(_dio._sim_status_json())


def status() -> list[SimDevice]:
    """The simulated devices, plugged or not, in the order they are listed."""
    return [SimDevice(d["serial"], d["description"], d["plugged"], d["mode"], (d["inputs"][0], d["inputs"][1]),
                      (d["outputs"][0], d["outputs"][1]), d["version"]) for d in _state()["devices"]]


def faults() -> list[SimFault]:
    """The faults that wait for calls."""
    return [SimFault(f["operation"], f["serial"], f["times"], f["status"], f.get("message"))
            for f in _state()["faults"]]


def delays() -> list[SimDelay]:
    """The delays in force."""
    return [SimDelay(d["operation"], d["serial"], d["milliseconds"]) for d in _state()["delays"]]


def reset() -> None:
    """A fresh state: the two default devices, no faults, no delays."""
    _dio._sim_reset()


def add(serial: str, description: str, *, mode: str = "loopback", version: str = "1.0-sim") -> None:
    """Adds a device, plugged in, outputs 0x00. mode: "loopback" (outputs wired to inputs), "counting"
    or "manual" (inputs set by set_inputs()); version: at most 9 bytes."""
    _dio._sim_add(serial, description, mode, version)


def remove(serial: str) -> None:
    """Removes a device and its faults and delays."""
    _dio._sim_remove(serial)


def unplug(serial: str) -> None:
    """Unplugs a device: not listed, cannot be opened; an open handle fails."""
    _dio._sim_unplug(serial)


def plug(serial: str) -> None:
    """Plugs a device back in, outputs 0x00, in its place in the list."""
    _dio._sim_plug(serial)


def set_inputs(serial: str, port: typing.SupportsIndex, value: typing.SupportsIndex) -> None:
    """Sets an input port (0x00 or 0x01) of a manual device: dio-sim set."""
    _dio._sim_set_inputs(serial, port, value)


def fail(operation: str, *, serial: str | None = None, status: typing.SupportsIndex = 1,
         message: str | None = None,
         times: typing.SupportsIndex | None = 1) -> None:
    """Makes calls of an operation (ListDevices, OpenDevice, CloseDevice, GetSWVersion, ReadPort or
    WritePort, any case) fail with a non-zero status: the next `times` calls, or every call until cleared
    when times is None; for one device or every device. GetSWVersion, ReadPort and WritePort give the
    message (default "Simulated failure", may be empty); the others have none to give."""
    _dio._sim_fail(operation, serial, status, message, times)


def delay(operation: str, milliseconds: typing.SupportsIndex, *, serial: str | None = None) -> None:
    """Makes every call of an operation wait first, 0-10000 ms; 0 removes the delay."""
    _dio._sim_delay(operation, milliseconds, serial)


def clear() -> None:
    """Removes every fault and delay."""
    _dio._sim_clear()
