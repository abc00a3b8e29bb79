// Reader of TMPGEnc project files (binary and text forms).
//
// The reader looks for five keys and fills a ProjectRecord: the per-field deinterlace list,
// the top-field-first switch and the two frame-rate numbers with the rate code derived from
// them. Everything else in the file is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qex {

// Filled by the project reader. The caller sets `capacity` (2 x the source frame count) and
// points `entries` at an array of 2 x capacity bytes, all zero; every other field starts at 0.
// Entry i (bytes 2i and 2i+1) belongs to field position i:
//   byte 0: 0 not listed, 1 listed without flag, 2 (text form) or 255 (binary form) listed
//           with flag; the frame map ORs it into the field's flags.
//   byte 1: the mode byte of the list record.
struct ProjectRecord {
    std::int32_t capacity = 0;
    std::int32_t list_count = 0;   // records the deinterlace list declares
    std::int32_t frame_rate1 = 0;  // "Video.DeinterlaceEx.FrameRate1"
    std::int32_t frame_rate2 = 0;  // "Video.DeinterlaceEx.FrameRate2"
    std::int32_t rate_code = 0;    // frame_rate1 * 30 / frame_rate2; left alone while rate 2 is 0
    bool top_field_first = false;  // "Video.TopFieldFirst"
    std::uint8_t* entries = nullptr;

    std::uint8_t mark(std::int32_t field) const { return entries[2 * std::size_t(field)]; }
    std::uint8_t mode(std::int32_t field) const { return entries[2 * std::size_t(field) + 1]; }
};

// Result codes of the reader: 0 or 1 success, negative failure.
enum ProjectResult : int {
    kProjectOk = 1,
    kProjectNoMemory = -1,       // work buffer not allocated
    kProjectOpenError = -2,      // file cannot be opened
    kProjectReadError = -3,      // read error, or the file ends inside an entry or line
    kProjectBadHexDigit = -10,   // text form: a list record holds a non-hexadecimal digit
    kProjectByteMissing = -100,  // binary type 0x02: value byte missing
    kProjectWordSkip = -101,     // binary type 0x03: skip fails
    kProjectDwordSkip = -102,    // binary type 0x04: skip fails
    kProjectTenByteSkip = -103,  // binary type 0x05: skip fails
    kProjectBlobSkip = -104,     // binary types 0x06, 0x07: skip fails
    kProjectStringSkip = -105,   // binary type 0x0A of an unmatched name: skip fails
    kProjectListSize = -106,     // binary list: size and record count disagree
    kProjectListIndex = -107,    // binary list: negative field index; type 0x0E: skip fails
    kProjectUnknownType = -999,  // binary: unknown type byte
};

// Receives each trace line of the reader (without line end).
using ProjectTrace = void (*)(const char* line, void* context);

// Reads the project file at `path` into `record`. Trace lines go to the platform's debug output.
int read_project(ProjectRecord& record, const char* path);

// Same, with the trace lines sent to `trace` (may be null: no trace).
int read_project(ProjectRecord& record, const char* path, ProjectTrace trace, void* context);

// Reads the project at `path` for a clip of `capacity` field positions: `pairs` gets the
// 2 x capacity entry bytes and `rate_code` the rate code. Returns the reader's result.
int read_project_pairs(const std::string& path, std::int32_t capacity, std::int32_t& rate_code,
                       std::vector<std::uint8_t>& pairs);

// Parses a whole project file held in memory (both forms). Pure: touches nothing but
// `record` and the trace callback.
int parse_project(ProjectRecord& record, std::span<const std::uint8_t> file,
                  ProjectTrace trace = nullptr, void* context = nullptr);

}  // namespace qex
