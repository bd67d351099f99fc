// How a change made through the simulator reaches the programs that read the state without asking the
// kernel anything while nothing changes.
//
// Every change counts itself twice, under the state's lock and after the new state replaced the old:
// in the first 8 bytes of <state>.lock, which a reader can pread, and in a small System V shared-memory
// segment that a reader maps once and then reads with a plain atomic load. <state>.lock also names the
// segment (its id) and a random 64-bit nonce that the segment repeats, so a reader attaches only a
// segment of the user's own, of mode 0600, of exactly this size and with the nonce the lock file gives;
// anything else is refused and the pread count used instead. A segment cannot be truncated or resized,
// so whatever another process does, a mapped reader cannot fault: a scribbled nonce makes the reader drop
// the segment, a scribbled count costs it a look at the state, and a segment that stops being counted
// (the lock file replaced, truncated or naming another segment) costs it at most its look once a second.
//
// A segment is marked for removal as soon as it is made, so it goes away with the last process that has
// it attached and none is left behind (a process killed between the two calls that make and mark it
// would leave one). When no process has it attached it is gone: the next change makes another, and so
// does a reader that finds none to attach. A reader names its segment only while it holds the lock,
// taken without waiting (when it is taken, the reader reads the lock file's count until its next look),
// so two programs never name one each and leave one of them on a segment nobody counts in.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

// <state>.lock's bytes (native byte order; the file never leaves the machine).
struct CountRecord {
    std::uint64_t count = 0; // bytes 0-7: the change count
    std::uint64_t magic = 0; // bytes 8-15: tells this record from a file of other content
    std::int64_t segment = -1;
    std::uint64_t nonce = 0;
};
static_assert(sizeof(CountRecord) == 32);

// The record in the lock file, or nothing when the file may not carry one: not a regular file of the
// user's own with one link that nobody else may write, or content that this code did not write (only an
// empty file, an 8-byte count of an earlier version or a record with its magic are). An empty file reads
// as a count of 0 naming no segment.
std::optional<CountRecord> readRecord(int lockFd);
bool writeRecord(int lockFd, CountRecord record);

// A mapping of a segment that carries the count; detached when destroyed or replaced.
class CountSegment {
public:
    CountSegment() = default;
    ~CountSegment();
    CountSegment(CountSegment &&other) noexcept;
    CountSegment &operator=(CountSegment &&other) noexcept;

    // The segment `record` names, when it passes every check above; writable only for a change.
    static CountSegment attach(const CountRecord &record, bool writable);
    // A new segment holding `record`'s count, marked for removal; `record` then names it.
    static CountSegment create(CountRecord &record);

    bool attached() const { return shared_ != nullptr; }
    bool names(const CountRecord &record) const;
    // The count, or nothing when the nonce is no longer the one the lock file gave.
    std::optional<std::uint64_t> count() const;
    void increment();

private:
    struct Shared;
    CountSegment(Shared *shared, std::uint64_t nonce, int id) : shared_(shared), nonce_(nonce), id_(id) {}

    Shared *shared_ = nullptr;
    std::uint64_t nonce_ = 0;
    int id_ = -1;
};

// Counts a change that was made, in the lock file and in its segment (made if there is none that passes
// the checks). Under the state's lock, after the new state replaced the old. Nothing that fails here
// fails the change: readers then see it within a second.
void countChange(int lockFd);

// Keeps `segment` on the one the lock file names: attaches that one when it is another, or, when the lock
// file names none that passes the checks and the lock is free, makes a new one and names it there under
// the lock (else `segment` stays detached until the next look). Detaches `segment` and returns false when
// the lock file may carry no count at all.
bool followSegment(int lockFd, CountSegment &segment);

} // namespace sim
