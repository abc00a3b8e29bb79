// VideoSource: recordings (MPEG-2 and H.264 in TS, MP4, MKV, ...) decoded through FFmpeg's
// libraries, with frame-exact random access.
//
// The first open decodes the whole track once and keeps, for every picture a linear decode
// gives, its timestamp, the packet to seek to, whether decoding may start there, the fields it
// shows (repeat-field flags) and a hash of its picture. The index is kept in a cache file
// (`<input>.qexindex`, or in $XDG_CACHE_HOME/qex/ when the input's folder is not writable)
// together with the input's size and modification time, so a later open reads it back and a
// changed input is indexed again. The clip's frames are laid out from the pictures: the fields
// a player shows, two to a frame (or each coded picture once, rff=false), each frame at the
// time its timestamp names, pictures missing from the stream leaving their frames to repeats of
// the last good one. A picture request seeks to a key frame before it, decodes forward and
// recognises the decoded pictures by their hashes; a picture is served only when its hash is
// the one the index holds. Damage found while indexing (a damaged picture, a decode error, a
// packet the demuxer put together with data missing) makes the decode go back to a key frame
// well before it and on without threads, into cleared buffers, and serving decodes that
// stretch the same way, so that concealed pictures are the same on every pass, whatever the
// threads and the order of requests. While frames are asked for in order, the
// decoder runs a few pictures ahead of the caller on a thread of its own.
#pragma once

#include "avisynth.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qexhost {

class Environment;

// Registers VideoSource(path, track, cache, cachefile, threads, rff).
void register_video_source(Environment& env);

struct VideoSourceOptions {
    int track = -1;         // container stream number; -1: the first video track
    bool cache = true;      // read and write the index file
    std::string cachefile;  // index file; empty: the default place
    int threads = 0;        // decoder threads; 0: as many as the decoder likes
    // Repeat-field flags applied: the clip shows the fields a player shows, two to a frame at
    // the stream's rate. false: every coded picture once, as it is.
    bool rff = true;
};

// A picture's hash that the index leaves to the feed, which reads the picture's rows anyway
// and hashes them while they are in the cache: PictureHash::add over every row of every plane,
// in order, and value() into `value`. The rows are those of the frame it comes with.
struct PendingHash {
    struct Rows {
        const uint8_t* data = nullptr;
        ptrdiff_t pitch = 0;
        size_t bytes = 0;  // of each row
        int count = 0;
    };
    Rows planes[4];
    int plane_count = 0;
    uint64_t value = 0;
};

// Hashes rows [from, to) of plane p of `h` into `hash` (a PictureHash).
template <typename Hash>
void add_rows(Hash& hash, const PendingHash& h, int p, int from, int to) {
    const PendingHash::Rows& r = h.planes[p];
    for (int y = from; y < to; ++y) hash.add(r.data + ptrdiff_t(y) * r.pitch, r.bytes);
}

// Receives the frames of the linear decode that makes an index, as they are decoded, so that a
// caller that reads the whole clip once (an analysis) need not decode it a second time. Not
// called at all when the index is read from its file.
struct IndexingFeed {
    // Once, before the first frame: the clip as far as it is known. num_frames is 0, and the
    // field order is the one of the first pictures (the clip's own, known when the index is
    // made, may differ: compare it with GetParity afterwards).
    std::function<void(const VideoInfo& vi)> begin;
    // Frame n (0, 1, 2, ... in order), as GetFrame will serve it, and the part of the file read
    // so far (0 to 1). An exception thrown here stops the indexing and leaves
    // make_video_source; no index file is written then.
    // When `drain` is set, the hash of a frame's picture may come with it (`hash`, else null):
    // the feed then computes it (PendingHash) before drain() returns, which is called after
    // the last frame and before the index is written, when some hash was left to the feed.
    // Without `drain`, `hash` is always null.
    std::function<void(int n, const PVideoFrame& frame, double fraction,
                       const std::shared_ptr<PendingHash>& hash)>
        frame;
    std::function<void()> drain;
};

// Opens (indexing when needed) as the script function does; errors are thrown through env.
// When `feed` is given and an index is made, every frame is handed to it on the way (the
// progress lines of indexing are then left to the caller).
PClip make_video_source(const std::string& path, const VideoSourceOptions& options,
                        IScriptEnvironment* env, const IndexingFeed* feed = nullptr);

// What VideoSource knows of a clip it made, for the programs built on the host.
struct VideoSourceInfo {
    bool field_order_known = false;  // the stream's pictures say which field comes first
    // Every picture coded interlaced shows its fields in the order the stream does not state
    // (the clip takes the stream's): which of the two is right, the pictures must tell.
    bool order_disputed = false;
    bool timestamps_usable = true;  // false: served in decode order (timestamps missing/absurd)
    int64_t first_pts = 0;          // presentation time of frame 0, in time_base units
    int time_base_num = 1, time_base_den = 90000;
    struct Stretch {
        int first = 0;  // first frame that repeats the last good picture
        int count = 0;
    };
    std::vector<Stretch> filled;  // frames filled for pictures missing from the stream
    int repeat_flagged = 0;       // coded pictures that carry repeat-field flags
    // Where the timestamps run off the frames' places at the clip's rate (a recording of parts
    // at several rates): each frame's own time in time_base units after frame 0's; empty when
    // the frames keep their places (see own_frame_times, media/videoindex.h).
    std::vector<int64_t> frame_times;
};

// The facts of a clip returned by make_video_source (or the VideoSource script function);
// nullopt for any other clip.
std::optional<VideoSourceInfo> video_source_info(const PClip& clip);

// Progress of indexing, reported while the first open decodes the file.
enum class IndexProgress {
    kAuto,  // lines on standard error when it is a terminal
    kOn,    // lines on standard error always
    kOff,
};
void set_index_progress(IndexProgress mode);

// Replaces the standard error lines with a call (null restores them). `fraction` is the part
// of the file read so far (0 to 1); `done` is set on the last call of an index.
using IndexProgressCallback =
    std::function<void(const std::string& path, double fraction, int frames, bool done)>;
void set_index_progress_callback(IndexProgressCallback callback);

}  // namespace qexhost
