// qexscan: measures every DoubleWeave frame of a clip and writes the analysis log that zorvane
// reads ("total N", then one line "i-a-b-c" per woven frame, or one mark per block of 3 or 7
// frames in the fast variants).
#pragma once

#include "avisynth.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qexscan {

enum class LogMode { kNormal, kFast, kFastV2 };

// kAuto: the order the clip says, or measured when it does not say (weaving the fields both
// ways); otherwise the order given.
enum class FieldOrder { kAuto, kTop, kBottom };

// The named thresholds of the analysis. Defaults suit broadcast-like SD and HD material.
struct Thresholds {
    // A pixel is combed when it differs from both rows of the other field above and below it by
    // more than this, in the same direction (and the five-row measure exceeds 6 times it); its
    // comb excess is how far beyond this it lies, less how far it lies from what the rows of its
    // own field above and below predict.
    int comb = 10;
    // A 16x16 block (step 8) holding more combed pixels than this counts as combed for the
    // second mark's share.
    int block = 40;
    // A picture is combed when, in some block, its comb excess stands more than this above
    // `relative` times that of each other pairing of its fields (the entries before and after
    // it), plus kDetailWeight times the square root of the whole pictures' mean block excess,
    // less, in texture beside the pulldown, what that pairing stands above it by in its own
    // blocks (bounded by kTextureWeight times their mean block excess);
    // never when its mean block excess is below kWholeShare times that of a pairing beside it
    // and no block holds more than `block` combed pixels.
    int excess = 150;
    double relative = 1.5;
    // A picture is also combed, whatever the other pairings show, when a block holds more
    // combed pixels than this and the picture moved (video everywhere, an interlaced overlay).
    int absolute = 240;
    // The second mark is "1" when more than this share of the blocks are combed.
    double wide = 0.06;
    // The third mark is "0" (a repeat) when no 16x16 block differs from the picture one frame
    // earlier by more than this mean absolute difference per pixel.
    double noise = 4.0;
};

struct ScanOptions {
    LogMode mode = LogMode::kNormal;
    int threads = 0;  // 0 = the machine's cores
    // Judge combing on the chroma planes too (4:2:0 clips): a picture is as combed as its most
    // combed plane, each counted in 16x16 blocks of its own samples.
    bool chroma = false;
    FieldOrder order = FieldOrder::kAuto;
    Thresholds thresholds;
    // How long the thread that reads the frames waits for a worker's job before it runs the
    // job itself (the workers give way to other work and may get no processor time), in
    // milliseconds: many times what a job takes on a worker that runs.
    int patience = 50;
    // Called on a worker before each job it runs (tests make the workers late with it).
    std::function<void()> workerDelay;
};

struct Progress {
    int64_t frames_done;
    int64_t frames_total;
    double fps;
    double seconds_left;
};
using ProgressFn = std::function<void(const Progress&)>;

struct ScanResult {
    bool ok = false;
    std::string error;  // one line when !ok
    std::string log;    // the whole log text when ok
    int64_t frames = 0;
    bool tff = false;        // the field order of the log's weaves (serve the clip in it)
    std::string fieldOrder;  // which order, and why, in words
};

// Scans a clip the caller has made in its own environment. Frames are requested
// on the calling thread, in order, and so is the progress function called (at most four times
// a second, and once at the end); only the analysis runs on worker threads.
ScanResult scanClip(PClip clip, IScriptEnvironment* env, const ScanOptions&,
                    const ProgressFn& = {});

// Opens a recording with VideoSource in `env` and scans it. When VideoSource has to index the
// recording, the frames of that decode are analysed as they come, so the recording is decoded
// once for both; otherwise (the index is read from its file) the clip's frames are requested
// as scanClip does. The clip is left in *clip (when given) for serving. Errors name the path.
ScanResult scanVideo(const std::string& path, IScriptEnvironment* env, const ScanOptions&,
                     const ProgressFn& = {}, PClip* clip = nullptr);

// Checks thresholds; returns an empty string when usable, else what is wrong.
std::string checkThresholds(const Thresholds&);

}  // namespace qexscan
