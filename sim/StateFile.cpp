#include "StateFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sim {

namespace {

bool sameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

void closeFd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool writeAll(int fd, const std::vector<std::uint8_t> &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Why nobody but the user may have this file, with the way out; nothing when it is safe.
std::optional<std::string> safetyProblem(const std::string &path, const struct stat &info) {
    char text[512];
    if (!S_ISREG(info.st_mode)) {
        std::snprintf(text, sizeof text, "Simulator state %s is not a regular file: remove it", path.c_str());
        return text;
    }
    if (info.st_uid != ::geteuid()) {
        std::snprintf(text, sizeof text,
                      "Simulator state %s belongs to user %u, not to you: nobody else may drive your "
                      "devices; remove it (rm %s)",
                      path.c_str(), static_cast<unsigned>(info.st_uid), path.c_str());
        return text;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::snprintf(text, sizeof text,
                      "Simulator state %s is writable by group or others (mode %04o): nobody else may "
                      "drive your devices; run chmod 600 %s, or remove it",
                      path.c_str(), static_cast<unsigned>(info.st_mode & 07777), path.c_str());
        return text;
    }
    return std::nullopt;
}

} // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {}

StateFile::~StateFile() {
    closeFd(snapshot_.fd);
    closeFd(lockFd_);
}

std::string StateFile::defaultPath() {
    if (const char *named = std::getenv("KAVREN_SIM_STATE"); named != nullptr && *named != '\0')
        return named;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/kavren-sim.state";
    return "/tmp/kavren-sim-" + std::to_string(::geteuid()) + ".state";
}

std::string StateFile::invalidMessage(const std::string &problem) const {
    return "Simulator state " + path_ + " is not valid (" + problem + "): run `dio-sim reset`";
}

std::string StateFile::systemMessage(const char *what, int error) const {
    return std::string("Cannot ") + what + " simulator state " + path_ + ": " + std::strerror(error);
}

StateFile::Look StateFile::inspect(struct stat &info, std::string &error) const {
    if (::lstat(path_.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return Look::Missing;
        error = systemMessage("read", errno);
        return Look::Refused;
    }
    if (auto problem = safetyProblem(path_, info)) {
        error = *problem;
        return Look::Refused;
    }
    return Look::Usable;
}

const State *StateFile::load(std::string &error) {
    if (snapshot_.state && snapshotStillCurrent())
        return &*snapshot_.state;
    struct stat info {};
    switch (inspect(info, error)) {
    case Look::Refused:
        return nullptr;
    case Look::Missing:
        // First use: create it with the default devices, unless another process just did.
        if (!update([](State &) { return true; }, error))
            return nullptr;
        if (inspect(info, error) != Look::Usable) {
            if (error.empty())
                error = systemMessage("create", ENOENT);
            return nullptr;
        }
        break;
    case Look::Usable:
        break;
    }
    if (snapshot_.fd < 0 || !sameFile(info, snapshot_.key)) {
        if (readFile(error) == nullptr)
            return nullptr;
    } else if (!snapshot_.state) {
        error = invalidMessage(snapshot_.problem);
        return nullptr;
    }
    return &*snapshot_.state;
}

// Every change replaces the file by rename, which unlinks the one read last; a chmod or chown changes its
// times. So while the inode read last keeps its link and its times, it is still the state, and asking the
// open descriptor costs far less than looking the path up again.
bool StateFile::snapshotStillCurrent() const {
    struct stat info {};
    return snapshot_.fd >= 0 && ::fstat(snapshot_.fd, &info) == 0 && info.st_nlink > 0 &&
           sameFile(info, snapshot_.key);
}

const State *StateFile::readFile(std::string &error) {
    closeFd(snapshot_.fd);
    snapshot_.state.reset();
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = systemMessage("open", errno);
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        error = systemMessage("read", errno);
        ::close(fd);
        return nullptr;
    }
    if (auto problem = safetyProblem(path_, info)) { // what was opened, not what lstat saw
        error = *problem;
        ::close(fd);
        return nullptr;
    }
    std::vector<std::uint8_t> bytes(MaxFileBytes + 1);
    std::size_t used = 0;
    while (used < bytes.size()) {
        const ssize_t got = ::pread(fd, bytes.data() + used, bytes.size() - used, static_cast<off_t>(used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = systemMessage("read", errno);
            ::close(fd);
            return nullptr;
        }
        if (got == 0)
            break;
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
    Decoded decoded = used > MaxFileBytes ? Decoded{std::nullopt, "it is far too large"} : decode(bytes);
    snapshot_.fd = fd;
    snapshot_.key = info;
    snapshot_.state = std::move(decoded.state);
    snapshot_.problem = std::move(decoded.problem);
    if (!snapshot_.state) {
        error = invalidMessage(snapshot_.problem);
        return nullptr;
    }
    return &*snapshot_.state;
}

bool StateFile::makeDirectory(std::string &error) const {
    const std::size_t slash = path_.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string directory = path_.substr(0, slash);
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0)
        return true;
    // Creates each missing level, private to the user.
    for (std::size_t at = directory.find('/', 1);; at = directory.find('/', at + 1)) {
        const std::string level = directory.substr(0, at);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "Cannot create the directory " + level + " for simulator state " + path_ + ": " +
                    std::strerror(errno);
            return false;
        }
        if (at == std::string::npos)
            return true;
    }
}

bool StateFile::lock(std::string &error) {
    if (!makeDirectory(error))
        return false;
    const std::string lockPath = path_ + ".lock";
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (lockFd_ < 0) {
            lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (lockFd_ < 0) {
                error = "Cannot create the lock file " + lockPath + ": " + std::strerror(errno);
                return false;
            }
        }
        struct stat opened {};
        if (::fstat(lockFd_, &opened) != 0 || opened.st_uid != ::geteuid()) {
            error = "The lock file " + lockPath + " is not yours: remove it";
            closeFd(lockFd_);
            return false;
        }
        while (::flock(lockFd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error = "Cannot lock " + lockPath + ": " + std::strerror(errno);
                return false;
            }
        }
        // A lock file removed and made again meanwhile locks nothing for the others: use the new one.
        struct stat named {};
        if (::stat(lockPath.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino)
            return true;
        closeFd(lockFd_);
    }
    error = "Cannot lock " + lockPath + ": it keeps being replaced";
    return false;
}

void StateFile::unlock() {
    if (lockFd_ >= 0)
        ::flock(lockFd_, LOCK_UN);
}

bool StateFile::write(const State &state, std::string &error) {
    const std::string fresh = path_ + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = systemMessage("write", errno);
        return false;
    }
    const bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, encode(state));
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(fresh.c_str());
        error = systemMessage("write", writeError);
        return false;
    }
    if (::rename(fresh.c_str(), path_.c_str()) != 0) {
        error = systemMessage("replace", errno);
        ::unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool StateFile::update(const std::function<bool(State &)> &change, std::string &error) {
    if (!lock(error))
        return false;
    struct stat info {};
    State state;
    bool ok = true;
    switch (inspect(info, error)) {
    case Look::Refused:
        ok = false;
        break;
    case Look::Missing:
        state = defaultState();
        break;
    case Look::Usable:
        if (const State *current = readFile(error))
            state = *current;
        else
            ok = false;
        break;
    }
    if (ok && change(state))
        ok = write(state, error);
    unlock();
    return ok;
}

bool StateFile::reset(std::string &error) {
    if (!lock(error))
        return false;
    struct stat info {};
    const bool ok = inspect(info, error) != Look::Refused && write(defaultState(), error);
    unlock();
    return ok;
}

} // namespace sim
