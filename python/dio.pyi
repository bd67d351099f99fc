"""The operations of a USB digital I/O device, for bench test scripts.

    import dio
    dio.devices()                            # [DeviceInfo(serial='DIO-SIM-0001', ...), ...]
    with dio.Device("DIO-SIM-0001") as dev:  # opened here, closed on leaving, also on an exception
        dev.write(0x10, 0x5A)
        dev.read(0x00)                       # 0-255
        dev.version                          # the device's software version

The device library libkavren.so.1 is chosen at the first call that needs it: the file given to
use_library() (or the bundled simulator after use_simulator()), else KAVREN_LIBRARY, else one the
system's loader finds, else the simulator installed with this module.
"""

import os
from types import TracebackType
from typing import NamedTuple

__version__: str

class DeviceError(Exception):
    """A device operation failed: the library's status and its message, or the operation's fixed text
    ("Error Opening Device", "Error Reading Port", ...) when the library left none."""

    status: int
    message: str
    def __init__(self, status: int, message: str) -> None: ...

class LibraryError(Exception):
    """No usable device library: which file was chosen, what is wrong with it, and how to provide one."""

class DeviceInfo(NamedTuple):
    """A listed device: its serial number and its description."""

    serial: str
    description: str

class Device:
    """An open device, chosen by its serial number (1-19 Latin-1 characters, no comma, no control
    character). Opened on construction (DeviceError "Error Opening Device" when it cannot be); closed by
    a with statement on leaving, or by close()."""

    def __init__(self, serial: str) -> None: ...
    def write(self, port: int, value: int) -> None:
        """Writes the value (0-255) to the port (0-255): WritePort."""
    def read(self, port: int) -> int:
        """Reads the port (0-255) and returns its value 0-255: ReadPort."""
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
    def __enter__(self) -> Device: ...
    def __exit__(
        self,
        type: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> bool:
        """Closes the device. When the block raised, that exception goes on and a failed close is added
        to it as a note."""

def devices() -> list[DeviceInfo]:
    """The devices the library lists (ListDevices)."""

def library_path() -> str:
    """The absolute path of the device library in use, loaded first when no call loaded it yet."""

def use_library(path: str | os.PathLike[str]) -> None:
    """Uses this device library file, as --library PATH does for the tools. Call it before the first call
    that uses the library; afterwards another file raises RuntimeError."""

def use_simulator() -> None:
    """Uses the simulator installed with this module, as --simulator does for the tools. Call it before
    the first call that uses the library."""
