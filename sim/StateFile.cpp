#include "StateFile.h"

#include <algorithm>
#include <array>
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
#include <sys/random.h>
#include <unistd.h>

#include "ChangeCount.h"
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
constexpr const char *FileHint = "set KAVREN_SIM_STATE to the path of a file for the simulator state";

// This process's changes, so that a look at the file from before one of them is never reused.
std::atomic<unsigned> changesByThisProcess{0};

// When this thread last read the change count of a file and found the state it had read still current:
// the calls of one transaction (open, reads, close) that follow within ReuseNs ask the kernel nothing.
// Per thread, so another thread's look never hides a change from this one.
thread_local struct {
    const void *file = nullptr;
    std::int64_t at = 0;
} lastCountRead;

// A clock the kernel does not offer reads as the exact one: a time stuck at zero would reuse a look for good.
std::int64_t nanoseconds(clockid_t clock) {
    timespec now{};
    if (clock_gettime(clock, &now) != 0 && clock != CLOCK_MONOTONIC)
        return nanoseconds(CLOCK_MONOTONIC);
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t monotonicNs() {
    return nanoseconds(CLOCK_MONOTONIC);
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

const char *kindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "a directory";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFIFO:
        return "a FIFO";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    case S_IFSOCK:
        return "a socket";
    default:
        return "something";
    }
}

// Why nobody but the user may have this file, with the way out; nothing when it is safe. A path that names
// something else than a file (/dev/null, a directory) is the setting's fault, never the thing's.
std::optional<std::string> safetyProblem(const std::string &path, const struct stat &info) {
    const std::string named = "Simulator state " + path;
    if (!S_ISREG(info.st_mode))
        return named + " is " + kindOf(info.st_mode) +
               ", not a regular file: the simulator keeps its devices in a file of their own; " + FileHint;
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

// A flock belongs to the open file, which a child forked meanwhile shares: closing our descriptor alone
// would leave the lock held for as long as that child lives, so it is released first.
struct HeldLock {
    int fd;
    ~HeldLock() {
        if (fd >= 0)
            ::flock(fd, LOCK_UN);
        closeFd(fd);
    }
};

// An exclusive flock on <state>.lock, a regular file of the user's own, so a FIFO planted there cannot
// block a writer. Polls rather than blocks, so the wait is bounded (none at all for `waitNs` 0) and a
// signal ends the process as it would anyway. The locked descriptor, or -1 with `busy` set when another
// program held the lock all the time.
int takeLock(const std::string &path, std::int64_t waitNs, bool &busy, std::string &error) {
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
    for (const std::int64_t deadline = monotonicNs() + waitNs;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if ((errno != EWOULDBLOCK && errno != EINTR) || monotonicNs() >= deadline)
            break;
        ::nanosleep(&LockPoll, nullptr);
    }
    busy = errno == EWOULDBLOCK || errno == EINTR;
    error = busy ? "Another program holds " + path +
                       ": it has been changing the simulator state for 2 s; try again, or end that program"
                 : "Cannot lock " + path + ": " + std::strerror(errno);
    closeFd(fd);
    return -1;
}

// Links a file of no name as `temporary`, whose last six characters become letters or digits as mkostemp
// would choose them, and keeps the name it got there. False with errno set when it cannot.
bool giveName(int fd, std::string &temporary) {
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::string file = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::array<std::uint8_t, 6> random{};
        if (::getrandom(random.data(), random.size(), 0) != ssize_t(random.size()))
            return false;
        for (std::size_t i = 0; i < random.size(); ++i)
            temporary[temporary.size() - random.size() + i] = Alphabet[random[i] % (sizeof Alphabet - 1)];
        if (::linkat(AT_FDCWD, file.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// A temporary file of a writer killed midway: named <state>.tmp- and the six letters or digits that made
// its name unique, a regular file of the user's with one link that begins as a state does. Anything else of
// that name is the user's own and stays.
bool isLeftover(int directoryFd, const char *name, std::string_view prefix) {
    const std::string_view found = name;
    if (found.size() != prefix.size() + 6 || !found.starts_with(prefix) ||
        !std::all_of(found.begin() + long(prefix.size()), found.end(), [](char c) {
            return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
        }))
        return false;
    struct stat info {};
    if (::fstatat(directoryFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return false; // never opened: a FIFO would not even be opened
    const Descriptor file{::openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    std::array<std::uint8_t, SignatureBytes> start{};
    return file.fd >= 0 && ::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == ::geteuid() && info.st_nlink == 1 &&
           ::pread(file.fd, start.data(), start.size(), 0) == ssize_t(start.size()) && hasSignature(start);
}

} // namespace

StateFile::StateFile(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    directory_ = slash == std::string::npos ? "." : path_.substr(0, std::max<std::size_t>(slash, 1));
    name_ = path_.substr(slash + 1);
}

StateFile::~StateFile() {
    closeFd(snapshot_.fd);
    closeFd(watchFd_);
}

std::string StateFile::defaultPath() {
    if (const char *named = ::secure_getenv("KAVREN_SIM_STATE"); named != nullptr && *named != '\0')
        return named;
    if (const char *runtime = ::secure_getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/kavren-sim.state";
    return fallbackDirectory() + "/kavren-sim.state";
}

std::shared_ptr<const State> StateFile::load(std::string &error) {
    // While the count is in shared memory the time only serves the once-a-second look. The coarse clock
    // costs an eighth of the exact one, which was a third of a poll's cost; it lags by at most a scheduler
    // tick, so that look may come a tick late. A time it stamps is never later than the true one: the
    // millisecond reuse of a count read by a system call, timed by the exact clock, is never stretched.
    const std::int64_t now = nanoseconds(segment_.attached() ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC);
    const unsigned changes = changesByThisProcess.load(std::memory_order_relaxed);
    if (!lookedLately(now, changes)) {
        watchChanges();
        snapshot_.countSeen = changeCount(); // before the look, so a change made meanwhile shows next time
        if (!stillCurrent()) {
            Found found = read(error);
            if (found == Found::Missing) // first use: made here, unless another program is making it now
                found = create(error);
            if (found == Found::Missing)
                return whileAnotherMakesIt();
            if (found != Found::File)
                return nullptr;
        }
        snapshot_.checkedAt = now;
        snapshot_.changesSeen = changes;
        lastCountRead = {snapshot_.countSeen ? this : nullptr, now};
    }
    if (!snapshot_.state)
        error = snapshot_.problem;
    return snapshot_.state;
}

bool StateFile::lookedLately(std::int64_t now, unsigned changes) {
    if (snapshot_.fd < 0 || snapshot_.changesSeen != changes)
        return false;
    const std::int64_t age = now - snapshot_.checkedAt;
    // Only where the count costs a system call: one in memory is read on every call, so a change made by
    // another copy of this code in the same process (the Python module's dio.sim) shows at the next call.
    if (!segment_.attached() && lastCountRead.file == this && now - lastCountRead.at < ReuseNs &&
        age < WatchedReuseNs)
        return true;
    const std::optional<std::uint64_t> count = changeCount();
    if (!count)
        return age < ReuseNs;
    if (count != snapshot_.countSeen || age >= WatchedReuseNs)
        return false;
    if (!segment_.attached()) // only a count read by a system call is reused
        lastCountRead = {this, now};
    return true;
}

// Makes the missing file with the default devices under the lock, and reads it; Missing when another
// program holds the lock.
StateFile::Found StateFile::create(std::string &error) {
    bool busy = false;
    if (rewrite([](State &) { return false; }, false, Wait::Never, busy, error)) {
        const Found found = read(error);
        if (found == Found::Missing)
            error = systemMessage("create", path_, ENOENT);
        return found == Found::File ? Found::File : Found::Refused;
    }
    if (!busy)
        return Found::Refused;
    error.clear();
    return Found::Missing;
}

// The program that holds the lock while there is no file is making it: the default devices are what
// the file is about to hold, so a reader does not wait for it. The same ones on every look until the file
// is there (their generations are random), and the next look reads the file.
std::shared_ptr<const State> StateFile::whileAnotherMakesIt() {
    if (!madeByAnother_)
        madeByAnother_ = std::make_shared<const State>(defaultState());
    return madeByAnother_;
}

// Opens <state>.lock for its change count, or keeps the one open while the path still names it, and
// follows the segment it names; a lock file replaced or deleted is seen here, within a second. Opened for
// writing too where it may be, so a reader can name a segment there when there is none.
void StateFile::watchChanges() {
    const std::string lock = path_ + ".lock";
    struct stat watched {};
    struct stat named {};
    if (watchFd_ < 0 || ::fstat(watchFd_, &watched) != 0 || ::lstat(lock.c_str(), &named) != 0 ||
        named.st_dev != watched.st_dev || named.st_ino != watched.st_ino) {
        closeFd(watchFd_);
        for (const int access : {O_RDWR, O_RDONLY})
            if (watchFd_ < 0)
                watchFd_ = ::open(lock.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
    if (watchFd_ < 0 || !followSegment(watchFd_, segment_))
        closeFd(watchFd_);
    if (watchFd_ < 0)
        segment_ = {};
}

// The change count: read from the segment where one is attached, which asks the kernel nothing, else from
// the lock file's first 8 bytes by one call; nothing when neither carries it. Another program may be
// writing the lock file meanwhile: a count read half old, half new only costs a look. A segment whose
// nonce changed is dropped (the next look follows the lock file again).
std::optional<std::uint64_t> StateFile::changeCount() {
    if (segment_.attached()) {
        if (const std::optional<std::uint64_t> count = segment_.count())
            return count;
        segment_ = {};
    }
    std::uint64_t count = 0;
    if (watchFd_ < 0 || ::pread(watchFd_, &count, sizeof count, 0) != ssize_t(sizeof count))
        return std::nullopt;
    return count;
}

// Every change replaces the file by rename, which unlinks the one read last; a chmod or chown changes its
// times. So while the inode read last keeps its link and its times, and the path still names it, it is
// still the state. The path is asked too: a directory on it renamed or a symbolic link on it turned to
// another leaves the inode read last linked and untouched while the path names another file.
bool StateFile::stillCurrent() const {
    struct stat info {};
    struct stat named {};
    return snapshot_.fd >= 0 && ::fstat(snapshot_.fd, &info) == 0 && info.st_nlink > 0 &&
           sameFile(info, snapshot_.key) && ::lstat(path_.c_str(), &named) == 0 &&
           named.st_dev == info.st_dev && named.st_ino == info.st_ino;
}

StateFile::Found StateFile::read(std::string &error) {
    closeFd(snapshot_.fd);
    snapshot_.state.reset();
    if (auto problem = pathProblem()) { // before anything is opened: /dev/tty is never opened
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
    madeByAnother_.reset();
    snapshot_.foreign = !bytes.empty() && !beginsAsState(bytes);
    if (decoded.state)
        snapshot_.state = std::make_shared<const State>(std::move(*decoded.state));
    else if (snapshot_.foreign)
        snapshot_.problem = "The file " + path_ +
                            " is not a simulator state: the simulator neither uses nor replaces it; set "
                            "KAVREN_SIM_STATE to another path, or remove " +
                            path_ + " if it is yours and no longer needed";
    else
        snapshot_.problem =
            "Simulator state " + path_ + " is not valid (" + decoded.problem + "): run `dio-sim reset`";
    return Found::File;
}

bool StateFile::update(const std::function<bool(State &)> &change, std::string &error) {
    bool busy = false;
    return rewrite(change, false, Wait::UpTo2s, busy, error);
}

bool StateFile::reset(std::string &error) {
    bool busy = false;
    return rewrite(
        [](State &state) {
            state = defaultState();
            return true;
        },
        true, Wait::UpTo2s, busy, error);
}

// Succeeds when the new state replaced the old one, or when there was nothing to change; whatever
// follows a replaced state cannot fail the change. The state's path, and what it holds, is checked before
// anything is made (the lock file, a directory) or removed beside it, and again under the lock: a file
// that is not a simulator state is never replaced.
bool StateFile::rewrite(const std::function<bool(State &)> &change, bool replaceInvalid, Wait wait,
                        bool &busy, std::string &error) {
    if (auto problem = pathProblem()) {
        error = *problem;
        return false;
    }
    if (const Found found = read(error);
        found == Found::Refused || (found == Found::File && snapshot_.foreign)) {
        if (found == Found::File)
            error = snapshot_.problem;
        return false;
    }
    makeDirectories(directory_);
    if (auto problem = directoryProblem()) {
        error = *problem;
        return false;
    }
    const HeldLock lock{takeLock(path_ + ".lock", wait == Wait::Never ? 0 : LockWaitNs, busy, error)};
    if (lock.fd < 0)
        return false;
    const Found found = read(error);
    if (found == Found::Refused)
        return false;
    if (found == Found::File && !snapshot_.state && (!replaceInvalid || snapshot_.foreign)) {
        error = snapshot_.problem;
        return false;
    }
    removeLeftovers();
    const State current = snapshot_.state ? *snapshot_.state : defaultState();
    State changed = current;
    const bool changes = change(changed);
    if (!changes && found == Found::File)
        return true; // a missing file is made all the same
    if (!write(changes ? changed : current, error))
        return false;
    countChange(lock.fd);
    return true;
}

std::optional<std::string> StateFile::directoryProblem() const {
    return directory_ == fallbackDirectory() ? fallbackProblem(directory_) : std::nullopt;
}

// Why the state's path cannot hold the state: it names a directory, lies in a fallback directory that is
// not the user's alone, or names something that is not a file of the user's own.
std::optional<std::string> StateFile::pathProblem() const {
    if (name_.empty() || name_ == "." || name_ == "..")
        return "Simulator state " + path_ + " names a directory, not a file: " + FileHint;
    if (auto problem = directoryProblem())
        return problem;
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0)
        return safetyProblem(path_, info);
    return std::nullopt;
}

bool StateFile::write(const State &state, std::string &error) const {
    if (auto problem = stateProblem(state)) {
        error = "Simulator state " + path_ + " was left as it was: " + *problem;
        return false;
    }
    // A file of no name, named only once it is whole, so that a writer killed while writing leaves
    // nothing behind; where the file system has none, a named one from the start.
    std::string temporary = path_ + ".tmp-XXXXXX";
    int fd = ::access("/proc/self/fd", X_OK) == 0
                 ? ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)
                 : -1;
    bool named = fd < 0;
    if (named)
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = systemMessage("write", path_, errno);
        return false;
    }
    const std::vector<std::uint8_t> bytes = encode(state);
    errno = ENOSPC; // what a short write means
    const bool written = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                         ::fsync(fd) == 0 && (named || (named = giveName(fd, temporary)));
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        error = written ? systemMessage("replace", path_, errno) : systemMessage("write", path_, writeError);
        if (named)
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
    while (const dirent *entry = ::readdir(entries))
        if (isLeftover(::dirfd(entries), entry->d_name, prefix))
            ::unlinkat(::dirfd(entries), entry->d_name, 0);
    ::closedir(entries);
}

} // namespace sim
