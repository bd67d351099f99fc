// The simulator's controls for dio.sim: the commands of dio-sim, run in this process by the same code on
// the same state file (KAVREN_SIM_STATE, else the default), with the same rules and texts. Bad arguments
// raise ValueError or TypeError; a state that cannot be read or changed raises OSError.
#pragma once

#include <pybind11/pybind11.h>

namespace pydio {

// Defines the private functions _sim_* that the Python module dio.sim wraps.
void defineSimControls(pybind11::module_ &module);

} // namespace pydio
