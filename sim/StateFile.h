// The file that holds the simulated devices for every process of the user that uses them.
//
// Reading takes no lock and never waits (a change replaces the file by rename, so a reader always sees a
// whole state) and hands out a snapshot the caller owns. A change is made under an flock on
// <state>.lock, waiting at most 2 s, and written to a file of no name (O_TMPFILE) that gets a unique
// temporary name once it is whole and then replaces the state by rename; the kernel drops the lock when
// its holder dies, so no update is lost, and a killed writer leaves at most a whole state behind.
//
// Reading is cheap when nothing changed: a file that is the same as last time (same inode, size and
// times; the inode is kept open so its number cannot be reused), which the path still names, is not read
// again, and is asked through its descriptor, which costs far less than opening it; a look less than 1 ms old
// is not even repeated, unless this process has changed the state since. Every change also counts itself (see
// ChangeCount.h): in a shared-memory segment that a reader maps and reads without a system call, and in
// the first 8 bytes of <state>.lock, which a reader without a segment reads with one pread per look (a
// thread's look less than 1 ms old is reused, so a transaction asks once). While the count stands still,
// a reader looks at the file, the lock file and the segment it names only once a second. The lock file is
// never mapped and a segment cannot shrink, so whatever anyone does to either (truncate, replace, grow,
// delete, ipcrm, scribble) costs a reader at most a second's delay, never its life.
//
// A missing file seen by a reader while another program holds the lock reads as the default devices
// (that program is making them), so reading never waits for a writer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "ChangeCount.h"
#include "SimState.h"

namespace sim {

class StateFile {
public:
    explicit StateFile(std::string path);
    ~StateFile();
    StateFile(const StateFile &) = delete;
    StateFile &operator=(const StateFile &) = delete;

    // KAVREN_SIM_STATE, else $XDG_RUNTIME_DIR/kavren-sim.state, else
    // /tmp/kavren-sim-<uid>/kavren-sim.state, in a directory that must be the user's alone.
    static std::string defaultPath();
    const std::string &path() const { return path_; }

    // The current state, created with the default devices when there is no file yet; nullptr with the
    // reason in `error` when the file cannot be used.
    std::shared_ptr<const State> load(std::string &error);
    // Reads, changes and writes the state under the lock. `change` returns false to write nothing (a
    // missing file is made with the default devices all the same).
    bool update(const std::function<bool(State &)> &change, std::string &error);
    // Replaces a damaged state (or an empty file) with the default devices, unless the file is not the
    // user's own, others may write it, or it is no simulator state at all.
    bool reset(std::string &error);

private:
    enum class Found { File, Missing, Refused };
    enum class Wait { UpTo2s, Never };
    struct Snapshot {
        int fd = -1; // keeps the inode alive, so an equal inode number means the same file
        struct stat key {};
        std::shared_ptr<const State> state; // nullptr when the content is not valid
        bool foreign = false;               // not a simulator state at all: never replaced
        std::string problem;
        std::int64_t checkedAt = 0;               // CLOCK_MONOTONIC, ns
        unsigned changesSeen = 0;                 // this process's changes by then
        std::optional<std::uint64_t> countSeen{}; // the lock file's change count by then, if it had one
    };

    std::optional<std::string> directoryProblem() const;
    std::optional<std::string> pathProblem() const;
    Found read(std::string &error);
    bool lookedLately(std::int64_t now, unsigned changes);
    bool stillCurrent() const;
    void watchChanges();
    std::optional<std::uint64_t> changeCount();
    Found create(std::string &error);
    std::shared_ptr<const State> whileAnotherMakesIt();
    bool rewrite(const std::function<bool(State &)> &change, bool replaceInvalid, Wait wait, bool &busy,
                 std::string &error);
    bool write(const State &state, std::string &error) const;
    void removeLeftovers() const;

    std::string path_, directory_, name_;
    Snapshot snapshot_;
    int watchFd_ = -1;                           // <state>.lock, read for its change count
    CountSegment segment_;                       // the count's segment that the lock file names
    std::shared_ptr<const State> madeByAnother_; // what a reader sees while another program makes the file
};

} // namespace sim
