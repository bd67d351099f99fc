// What the tools print, and an exit code that tells the truth about it. Standard output is written
// straight to its descriptor, so a lost write is known before the exit code is chosen; a message on
// stderr is always one line, whatever a device, a library or a state file put into it.
#pragma once

#include <string>
#include <string_view>

namespace cli {

enum class Exit { Done = 0, Failed = 1, BadUsage = 2, NoLibrary = 3 };

// A UTF-8 text with its control characters (C0, DEL, C1) and the bytes that are no UTF-8 shown as \xHH.
std::string oneLine(std::string_view utf8);

// Qt's JSON escapes C0 controls but writes DEL and C1 characters raw; these become \u00XX too.
std::string escapeJsonControls(std::string_view json);

class Console {
public:
    explicit Console(std::string program) : program_(std::move(program)) {}

    // Text for stdout, written at once. A failed write is remembered; nothing is written after it.
    void print(std::string_view text);
    // "<program>: message" on stderr, as one line.
    void error(std::string_view message);
    // A further line on stderr, without the program's name.
    void note(std::string_view text);
    // The bad-usage reason, then the usage of the command concerned.
    void usage(std::string_view message, std::string_view help);
    bool outputLost() const { return writeError_ != 0; }

    // `exit`, unless output was lost: then that is said, and a command that succeeded fails.
    int finish(Exit exit);

private:
    std::string program_;
    int writeError_ = 0;
};

} // namespace cli
