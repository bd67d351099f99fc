// dio.devices(): the devices the library lists, as DeviceInfo tuples.
#pragma once

#include <pybind11/pybind11.h>

namespace pydio {

pybind11::list listDevices();

} // namespace pydio
