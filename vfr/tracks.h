// The input's tracks besides the picture (sound, subtitles) and how they are placed on the
// output's timeline: pure decisions over mkvmerge's identification and the first times the
// files report.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qexvfr {

struct IdentifyError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A track as mkvmerge identifies it (`mkvmerge -J`).
struct Track {
    int64_t id = -1;
    std::string type;      // "video", "audio", "subtitles", ...
    std::string codec;     // mkvmerge's name of the codec
    std::string language;  // ISO 639-2 code; empty or "und" when the file gives none
    std::string name;      // the track's name; empty when it has none
};

struct Identification {
    std::vector<Track> tracks;
    int chapters = 0;  // chapter entries in the file's chapter editions
};

// Reads mkvmerge's JSON identification. Throws IdentifyError when it is not one.
Identification parse_identification(std::string_view json);

// Tracks of one type, in the file's order.
std::vector<Track> tracks_of(const Identification& id, std::string_view type);

// A time on a file's clock, as an exact fraction of a second: value * num / den.
struct Instant {
    int64_t value = 0;
    int64_t num = 1;
    int64_t den = 1;
};

// Nanoseconds of an instant, rounded to the nearest.
int64_t to_ns(const Instant& t);

// How far (ms, rounded) to move the tracks of a file that mkvmerge made from the input, so that
// what sounds at input time t plays at t - first_picture in the output. `input_first` is the
// first time of those tracks on the input's clock and `copied_first` their first time in the
// file mkvmerge made (which counts from a zero of mkvmerge's own choice). Negative: the part
// before the first picture is cut off.
int64_t sync_ms(int64_t first_picture_ns, int64_t input_first_ns, int64_t copied_first_ns);

// Matroska chapters (mkvextract's XML) with no edition flagged as the default, so that the
// edition put before them (Qex's) is the one players show.
std::string without_default_editions(std::string_view xml);

// How a track is named in the summary: its language ("und" when it has none), then its name
// in quotes when it has one: `jpn "Main sound"`.
std::string track_label(const Track& t);

// What the output carries besides the picture, for the summary: "sound: jpn \"Main sound\",
// eng; subtitles: eng; chapters: 3 from the definition, 2 from INPUT". Empty when nothing.
std::string kept_text(const std::vector<Track>& audio, const std::vector<Track>& subtitles,
                      int definition_chapters, int input_chapters);

}  // namespace qexvfr
