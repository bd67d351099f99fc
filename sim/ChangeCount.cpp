#include "ChangeCount.h"

#include <climits>
#include <cstddef>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/random.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sim {

struct CountSegment::Shared {
    std::uint64_t nonce;
    std::uint64_t count;
};

namespace {

constexpr std::uint64_t RecordMagic = 0x314b434f4c56414bULL; // "KAVLOCK1" in the file, little-endian
constexpr std::size_t EarlierCountBytes = sizeof(CountRecord::count);

// Only a lock file that nobody else may write and that has no other link (a file of the user's linked
// there must not be damaged) carries the count.
bool mayCarryCount(int lockFd) {
    struct stat info {};
    return ::fstat(lockFd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
           info.st_nlink == 1 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::uint64_t load(const std::uint64_t &value) {
    return __atomic_load_n(&value, __ATOMIC_SEQ_CST);
}

} // namespace

std::optional<CountRecord> readRecord(int lockFd) {
    if (!mayCarryCount(lockFd))
        return std::nullopt;
    CountRecord record;
    const ssize_t got = ::pread(lockFd, &record, sizeof record, 0);
    if (got == 0 || got == ssize_t(EarlierCountBytes) ||
        (got == sizeof record && record.magic == RecordMagic))
        return got == sizeof record ? record : CountRecord{record.count}; // naming no segment
    return std::nullopt;
}

bool writeRecord(int lockFd, CountRecord record) {
    record.magic = RecordMagic;
    return ::pwrite(lockFd, &record, sizeof record, 0) == ssize_t(sizeof record);
}

CountSegment::~CountSegment() {
    if (shared_ != nullptr)
        ::shmdt(shared_);
}

CountSegment::CountSegment(CountSegment &&other) noexcept
    : shared_(std::exchange(other.shared_, nullptr)), nonce_(other.nonce_), id_(other.id_) {}

CountSegment &CountSegment::operator=(CountSegment &&other) noexcept {
    if (this != &other) {
        if (shared_ != nullptr)
            ::shmdt(shared_);
        shared_ = std::exchange(other.shared_, nullptr);
        nonce_ = other.nonce_;
        id_ = other.id_;
    }
    return *this;
}

// The checks come before the segment is mapped, the nonce right after: a segment of another user, one
// that others may read or write, one of another size (which could be larger than what is read here) or
// one that holds another nonce is never used.
CountSegment CountSegment::attach(const CountRecord &record, bool writable) {
    if (record.segment < 0 || record.segment > INT_MAX)
        return {};
    const int id = static_cast<int>(record.segment);
    struct shmid_ds info {};
    if (::shmctl(id, IPC_STAT, &info) != 0 || info.shm_perm.uid != ::geteuid() ||
        info.shm_perm.cuid != ::geteuid() || (info.shm_perm.mode & 0777) != 0600 ||
        info.shm_segsz != sizeof(Shared))
        return {};
    void *at = ::shmat(id, nullptr, writable ? 0 : SHM_RDONLY);
    if (at == reinterpret_cast<void *>(-1))
        return {};
    CountSegment segment(static_cast<Shared *>(at), record.nonce, id);
    if (!segment.count())
        return {};
    return segment;
}

CountSegment CountSegment::create(CountRecord &record) {
    std::uint64_t nonce = 0;
    if (::getrandom(&nonce, sizeof nonce, 0) != ssize_t(sizeof nonce))
        return {};
    const int id = ::shmget(IPC_PRIVATE, sizeof(Shared), IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0)
        return {};
    void *at = ::shmat(id, nullptr, 0);
    ::shmctl(id, IPC_RMID, nullptr); // gone with the last process that has it attached
    if (at == reinterpret_cast<void *>(-1))
        return {};
    auto *shared = static_cast<Shared *>(at);
    __atomic_store_n(&shared->count, record.count, __ATOMIC_SEQ_CST);
    __atomic_store_n(&shared->nonce, nonce, __ATOMIC_SEQ_CST);
    record.segment = id;
    record.nonce = nonce;
    return CountSegment(shared, nonce, id);
}

bool CountSegment::names(const CountRecord &record) const {
    return shared_ != nullptr && record.segment == id_ && record.nonce == nonce_;
}

std::optional<std::uint64_t> CountSegment::count() const {
    if (shared_ == nullptr || load(shared_->nonce) != nonce_)
        return std::nullopt;
    return load(shared_->count);
}

void CountSegment::increment() {
    if (shared_ != nullptr)
        __atomic_fetch_add(&shared_->count, 1, __ATOMIC_SEQ_CST);
}

void countChange(int lockFd) {
    std::optional<CountRecord> record = readRecord(lockFd);
    if (!record)
        return;
    ++record->count;
    if (CountSegment segment = CountSegment::attach(*record, true); segment.attached())
        segment.increment();
    else
        segment = CountSegment::create(*record); // holds the new count already
    // The segment, made here, goes with this process if it cannot be named: readers then see the change
    // within a second, which is no reason to fail a change that was made.
    [[maybe_unused]] const bool written = writeRecord(lockFd, *record);
}

bool followSegment(int lockFd, CountSegment &segment) {
    std::optional<CountRecord> record = readRecord(lockFd);
    if (!record) {
        segment = {};
        return false;
    }
    if (segment.names(*record) && segment.count())
        return true;
    segment = CountSegment::attach(*record, false);
    if (segment.attached())
        return true;
    // Only one program names a segment at a time, and only while nobody changes the state: two readers
    // naming one each would leave the first on a segment no writer counts in. Readers never wait, so a
    // reader that finds the lock taken reads the lock file's count until its next look.
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0)
        return true;
    record = readRecord(lockFd); // as it is now that the lock is ours: another may have named one
    if (record)
        segment = CountSegment::attach(*record, false);
    if (record && !segment.attached()) {
        segment = CountSegment::create(*record);
        // Names it without touching the count.
        constexpr std::size_t named = offsetof(CountRecord, magic);
        record->magic = RecordMagic;
        if (segment.attached() && ::pwrite(lockFd, reinterpret_cast<const char *>(&*record) + named,
                                           sizeof *record - named, named) != ssize_t(sizeof *record - named))
            segment = {};
    }
    ::flock(lockFd, LOCK_UN);
    return record.has_value();
}

} // namespace sim
