// The frame server inside qexvfr: the stand-in host's environment with libqex.so loaded,
// serving Source(INPUT).Qex(def=..., output=..., chapter=...) as y4m into a file descriptor.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace qexvfr {

struct ServeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ServeRequest {
    std::string plugin;  // path of libqex.so
    std::string input;   // .y4m: Y4MSource, anything else: VideoSource
    std::string def;
    std::string timecodes;  // Qex's output=
    std::string chapters;   // Qex's chapter=
};

// The source function for an input path.
std::string source_function(const std::string& input);

class Server {
  public:
    // Loads the plug-in, opens the source and builds the Qex clip, which writes the timecodes
    // and chapter files at once. Throws ServeError with the host's or Qex's message.
    explicit Server(const ServeRequest& request);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int frames() const;        // output frames of the Qex clip
    unsigned fps_num() const;  // rate of the source (Qex keeps it for a variable-rate clip)
    unsigned fps_den() const;

    // Writes the y4m header and frames 0 .. count - 1 to fd. `progress` is called after every
    // frame with the number done; returning false stops the stream (the result is then false).
    // Throws ServeError when a frame cannot be made or written.
    bool stream(int fd, int count, const std::function<bool(int)>& progress);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qexvfr
