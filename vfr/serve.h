// The frame server inside qexvfr: the stand-in host's environment with libqex.so loaded,
// serving Source(INPUT).Qex(def=..., output=..., chapter=...) as y4m into a file descriptor.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "avisynth.h"

namespace qexvfr {

struct ServeError : std::runtime_error {
    explicit ServeError(const std::string& what, bool reader_gone = false)
        : std::runtime_error(what), reader_gone(reader_gone) {}
    bool reader_gone;  // the reading end of the stream was closed (the encoder ended)
};

// The source function for an input path.
std::string source_function(const std::string& input);

class Server {
  public:
    // Loads the plug-in into a new environment, which must have the source function for
    // INPUT. Throws ServeError with the host's message.
    Server(const std::string& plugin, const std::string& input);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens INPUT with its source function. Throws ServeError with the host's message.
    void open_source();
    // Serves `clip`, made in env() from INPUT (by a scan that indexed it on the way). Throws
    // ServeError when it has no video.
    void use_source(const PClip& clip);

    // The source clip and its environment, for a scan that reads the same decoder and index.
    PClip source() const;
    IScriptEnvironment* env() const;

    // Puts FFFilter(source, graph) in the source's place. Throws ServeError with the host's
    // message.
    void filter_source(const std::string& graph);

    // Serves the source in this field order from now on (AssumeTFF or AssumeBFF), for Qex and
    // the filters it runs.
    void set_field_order(bool tff);

    // Builds source.Qex(def=..., output=timecodes, chapter=chapters), which writes the
    // timecodes and chapter files at once. Throws ServeError with Qex's message.
    void apply_qex(const std::string& def, const std::string& timecodes,
                   const std::string& chapters);

    PClip clip() const;        // the Qex clip (after apply_qex)
    int frames() const;        // output frames of the Qex clip
    unsigned fps_num() const;  // rate of the source (Qex keeps it for a variable-rate clip)
    unsigned fps_den() const;

    // Writes the y4m header and frames 0 .. count - 1 of the Qex clip to fd. `progress` is called
    // after every frame with the number done; returning false stops the stream (the result is
    // then false). Throws ServeError when a frame cannot be made or written.
    bool stream(int fd, int count, const std::function<bool(int)>& progress);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qexvfr
