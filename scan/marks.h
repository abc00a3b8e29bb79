// From per-picture measures to the marks of the log, and the log text. Pure functions.
#pragma once

#include "scan/measure.h"
#include "scan/scan.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qexscan {

// What was measured of DoubleWeave frame i (fields i and i + 1 woven).
struct EntryMeasure {
    CombMeasure comb;
    // Mean absolute difference per pixel of the 16x16 block that changed most against
    // DoubleWeave frame i - 2; negative when there is nothing to compare with (entries 0, 1).
    double change = -1.0;
    // How far the picture's combing stands above that of the same fields' other pairings: the
    // largest comb excess a block holds beyond `relative` times the same block's excess in the
    // entry before (overPrev) or after (overNext); -1 where there is no such entry.
    int overPrev = -1;
    int overNext = -1;
    // Mean absolute difference per pixel of the 16x8 block of field i alone that changed most
    // against field i - 2; negative when there is none (fields 0, 1). A field the pulldown
    // repeats changes by noise only.
    double fieldChange = -1.0;
    // The mean comb excess of a block: how much the picture shows of it as a whole.
    double detail = 0;
    // Odd entries, when the field order is measured: the mean block excess of the same two
    // frames woven the other way round (the first frame's other field with the next frame's
    // other field); -1 when not measured.
    double otherDetail = -1;
    // coherentComb of the luma picture; -1 when not measured.
    double coherent = -1;
    // Odd entries: coherentComb of the same two frames woven the other way round (the first
    // frame's first field with the next frame's second field, three fields apart where each
    // field is a moment of its own); -1 when not measured.
    double otherCoherent = -1;
};

// Frames whose weave between them is whole in the field order used and combed in the other
// (kept), and the reverse (other): a weave counts as whole against a combed one when what it
// adds to the excess of the frame's own picture is less than half of what the other adds, by
// a margin of 1 + 5% of the picture's own.
struct OrderVote {
    int kept = 0;
    int other = 0;
};
OrderVote voteFieldOrder(const std::vector<EntryMeasure>& entries);
// The other order is taken when its pictures are whole far more often: in at least 10 frames
// and more than four times as many as the order used.
inline bool otherOrderWins(const OrderVote& v) {
    return v.other >= 10 && v.other > 4 * v.kept;
}

// The excess a picture must show beyond the other pairings grows with the square root of the
// mean excess of the whole pictures beside it (grain and texture make the comparison noisy).
inline constexpr double kDetailWeight = 16.0;
// Standing above both other pairings also needs this many times the whole pictures' mean block
// excess more.
inline constexpr double kNoiseWeight = 1.0;
// A picture does not stand out when a pairing beside it has a mean block excess of more than
// 1 / kWholeShare times its own (unless one of its blocks holds more than the block threshold
// of combed pixels while most do not: a band of dense combing).
inline constexpr double kWholeShare = 2.0 / 3.0;
// Where the pulldown is about and both pictures hold combing in most blocks (texture), what a
// pairing beside a picture stands above it by (in its own blocks) is taken off how far the
// picture stands above that pairing, up to this many times the lesser mean block excess of the
// two.
inline constexpr double kTextureWeight = 32.0;
// The same where texture is sparse: fewer than this share of a picture's blocks hold more than
// `block` combed pixels (scattered specks or fine grain, each pairing above the others in a
// few blocks), where a band of dense combing (a caption over film) fills more.
inline constexpr double kSparseShare = 0.004;
// A picture also stands out when it lies this many times the threshold above one of the other
// pairings alone.
inline constexpr double kOneSided = 6.0;

// Faint combing under grain (see coherentComb). Beside the pulldown, an entry that moved is
// combed when its coherent comb is above kCoherentFloor and more than kCoherentFilm times that
// of both entries beside it. Elsewhere (30p) it takes more than kCoherentPeak times, in a run
// of at least kCoherentRun such entries two apart.
inline constexpr double kCoherentFloor = 64.0;
inline constexpr double kCoherentFilm = 4.0;
inline constexpr double kCoherentPeak = 1.25;
inline constexpr int kCoherentRun = 6;
// Not so where film's cadence shows within kCadenceReach entries either side: fields of one
// phase of five (at least kCadenceFields of them) changing less than either field beside them in
// three quarters of the cycles or more.
inline constexpr size_t kCadenceReach = 20;
inline constexpr int kCadenceFields = 6;
// The coherent comb's blocks.
inline constexpr int kCoherentBlock = 64;
// Where film's cadence shows, a weave it makes whole is not combed unless it stands above a
// pairing beside it by more than this many times what it must (an overlay, an edit).
inline constexpr double kFilmNoise = 3.0;
// Nor, where the cadence's combed weaves within kFilmReach entries (at least kFilmCombed of
// them) all stand far above their pairings and its other whole weaves there no more than
// 1 / kFilmClear of the least of them, unless it stands above a pairing by more than that: a
// lossy encode's noise over sharp detail lifts the whole weaves of frames coded apart alike, a
// few times above what they must, and film's motion lifts its combed weaves tens of times,
// where an interlaced overlay (a caption band) lifts some whole weaves far above the rest.
inline constexpr size_t kFilmReach = 7;
inline constexpr int kFilmCombed = 4;
inline constexpr double kFilmClear = 8.0;
// Nor, in texture at the finest scale (one-pixel cells, grain), unless it stands above them by
// more than this many times the mean block excess of the least detailed of it and the two
// pairings beside it: every pairing of such texture exceeds the others in some block by a few
// times what the picture shows as a whole, and a lossy encode's noise lifts that further.
inline constexpr double kFilmTexture = 5.0;
// Texture at the finest scale over part of the picture only (a band of fine speckle beside flat
// parts) weighs less in the picture's mean block excess, which the flat parts take in too: there a
// whole weave is not combed while it stands above a pairing beside it by no more than
// kFilmBandTexture times that least mean block excess and kFilmBandStanding times what it must.
// A weave across frames, an overlay's or an edit's motion stands above its pairings by more
// than either. Where the repeated fields of the weave's cycle and of the cycles before and after
// it came again unchanged (no block changed by more than the noise level), nothing in the
// picture moved between them, so no overlay of its own motion lies over it: there only the
// standing bounds it, and not even that the two weaves of the repeated field, which show the
// same two fields, or the next frame's own weave in a picture textured everywhere (a fine
// pattern scrolling a line a frame weaves whole across frames and combed in its own).
inline constexpr double kFilmBandTexture = 10.0;
inline constexpr double kFilmBandStanding = 12.0;

// Texture at the finest scale everywhere (fractal detail, one-pixel cells) combs as much in a
// whole picture as in a weave across frames, block by block, and no comb excess tells them apart.
// What does is the coherent comb: the texture cancels in its block sums, so that a whole picture
// keeps only that, while a weave across moving frames adds the shift between them. A picture
// whose coherent comb is less than 1 / kCoherentWhole of that of the pairings beside it is whole:
// textured, against both pairings; where film's cadence shows through real repeats, against
// the weaves across frames the cadence puts beside it.
inline constexpr double kCoherentWhole = 3.0;

// Combing alike in every pairing, too sparse for `absolute` (60i moving slowly over sharp
// detail, dim credits scrolling): an entry is combed when every entry within kAlikeReach of it
// has a mean block excess above kAlikeFloor and within kAlikeShare times each other's, few
// combed blocks, and every field there changed. (Moving vertically, 60i combs its two pairings
// unlike: their fields lie the motion plus one line apart in one, less one line in the other.)
inline constexpr size_t kAlikeReach = 4;
inline constexpr double kAlikeFloor = 8.0;
inline constexpr double kAlikeShare = 1.5;

// A frame's own weave textured everywhere between clearly combed weaves across frames that comb
// in fewer than one in kScrollSparse of as many blocks, in a run of kScrollRun or more two apart: a
// fine texture scrolling a line a frame (see decideMarks).
inline constexpr int kScrollSparse = 8;
inline constexpr int kScrollRun = 6;

// 30p whose every field changed: over a stretch of kVideoSpan entries with no repeated field and
// no film cadence, the entries of one parity are all combed when none of the other parity is
// clearly combed (only faint marks) and either at least one in kVideoCombed of them is (and
// twice as many as of the other parity), or, under noise over every picture, three quarters of
// them stand above both entries beside them (mean block excess or coherent comb) while at most
// a third as many of the others do; or where no entry of either parity is marked at all (the
// weaves across frames, odd entries, are then the combed ones).
inline constexpr size_t kVideoSpan = 32;
inline constexpr int kVideoCombed = 4;
// Not where two fields five apart each change less than kVideoDip times the lesser of the fields
// beside them (film's repeated fields, under noise or coding noise).
inline constexpr double kVideoDip = 0.9;
// Nor where a field changed by less than 1 / kVideoHeld of what three fields within
// kVideoHeldReach of it did (a picture held on twos or threes, changed by coding noise only).
inline constexpr double kVideoHeld = 5.0;
inline constexpr size_t kVideoHeldReach = 5;
// Nor, where the coherent comb rises above both weaves beside it at all but one in
// kVideoAlternate weaves across frames (whose weave the other way round holds less than
// kSixtyRatio times their coherent comb) and at no more than one in kVideoAlternate of the
// frames' own weaves, is a mark of a frame's own weave that is not dense.
inline constexpr int kVideoAlternate = 8;
// A mark standing above the pairings beside it by less than this many times what it must is
// faint: where the other parity's weaves are combed, it is noise over a whole picture.
inline constexpr double kVideoFaint = 2.0;

// Film in texture everywhere: a faint mark (below kVideoFaint) in a textured picture is texture
// where the marks standing at least kTextureClear times what they must within kTextureReach
// entries (kTextureMarks or more) lie at one or two places of five, two apart, and it does not.
inline constexpr double kTextureClear = 10.0;
inline constexpr size_t kTextureReach = 12;
inline constexpr int kTextureMarks = 3;

// 60i under grain: the weave of two frames the other way round (three fields apart) holding
// more than kSixtyRatio times the coherent comb of each of the five weaves about it (two
// entries either side), in kSixtyRun odd entries in a row. In 30p the two weaves across frames
// span the same motion (the ratio lies about 1, at most 1.6 in a single entry of the pictures
// tried); in 60i under grain it lay from 1.6 to 8, lower where an MPEG-2 encode smooths each
// frame's own weave.
inline constexpr double kSixtyRatio = 1.6;
inline constexpr int kSixtyRun = 4;
// Not where the weave across frames holds a mean block excess of more than kSixtyAlike times
// that of the larger of the frames' own weaves beside it, plus 1 (30p whose motion shows).
inline constexpr double kSixtyAlike = 3.0;

struct Marks {
    bool combed = false;  // first mark
    bool wide = false;    // second mark: combing over a large part of the picture
    bool fresh = true;    // third mark: a new picture against DoubleWeave frame i - 2
};

// The marks of every entry. The last entry (no successor field) is clean.
std::vector<Marks> decideMarks(const std::vector<EntryMeasure>& entries, const Thresholds& t);

// The log text of a clip of `frames` frames (entries: 2 x frames marks). Fast logs carry one
// entry per block of 3 (kFast) or 7 (kFastV2) frames, "1" when every frame of the block is
// combed as a picture of its own (entry 2n).
std::string formatLog(const std::vector<Marks>& entries, int64_t frames, LogMode mode);

}  // namespace qexscan
