// Output side of qexpipe: a buffered writer over a file descriptor that hands large contiguous
// spans (whole planes) straight to write(2), and an output target that never leaves a partial
// regular file behind: frames go to a temporary file beside the target, which is renamed into
// place only when the stream is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qexhost {

class OutputError : public std::runtime_error {
public:
    OutputError(const std::string& msg, int err) : std::runtime_error(msg), error_number(err) {}
    int error_number;  // errno of the failing call (EPIPE when the reader went away)
};

class BufferedWriter {
public:
    // fd stays owned by the caller. capacity is the size of the staging buffer.
    explicit BufferedWriter(int fd, std::string name, size_t capacity = size_t(1) << 20);
    BufferedWriter(const BufferedWriter&) = delete;
    BufferedWriter& operator=(const BufferedWriter&) = delete;

    void write(const void* data, size_t size);
    void write(const std::string& s) { write(s.data(), s.size()); }
    // height rows of row_size bytes, pitch bytes apart (pitch may be negative for bottom-up
    // storage read top-down). Rows that lie back to back go out as one span.
    void write_plane(const uint8_t* first_row, std::ptrdiff_t pitch, size_t row_size, int height);
    void flush();
    uint64_t bytes_written() const { return total_; }

private:
    void write_all(const uint8_t* p, size_t n);

    int fd_;
    std::string name_;
    std::vector<uint8_t> buf_;
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// Where qexpipe's frames go: "-" is standard output; a path that names something other than a
// regular file (a device such as /dev/null, a FIFO) is opened and written in place; anything
// else is written to a temporary file in the same folder and renamed over the path by commit().
// Destroying an uncommitted target removes the temporary file.
class OutputTarget {
public:
    explicit OutputTarget(const std::string& path);
    ~OutputTarget();
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    int fd() const { return fd_; }
    const std::string& name() const { return path_; }
    // Makes the written data visible under the target path (fsync is not needed for a pipe tool).
    void commit();

private:
    std::string path_;
    std::string temp_;  // empty when writing in place
    int fd_ = -1;
    bool owns_fd_ = false;
    bool committed_ = false;
};

}  // namespace qexhost
