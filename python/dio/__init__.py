"""The operations of a USB digital I/O device, for bench test scripts.

    import dio
    dio.devices()                            # [DeviceInfo(serial='DIO-SIM-0001', ...), ...]
    with dio.Device("DIO-SIM-0001") as dev:  # opened here, closed on leaving, also on an exception
        dev.write(dio.OUTPUT_PORTS[0], 0x5A)  # output ports 0x10 and 0x11
        dev.read(dio.INPUT_PORTS[0])          # input ports 0x00 and 0x01: 0-255
        dev.wait_for(0x00, 0x01, mask=0x01, timeout=2.0)  # bit 0 set within 2 s, else TimeoutError
        dev.version                          # the device's software version

Ports and values are 0-255, as ints or any integers with __index__ (numpy's). A failed operation raises
DeviceError, an OSError with the device's serial number, the library function, its status and message (or
a fixed text such as "Error Reading Port"); bad arguments raise ValueError or TypeError before the device
is touched. Texts from the library are decoded from Latin-1, byte for byte.

The device library libkavren.so.1 is chosen at the first call that needs it, by the rule of the panel and
of dio: the file given to use_library(), or the bundled simulator after use_simulator(); else the file in
KAVREN_LIBRARY; else a libkavren.so.1 that the system's loader finds (LD_LIBRARY_PATH, a vendor's
package); else the simulator installed with this module. A library that is named or found but cannot be
used raises LibraryError and is never replaced by the next one. library_path() says which file is in use.

dio.sim drives the simulated devices from a test, as dio-sim does; the pytest fixtures dio_sim and
dio_device (dio.pytest_plugin, loaded by pytest by itself) give each test simulated devices of its own.

Every library call releases the GIL, so other threads run while a device call waits; one Device used
from several threads serves one call at a time.
"""

from ._dio import (
    INPUT_PORTS,
    OUTPUT_PORTS,
    Device,
    DeviceError,
    DeviceInfo,
    LibraryError,
    __version__,
    devices,
    library_path,
    use_library,
    use_simulator,
)
from . import sim  # so that dio.sim works after a plain "import dio"

__all__ = [
    "INPUT_PORTS",
    "OUTPUT_PORTS",
    "Device",
    "DeviceError",
    "DeviceInfo",
    "LibraryError",
    "__version__",
    "devices",
    "library_path",
    "sim",
    "use_library",
    "use_simulator",
]
