#include "DeviceText.h"

#include <algorithm>
#include <cstring>

namespace device {

QString decodeText(std::string_view bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

bool encodeText(const QString &text, QByteArray &bytes) {
    const bool representable =
        std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    if (!representable)
        return false;
    bytes = text.toLatin1();
    return true;
}

bool encodeSerialNumber(const QString &text, SerialNumberBuffer &buffer) {
    QByteArray bytes;
    if (!encodeText(text, bytes) || bytes.size() >= static_cast<qsizetype>(buffer.size()))
        return false;
    std::memcpy(buffer.data(), bytes.constData(), static_cast<std::size_t>(bytes.size()));
    buffer[static_cast<std::size_t>(bytes.size())] = '\0';
    return true;
}

} // namespace device
