// The index of a recording for VideoSource: every frame of a linear decode (in the order the
// decoder gives them) with its timestamp, the packet to seek to, its key-frame status and a
// hash of its picture; its file form; and the rules that find a decoded frame in it.
// Everything here works on memory only (no files, no decoder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qexhost {

// A 64-bit hash of picture rows, fed one row at a time (padding between rows is not part of
// the picture and is never fed). Rows are taken in stripes of 64 bytes by eight independent
// lanes of 32x32->64 bit multiplies, which vectorise; the lanes are stirred every 16 stripes
// and folded together at the end.
class PictureHash {
  public:
    void add(const uint8_t* p, size_t n);
    uint64_t value() const;

  private:
    uint64_t acc_[8] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                        0x85EBCA77C2B2AE63ull, 0x27D4EB2F165667C5ull, 0xFF51AFD7ED558CCDull,
                        0xC4CEB9FE1A85EC53ull, 0x94D049BB133111EBull};
    uint64_t len_ = 0;
    unsigned at_ = 0;  // stripes taken since the lanes were last stirred
};

constexpr int64_t kNoTimestamp = INT64_MIN;

struct IndexedFrame {
    int64_t pts = kNoTimestamp;  // presentation time as the decoder gives it (stream time base)
    int64_t pos = -1;            // byte position of the packet the frame came from (-1: unknown)
    int64_t dts = kNoTimestamp;  // decode time of that packet
    uint64_t hash = 0;           // PictureHash of the decoded planes
    bool key = false;            // decoding may start at this frame's packet
};

enum class FieldOrder : uint8_t { kProgressive = 0, kTopFirst = 1, kBottomFirst = 2 };

struct VideoIndex {
    // The input the index was made from: a different size or modification time means the
    // file changed and must be indexed again.
    uint64_t file_size = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    int track = -1;  // as asked for (-1: the first video track)

    int stream = -1;  // container stream number of the track
    std::string codec;
    std::string pixel_format;  // decoder pixel format name
    int width = 0, height = 0;
    uint32_t rate_num = 0, rate_den = 0;                // reduced
    uint32_t time_base_num = 1, time_base_den = 90000;  // of the timestamps
    FieldOrder field_order = FieldOrder::kProgressive;
    uint32_t decode_errors = 0;  // packets refused and frames concealed while indexing
    std::vector<IndexedFrame> frames;
};

// The file form: a fixed header, the frames, and a checksum of all that precedes it.
std::string serialize_index(const VideoIndex& index);

// Reads the file form back; nullopt (with the reason in *why) when it is truncated, corrupt,
// of another version or inconsistent.
std::optional<VideoIndex> parse_index(std::string_view bytes, std::string* why);

// Reduced fraction; {0, 0} stays as it is.
std::pair<uint32_t, uint32_t> reduce_rate(int64_t num, int64_t den);

// Where the index of `input` is kept: `<input>.qexindex` when its folder is writable,
// otherwise a file in the cache folder named after the input's absolute path.
// `cache_home` is $XDG_CACHE_HOME or, when that is unset, $HOME/.cache.
std::string default_index_path(const std::string& absolute_input, bool folder_writable,
                               const std::string& cache_home);

// Finding frames of the index again: by timestamp (when the timestamp is unique in the
// index) and by picture hash (when the hash is unique), and where a decode may start.
class FrameLocator {
  public:
    explicit FrameLocator(const VideoIndex& index);

    // The frame a decoded picture with this timestamp and hash is, when that is certain: the
    // timestamp names one frame and the hash agrees, or the hash belongs to one frame only.
    // `after` excludes frames at or before it.
    std::optional<int> identify(int64_t pts, uint64_t hash, int after = -1) const;

    // The last key frame at or before n whose packet position is known (-1 when none).
    int key_at_or_before(int n) const;

    const VideoIndex& index() const { return *index_; }

  private:
    const VideoIndex* index_;
    std::unordered_map<int64_t, int> by_pts_;    // unique timestamps only (-1: shared)
    std::unordered_map<uint64_t, int> by_hash_;  // unique hashes only (-1: shared)
    std::vector<int> keys_;                      // ascending
};

}  // namespace qexhost
