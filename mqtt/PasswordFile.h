// The broker password, which never comes from the command line where `ps` shows it: from a file only its
// owner can read, or from DIO_MQTT_PASSWORD.
#pragma once

#include <optional>
#include <string>

namespace mqtt {

inline constexpr const char *PasswordVariable = "DIO_MQTT_PASSWORD";

// The first line of the file (without its line end), or nothing with `problem` saying what is wrong: not
// a regular file (a FIFO, a device, a directory), a symbolic link, owned by another user, readable or
// writable by the group or others, empty, or longer than a password can be.
std::optional<std::string> readPasswordFile(const std::string &path, std::string &problem);

} // namespace mqtt
