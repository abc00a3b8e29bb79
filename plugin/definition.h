// Reader of definition (.def) files: line dispatch, set/default/offset/mode/end/keyframes
// statements, chapter entries, frame statements with their inline keywords, and the
// alias table. Statements are applied to the field map as they are read.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/model.h"

namespace qex {

// What a TMPGEnc project gives the field map: its rate code and two bytes (flag value,
// mode byte) per field position, 2 * capacity bytes.
struct ProjectData {
    int32_t rate_code = 0;
    std::vector<uint8_t> pairs;
};

// Reads the project at `path` for a clip of `capacity` field positions. Returns the
// project reader's result: 0 or more on success, a negative code on failure.
using ProjectLoader =
    std::function<int(const std::string& path, int32_t capacity, ProjectData& out)>;

// Reads a whole definition held in memory (the file's bytes, LF or CR LF line ends).
// Returns a negative error code, kResultEnd when an `end` statement stopped reading, or
// another non-negative value. m.st.line_no is the line shown in messages.
// Without a loader, "tpr" statements fail as if the project could not be opened.
int read_definition_text(QexModel& m, std::string_view text, const ProjectLoader& loader = {});

// Reads the definition file at `path` (kErrOpen when it cannot be opened, kErrRead when
// reading fails) and then parses it as read_definition_text does.
int read_definition_file(QexModel& m, const std::string& path, const ProjectLoader& loader = {});

// The words an inline statement (and a default text) starts with. The numbers are the order
// in which the words are tried, as prefixes ignoring case ("on_a" before "on"); a default
// stores the number of its text's first word.
enum InlineKeyword : int {
    kKeywordProject = 0,  // "tpr" then "<": a TMPGEnc project
    kKeywordFieldList,    // "(": a field-list pattern
    kKeywordDigits,       // "<": a digit pattern
    kKeywordPost,         // "post": a post filter
    kKeywordChapter,      // "chapter": a chapter entry
    kKeywordOnA,          // on/off/dup/null pairs, for the first (_a), the second (_b) or
    kKeywordOnB,          // (without a suffix) the first field of each frame
    kKeywordOn,
    kKeywordOffA,
    kKeywordOffB,
    kKeywordOff,
    kKeywordDupA,
    kKeywordDupB,
    kKeywordDup,
    kKeywordNullA,
    kKeywordNullB,
    kKeywordNull,
    kInlineKeywordCount
};

// Inline keyword scanner over NUL-terminated text: the InlineKeyword of the statement (the
// last pair word for a list of pairs), or kErrScanner when the text starts with no keyword.
int scan_inline_keyword(const char* text);

// Enters a filter expression in the alias table: its number 1..64, kErrAliasName for an
// empty text or one longer than 255 characters, kErrTooManyAliases when the table is full.
int enter_alias(FilterAliasTable& t, std::string_view text);

}  // namespace qex
