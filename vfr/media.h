// What FFmpeg's demuxers say of a media file's tracks: the first time of the tracks of one kind
// on the file's own clock, and the facts of its picture.
#pragma once

#include <optional>
#include <string>

#include "vfr/picture.h"
#include "vfr/tracks.h"

namespace qexvfr {

enum class MediaKind { kAudio, kSubtitles };

// The earliest start time among the file's tracks of `kind`, on the clock the file's video
// timestamps use; nullopt when it has none with a known start. Throws std::runtime_error
// when the file cannot be read.
std::optional<Instant> first_time(const std::string& path, MediaKind kind);

// What the first video track's stream says of its picture, read once before any work.
struct VideoFacts {
    std::optional<Instant> rate;  // frames a second as num/den (the average rate, else the
                                  // stream's base rate); nullopt when not given
    PixelFormat format;           // what it decodes to; an empty name when not known
    PictureFacts picture;         // shape and colour
};

// Throws std::runtime_error when the file cannot be read; a file without video gives the
// defaults.
VideoFacts video_facts(const std::string& path);

}  // namespace qexvfr
