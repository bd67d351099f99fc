// A CLI11 check for arguments that are a port number or a port value, so every tool refuses the same
// texts with the same words.
#pragma once

#include <string>

#include <CLI/Validators.hpp>

#include "ByteArgument.h"

namespace cli {

inline CLI::Validator byteValidator() {
    return CLI::Validator(
        [](std::string &text) {
            return parseByte(text) ? std::string()
                                   : "'" + text + "' is not a byte: give 0-255 as 0x5A, 90 or 0b01011010";
        },
        "BYTE");
}

} // namespace cli
