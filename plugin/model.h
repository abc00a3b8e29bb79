// Host-free data model of the Qex filter: rates and ticks, the field map, the output
// frame list, the alias/set/default/chapter tables, the definition state, and the
// error codes with their messages.
//
// Clips are deliberately absent: the filter keeps its own clip arrays indexed exactly
// like FilterAliasTable (alias number a -> element a - 1, phase 0..4, plus one post
// clip per alias), so that everything in this header can be built and tested without
// a frame server.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qex {

// ---------------------------------------------------------------------------
// Rates, slots, ticks

// One tick is an eighth of a source frame period (a field lasts 4 ticks). Rates are counted
// against the nominal 30 frames of a source second, which therefore holds 240 ticks: one
// frame of rate r lasts 240 / r ticks.
inline constexpr int kTicksPerSecond = 240;

inline constexpr int kRateSlots = 14;
// The rates of the definition language, each dividing 240. Their order is the slot order of
// every per-rate table and the order in which rate words are tried ("48" before "4").
inline constexpr std::array<int, kRateSlots> kSlotRates = {24, 30, 60, 48, 20, 10, 12,
                                                            15, 8,  6,  5,  4,  3,  2};
// Rates outside the list use the slot, and the frame length, of 30.
inline constexpr int kFallbackSlot = 1;

// Rate codes beside the slot rates: no rate (an entry no statement wrote, no length), and
// the code of half a field period (2 ticks).
inline constexpr int kRateNone = 0;
inline constexpr int kRateHalfField = -1;

// Slot of a rate in kSlotRates, or -1 when it has none.
constexpr int find_rate_slot(int rate) {
  for (int i = 0; i < kRateSlots; ++i)
    if (kSlotRates[i] == rate) return i;
  return -1;
}

// Slot of a rate; rates outside the list map to kFallbackSlot.
int rate_slot(int rate);

// The codes that have a frame length of their own: the slot rates, kRateNone and
// kRateHalfField (the accepted values of the filter's fps argument).
constexpr bool is_named_rate(int rate) {
  return rate == kRateNone || rate == kRateHalfField || find_rate_slot(rate) >= 0;
}

// Length of one output frame of `rate` in ticks: 240 / rate for a slot rate, 0 for
// kRateNone, 2 for kRateHalfField; 128..143 carry the tick count in their low four bits;
// any other rate lasts as long as a frame of 30 (8 ticks).
int duration_code(int32_t rate);

// Start time in milliseconds of a running tick count, for an output rate of
// fps_num / fps_den: floor((T*D*125 + floor(N/2)) / N) in unsigned 64-bit arithmetic.
// A zero numerator (a clip without a rate) gives 0 rather than a division by zero.
uint64_t tick_time_ms(uint64_t ticks, uint32_t fps_num, uint32_t fps_den);

// ---------------------------------------------------------------------------
// Field map and output frames

enum FieldFlag : uint8_t {
  kFlagOn = 1,
  kFlagDup = 2,
  kFlagKeyframe = 4,
  kFlagChapter = 8,
  kFlagNull = 128,
};

inline constexpr uint8_t kAliasProject = 65;   // entry written from a TMPGEnc project
inline constexpr uint8_t kAliasPattern = 255;  // entry written by a field pattern / on-off pair
inline constexpr uint8_t kAdjustOn = 1;        // fps_adjust was on for the writing statement
inline constexpr uint8_t kAdjustSegmentStart = 2;  // set by the output pass

// One record per field position (2n: frame n; 2n+1: second field of n woven with
// the first field of n+1). Zero-filled means "never written".
struct FieldEntry {
  int32_t start = 0;     // field position 2s of the first frame of the writing range
  int32_t ordinal = 0;   // selected entries of that range before this one
  uint8_t rate = 0;
  uint8_t flags = 0;     // FieldFlag bits
  uint8_t project_byte = 0;
  uint8_t alias = 0;     // 1..64 alias, kAliasProject, kAliasPattern, 0 never written
  uint8_t set_index = 0; // 1-based set name, 0 none
  uint8_t phase = 0;
  uint8_t adjust = 0;    // kAdjustOn | kAdjustSegmentStart
  uint8_t post_alias = 0;
};
static_assert(sizeof(FieldEntry) == 16, "FieldEntry is meant to stay compact");

inline bool is_selected(const FieldEntry& e) { return (e.flags & (kFlagOn | kFlagDup)) != 0; }

struct OutputFrame {
  uint64_t time_ms = 0;  // start time
  int32_t source = 0;    // field position whose picture is shown
  int32_t drift = 0;     // output clock minus source clock at the start, in ticks
  uint8_t flags = 0;     // copy of the entry's flags
  uint8_t duration = 0;  // ticks, never above 255
};

// ---------------------------------------------------------------------------
// Tables filled by definition statements

inline constexpr int kMaxAliases = 64;
inline constexpr int kAliasTextSize = 256;  // NUL included: at most 255 characters
inline constexpr int kAliasPhases = 5;
inline constexpr uint8_t kPhaseBitPost = 32;

struct FilterAliasTable {
  int32_t count = 0;
  char text[kMaxAliases][kAliasTextSize] = {};
  uint8_t vfrout[kMaxAliases] = {};
  uint8_t phase_bits[kMaxAliases] = {};  // bits 0..4: phases needed; bit 5: post filter
};

inline constexpr int kMaxSetNames = 64;
inline constexpr int kSetNameSize = 64;    // names of 2..63 characters
inline constexpr int kSetValueSize = 256;  // values of at most 255 characters

struct SetTable {
  int32_t count = 0;
  char names[kMaxSetNames][kSetNameSize] = {};
  char values[kRateSlots][kMaxSetNames][kSetValueSize] = {};
};

inline constexpr int kDefaultTextSize = 256;

struct DefaultTable {
  char text[kRateSlots][kDefaultTextSize] = {};
  int8_t kind[kRateSlots] = {};  // inline keyword number, or negative: text names a set
};

inline constexpr int kMaxChapters = 100;
inline constexpr int kChapterNameSize = 64;
inline constexpr int kChapterModeSize = 16;

struct ChapterEntry {
  int32_t position = 0;  // field position 2n while reading; output frame after the pass
  char name[kChapterNameSize] = {};
};

struct ChapterTable {
  int32_t count = 0;
  char language[kChapterModeSize] = {};
  char charset[kChapterModeSize] = {};
  uint8_t bom = 0;
  uint64_t end_time_ms = 0;
  ChapterEntry entries[kMaxChapters] = {};
};

// ---------------------------------------------------------------------------
// Definition state

enum PatternOrigin : uint8_t { kOriginCurrent = 0, kOriginTop = 1, kOriginOffset = 2 };

struct DefinitionState {
  int32_t fps_priority = 30;
  int32_t frame_offset = 0;
  uint8_t pattern_origin = kOriginCurrent;
  int8_t pattern_shift = 0;
  uint8_t fps_adjust = 0;
  uint8_t keyframes_grouping = 0;
  uint8_t in_keyframes_block = 0;
  int32_t line_no = 0;
  int32_t error_frame = 0;
  int32_t source_frames = 0;
  int32_t field_count = 0;
  uint64_t tick_total = 0;
  int32_t chapter_hits = 0;
};

// Everything one Qex filter reads and builds, allocated once. The large fixed tables
// live on the heap; the field map is one array of 2G entries. The output frame list is
// sized by the output pass from the number of selected entries, so it can never be
// written past its end.
struct QexModel {
  // source_frames: G; fps_priority: 24 or 30; fps_num/fps_den: the output clip's rate.
  QexModel(int32_t source_frames, int32_t fps_priority, uint32_t fps_num, uint32_t fps_den);

  DefinitionState st;
  uint32_t fps_num = 0;
  uint32_t fps_den = 1;
  std::vector<FieldEntry> field_map;
  std::vector<OutputFrame> output;
  std::unique_ptr<FilterAliasTable> aliases;
  std::unique_ptr<SetTable> sets;
  std::unique_ptr<DefaultTable> defaults;
  std::unique_ptr<ChapterTable> chapters;
};

// ---------------------------------------------------------------------------
// Error codes and their messages

enum ErrorCode : int {
  kErrNoMemory = -1,
  kErrOpen = -2,
  kErrRead = -3,
  kErrTooManyAliases = -10,
  kErrAliasName = -11,
  kErrSet = -20,
  kErrDefault = -30,
  kErrOffset = -40,
  kErrMode = -50,
  kErrScanner = -101,
  kErrInlineFieldList = -102,
  kErrInlineDigits = -103,
  kErrInlinePost = -104,
  kErrDefaultUse = -120,
  kErrEnd = -999,
  kErrFrameNo = -1000,
  kErrRate = -1001,
  kErrPattern = -1002,
  kErrKeyframes = -1900,
  kErrChaptersTooMany = -1901,
  kErrChapter = -1902,
  kErrChapterFileOpen = -1903,
  kErrChapterWrite = -1904,
  kErrTimecodesOpen = -1905,
  kErrTimecodesWrite = -1906,
  kErrChapterMode = -1907,
  kErrFpsAdjust = -1910,
  kErrProjectBase = -2000,  // a project reader code c becomes c - 2000
};

// Result of reading a definition that stopped at an `end` statement.
inline constexpr int kResultEnd = 999;

struct ErrorContext {
  std::string_view filter_name = "Qex";
  std::string_view file_name;   // definition file name without directory and extension
  std::string_view extension;   // with its leading dot
  int32_t line_no = 0;
  std::string_view def_path;    // the path as passed to the filter (open error)
  int32_t error_frame = 0;      // rate-adjustment failure
  std::string_view chapter_name1;  // the two name strings of the chapter-writer errors
  std::string_view chapter_name2;
};

// The message for a negative code, or nothing for a code of 0 or more.
std::optional<std::string> error_message(int code, const ErrorContext& ctx);

// File name and extension of a path, as the C library's path splitting gives them
// (directory and drive removed; the extension starts at the last dot of the name).
struct NameExt {
  std::string name;
  std::string ext;
};
NameExt split_name_ext(std::string_view path);

}  // namespace qex
