// Files named by the options that the bridge reads itself: opened without waiting for a writer when the path
// is a FIFO, and used only when they are regular files. A file holding a secret (the broker password, the
// client's private key) is also not reached through a symbolic link, and must be this user's own file that
// no other user can read or change.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace mqtt {

class CheckedFile {
public:
    enum class Kind { Public, Secret };
    // An open regular file, or nothing with `problem` saying what is wrong, beginning with `what` (e.g. "the
    // password file") and the path.
    static std::optional<CheckedFile> open(const std::string &path, const std::string &what, Kind kind,
                                           std::string &problem);
    CheckedFile(CheckedFile &&other) noexcept;
    CheckedFile &operator=(CheckedFile &&) = delete;
    ~CheckedFile();

    // The first `limit` bytes, or fewer when the file is shorter; nothing with `problem` on a read error.
    std::optional<std::string> read(std::size_t limit, std::string &problem) const;
    const std::string &description() const { return description_; }

private:
    CheckedFile(int fd, std::string description) : fd_(fd), description_(std::move(description)) {}
    int fd_;
    std::string description_; // `what` and the path, for messages
};

} // namespace mqtt
