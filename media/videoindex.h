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

// The ways the picture hash is computed; all give the same values (index files depend on it).
enum class HashPath { kBest, kAvx2, kSse2, kPortable };
// Makes every PictureHash use `path` from now on (for tests and benchmarks; not while hashes are
// being computed on other threads); false when this build or processor lacks it.
bool use_picture_hash_path(HashPath path);

constexpr int64_t kNoTimestamp = INT64_MIN;

struct IndexedFrame {
    int64_t pts = kNoTimestamp;  // presentation time as the decoder gives it (stream time base)
    int64_t pos = -1;            // byte position of the packet the frame came from (-1: unknown)
    int64_t dts = kNoTimestamp;  // decode time of that packet
    uint64_t hash = 0;           // PictureHash of the decoded planes
    bool key = false;            // decoding may start at this frame's packet
    bool top_first = false;      // the picture's first field is its top one (a field picture:
                                 // it is a top field)
    bool interlaced = false;     // coded as interlaced (its field order is meaningful)
    bool damaged = false;        // the decoder concealed or reported damage in it
    uint8_t repeat = 0;          // fields shown beyond two (a repeat-field flag gives 1)
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
    uint8_t timestamp_bits = 64;  // timestamps wrap at 2^bits (33 in transport streams)
    // The frame rate of the coded stream's field pairs (an MPEG-2 sequence header's rate),
    // which flagged film is shown at; {0, 0} when the stream gives none.
    uint32_t field_pair_num = 0, field_pair_den = 0;
    // Decoding from this frame on is done without frame threads, in every pass, so that
    // damaged pictures are concealed the same way each time (-1: threads throughout).
    int32_t single_thread_from = -1;
    FieldOrder field_order = FieldOrder::kProgressive;
    // Every picture is a single field (width x height, one field's lines), as the HEVC decoder
    // hands over a stream coded as field pictures: the clip weaves them in pairs, the first of
    // each pair of the parity field_order names.
    bool field_pictures = false;
    uint32_t decode_errors = 0;  // packets refused and frames concealed while indexing
    std::vector<IndexedFrame> frames;
};

// The file form: a fixed header, the frames, and a checksum of all that precedes it.
std::string serialize_index(const VideoIndex& index);

// The checksum that ends the file form, over the bytes before it.
uint64_t index_checksum(std::string_view body);

// Reads the file form back; nullopt (with the reason in *why) when it is truncated, corrupt,
// of another version or inconsistent.
std::optional<VideoIndex> parse_index(std::string_view bytes, std::string* why);

// Whether a stream's pictures are single fields, from its codec and its first pictures (at
// least kFieldPicturesSeen of them when the stream has as many): the codec's decoder hands
// field pictures over one at a time (HEVC: a picture flagged interlaced is one its timing
// message calls a field), every one of them is flagged interlaced and their parities alternate
// (at most one break, a field lost early in the stream).
constexpr int kFieldPicturesSeen = 12;
bool pictures_are_fields(std::string_view codec, const std::vector<IndexedFrame>& first);

// The parity of the first field of each pair in a stream of field pictures, from the parities
// of the key pictures (where decoding may begin: a pair is coded from its first field) among
// the first pictures: that of most of them, else top first, as interlaced HD is. Plain intra
// pictures do not count: an encoder codes either field intra at a change of scene.
FieldOrder field_pair_order(int top_keys, int bottom_keys);

// What the clip's frames show: frame n is woven from a picture's top field and a picture's
// bottom field (one picture when both are the same). Of field pictures, the two fields (one
// picture when a field came without its pair: its lines are then doubled).
struct FrameSource {
    int top = 0, bottom = 0;  // index frame numbers
};

struct Timeline {
    std::vector<FrameSource> frames;
    struct Stretch {
        int first = 0, count = 0;
    };
    std::vector<Stretch> filled;  // frames that repeat the last good picture
    std::vector<int> lone;        // of field pictures: frames of one field, its pair lost
    int leading_dropped = 0;      // of field pictures: second fields before the first pair
    bool timestamps_usable = true;
    int64_t first_pts = 0;           // of the first picture (kNoTimestamp: none)
    int repeat_flagged = 0;          // pictures with fields beyond two
    int jumps = 0;                   // timestamp jumps not filled (splices, restarts)
    bool field_order_known = false;  // some picture is interlaced or carries repeat flags
    bool top_first = true;           // most frames begin with a top field
};

// Lays pictures out on a timeline of frames at rate_num/rate_den, one picture at a time (so
// that the frames of a decode can be handed on while it runs):
// - with `fields`, a picture shows 2 + repeat fields (a repeat-field flag gives three, the first
//   shown again), each picture's first field the one its flag names, and the fields are woven
//   two to a frame; without, every picture is one frame;
// - a picture whose timestamp lies a frame or more after the end of the one before leaves the
//   frames between to repeats of that one, up to `max_fill_seconds`; a greater gap, or three
//   pictures in a row whose timestamps do not go forward, is a jump that shifts nothing;
//   pictures that go forward faster than the frames (a part at up to five times the rate)
//   follow on.
// - of field pictures (index.field_pictures), each picture is one field, whatever `fields`;
//   a field of the first parity begins a frame, one of the other parity completes it, and a
//   field without its pair (the other lost, or the stream cut between them) is a frame by
//   itself, so that the fields after it keep their frames and times. Repeats fill with the
//   last frame's two fields.
//   Timestamps wrap at 2^timestamp_bits. A picture without a timestamp, or with one that does
//   not go forward, follows on in decode order.
class TimelineBuilder {
  public:
    TimelineBuilder(const VideoIndex& index, bool fields, uint32_t rate_num, uint32_t rate_den,
                    int max_fill_seconds = 10);
    // Picture i of the index (0, 1, 2, ... in order); frames made so far are in timeline().
    void add(int i);
    // After the last picture (the index need not be at hand any more).
    Timeline finish();
    const Timeline& timeline() const { return t_; }

  private:
    void field(int picture, bool bottom);
    void fill(int64_t count);
    int64_t position() const { return fields_ ? fields_out_ : frames_out_; }
    int64_t step(int64_t from, int64_t to) const;

    const VideoIndex& x_;
    const bool fields_;
    const bool field_pictures_;
    const uint32_t rate_num_, rate_den_;
    const int64_t max_fill_;
    Timeline t_;
    int bits_ = 64;
    int bad_ = 0;  // timestamps missing or not going forward
    // Pictures in a row whose timestamps do not go forward; this many make a jump.
    static constexpr int kBehindForAJump = 3;
    int behind_ = 0;
    int last_ = -1;
    int added_ = 0;
    // Weaving.
    bool pending_ = false;
    int pending_picture_ = 0;
    bool pending_bottom_ = false, last_bottom_ = true;
    // Of field pictures: the parity that begins a frame, and the last field of each parity.
    bool first_bottom_ = false;
    int last_field_[2] = {-1, -1};
    int64_t fields_out_ = 0, frames_out_ = 0;  // frames_out_ counts fields too (2 + repeat)
    int64_t top_starts_ = 0, bottom_starts_ = 0;
    // The anchor: a timestamp (unwrapped) and the field it began at.
    bool anchored_ = false;
    int64_t anchor_ts_ = 0, anchor_field_ = 0, unwrapped_ = 0, prev_ = kNoTimestamp;
};

Timeline make_timeline(const VideoIndex& index, bool fields, uint32_t rate_num, uint32_t rate_den,
                       int max_fill_seconds = 10);

// Each frame's own time, where the timestamps of a recording whose frames each show one
// picture run off the frames' places on the timeline by half a frame or more (a recording of
// parts at several rates, as joined files or a variable-rate capture make it): the time of the
// picture a frame shows, in the index's time base after frame 0's; frames that repeat a
// picture (filled where the pictures lie further apart than the clip's frames) share the time
// up to the next picture evenly. Empty when every frame lies within
// half a frame of its place, when the timeline's timestamps are unusable, when a frame is
// woven from two pictures, and when the times do not go forward by less than
// `max_step_seconds` from frame to frame (a splice or a restart keeps the frames' places).
std::vector<int64_t> own_frame_times(const VideoIndex& index, const Timeline& timeline,
                                     uint32_t rate_num, uint32_t rate_den,
                                     int max_step_seconds = 10);

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
