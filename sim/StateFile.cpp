#include "StateFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include "StateFormat.h"

namespace sim {

namespace {

constexpr std::int64_t ReuseNs = 1'000'000; // a look at the file younger than this is reused
// ... and one younger than this while the change count is watched and stands still: a file edited or
// replaced by other means than this code shows within that time.
constexpr std::int64_t WatchedReuseNs = 1'000'000'000;
constexpr std::int64_t LockWaitNs = 2'000'000'000; // a writer gives up after waiting this long
constexpr timespec LockPoll{0, 2'000'000};
constexpr const char *ElsewhereHint = "set KAVREN_SIM_STATE to keep the state elsewhere";

// This process's changes, so that a look at the file from before one of them is never reused.
std::atomic<unsigned> changesByThisProcess{0};

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

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

std::string systemMessage(const char *what, const std::string &path, int error) {
    return std::string("Cannot ") + what + " simulator state " + path + ": " + std::strerror(error);
}

std::string fallbackDirectory() {
    return "/tmp/kavren-sim-" + std::to_string(::geteuid());
}

// Everybody may create things in /tmp: the fallback directory there is used only when it is a directory
// of the user's own that nobody else may enter. Anything else is refused, never used or repaired.
std::optional<std::string> fallbackProblem(const std::string &directory) {
    struct stat info {};
    const bool found = ::lstat(directory.c_str(), &info) == 0;
    if ((!found && errno == ENOENT) ||
        (found && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0))
        return std::nullopt; // a missing one is made with the state
    return "The directory " + directory +
           " for the simulator state is not a directory that only you may enter: it is not used; set "
           "XDG_RUNTIME_DIR or KAVREN_SIM_STATE to keep the state elsewhere";
}

// Creates the missing levels of the state's directory, private to the user; what fails shows when the
// lock file cannot be made.
void makeDirectories(const std::string &directory) {
    for (std::size_t at = directory.find('/', 1);; at = directory.find('/', at + 1)) {
        ::mkdir(directory.substr(0, at).c_str(), 0700);
        if (at == std::string::npos)
            return;
    }
}

// Why nobody but the user may have this file, with the way out; nothing when it is safe.
std::optional<std::string> safetyProblem(const std::string &path, const struct stat &info) {
    const std::string named = "Simulator state " + path;
    if (!S_ISREG(info.st_mode))
        return named + " is not a regular file: remove it, or " + ElsewhereHint;
    if (info.st_uid != ::geteuid())
        return named + " belongs to user " + std::to_string(info.st_uid) +
               ", not to you: nobody else may drive your devices; remove it, or " + ElsewhereHint;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return named + " is writable by group or others (mode " + mode +
               "): nobody else may drive your devices; run chmod 600 " + path + ", or remove it";
    }
    return std::nullopt;
}

struct Descriptor {
    int fd;
    ~Descriptor() { closeFd(fd); }
};

// An exclusive flock on <state>.lock, a regular file of the user's own, so a FIFO planted there cannot
// block a writer. Polls rather than blocks, so the wait is bounded and a signal ends the process as it
// would anyway. The locked descriptor, or -1.
int takeLock(const std::string &path, std::string &error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info {};
    if (fd < 0 && errno != ELOOP) {
        error = "Cannot create the lock file " + path + ": " + std::strerror(errno);
        return -1;
    }
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        error = "The lock file " + path + " is not a regular file of yours: remove it, or " + ElsewhereHint;
        closeFd(fd);
        return -1;
    }
    for (const std::int64_t deadline = monotonicNs() + LockWaitNs; monotonicNs() < deadline;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        ::nanosleep(&LockPoll, nullptr);
    }
    error = errno == EWOULDBLOCK || errno == EINTR
                ? "Another program holds " + path +
                      ": it has been changing the simulator state for 2 s; try again, or end that program"
                : "Cannot lock " + path + ": " + std::strerror(errno);
    closeFd(fd);
    return -1;
}

// The lock file's first 8 bytes count the changes, so a reader that maps them sees every change made
// here without asking the kernel. Only a lock file that nobody else may write and that has no other
// link (a file of the user's linked there must not be damaged) carries the count. Nothing here ever
// shortens the file, which would fault a reader's mapping.
bool carriesCount(const struct stat &info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool countChange(int lockFd, const std::string &statePath, std::string &error) {
    struct stat info {};
    if (::fstat(lockFd, &info) == 0 && !carriesCount(info))
        return true;
    std::uint64_t count = 0;
    if (::pread(lockFd, &count, sizeof count, 0) != sizeof count)
        count = 0;
    ++count;
    errno = ENOSPC; // what a short write means
    if (::pwrite(lockFd, &count, sizeof count, 0) == sizeof count)
        return true;
    error = "Simulator state " + statePath + " was changed, but programs that have it open may see that a " +
            "second late: cannot write " + statePath + ".lock: " + std::strerror(errno);
    return false;
}

} // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    directory_ = slash == std::string::npos ? "." : path_.substr(0, std::max<std::size_t>(slash, 1));
    name_ = path_.substr(slash + 1);
}

StateFile::~StateFile() {
    closeFd(snapshot_.fd);
    unwatch();
}

std::string StateFile::defaultPath() {
    if (const char *named = ::secure_getenv("KAVREN_SIM_STATE"); named != nullptr && *named != '\0')
        return named;
    if (const char *runtime = ::secure_getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/kavren-sim.state";
    return fallbackDirectory() + "/kavren-sim.state";
}

std::shared_ptr<const State> StateFile::load(std::string &error) {
    const std::int64_t now = monotonicNs();
    const unsigned changes = changesByThisProcess.load(std::memory_order_relaxed);
    const bool lookedLately = snapshot_.fd >= 0 && snapshot_.changesSeen == changes &&
                              (watch_.count != nullptr ? countSeen() == snapshot_.countSeen &&
                                                             now - snapshot_.checkedAt < WatchedReuseNs
                                                       : now - snapshot_.checkedAt < ReuseNs);
    if (!lookedLately) {
        watchChanges();
        snapshot_.countSeen = countSeen(); // before the look, so a change made meanwhile shows next time
        if (!stillCurrent()) {
            Found found = read(error);
            if (found == Found::Missing) { // first use: made under the lock, unless another process just did
                if (!update([](State &) { return false; }, error))
                    return nullptr;
                found = read(error);
            }
            if (found != Found::File) {
                if (error.empty())
                    error = systemMessage("create", path_, ENOENT);
                return nullptr;
            }
        }
        snapshot_.checkedAt = now;
        snapshot_.changesSeen = changes;
    }
    if (!snapshot_.state)
        error = snapshot_.problem;
    return snapshot_.state;
}

// Maps the change count of <state>.lock, or keeps the one mapped while that file may still carry it.
void StateFile::watchChanges() {
    const auto carriesACount = [](int fd) {
        struct stat info {};
        return fd >= 0 && ::fstat(fd, &info) == 0 && carriesCount(info) &&
               info.st_size >= off_t(sizeof(std::uint64_t));
    };
    if (watch_.count != nullptr && carriesACount(watch_.fd))
        return;
    unwatch();
    watch_.fd = ::open((path_ + ".lock").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    void *mapped = carriesACount(watch_.fd)
                       ? ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ, MAP_SHARED, watch_.fd, 0)
                       : MAP_FAILED;
    if (mapped == MAP_FAILED)
        unwatch();
    else
        watch_.count = static_cast<const std::uint64_t *>(mapped);
}

void StateFile::unwatch() {
    if (watch_.count != nullptr)
        ::munmap(const_cast<std::uint64_t *>(watch_.count), sizeof(std::uint64_t));
    watch_.count = nullptr;
    closeFd(watch_.fd);
}

std::uint64_t StateFile::countSeen() const {
    return watch_.count == nullptr ? 0 : __atomic_load_n(watch_.count, __ATOMIC_ACQUIRE);
}

// Every change replaces the file by rename, which unlinks the one read last; a chmod or chown changes its
// times. So while the inode read last keeps its link and its times, it is still the state.
bool StateFile::stillCurrent() const {
    struct stat info {};
    return snapshot_.fd >= 0 && ::fstat(snapshot_.fd, &info) == 0 && info.st_nlink > 0 &&
           sameFile(info, snapshot_.key);
}

StateFile::Found StateFile::read(std::string &error) {
    closeFd(snapshot_.fd);
    snapshot_.state.reset();
    if (auto problem = directoryProblem()) {
        error = *problem;
        return Found::Refused;
    }
    int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return Found::Missing;
    if (fd < 0 && errno != ELOOP) {
        error = systemMessage("open", path_, errno);
        return Found::Refused;
    }
    struct stat info {};
    if (fd < 0)
        info.st_mode = S_IFLNK; // what O_NOFOLLOW refused
    else
        ::fstat(fd, &info); // what was opened, whatever the path names now
    // A regular file is read whole by one call, unless it grew meanwhile: then it is too large anyway.
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(info.st_size, MaxFileBytes) + 1);
    ssize_t got = -1;
    if (auto problem = safetyProblem(path_, info))
        error = *problem;
    else if ((got = ::pread(fd, bytes.data(), bytes.size(), 0)) < 0)
        error = systemMessage("read", path_, errno);
    if (got < 0) {
        closeFd(fd);
        return Found::Refused;
    }
    bytes.resize(static_cast<std::size_t>(got));
    Decoded decoded =
        bytes.size() > MaxFileBytes ? Decoded{std::nullopt, "it is far too large"} : decode(bytes);
    snapshot_.fd = fd;
    snapshot_.key = info;
    if (decoded.state)
        snapshot_.state = std::make_shared<const State>(std::move(*decoded.state));
    else
        snapshot_.problem =
            "Simulator state " + path_ + " is not valid (" + decoded.problem + "): run `dio-sim reset`";
    return Found::File;
}

bool StateFile::update(const std::function<bool(State &)> &change, std::string &error) {
    return rewrite(change, false, error);
}

bool StateFile::reset(std::string &error) {
    return rewrite(
        [](State &state) {
            state = defaultState();
            return true;
        },
        true, error);
}

bool StateFile::rewrite(const std::function<bool(State &)> &change, bool replaceInvalid, std::string &error) {
    makeDirectories(directory_);
    if (auto problem = directoryProblem()) {
        error = *problem;
        return false;
    }
    const Descriptor lock{takeLock(path_ + ".lock", error)};
    if (lock.fd < 0)
        return false;
    removeLeftovers();
    const Found found = read(error);
    if (found == Found::Refused)
        return false;
    if (found == Found::File && !snapshot_.state && !replaceInvalid) {
        error = snapshot_.problem;
        return false;
    }
    const State current = snapshot_.state ? *snapshot_.state : defaultState();
    State changed = current;
    const bool changes = change(changed);
    if (!changes && found == Found::File)
        return true; // a missing file is made all the same
    return write(changes ? changed : current, error) && countChange(lock.fd, path_, error);
}

std::optional<std::string> StateFile::directoryProblem() const {
    return directory_ == fallbackDirectory() ? fallbackProblem(directory_) : std::nullopt;
}

bool StateFile::write(const State &state, std::string &error) const {
    if (auto problem = stateProblem(state)) {
        error = "Simulator state " + path_ + " was left as it was: " + *problem;
        return false;
    }
    std::string temporary = path_ + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = systemMessage("write", path_, errno);
        return false;
    }
    const std::vector<std::uint8_t> bytes = encode(state);
    errno = ENOSPC; // what a short write means
    const bool written = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        error = written ? systemMessage("replace", path_, errno) : systemMessage("write", path_, writeError);
        ::unlink(temporary.c_str());
        return false;
    }
    ++changesByThisProcess;
    return true;
}

// Temporary files of writers that were killed midway: no other writer runs while the lock is held.
void StateFile::removeLeftovers() const {
    const std::string prefix = name_ + ".tmp-";
    DIR *entries = ::opendir(directory_.c_str());
    if (entries == nullptr)
        return;
    while (const dirent *entry = ::readdir(entries)) {
        const std::string_view found = entry->d_name;
        struct stat info {};
        if (found.size() == prefix.size() + 6 && found.starts_with(prefix) &&
            ::fstatat(::dirfd(entries), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            info.st_uid == ::geteuid())
            ::unlinkat(::dirfd(entries), entry->d_name, 0);
    }
    ::closedir(entries);
}

} // namespace sim
