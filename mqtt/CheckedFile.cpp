#include "CheckedFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mqtt {

namespace {

std::string modeProblem(const struct stat &status, CheckedFile::Kind kind) {
    if (!S_ISREG(status.st_mode))
        return "is not a regular file";
    if (kind == CheckedFile::Kind::Public)
        return {};
    if (status.st_uid != geteuid())
        return "belongs to another user; make the file yours";
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return "can be read or changed by other users; run chmod 600 on it";
    return {};
}

} // namespace

std::optional<CheckedFile> CheckedFile::open(const std::string &path, const std::string &what, Kind kind,
                                             std::string &problem) {
    const std::string description = what + " " + path;
    // A certificate is often reached through a link (the system's CA store is made of them); a secret is not.
    const int noFollow = kind == Kind::Secret ? O_NOFOLLOW : 0;
    const int fd = ::open(path.c_str(), O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        problem = errno == ELOOP && kind == Kind::Secret
                      ? description + " is a symbolic link; name the file itself"
                      : "cannot open " + description + ": " + std::strerror(errno);
        return std::nullopt;
    }
    CheckedFile file(fd, description);
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        problem = "cannot check " + description + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (const std::string why = modeProblem(status, kind); !why.empty()) {
        problem = description + " " + why;
        return std::nullopt;
    }
    return file;
}

CheckedFile::CheckedFile(CheckedFile &&other) noexcept
    : fd_(other.fd_), description_(std::move(other.description_)) {
    other.fd_ = -1;
}

CheckedFile::~CheckedFile() {
    if (fd_ >= 0)
        close(fd_);
}

std::optional<std::string> CheckedFile::read(std::size_t limit, std::string &problem) const {
    std::string content(limit, '\0');
    std::size_t filled = 0;
    while (filled < content.size()) {
        const ssize_t got = ::read(fd_, content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = "cannot read " + description_ + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return content;
}

} // namespace mqtt
