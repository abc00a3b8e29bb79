// YUV4MPEG2 streams: header parsing for Y4MSource and a writer for qexpipe.
#pragma once

#include "avisynth.h"

#include <cstdint>
#include <string>
#include <string_view>

struct iovec;

namespace qexhost {

struct Y4mHeader {
    int width = 0;
    int height = 0;
    unsigned fps_num = 0;
    unsigned fps_den = 0;
    char interlace = '?';      // 'p', 't', 'b', 'm' or '?' when not given
    std::string colorspace;    // as written after 'C' ("420jpeg" when not given)
    int pixel_type = 0;        // VideoInfo::CS_YV12 for 4:2:0, CS_YUY2 for 4:2:2
    size_t header_bytes = 0;   // stream header including its line end
    uint64_t frame_bytes = 0;  // picture bytes of one frame in the file
};

// Parses the stream header at the start of `data` (which must contain the whole header line).
// Returns an empty string on success, otherwise the reason the header is refused.
std::string parse_y4m_header(std::string_view data, Y4mHeader* out);

// Length of a frame header line ("FRAME" with optional parameters and its line end) at the
// start of `data`; 0 when `data` does not start with a complete frame header.
size_t y4m_frame_header_length(std::string_view data);

// The stream header qexpipe writes for a clip (planar 4:2:0 as C420jpeg, YUY2 as C422; always
// progressive, "Ip").
// Throws std::invalid_argument for pixel types y4m cannot carry.
std::string y4m_stream_header(const VideoInfo& vi);

// Writes frames to a file descriptor straight from the frames' rows (gathered writes).
class Y4mWriter {
  public:
    // raw: write only the picture bytes of each frame (no y4m headers), rows in storage order.
    Y4mWriter(int fd, const VideoInfo& vi, bool raw = false);
    void WriteHeader();
    void WriteFrame(const VideoFrame& frame);
    uint64_t bytes_written() const { return written_; }

  private:
    void write_all(::iovec* iov, int count);
    int fd_;
    VideoInfo vi_;
    bool raw_;
    uint64_t written_ = 0;
    std::string scratch_;
};

}  // namespace qexhost
