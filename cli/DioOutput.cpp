#include "DioOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DioStop.h"

namespace dio {

Output::~Output() {
    if (descriptor_ > 2)
        ::close(descriptor_);
}

Output::Output(Output &&other) noexcept
    : descriptor_(other.descriptor_), path_(std::move(other.path_)), regularFile_(other.regularFile_),
      written_(other.written_), error_(other.error_), reason_(std::move(other.reason_)) {
    other.descriptor_ = -1;
}

namespace {

// A symbolic link, file or FIFO that another user left in a shared directory such as /tmp (sticky and
// writable by all), whose directory is not theirs either: followed, a link would make this user's
// recording replace a file the planter chose; a file or FIFO would hand the recording to the planter,
// and a FIFO with no reader would hold the program for good. The rules the kernel's protected_symlinks,
// protected_regular and protected_fifos apply, kept where those settings are off.
bool planted(const std::string &path, const struct stat &found) {
    struct stat directory {};
    const std::size_t slash = path.find_last_of('/');
    const std::string parent =
        slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    return ::stat(parent.c_str(), &directory) == 0 && (directory.st_mode & S_ISVTX) != 0 &&
           (directory.st_mode & S_IWOTH) != 0 && found.st_uid != ::geteuid() &&
           found.st_uid != directory.st_uid;
}

// The path with its symbolic links resolved: a file reached through a link is planted or not by the
// directory it is in, as the kernel decides, not by the link's.
std::string resolved(const std::string &path) {
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

} // namespace

bool Output::open(const std::string &path, std::string &problem) {
    path_ = path;
    const auto fail = [&](const std::string &why) {
        problem = "cannot write " + path + ": " + why;
        return false;
    };
    // Not emptied on opening: a file another recording holds must be refused before it is touched.
    // Appending: a file another program empties gets the next lines at its start, not after a hole of zeros.
    // Not waiting: a FIFO with no reader fails at once, and is waited for only when it is no planted one.
    constexpr int Flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    descriptor_ = ::open(path.c_str(), Flags | O_NOFOLLOW, 0666);
    int error = errno;
    struct stat found {};
    if (descriptor_ < 0 && ::lstat(path.c_str(), &found) == 0 && S_ISLNK(found.st_mode)) {
        if (planted(path, found)) // followed unless another user planted it
            return fail("it is a symbolic link another user made in a shared directory");
        descriptor_ = ::open(path.c_str(), Flags, 0666);
        error = errno;
    }
    if (descriptor_ < 0 && error == ENXIO && ::stat(path.c_str(), &found) == 0 && S_ISFIFO(found.st_mode)) {
        if (planted(resolved(path), found))
            return fail("it is a FIFO another user made in a shared directory");
        descriptor_ = ::open(path.c_str(), Flags & ~O_NONBLOCK, 0666); // waits for a reader, as a FIFO does
        error = errno;
    }
    if (descriptor_ < 0 && error == ENXIO && ::stat(path.c_str(), &found) == 0 && S_ISSOCK(found.st_mode))
        return fail("it is a socket"); // which open() cannot reach: "No such device or address" says less
    if (descriptor_ < 0)
        return fail(std::strerror(error));
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0)
        return fail(std::strerror(errno));
    if ((S_ISREG(status.st_mode) || S_ISFIFO(status.st_mode)) && planted(resolved(path), status))
        return fail(std::string("it is a ") + (S_ISFIFO(status.st_mode) ? "FIFO" : "file") +
                    " another user made in a shared directory");
    const int flags = ::fcntl(descriptor_, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor_, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        return true; // a pipe, a terminal, /dev/null: written as it is
    regularFile_ = true;
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? "another recording is writing it" : std::strerror(errno));
    return true;
}

std::pair<dev_t, ino_t> Output::identity() const {
    if (!identity_) { // no file (0, 0) is none other
        struct stat status {};
        const bool known = ::fstat(descriptor_, &status) == 0;
        identity_ = known ? std::pair(status.st_dev, status.st_ino) : std::pair<dev_t, ino_t>(0, 0);
    }
    return *identity_;
}

bool Output::sameFileAs(const Output &other) const {
    const auto mine = identity(), theirs = other.identity();
    return mine == theirs && mine != std::pair<dev_t, ino_t>(0, 0);
}

bool Output::empty(std::string &problem) {
    if (!regularFile_ || ::ftruncate(descriptor_, 0) == 0)
        return true;
    problem = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
}

bool Output::unchanged() {
    struct stat status {};
    if (!regularFile_ || ::fstat(descriptor_, &status) != 0 ||
        (status.st_size == written_ && status.st_nlink > 0))
        return true;
    reason_ = status.st_nlink == 0 ? "it was deleted or replaced while recording"
                                   : "another program changed its length while recording";
    return false;
}

bool Output::takesMore() {
    if (regularFile_)
        return true;
    pollfd waits[] = {{descriptor_, POLLOUT, 0}, {stopDescriptor(), POLLIN, 0}};
    while (::poll(waits, 2, -1) < 0)
        if (errno != EINTR)
            return true; // no wait possible: the write blocks as it would have
    if (waits[0].revents != 0 || (waits[1].revents & POLLIN) == 0)
        return true;
    reason_ = "its reader took nothing more before the stop signal";
    return false;
}

void Output::write(std::string_view text) {
    if (failed() || !unchanged())
        return;
    while (error_ == 0 && !text.empty() && takesMore()) {
        const ssize_t written = ::write(descriptor_, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            error_ = written < 0 ? errno : EIO;
        else {
            text.remove_prefix(static_cast<std::size_t>(written));
            written_ += written;
        }
    }
}

void Output::close() {
    if (!failed())
        unchanged(); // emptied after the last write, say
    if (descriptor_ > 2 && ::close(descriptor_) != 0 && error_ == 0)
        error_ = errno;
    descriptor_ = -1;
}

std::string Output::failure() const {
    return (path_.empty() ? std::string("cannot write the output") : "cannot write " + path_) + ": " +
           (reason_.empty() ? std::strerror(error_) : reason_);
}

} // namespace dio
