// Timecodes ("timecode format v2") and chapter files (text lines or Matroska chapter XML).
//
// The contents are built in memory by pure functions; the writers then put them on disk in one
// piece with the shared whole-file writer (common/wholefile.h), so a failed write never leaves
// a truncated file behind. Files are written in text mode: "\n" becomes CR LF on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "plugin/model.h"

namespace qex {

// Contents of the timecodes file: the header line, then the start time of every selected
// output frame (flags bit 0 or 1) among frames[0 .. limit - 1].
std::string timecodes_text(std::span<const OutputFrame> frames, int32_t limit);

// Contents of the chapter file: one chapter per selected output frame below the limit whose
// chapter bit is set, numbered from 0, named after the table entry of the same number. An
// empty `language` gives the text format, any other the XML format (names escaped there).
// At most kMaxChapters chapters are written; an XML document is always closed after its last
// chapter. No chapter mark gives an empty file.
std::string chapters_text(std::span<const OutputFrame> frames, int32_t limit,
                          const ChapterTable& table);

// Contents of the cut filter's timecodes file: the header line, then each value of `times`
// (the time at the end of each passed frame).
std::string end_timecodes_text(std::span<const uint64_t> times);

// Name of the timecodes file. An output path that starts with "." is an extension for the
// chapter path: the chapter path without its extension, followed by the output path
// ("D:\work\ep01.txt" and ".tc.txt" give "D:\work\ep01.tc.txt"). Any other output path is
// used as it is.
std::string timecodes_path(std::string_view chapter_path, std::string_view output_path);

// Text with &, < and > replaced by their XML entities.
std::string xml_escape(std::string_view text);

// Result of writing a file in one piece.
enum class WriteResult { kOk, kOpenFailed, kWriteFailed };

// Writes `bytes` to `path` in text mode through a temporary file beside the file that `path`
// reaches (symbolic links are followed and stay), which is then renamed over it; a device or
// a named pipe is written in place. On failure the temporary file is removed and an existing
// target is left as it was. kOpenFailed: the target is a folder, a link loop, a file that may
// not be written, or could not be opened, created or replaced; kWriteFailed: writing the
// bytes failed.
WriteResult write_whole_file(const std::string& path, std::string_view bytes);

// The writers of the Qex filter: 0, or kErrTimecodesOpen / kErrTimecodesWrite,
// kErrChapterFileOpen / kErrChapterWrite.
int write_timecodes(std::span<const OutputFrame> frames, int32_t limit,
                    std::string_view chapter_path, std::string_view output_path);
int write_chapters(std::span<const OutputFrame> frames, int32_t limit, const ChapterTable& table,
                   std::string_view chapter_path);

// The cut filter's timecodes file; false when it could not be written.
bool write_end_timecodes(std::string_view path, std::span<const uint64_t> times);

}  // namespace qex
