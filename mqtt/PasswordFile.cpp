#include "PasswordFile.h"

#include "CheckedFile.h"

namespace mqtt {

namespace {

// MQTT carries a password of up to 65535 bytes.
constexpr std::size_t MaxPasswordBytes = 65535;

} // namespace

std::optional<std::string> readPasswordFile(const std::string &path, std::string &problem) {
    const auto file = CheckedFile::open(path, "the password file", CheckedFile::Kind::Secret, problem);
    if (!file)
        return std::nullopt;
    const auto content = file->read(MaxPasswordBytes + 2, problem);
    if (!content)
        return std::nullopt;
    const std::string password = content->substr(0, content->find_first_of("\r\n"));
    if (password.empty()) {
        problem = "the password file " + path + " holds no password on its first line";
        return std::nullopt;
    }
    if (password.size() > MaxPasswordBytes) {
        problem = "the password in " + path + " is longer than 65535 bytes";
        return std::nullopt;
    }
    if (password.find('\0') != std::string::npos) {
        problem = "the password in " + path + " holds a NUL byte, which no password can";
        return std::nullopt;
    }
    return password;
}

} // namespace mqtt
