// The file that holds the simulated devices for every process on the machine that uses them.
//
// A change is written to a new file that then replaces the old one by rename, so a reader always sees a
// whole state, before or after, even when a writer is killed midway. Changes are made under an exclusive
// lock on a lock file beside it, which the kernel drops when its holder dies, so no update is lost.
// Reading takes no lock: a file that is the same as last time (same inode, size and times; the inode
// is kept open so it cannot be reused) is not read again, and while that inode keeps its link it is
// asked through its descriptor, which costs far less than looking the path up.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "SimState.h"

namespace sim {

class StateFile {
public:
    explicit StateFile(std::string path);
    ~StateFile();
    StateFile(const StateFile &) = delete;
    StateFile &operator=(const StateFile &) = delete;

    // KAVREN_SIM_STATE, else $XDG_RUNTIME_DIR/kavren-sim.state, else /tmp/kavren-sim-<uid>.state.
    static std::string defaultPath();
    const std::string &path() const { return path_; }

    // The current state, created with the default devices when there is no file yet; nullptr with the
    // reason in `error` when the file cannot be used.
    const State *load(std::string &error);
    // Reads, changes and writes the state under the lock. `change` returns false to write nothing.
    bool update(const std::function<bool(State &)> &change, std::string &error);
    // Replaces whatever the file holds with the default devices, unless the file is not the user's own.
    bool reset(std::string &error);

private:
    struct Snapshot {
        struct stat key {};
        int fd = -1; // keeps the inode alive, so an equal inode number means the same file
        std::optional<State> state;
        std::string problem;
    };

    enum class Look { Missing, Usable, Refused };
    Look inspect(struct stat &info, std::string &error) const;
    bool snapshotStillCurrent() const;
    const State *readFile(std::string &error);
    bool lock(std::string &error);
    void unlock();
    bool write(const State &state, std::string &error);
    bool makeDirectory(std::string &error) const;
    std::string invalidMessage(const std::string &problem) const;
    std::string systemMessage(const char *what, int error) const;

    std::string path_;
    Snapshot snapshot_;
    int lockFd_ = -1;
};

} // namespace sim
