// Output side of qexpipe: an output target that never leaves a partial regular file behind
// (frames go to a temporary file beside the target, which is renamed into place only when the
// stream is complete), and the checks on what is written.
#pragma once

#include "avisynth.h"
#include "common/wholefile.h"

#include <unistd.h>

#include <stdexcept>
#include <string>

namespace qexhost {

class OutputError : public std::runtime_error {
  public:
    OutputError(const std::string& msg, int err) : std::runtime_error(msg), error_number(err) {}
    int error_number;  // errno of the failing call
};

// Where qexpipe's frames go: "-" is standard output; anything else goes through the shared
// whole-file writer (common/wholefile.h): a path that reaches something other than a regular
// file (a device such as /dev/null, a FIFO) is opened and written in place; a regular file is
// written to a temporary file in the folder of the file it names (symbolic links followed) and
// renamed over it by commit(). Destroying an uncommitted target removes the temporary file.
class OutputTarget {
  public:
    explicit OutputTarget(const std::string& path);
    OutputTarget(const OutputTarget&) = delete;
    OutputTarget& operator=(const OutputTarget&) = delete;

    int fd() const { return to_stdout_ ? STDOUT_FILENO : out_.fd(); }
    const std::string& name() const { return path_; }
    // Makes the written data visible under the target path (fsync is not needed for a pipe tool).
    void commit();

  private:
    std::string path_;
    bool to_stdout_ = false;
    bool committed_ = false;
    wholefile::Output out_;
};

// qexpipe writes YUV4MPEG2 for planar 4:2:0 clips (YV12, I420) and raw frames otherwise.
bool writes_y4m(const VideoInfo& vi);

// Throws std::runtime_error when a frame's planes do not have the sizes the clip announces
// (a stream of such frames would not match its header).
void check_frame_size(const VideoInfo& vi, const VideoFrame& frame);

}  // namespace qexhost
