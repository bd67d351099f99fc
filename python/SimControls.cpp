#include "SimControls.h"

#include <limits>
#include <mutex>
#include <new>

#include <pthread.h>

#include <CLI/Error.hpp>

#include "ArgumentChecks.h"
#include "Arguments.h"
#include "Console.h"
#include "SimCommands.h"
#include "WithoutGil.h"

namespace py = pybind11;

namespace pydio {

namespace {

using cli::DeviceText;

// The threads of this process take turns here rather than at the state's lock, whose 2 s bound is for
// other programs: eight threads changing the state at once would otherwise time out each other.
std::mutex changesInThisProcess;

// A fork's child has only the forking thread: a turn another thread held is nobody's there.
void resetTurnsInChild() {
    new (&changesInThisProcess) std::mutex;
}

// Runs a dio-sim command on the state file in use, without the GIL: a change may wait for the state's lock.
void run(const std::function<dio_sim::Result(sim::StateFile &)> &command, std::string *output = nullptr) {
    dio_sim::Result result;
    // The environment is read with the GIL held, so no os.environ change of another thread can race it.
    const std::string path = sim::StateFile::defaultPath();
    withoutGil([&] {
        const std::lock_guard oneAtATime(changesInThisProcess);
        sim::StateFile file(path);
        result = command(file);
    });
    if (result.outcome == dio_sim::Outcome::BadUsage)
        throw py::value_error(result.message);
    if (result.outcome != dio_sim::Outcome::Done) {
        PyErr_SetString(PyExc_OSError, result.message.c_str());
        throw py::error_already_set();
    }
    if (output != nullptr)
        *output = result.output;
}

// A device text by dio-sim's rule for its kind, in its single-byte form, with dio-sim's reason when not.
std::string deviceText(const py::str &text, DeviceText kind) {
    try {
        return cli::deviceTextArgument(std::string(text), kind);
    } catch (const CLI::ValidationError &refused) {
        throw py::value_error(refused.what());
    }
}

sim::Operation operationArgument(const py::str &text) {
    if (const auto operation = sim::parseOperation(std::string(text)))
        return *operation;
    throw py::value_error(
        "unknown operation '" + cli::oneLine(std::string(text)) +
        "': give ListDevices, OpenDevice, CloseDevice, GetSWVersion, ReadPort or WritePort");
}

// A text argument that may be None; anything but a str is refused, not turned into one.
py::str optionalText(const py::object &text, const char *name) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(std::string(name) + " must be a str or None, not " +
                             std::string(py::str(py::type::handle_of(text).attr("__name__"))));
    return py::reinterpret_borrow<py::str>(text);
}

// One device, or every device (None). A fault or delay of ListDevices concerns every device.
std::string targetArgument(const py::object &serial, sim::Operation operation) {
    if (serial.is_none())
        return {};
    if (operation == sim::Operation::ListDevices)
        throw py::value_error("serial does not go with ListDevices, which concerns every device");
    return deviceText(optionalText(serial, "serial"), DeviceText::Serial);
}

py::str statusJson() {
    std::string output;
    run([](sim::StateFile &file) { return dio_sim::status(file, true); }, &output);
    return py::str(output);
}

void add(const py::str &serial, const py::str &description, const py::str &mode, const py::str &version) {
    const auto parsedMode = sim::parseMode(std::string(mode));
    if (!parsedMode)
        throw py::value_error("unknown mode '" + cli::oneLine(std::string(mode)) +
                              "': give loopback, counting or manual");
    const dio_sim::NewDevice device{deviceText(serial, DeviceText::Serial),
                                    deviceText(description, DeviceText::Description), *parsedMode,
                                    deviceText(version, DeviceText::Version)};
    run([&](sim::StateFile &file) { return dio_sim::add(file, device); });
}

void serialCommand(const py::str &serial, dio_sim::Result (*command)(sim::StateFile &, const std::string &)) {
    const std::string bytes = deviceText(serial, DeviceText::Serial);
    run([&](sim::StateFile &file) { return command(file, bytes); });
}

void setInputs(const py::str &serial, py::handle port, py::handle value) {
    const std::string bytes = deviceText(serial, DeviceText::Serial);
    const std::uint8_t portNumber = byteArgument(port, "port");
    const std::uint8_t byte = byteArgument(value, "value");
    run([&](sim::StateFile &file) { return dio_sim::set(file, bytes, portNumber, byte); });
}

void fail(const py::str &operationName, const py::object &serial, py::handle status,
          const py::object &message, py::handle times) {
    dio_sim::Fault fault;
    fault.operation = operationArgument(operationName);
    fault.serial = targetArgument(serial, fault.operation);
    if (!message.is_none() && !sim::hasMessage(fault.operation))
        throw py::value_error("message does not go with " + std::string(sim::operationName(fault.operation)) +
                              ", which has no message buffer");
    fault.always = times.is_none();
    if (!fault.always)
        fault.times = static_cast<std::uint32_t>(
            integerArgument(times, "times", 1, std::numeric_limits<std::uint32_t>::max()));
    fault.status =
        static_cast<std::int32_t>(integerArgument(status, "status", std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max()));
    if (fault.status == 0)
        throw py::value_error("status 0 means success; give a non-zero status");
    if (!message.is_none())
        fault.message = deviceText(optionalText(message, "message"), DeviceText::Message);
    run([&](sim::StateFile &file) { return dio_sim::fail(file, fault); });
}

void delay(const py::str &operationName, py::handle milliseconds, const py::object &serial) {
    const sim::Operation operation = operationArgument(operationName);
    const std::string target = targetArgument(serial, operation);
    const auto wait =
        static_cast<std::uint32_t>(integerArgument(milliseconds, "milliseconds", 0, sim::MaxDelayMs));
    run([&](sim::StateFile &file) { return dio_sim::delay(file, operation, wait, target); });
}

} // namespace

void defineSimControls(py::module_ &module) {
    pthread_atfork(nullptr, nullptr, resetTurnsInChild);
    module.def("_sim_status_json", statusJson);
    module.def("_sim_reset", [] { run(dio_sim::reset); });
    module.def("_sim_add", add, py::arg("serial"), py::arg("description"), py::arg("mode"),
               py::arg("version"));
    module.def("_sim_remove", [](const py::str &serial) { serialCommand(serial, dio_sim::remove); });
    module.def("_sim_plug", [](const py::str &serial) {
        serialCommand(serial, [](sim::StateFile &file, const std::string &bytes) {
            return dio_sim::plug(file, bytes, true);
        });
    });
    module.def("_sim_unplug", [](const py::str &serial) {
        serialCommand(serial, [](sim::StateFile &file, const std::string &bytes) {
            return dio_sim::plug(file, bytes, false);
        });
    });
    module.def("_sim_set_inputs", setInputs);
    module.def("_sim_fail", fail);
    module.def("_sim_delay", delay);
    module.def("_sim_clear", [] { run(dio_sim::clear); });
}

} // namespace pydio
