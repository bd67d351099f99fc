// Where a recording goes: standard output or a file. Every write is checked; the first failure is kept
// and nothing is written after it. A regular file is locked while it is written, so two recordings
// (two --output of one command, or two programs) never interleave in one file; one that another program
// empties, truncates, grows, deletes or replaces meanwhile is a failure, not a recording with a hole. A pipe
// or terminal whose reader takes nothing does not hold dio after a stop signal (DioStop.h): the write is
// abandoned as failed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace dio {

class Output {
public:
    Output() = default; // standard output
    ~Output();
    Output(Output &&other) noexcept;
    Output &operator=(Output &&) = delete;
    Output(const Output &) = delete;

    // Opens (creating) the file and locks a regular one; false with `problem` set when it cannot be written.
    bool open(const std::string &path, std::string &problem);
    // Whether both write to one file (one inode), such as "-" and /dev/stdout, or stdout redirected to a file
    // that is also an --output: their lines would interleave.
    bool sameFileAs(const Output &other) const;
    // "standard output" or the file's path.
    std::string name() const { return path_.empty() ? "standard output" : path_; }
    // Empties a regular file, once every output has opened, so that a refused one costs no file its content.
    bool empty(std::string &problem);
    void write(std::string_view text);
    // Closes a file, keeping the error a deferred write (a full disk on NFS, say) reports there.
    void close();
    bool failed() const { return error_ != 0 || !reason_.empty(); }
    // "cannot write the output: ..." for standard output, "cannot write FILE: ..." for a file.
    std::string failure() const;

private:
    std::pair<dev_t, ino_t> identity() const; // the file's device and inode, asked once
    bool unchanged();                         // a regular file still holds exactly what was written to it
    bool takesMore(); // the output can take a write, or no stop signal came while it could not
    int descriptor_ = 1;
    std::string path_; // empty for standard output
    bool regularFile_ = false;
    off_t written_ = 0;
    int error_ = 0;
    std::string reason_; // a failure without an errno
    mutable std::optional<std::pair<dev_t, ino_t>> identity_;
};

} // namespace dio
