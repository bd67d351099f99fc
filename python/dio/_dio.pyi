"""The device operations of the package dio; import dio, which documents them."""

import os
from types import TracebackType
from typing import NamedTuple, Self, SupportsFloat, SupportsIndex

__version__: str
INPUT_PORTS: tuple[int, int]
"""The input ports, 0x00 and 0x01."""
OUTPUT_PORTS: tuple[int, int]
"""The output ports, 0x10 and 0x11."""

class DeviceError(OSError):
    """A device operation failed: the device's serial number (None for ListDevices), the library function,
    the library's status and its message, or the operation's fixed text ("Error Opening Device", "Error
    Reading Port", ...) when the library left none. str(): "DIO-SIM-0001: Error Opening Device (status
    2)". errno is None."""

    status: int
    message: str
    serial: str | None
    operation: str | None
    def __init__(
        self, status: int, message: str, serial: str | None = ..., operation: str | None = ...
    ) -> None: ...

class LibraryError(Exception):
    """No usable device library: which file was chosen, what is wrong with it, and how to provide one."""

class DeviceInfo(NamedTuple):
    """A listed device: its serial number and its description."""

    serial: str
    description: str

class Device:
    """An open device, chosen by its serial number (1-19 Latin-1 characters, no comma, no control
    character). Opened on construction (DeviceError "Error Opening Device" when it cannot be); closed by
    a with statement on leaving, or by close(). Inputs are INPUT_PORTS (0x00, 0x01), outputs
    OUTPUT_PORTS (0x10, 0x11)."""

    def __init__(self, serial: str) -> None: ...
    def write(self, port: SupportsIndex, value: SupportsIndex) -> None:
        """Writes the value (0-255) to the output port: WritePort."""
    def read(self, port: SupportsIndex) -> int:
        """Reads the port and returns its value 0-255: ReadPort."""
    def wait_for(
        self,
        port: SupportsIndex,
        value: SupportsIndex,
        mask: SupportsIndex = ...,
        *,
        timeout: SupportsFloat | None = ...,
        interval: SupportsFloat = ...,
    ) -> int:
        """Reads the port until (value read & mask) == value and returns the value read; TimeoutError
        after `timeout` seconds (None: no bound). Reads every `interval` seconds (default 0.01); Ctrl-C
        ends the wait within one interval. dev.wait_for(dio.INPUT_PORTS[0], 0x01, mask=0x01, timeout=2)"""
    def wait_change(
        self, port: SupportsIndex, *, timeout: SupportsFloat | None = ..., interval: SupportsFloat = ...
    ) -> int:
        """Reads the port until it differs from its first read and returns the new value; TimeoutError
        after `timeout` seconds (None: no bound)."""
    @property
    def version(self) -> str:
        """The device's software version: GetSWVersion."""
    def close(self) -> None:
        """Closes the device (CloseDevice). A failed close raises DeviceError after the device is
        released; closing a closed device does nothing."""
    @property
    def closed(self) -> bool:
        """Whether the device was closed."""
    @property
    def serial(self) -> str:
        """The serial number the device was opened with."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        type: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """Closes the device. When the block raised, that exception goes on and a failed close is added
        to it as a note."""

def devices() -> list[DeviceInfo]:
    """The devices the library lists (ListDevices)."""

def library_path() -> str:
    """The absolute path of the device library in use, loaded first when no call loaded it yet."""

def use_library(path: str | os.PathLike[str]) -> None:
    """Uses this device library file, as --library PATH does for the tools, loaded and checked at once
    (LibraryError when it cannot be used). Call it before any other call that uses the library;
    afterwards another file raises RuntimeError."""

def use_simulator() -> None:
    """Uses the simulator installed with this module, as --simulator does for the tools, loaded at once.
    Call it before any other call that uses the library."""

def _sim_status_json() -> str: ...
def _sim_reset() -> None: ...
def _sim_add(serial: str, description: str, mode: str, version: str) -> None: ...
def _sim_remove(arg0: str) -> None: ...
def _sim_plug(arg0: str) -> None: ...
def _sim_unplug(arg0: str) -> None: ...
def _sim_set_inputs(arg0: str, arg1: SupportsIndex, arg2: SupportsIndex) -> None: ...
def _sim_fail(
    arg0: str, arg1: str | None, arg2: SupportsIndex, arg3: str | None, arg4: SupportsIndex | None
) -> None: ...
def _sim_delay(arg0: str, arg1: SupportsIndex, arg2: str | None) -> None: ...
def _sim_clear() -> None: ...
