// What the status line must say after a transaction, worked out from the fake library's log alone, so
// that tests and fuzzers driving arbitrary library behaviour can check that the window tells the truth.
#pragma once

#include <optional>

#include <QString>

#include "DeviceText.h"
#include "FakeKavren.h"

namespace fake {

inline QString failureFallback(Op op) {
    switch (op) {
    case Op::ReadPort:
        return QStringLiteral("Error Reading Port");
    case Op::WritePort:
        return QStringLiteral("Error Writing Port");
    default:
        return QStringLiteral("Error Reading SW Version");
    }
}

// The status the last transaction in the log must leave, or nothing when the log does not end with one.
inline std::optional<QString> expectedStatusOfLastTransaction() {
    const std::vector<Call> &log = calls();
    if (log.empty() || log.back().op != Op::CloseDevice)
        return std::nullopt;
    std::size_t open = log.size() - 1;
    while (open > 0 && log[open].op != Op::OpenDevice)
        --open;
    if (log[open].op != Op::OpenDevice)
        return std::nullopt;
    if (log.back().status != 0)
        return QStringLiteral("Error Closing Device");
    if (log[open].status != 0)
        return QStringLiteral("Error Opening Device");
    for (std::size_t i = open + 1; i + 1 < log.size(); ++i) {
        if (log[i].status == 0)
            continue;
        const QString text =
            device::decodeText(device::boundedText(log[i].messageAfter.data(), KAVREN_MESSAGE_SIZE));
        return text.isEmpty() ? failureFallback(log[i].op) : text;
    }
    return QString();
}

} // namespace fake
