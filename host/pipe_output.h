// Output side of qexpipe: an output target that never leaves a partial regular file behind
// (frames go to a temporary file beside the target, which is renamed into place only when the
// stream is complete), and the checks on what is written.
#pragma once

#include "avisynth.h"

#include <stdexcept>
#include <string>

namespace qexhost {

class OutputError : public std::runtime_error {
public:
    OutputError(const std::string& msg, int err) : std::runtime_error(msg), error_number(err) {}
    int error_number;  // errno of the failing call
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
    std::string dest_;  // the file renamed over: the path, or the file its link points to
    std::string temp_;  // empty when writing in place
    int fd_ = -1;
    bool owns_fd_ = false;
    bool committed_ = false;
};

// qexpipe writes YUV4MPEG2 for planar 4:2:0 clips (YV12, I420) and raw frames otherwise.
bool writes_y4m(const VideoInfo& vi);

// Throws std::runtime_error when a frame's planes do not have the sizes the clip announces
// (a stream of such frames would not match its header).
void check_frame_size(const VideoInfo& vi, const VideoFrame& frame);

}  // namespace qexhost
