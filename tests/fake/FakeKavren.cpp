#include "FakeKavren.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>

namespace fake {
namespace {

struct State {
    std::map<Op, std::deque<Reply>> queued;
    ReplySource source;
    std::vector<Call> log;
    std::vector<Device> devices;
    std::map<std::string, std::map<std::uint8_t, std::uint8_t>> ports;
    std::map<DeviceHandle, std::string> open;
    DeviceHandle lastHandle = 0;
};

State &state() {
    static State instance;
    return instance;
}

std::string bytes(const char *buffer, std::size_t size) {
    return buffer == nullptr ? std::string() : std::string(buffer, size);
}

void copyInto(char *buffer, std::size_t size, const std::optional<std::string> &text) {
    if (buffer != nullptr && text)
        std::memcpy(buffer, text->data(), std::min(size, text->size()));
}

Reply failure(std::int32_t status, const char *message = nullptr) {
    Reply reply;
    reply.status = status;
    if (message != nullptr)
        reply.message = cstr(message);
    return reply;
}

std::optional<Reply> scripted(Op op) {
    auto &queue = state().queued[op];
    if (!queue.empty()) {
        Reply reply = queue.front();
        queue.pop_front();
        return reply;
    }
    if (state().source)
        return state().source(op);
    return std::nullopt;
}

// The scripted reply if there is one, else the device model's; the model runs only when it answers.
template <typename Model> Reply answer(Op op, Model model) {
    if (std::optional<Reply> reply = scripted(op))
        return *reply;
    return model();
}

// ---- The device model that answers unscripted calls.

Reply modelList() {
    Reply reply;
    std::string serials, descriptions;
    for (const Device &device : state().devices) {
        serials += (serials.empty() ? "" : ",") + device.serialNumber;
        descriptions += (descriptions.empty() ? "" : ",") + device.description;
    }
    reply.count = static_cast<std::int32_t>(state().devices.size());
    reply.text = cstr(serials);
    reply.descriptions = cstr(descriptions);
    return reply;
}

Reply modelOpen(const std::string &serialNumber) {
    const bool known = std::any_of(state().devices.begin(), state().devices.end(),
                                   [&](const Device &d) { return d.serialNumber == serialNumber; });
    if (!known)
        return failure(1);
    Reply reply;
    reply.handle = ++state().lastHandle;
    return reply;
}

const std::string *openSerial(DeviceHandle handle) {
    const auto found = state().open.find(handle);
    return found == state().open.end() ? nullptr : &found->second;
}

Reply modelPort(DeviceHandle handle, std::uint8_t port, std::optional<std::uint8_t> written) {
    const std::string *serial = openSerial(handle);
    if (serial == nullptr)
        return failure(3, "Device not open");
    Reply reply;
    if (written)
        state().ports[*serial][port] = *written;
    else
        reply.value = state().ports[*serial][port];
    return reply;
}

Call &logCall(Op op) {
    Call &call = state().log.emplace_back();
    call.op = op;
    return call;
}

} // namespace

void reset() {
    state() = State{};
    setDevices({{"A1", "One"}, {"B2", "Two"}});
}

void setDevices(std::vector<Device> devices) {
    state().devices = std::move(devices);
}

void setPortValue(const std::string &serialNumber, std::uint8_t port, std::uint8_t value) {
    state().ports[serialNumber][port] = value;
}

std::uint8_t portValue(const std::string &serialNumber, std::uint8_t port) {
    return state().ports[serialNumber][port];
}

void queue(Op op, Reply reply) {
    state().queued[op].push_back(std::move(reply));
}
void setReplySource(ReplySource source) {
    state().source = std::move(source);
}
const std::vector<Call> &calls() {
    return state().log;
}
void clearCalls() {
    state().log.clear();
}

std::vector<Call> callsOf(Op op) {
    std::vector<Call> selected;
    std::copy_if(state().log.begin(), state().log.end(), std::back_inserter(selected),
                 [op](const Call &call) { return call.op == op; });
    return selected;
}

std::string openCloseViolation() {
    std::optional<DeviceHandle> pending;
    std::ostringstream why;
    for (std::size_t i = 0; i < state().log.size(); ++i) {
        const Call &call = state().log[i];
        switch (call.op) {
        case Op::OpenDevice:
            if (pending)
                return (why << "call " << i << ": open while handle " << *pending << " is unclosed",
                        why.str());
            pending = call.handleOut;
            break;
        case Op::CloseDevice:
            if (!pending || call.handle != *pending)
                return (why << "call " << i << ": close of " << call.handle << " follows no open of it",
                        why.str());
            pending.reset();
            break;
        case Op::ListDevices:
            if (pending)
                return (why << "call " << i << ": device list asked while a device is open", why.str());
            break;
        default:
            if (!pending)
                return (why << "call " << i << ": device call outside an open", why.str());
        }
    }
    if (pending)
        return (why << "handle " << *pending << " left open at the end", why.str());
    return {};
}

} // namespace fake

using fake::Call;
using fake::Op;
using fake::Reply;

extern "C" {

int32_t ListDevices(int32_t *count, char *serialNumbers, char *descriptions) {
    Call &call = fake::logCall(Op::ListDevices);
    call.count = count != nullptr ? *count : 0;
    call.text = fake::bytes(serialNumbers, KAVREN_SERIAL_LIST_SIZE);
    call.descriptions = fake::bytes(descriptions, KAVREN_DESCRIPTION_LIST_SIZE);
    const Reply reply = fake::answer(Op::ListDevices, fake::modelList);
    if (count != nullptr && reply.count)
        *count = *reply.count;
    fake::copyInto(serialNumbers, KAVREN_SERIAL_LIST_SIZE, reply.text);
    fake::copyInto(descriptions, KAVREN_DESCRIPTION_LIST_SIZE, reply.descriptions);
    return call.status = reply.status;
}

int32_t OpenDevice(const char *serialNumber, DeviceHandle *handle) {
    Call &call = fake::logCall(Op::OpenDevice);
    call.serialNumber = fake::bytes(serialNumber, KAVREN_SERIAL_NUMBER_SIZE);
    call.handle = handle != nullptr ? *handle : 0;
    const std::string text = call.serialNumber.substr(0, call.serialNumber.find('\0'));
    const Reply reply = fake::answer(Op::OpenDevice, [&] { return fake::modelOpen(text); });
    if (handle != nullptr && reply.handle)
        *handle = *reply.handle;
    if (handle != nullptr && reply.status == 0)
        fake::state().open[*handle] = text;
    call.handleOut = handle != nullptr ? *handle : 0;
    return call.status = reply.status;
}

int32_t CloseDevice(DeviceHandle handle) {
    Call &call = fake::logCall(Op::CloseDevice);
    call.handle = handle;
    const bool wasOpen = fake::state().open.erase(handle) == 1;
    const std::optional<Reply> reply = fake::scripted(Op::CloseDevice);
    return call.status = reply ? reply->status : (wasOpen || handle == 0 ? 0 : 3);
}

int32_t GetSWVersion(DeviceHandle handle, char *version, char *message) {
    Call &call = fake::logCall(Op::GetSWVersion);
    call.handle = handle;
    call.text = fake::bytes(version, KAVREN_VERSION_SIZE);
    call.message = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    const Reply reply = fake::answer(Op::GetSWVersion, [&] {
        if (fake::openSerial(handle) == nullptr)
            return fake::failure(3, "Device not open");
        Reply reply;
        reply.text = fake::cstr("1.23");
        return reply;
    });
    fake::copyInto(version, KAVREN_VERSION_SIZE, reply.text);
    fake::copyInto(message, KAVREN_MESSAGE_SIZE, reply.message);
    call.messageAfter = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    return call.status = reply.status;
}

int32_t ReadPort(DeviceHandle handle, uint8_t port, uint8_t *value, char *message) {
    Call &call = fake::logCall(Op::ReadPort);
    call.handle = handle;
    call.port = port;
    call.value = value != nullptr ? *value : 0;
    call.message = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    const Reply reply =
        fake::answer(Op::ReadPort, [&] { return fake::modelPort(handle, port, std::nullopt); });
    if (value != nullptr && reply.value)
        *value = *reply.value;
    fake::copyInto(message, KAVREN_MESSAGE_SIZE, reply.message);
    call.messageAfter = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    return call.status = reply.status;
}

int32_t WritePort(DeviceHandle handle, uint8_t port, uint8_t value, char *message) {
    Call &call = fake::logCall(Op::WritePort);
    call.handle = handle;
    call.port = port;
    call.value = value;
    call.message = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    const Reply reply = fake::answer(Op::WritePort, [&] { return fake::modelPort(handle, port, value); });
    fake::copyInto(message, KAVREN_MESSAGE_SIZE, reply.message);
    call.messageAfter = fake::bytes(message, KAVREN_MESSAGE_SIZE);
    return call.status = reply.status;
}

} // extern "C"
