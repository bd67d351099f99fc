// The six operations of the opened device library, shared by the loader and the forwarders only.
#pragma once

#include "kavren.h"

namespace device::detail {

struct Operations {
    decltype(&::ListDevices) listDevices = nullptr;
    decltype(&::OpenDevice) openDevice = nullptr;
    decltype(&::CloseDevice) closeDevice = nullptr;
    decltype(&::GetSWVersion) getSWVersion = nullptr;
    decltype(&::ReadPort) readPort = nullptr;
    decltype(&::WritePort) writePort = nullptr;
};

// All six set once a library is loaded, all null before.
extern Operations loadedOperations;

} // namespace device::detail
