#include "PasswordFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mqtt {

namespace {

// MQTT carries a password of up to 65535 bytes.
constexpr std::size_t MaxPasswordBytes = 65535;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string modeProblem(const struct stat &status) {
    if (!S_ISREG(status.st_mode))
        return "is not a regular file";
    if (status.st_uid != geteuid())
        return "belongs to another user; make the file yours";
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return "can be read or changed by other users; run chmod 600 on it";
    return {};
}

} // namespace

std::optional<std::string> readPasswordFile(const std::string &path, std::string &problem) {
    // No following of a link, and no waiting for a writer when the path is a FIFO.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        problem = errno == ELOOP ? "the password file " + path + " is a symbolic link; name the file itself"
                                 : "cannot open the password file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) {
        problem = "cannot check the password file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (const std::string why = modeProblem(status); !why.empty()) {
        problem = "the password file " + path + " " + why;
        return std::nullopt;
    }
    std::string content(MaxPasswordBytes + 2, '\0');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = read(file.get(), content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = "cannot read the password file " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(got);
        if (got == 0 || filled == content.size())
            break;
    }
    content.resize(filled);
    const std::string password = content.substr(0, content.find_first_of("\r\n"));
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
