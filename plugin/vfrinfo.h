// Rate information shared between the filters of one process.
//
// "melvo_vfrinfo_<pid>": published by the variable-rate Qex filter, read by QexCut.
//   offset 0  uint32 format marker 1
//          4  uint32 state word: 0 at creation, 1 once Qex is built
//          8  uint32 block size, 512 + 4 x n
//         12  int32  n, the number of frame entries
//         16  uint8  state byte: 1 at creation, 2 once Qex is built
//         17  zero up to 512
//   512 + 4k  entry of output frame k: byte 0 duration in ticks (0: not part of the output),
//             byte 1 flags & 6 (dup, keyframe), bytes 2 and 3 zero.
// The header fields are guarded by the mutex "melvo_vfr_vfrinfo_header___<pid>", each frame
// entry by "melvo_vfr_vfrinfo_frame___<pid>"; QexCut reads without them.
//
// "vfrout_<pid>": made by an outside component; byte k is its verdict on source frame k:
// "2" 24 frames per second, "D" dropped, anything else 30 frames per second.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/platform.h"

namespace qex {

inline constexpr std::size_t kVfrInfoHeaderSize = 512;
inline constexpr std::size_t kVfrInfoStateByte = 16;   // offset of the state byte
inline constexpr std::uint8_t kVfrPublishedFlags = 6;  // dup and keyframe bits

inline constexpr std::uint8_t kVerdict24 = '2';
inline constexpr std::uint8_t kVerdictDrop = 'D';

class VfrOut;

// Rate (24, 0 or 30) that an outside verdict byte stands for.
int verdict_rate(std::uint8_t verdict);

// Names of the shared objects of process `pid`, without any platform prefix.
// `out` must hold 100 characters.
void vfrinfo_name(int pid, char* out);
void vfrinfo_header_mutex_name(int pid, char* out);
void vfrinfo_frame_mutex_name(int pid, char* out);
void vfrout_name(int pid, char* out);

// One served output frame, as a variable-rate strategy hands it to the publisher.
struct ServedFrame {
    std::int32_t frame = 0;     // output frame number n
    std::uint8_t duration = 0;  // the output frame's duration in ticks
    std::uint8_t flags = 0;     // the output frame's flags (only dup and keyframe are published)
    // The frame's field entry has rate 30 and an alias 1..64 whose outside-table flag is set:
    // its duration then follows the outside verdict on `fetched`.
    bool follows_verdict = false;
    std::int32_t fetched = 0;  // source frame number asked of the alias clip
    // Opt strategy: n is at or beyond the end of the stream; published as duration 0, flags 0.
    bool past_end = false;
};

// Publisher: creates the block and both mutexes for `frames` output frames.
class VfrInfoMap {
  public:
    explicit VfrInfoMap(std::int32_t frames);
    // Same, under the names of process `pid` (tests).
    VfrInfoMap(std::int32_t frames, int pid);
    virtual ~VfrInfoMap();
    VfrInfoMap(const VfrInfoMap&) = delete;
    VfrInfoMap& operator=(const VfrInfoMap&) = delete;

    // Mapping, view and both mutexes exist.
    bool ok() const;
    // Holding the header mutex: state word 1, state byte 2.
    void mark_built();

    std::int32_t count() const { return count_; }
    platform::NamedMutex& frame_mutex() { return frame_mutex_; }
    platform::NamedMutex& header_mutex() { return header_mutex_; }

    // Entry access; the caller holds the frame mutex. Frames outside 0 .. count - 1 are not
    // part of the table: writes to them are dropped and reads give 0.
    void set_duration(std::int32_t frame, std::uint8_t ticks);
    void set_flags(std::int32_t frame, std::uint8_t flags);  // stores flags & 6
    std::uint8_t duration(std::int32_t frame) const;
    std::uint8_t flags(std::int32_t frame) const;

    // Takes the frame mutex and stores one served frame's duration and flags.
    void publish(std::int32_t frame, std::uint8_t ticks, std::uint8_t flags);
    // Takes the frame mutex and publishes a served frame, the outside verdict applied
    // (`verdicts` may be null). Returns the duration published.
    std::uint8_t publish(const ServedFrame& served, const VfrOut* verdicts);
    // Takes the frame mutex and reads a published duration (0 outside the table).
    std::uint8_t published_duration(std::int32_t frame);

    const std::uint8_t* view() const { return memory_.data(); }

  private:
    void build(std::int32_t frames, int pid);
    std::uint8_t* entry(std::int32_t frame) const;

    platform::SharedMemory memory_;
    platform::NamedMutex header_mutex_;
    platform::NamedMutex frame_mutex_;
    std::uint8_t* table_ = nullptr;
    std::int32_t count_ = 0;
};

// Reader of the published block (QexCut). Reads and clears entries without the mutexes.
class VfrInfoOut {
  public:
    VfrInfoOut();
    explicit VfrInfoOut(int pid);
    virtual ~VfrInfoOut() = default;
    VfrInfoOut(const VfrInfoOut&) = delete;
    VfrInfoOut& operator=(const VfrInfoOut&) = delete;

    // The block exists and is mapped.
    bool ok() const { return table_ != nullptr; }
    bool active() const { return active_; }
    void set_active(bool on) { active_ = on; }

    // Entries the block holds: its declared count, bounded by what is mapped.
    std::int32_t count() const { return count_; }
    // Duration byte of entry `frame`; 0 for an entry outside the table.
    std::uint8_t duration(std::int32_t frame) const;
    std::uint8_t flags(std::int32_t frame) const;
    // Sets entry `frame`'s duration byte to 0; nothing outside the table is written.
    void clear_duration(std::int32_t frame);

  private:
    void open(int pid);

    platform::SharedMemory memory_;
    std::uint8_t* table_ = nullptr;
    std::int32_t count_ = 0;
    bool active_ = false;
};

// Reader of the outside per-source-frame verdict table.
class VfrOut {
  public:
    VfrOut();
    explicit VfrOut(int pid);
    virtual ~VfrOut() = default;
    VfrOut(const VfrOut&) = delete;
    VfrOut& operator=(const VfrOut&) = delete;

    // The table exists (it may still be empty).
    bool ok() const { return memory_.is_open(); }
    // Verdict byte on source frame `frame`; 0 (a 30 fps verdict) beyond the mapped table.
    std::uint8_t verdict(std::int32_t frame) const;
    int rate(std::int32_t frame) const { return verdict_rate(verdict(frame)); }

    // Whether the table of the current process exists now (opened, mapped and let go).
    static bool exists();

  private:
    platform::SharedMemory memory_;
};

// Duration in ticks of a 30 fps frame whose source frame has an outside verdict: 10 for "2",
// 0 for "D", 8 otherwise and when there is no table.
std::uint8_t verdict_duration(const VfrOut* table, std::int32_t source_frame);

}  // namespace qex
