// What FFmpeg's demuxers say of a media file's tracks: the first time of the tracks of one kind,
// on the file's own clock.
#pragma once

#include <optional>
#include <string>

#include "picture.h"
#include "tracks.h"

namespace qexvfr {

enum class MediaKind { kAudio, kSubtitles };

// The earliest start time among the file's tracks of `kind`, on the clock the file's video
// timestamps use; nullopt when it has none with a known start. Throws std::runtime_error
// when the file cannot be read.
std::optional<Instant> first_time(const std::string& path, MediaKind kind);

// The frame rate of the file's first video track as its demuxer gives it (the average rate,
// else the stream's base rate); nullopt when it gives none.
std::optional<Instant> video_rate(const std::string& path);

// The pixel format the first video track decodes to; an empty name when the demuxer cannot
// tell. Throws std::runtime_error when the file cannot be read.
PixelFormat video_pixel_format(const std::string& path);

// The picture's shape and colour as the first video track's stream says them. Throws std::runtime_error when the file cannot be read; a file without video gives the
// defaults.
PictureFacts picture_facts(const std::string& path);

}  // namespace qexvfr
