#include "scan/marks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace qexscan {

std::vector<Marks> decideMarks(const std::vector<EntryMeasure>& entries, const Thresholds& t) {
    const size_t n = entries.size();
    std::vector<Marks> marks(n);
    // Field f (f >= 2) shows another moment than field f - 2 by the coherent comb alone: its
    // weave with the field before it (entry f - 1) and the weave of that field with field f - 2
    // (entry f - 2) are one picture when the two fields are alike, yet one's coherent comb is
    // many times the other's. A smooth picture moving slowly or fading changes each field by
    // less than the noise level, and its motion still adds up over whole blocks.
    auto coherentlyNew = [&](size_t f) {
        if (f < 2 || f >= n) return false;
        const double a = entries[f - 2].coherent, b = entries[f - 1].coherent;
        return a >= 0 && b >= 0 && std::max(a, b) > kCoherentFloor &&
               std::max(a, b) > kCoherentFilm * std::min(a, b);
    };
    // Picture i differs from picture i - 2: one of its fields changed beyond the noise level in
    // some block, or by the coherent comb.
    auto moved = [&](size_t i) {
        return i >= n || entries[i].change < 0 || entries[i].change > t.noise || coherentlyNew(i) ||
               coherentlyNew(i + 1);
    };
    // The entries k whose first field comes again two fields later (entries k and k + 1 are
    // the two weaves of a repeated field), ascending: field k + 2 changed by no more than the
    // noise level, or by less than half of what the fields beside it changed (coding noise), or
    // dipped below both of them in film's cadence (see cadenceDip).
    std::vector<size_t> repeats;
    std::vector<char> repeat(n, 0);  // by field
    // Fields that changed less than both fields beside them.
    std::vector<char> dip(n, 0);
    for (size_t f = 1; f + 1 < n; ++f) {
        const double c = entries[f].fieldChange;
        // (field 2 has no field before it that changed against anything: no bar there)
        const double before = entries[f - 1].fieldChange;
        dip[f] = c >= 0 && (c < before || (before < 0 && f == 2)) && c < entries[f + 1].fieldChange;
    }
    // Whether fields f, taken together, changed clearly less than the fields beside them: the
    // sum of their changes below kVideoDip times that of the means of the fields beside each
    // (each mean at most twice the lesser: a cut beside a field says nothing of it). Film's
    // repeats lie there; fields of 30p that dip below those beside them by chance, a little each,
    // do not.
    auto clearlyBelow = [&](auto&& fields) {
        double own = 0, beside = 0;
        for (size_t f : fields) {
            const double before = entries[f - 1].fieldChange, after = entries[f + 1].fieldChange;
            own += entries[f].fieldChange;
            beside +=
                before < 0 ? after : std::min((before + after) / 2, 2 * std::min(before, after));
        }
        return own < kVideoDip * beside;
    };
    // Fields that dipped below both beside them by a clear margin (kVideoDip).
    std::vector<char> deepDip(n, 0);
    for (size_t f = 1; f + 1 < n; ++f)
        deepDip[f] =
            dip[f] && entries[f].fieldChange < kVideoDip * std::min(entries[f - 1].fieldChange,
                                                                    entries[f + 1].fieldChange);
    // A field that dips clearly, in a run of three such fields five apart (film's cadence
    // beyond chance): film's repeated fields where a lossy encode's noise over fine detail
    // changes them by nearly as much as a new field.
    auto dipsClearly = [&](size_t f) { return f >= 2 && f < n && deepDip[f]; };
    auto cadenceDip = [&](size_t f) {
        if (!dipsClearly(f)) return false;
        const bool before = f >= 5 && dipsClearly(f - 5), after = dipsClearly(f + 5);
        return (before && after) || (before && f >= 10 && dipsClearly(f - 10)) ||
               (after && dipsClearly(f + 10));
    };
    for (size_t f = 2; f + 1 < n; ++f) {
        const double c = entries[f].fieldChange;
        const double beside = std::min(entries[f - 1].fieldChange, entries[f + 1].fieldChange);
        if (c >= 0 && (c <= t.noise || (beside >= 0 && 2 * c < beside) || cadenceDip(f))) {
            repeats.push_back(f - 2);
            repeat[f] = 1;
        }
    }
    // The larger coherent comb of the entries beside entry i (0 < i < n - 1).
    auto coherentBeside = [&](size_t i) {
        return std::max(entries[i - 1].coherent, entries[i + 1].coherent);
    };
    // Texture everywhere: more than half of the picture's blocks hold more than `block` combed
    // pixels (not so a caption band or a moving object).
    auto textured = [&](const EntryMeasure& x) { return 2 * x.comb.combed > x.comb.blocks; };
    // Sparse texture: hardly a block holds more than `block` combed pixels, so what a picture
    // stands above another by lies in blocks that texture alone fills this far (fine grain,
    // scattered specks), not in a band of dense combing (a caption over film).
    auto sparse = [&](const EntryMeasure& x) {
        return double(x.comb.combed) < kSparseShare * double(x.comb.blocks);
    };
    // The comb excess does not set entry i (0 < i < n - 1) apart from the pairings beside it:
    // its mean block excess is at most 1 / kWholeShare times the larger of theirs.
    auto blockAlike = [&](size_t i) {
        return kWholeShare * entries[i].detail <=
               std::max(entries[i - 1].detail, entries[i + 1].detail);
    };
    std::vector<char> nearPulldown(n, 0);
    // How far each entry stands above the pairings beside it (the further of the two), in times
    // what it must.
    std::vector<double> standing(n, 0);
    std::vector<int> mostAbove(n, 0);     // the further of the two, in comb excess
    std::vector<char> trough(n, 0);       // textured and whole by its coherent comb
    std::vector<char> standsAbove(n, 0);  // combed by standing above its pairings alone
    for (size_t i = 0; i < n; ++i) {
        const EntryMeasure& e = entries[i];
        // The pulldown about it (a repeated field within 5 entries before it and within 5
        // after it): whole pictures are about, and where every pairing of texture stands above
        // every other in some block, that is the texture, not motion.
        const auto r = std::lower_bound(repeats.begin(), repeats.end(), i >= 5 ? i - 5 : 0);
        const auto after = std::lower_bound(r, repeats.end(), i);
        const bool pulldown =
            r != repeats.end() && *r <= i && after != repeats.end() && *after <= i + 5;
        Marks& m = marks[i];
        nearPulldown[i] = pulldown;
        // How far the picture stands above the less combed of the other pairings of its
        // fields, against what the whole pictures beside it show of their own detail.
        // Above both by the threshold (raised further by the whole pictures' mean excess, as a
        // noisy encode of grain makes every pairing differ), or far above one of them (video
        // whose fields' pairings differ from each other).
        // A picture does not stand out when a pairing beside it shows far more combing as a
        // whole than it does: that pairing is the combed one, and what the picture holds beyond
        // it in a few blocks is coding noise around edges (a lossy interlaced encode codes the
        // fields of different frames apart, and its noise differs between them).
        // Not so where a block holds more than `block` combed pixels in a picture not textured
        // everywhere: combing dense enough there (an interlaced band) is no noise.
        bool cleaner = false;
        if (e.comb.busiest <= t.block || textured(e))
            for (size_t j : {i - 1, i + 1})
                cleaner = cleaner || (j < n && kWholeShare * entries[j].detail > e.detail);
        // In texture everywhere (the picture and both pairings beside it), where the comb
        // excess does not set the picture apart from its pairings, whatever its blocks
        // show: a coherent comb far below that of both pairings (the texture cancels; the
        // motion across frames does not). Flat drawings with long horizontal edges are not
        // such texture: their whole pictures hold a coherent comb of their own.
        trough[i] = i > 0 && i + 1 < n && textured(e) && textured(entries[i - 1]) &&
                    textured(entries[i + 1]) && blockAlike(i) && e.coherent >= 0 &&
                    kCoherentWhole * e.coherent <
                        std::min(entries[i - 1].coherent, entries[i + 1].coherent);
        cleaner = cleaner || trough[i];
        // How far it stands above each pairing beside it, less how far that pairing stands
        // above it elsewhere (up to kTextureWeight times the lesser mean block excess of the
        // two): in texture at the finest scale (over most blocks, or sparse, in hardly a block
        // dense) every pairing of the same fields exceeds every other in some block, whole or
        // combed, and only a clear margin counts; where the pictures hold little texture (a
        // small object moving in 60i, combed in its own blocks in each picture) nearly nothing
        // is taken off.
        auto above = [&](int over, size_t j, int back) {
            if (over < 0) return -1;
            if (!pulldown || !(sparse(e) || (textured(e) && textured(entries[j])))) return over;
            const double bound = kTextureWeight * std::min(e.detail, entries[j].detail);
            return std::max(0, over - int(std::min(double(std::max(back, 0)), bound)));
        };
        const int abovePrev = i > 0 ? above(e.overPrev, i - 1, entries[i - 1].overNext) : -1;
        const int aboveNext = i + 1 < n ? above(e.overNext, i + 1, entries[i + 1].overPrev) : -1;
        const int most = std::max(abovePrev, aboveNext);
        const int least = abovePrev >= 0 && aboveNext >= 0 ? std::min(abovePrev, aboveNext) : most;
        double detail = -1;
        for (size_t j : {i - 1, i + 1})
            if (j < n && (detail < 0 || entries[j].detail < detail)) detail = entries[j].detail;
        const double needed = t.excess + kDetailWeight * std::sqrt(std::max(0.0, detail));
        standing[i] = most / needed;
        mostAbove[i] = most;
        const bool standsOut = !cleaner && (least > needed + kNoiseWeight * std::max(0.0, detail) ||
                                            most > kOneSided * needed);
        // Combing in every pairing alike (60i, an interlaced overlay) counts when it is dense
        // and the picture moves.
        // (Not so a textured picture whole by its coherent comb: texture at the finest scale
        // fills a block as densely.)
        const bool dense = !trough[i] && e.comb.busiest > t.absolute && (moved(i) || moved(i + 1));
        // Faint combing under grain beside the pulldown, where film's combed pictures lie
        // between whole ones: far above both pairings beside it.
        const bool faint = pulldown && i > 0 && i + 1 < n && (moved(i) || moved(i + 1)) &&
                           e.coherent > kCoherentFloor &&
                           e.coherent > kCoherentFilm * coherentBeside(i);
        m.combed = standsOut || dense || faint;
        standsAbove[i] = standsOut && !dense && !faint;
        m.fresh = i < 2 || moved(i);
    }
    // A lossy encode of a frame whose fields show two pictures (film's weave of a new drawing
    // with the one before) codes each of its fields with noise from the other, along every edge
    // that moved. Woven with the whole frame beside it, such a field stands a few times above
    // what it must in the blocks of those edges, which in sharp drawings are dense enough to
    // pass for an interlaced band (so the picture is not taken as cleaner than the combed frame
    // beside it). What tells the noise from combing is the coherent comb: the noise cancels in
    // its block sums, motion does not. A picture combed only by standing above its pairings,
    // by no more than kOneSided times what it must (noise lifts it a few times, motion of its
    // own far more), with one pairing beside it far more combed (a mean block excess above
    // 1 / kWholeShare times its own and a coherent comb above kCoherentWhole times its own) and
    // the other not combed, is whole when its coherent comb is at most kCoherentPeak times that
    // other pairing's: nothing of the motion the combed frame shows has come into it.
    {
        std::vector<char> combed(n);
        for (size_t i = 0; i < n; ++i) combed[i] = marks[i].combed;
        for (size_t i = 1; i + 1 < n; ++i) {
            const EntryMeasure& e = entries[i];
            if (!standsAbove[i] || standing[i] > kOneSided || e.coherent < 0) continue;
            auto farMore = [&](const EntryMeasure& x) {
                return kWholeShare * x.detail > e.detail &&
                       x.coherent > kCoherentWhole * e.coherent;
            };
            const bool before = farMore(entries[i - 1]), after = farMore(entries[i + 1]);
            if (before == after) continue;
            const size_t other = before ? i + 1 : i - 1;
            if (combed[other] || entries[other].coherent < 0) continue;
            if (e.coherent <= kCoherentPeak * entries[other].coherent) marks[i].combed = false;
        }
    }
    // Faint combing under grain away from the pulldown: a frame of 30p that moved a little
    // combs in every pairing across frames and the pairings of its own fields do not, so every
    // other entry stands above both entries beside it. Telecined film combs at two entries of
    // one parity and two of the other in five frames, a repeated field weaves alike both ways,
    // and 60i combs alike everywhere: none of them makes a long run of such entries of one
    // parity. A lossy encode codes each frame's two fields together, so that the pairings
    // across frames differ more by its noise alone: not where the pulldown is about, nor where
    // film's cadence shows though the encode hides its repeated fields from the tests above
    // (the fields of one phase of five change less than both fields beside them in nearly every
    // cycle about the entry).
    // The phases (field number mod 5) in which film's repeated fields may lie about entry i:
    // for each, whether its fields dipped in three quarters of the cycles or more, and how many.
    struct Cadence {
        bool shows = false;  // some phase did
        int phase = -1;      // the one that dipped most often, where no other did as often
    };
    auto cadenceAt = [&](size_t i) {
        // As many entries at the clip's ends, where the stretch about the entry is shifted in.
        const size_t span = 2 * kCadenceReach + 1;
        const size_t from =
            n <= span ? 0 : std::min(i >= kCadenceReach ? i - kCadenceReach : 0, n - span);
        const size_t to = std::min(n, from + span);
        Cadence c;
        int best = -1, second = -1;
        for (size_t p = 0; p < 5; ++p) {
            int fields = 0, dips = 0;
            for (size_t f = from + (p + 5 - from % 5) % 5; f < to; f += 5) {
                if (f == 0 || f + 1 >= n) continue;
                ++fields;
                dips += dip[f];
            }
            if (fields < kCadenceFields || 4 * dips < 3 * fields) continue;
            c.shows = true;
            if (dips > best) {
                second = best;
                best = dips;
                c.phase = int(p);
            } else {
                second = std::max(second, dips);
            }
        }
        if (second == best) c.phase = -1;
        return c;
    };
    std::vector<Cadence> cadence(n);
    for (size_t i = 0; i < n; ++i) cadence[i] = cadenceAt(i);
    // Telecined film, its repeated fields r apart by five, weaves a new frame's field with the
    // frame before at entries r and r + 2, and whole pictures at the other three: the two
    // weaves of the repeated field with the field between (entries r - 2 and r - 1) and the
    // weave of the next frame's own fields (entry r + 1, between two combed entries). Where the
    // cadence shows about an entry and the repeated fields of its own cycle and of the cycles
    // before and after it dipped too (in the clip's first and last cycles, the two cycles on
    // the one side; chance dips of 30p beside film do not), the pattern
    // decides in a slow, low-contrast move under grain or coding noise, where the comb measures
    // cannot: such a move combs too faintly to stand out, and the fields of a whole weave come
    // from frames coded apart, whose noise makes it stand above the pairings beside it in a few
    // blocks. Marking a whole one would lose the film frame it alone shows; leaving a combed
    // one clean hides which frames are whole. So an entry that weaves a new frame's field (one
    // that changed beyond the noise, or, where the repeats came again unchanged and dipped
    // clearly, more than twice as much as they did: light grain over a still picture) with the
    // frame before is combed (where any pixel combs at all: a weave with none is whole whatever
    // the cadence, unless the cadence's repeats came again unchanged and dipped clearly: a
    // picture scrolling a line a frame weaves line for line across frames, and light grain
    // combs no pixel), and a whole one is not, unless its combing is dense or far above a
    // pairing beside it (an interlaced overlay, an edit between its fields). Only where the
    // cadence is beyond chance: its repeats dipped clearly, each or together (30p's fields dip
    // below those beside them by chance, a little each).
    std::vector<signed char> film(n, -1);  // 1: combed, 0: whole, -1: as measured
    // How far a whole weave of the cadence whose repeated fields lie at phase r may stand above
    // a pairing beside it: kFilmNoise, or a share of the least its combed weaves about it do.
    auto filmNoise = [&](size_t i, size_t r) {
        double least = -1, wholeMost = 0;
        int count = 0;
        for (size_t j = i >= kFilmReach ? i - kFilmReach : 0; j <= i + kFilmReach && j + 1 < n;
             ++j) {
            const size_t offset = (j + 10 - r) % 5;
            if (offset != 0 && offset != 2) {
                if (j != i) wholeMost = std::max(wholeMost, standing[j]);
                continue;
            }
            ++count;
            least = least < 0 ? standing[j] : std::min(least, standing[j]);
        }
        const double bound = least / kFilmClear;
        // Another whole weave about it standing above that: an overlay of its own motion (a
        // 60i caption band), not noise.
        return count >= kFilmCombed && wholeMost <= bound ? std::max(kFilmNoise, bound)
                                                          : kFilmNoise;
    };
    // Texture at the finest scale combs a whole picture densely and above the weaves across
    // frames in many blocks; where the cadence is beyond chance and the cycle's field a real
    // repeat, a coherent comb of weave j far below that of the weaves across frames beside it
    // (at offset 3 the one before, at 4 the one after, at 1 both) says whole, its mean block
    // excess alike theirs. (Those weaves textured: flat drawings' whole pictures hold a
    // coherent comb of their own, above that of a weave across frames.)
    auto coherentlyWhole = [&](size_t j, size_t offset) {
        if (j < 1 || j + 1 >= n || !blockAlike(j) || entries[j].coherent < 0) return false;
        const double c = kCoherentWhole * entries[j].coherent;
        auto below = [&](const EntryMeasure& x) { return textured(x) && c < x.coherent; };
        return (offset == 4 || below(entries[j - 1])) && (offset == 3 || below(entries[j + 1]));
    };
    // Whether fields f came again unchanged: no block of them changed by more than the noise
    // level.
    auto exactRepeats = [&](std::array<size_t, 3> fields) {
        return std::all_of(fields.begin(), fields.end(), [&](size_t f) {
            return entries[f].fieldChange >= 0 && entries[f].fieldChange <= t.noise;
        });
    };
    // Whether a weave film's cadence makes whole (entry i, `offset` into its cycle, whose
    // repeated fields lie at phase r) is clean: not dense (but see below), and what it stands
    // above its pairings by is the noise of fields coded apart, texture at the finest scale, or a
    // band of such texture (see kFilmBandTexture). Where the repeated fields of its cycle and the
    // cycles before and after it (`repeats`) came again unchanged, only its standing bounds it;
    // the two weaves of the repeated field show the same two fields and the next frame's own
    // weave in a picture textured everywhere its texture, however far they stand.
    auto wholeInCadence = [&](size_t i, size_t offset, size_t r, std::array<size_t, 3> repeats) {
        const bool unchanged = exactRepeats(repeats);
        // (dense combing is an overlay's or an edit's, unless the picture is textured everywhere
        // and nothing moved over the repeats: one-pixel cells fill a block as densely)
        if (entries[i].comb.busiest > t.absolute && !(unchanged && textured(entries[i])))
            return false;
        if (unchanged && (offset != 1 || textured(entries[i]))) return true;
        const double least =
            std::min({entries[i > 0 ? i - 1 : i].detail, entries[i].detail, entries[i + 1].detail});
        return standing[i] <= filmNoise(i, r) || mostAbove[i] <= kFilmTexture * least ||
               (standing[i] <= kFilmBandStanding &&
                (unchanged || mostAbove[i] <= kFilmBandTexture * least));
    };
    for (size_t i = 0; i + 1 < n; ++i) {
        // (at a stretch's ends, where the fields about the entry reach into 30p or 60i, the
        // phase of the entries within a cycle before or after it)
        int r = cadence[i].phase;
        const bool inherited = r < 0;
        for (size_t k = 1; r < 0 && k <= 5; ++k)
            r = k <= i && cadence[i - k].phase >= 0 ? cadence[i - k].phase
                : i + k < n                         ? cadence[i + k].phase
                                                    : -1;
        if (r < 0) continue;
        const size_t offset = (i + 10 - size_t(r)) % 5;
        // The repeated field of the entry's own cycle (a combed weave's new field is i + 1);
        // in a clip that starts within a cycle, before the first field: then the next cycle's
        // (the clip's first entries show film as whole pictures as the rest do).
        const ptrdiff_t own = ptrdiff_t(i) + (offset == 0   ? 0
                                              : offset == 2 ? -2
                                              : offset == 1 ? -1
                                              : offset == 3 ? 2
                                                            : 1);
        const size_t repeated = size_t(own < 0 ? own + 5 : own);
        // The repeated fields of the cycles before and after it; at the clip's first and last
        // cycles, where one side has none, the two cycles on the other side.
        size_t a = repeated - 5, b = repeated + 5;
        if (repeated >= n) continue;
        if (repeated < 5) {
            a = repeated + 5;
            b = repeated + 10;
        } else if (repeated + 5 >= n) {
            if (repeated < 10) continue;
            b = repeated - 10;
        }
        if (b >= n) continue;
        // So too in a stretch's first or last cycle (film beside 30p or 60i).
        bool edge = inherited;
        if (b == repeated + 5 && !dip[b] && repeated >= 10 && dip[a] && dip[repeated - 10]) {
            b = repeated - 10;
            edge = true;
        } else if (a == repeated - 5 && !dip[a] && repeated + 10 < n && dip[b] &&
                   dip[repeated + 10]) {
            a = repeated + 10;
            edge = true;
        }
        if (!dip[a] || !dip[repeated] || !dip[b]) continue;
        const bool exact = exactRepeats({a, repeated, b});
        // (at a stretch's end, the three repeats exact: the first cycles of 30p beside film
        // dip by chance, and a slow move may change a field by half what the others change)
        if (edge && !exact) continue;
        // The cadence beyond chance: the three fields dipped clearly below both beside them.
        const bool deep = deepDip[a] && deepDip[repeated] && deepDip[b];
        // Or together (a lossy encode's repeats, the field after each changing little as well).
        const bool clear = deep || clearlyBelow(std::array<size_t, 3>{a, repeated, b});
        // The new field of a weave across frames changed beyond the noise level, or, where the
        // repeats came again unchanged and dipped clearly, more than twice as much as any of them
        // (light grain over a still picture, each frame's grain its own).
        const double repeatsMost = std::max(
            {entries[a].fieldChange, entries[repeated].fieldChange, entries[b].fieldChange});
        const bool newField = entries[i + 1].fieldChange > t.noise ||
                              (exact && deep && entries[i + 1].fieldChange > 2 * repeatsMost);
        if (offset == 0 || offset == 2) {
            if ((!textured(entries[i]) || deep) && clear && newField &&
                (entries[i].comb.busiest > 0 || (deep && exact)))
                film[i] = 1;
            // A smooth picture moving slowly combs no pixel and changes its fields by less
            // than the noise, yet its weaves across film's frames comb coherently far above the
            // whole weaves of their cycle (a lossy encode's noise lifts some of those as high):
            // where the cadence is beyond chance and its fields real repeats, such a weave is
            // combed.
            else if (deep && repeat[repeated] && entries[i].coherent > kCoherentFloor) {
                // (the cycle's first weave across frames; before the clip's first entry where
                // the clip starts within the cycle)
                const ptrdiff_t first = ptrdiff_t(i) - ptrdiff_t(offset);
                double whole = -1;
                for (ptrdiff_t j : {first + 1, first + 3, first + 4})
                    if (j >= 0 && size_t(j) < n)
                        whole = std::max(whole, entries[size_t(j)].coherent);
                if (whole >= 0 && entries[i].coherent > kCoherentFilm * whole) film[i] = 1;
            }
        } else if (wholeInCadence(i, offset, size_t(r), {a, repeated, b})) {
            film[i] = 0;
        } else if (i > 0 && deep && repeat[repeated] && blockAlike(i)) {
            // A lossy interlaced encode codes each frame's two fields together and blends them
            // where they differ, so that a whole weave whose fields lie in two frames (odd
            // entries) that film's motion combs takes a share of their difference: its coherent
            // comb rises to theirs and above, where a frame's own weave keeps what it had. The
            // same place of the cycles before and after it (five entries apart) lies in one
            // frame: where both are whole by their coherent comb, so is this one.
            if (coherentlyWhole(i, offset) ||
                (i % 2 == 1 && i >= 5 && repeated >= 5 && repeated + 5 < n &&
                 repeat[repeated - 5] && repeat[repeated + 5] && coherentlyWhole(i - 5, offset) &&
                 coherentlyWhole(i + 5, offset)))
                film[i] = 0;
        }
    }
    // A weave across frames lies between whole ones: not so one between two entries that stay
    // combed (30p beside film, whose fields dipped by chance).
    auto staysCombed = [&](size_t j) { return marks[j].combed && film[j] != 0; };
    for (size_t i = 1; i + 1 < n; ++i)
        if (film[i] == 1 && staysCombed(i - 1) && staysCombed(i + 1)) film[i] = -1;
    for (size_t i = 0; i < n; ++i)
        if (film[i] == 0)
            marks[i].combed = false;
        else if (film[i] == 1)
            marks[i].combed = true;
    // A weave across frames (odd entry) whose fields each changed beyond the noise level, yet
    // not a pixel of it combs: its fields are one picture a line apart, row for row (a picture
    // scrolling a line a frame). Beside it, a frame's own weave rises by its own vertical
    // detail, not by motion. (Its coherent comb need not vanish: lettering that crosses the
    // edges of the blocks leaves their sums unlike.)
    auto lineApart = [&](size_t j) {
        return j % 2 == 1 && j + 1 < n && entries[j].comb.busiest == 0 &&
               entries[j].fieldChange > t.noise && entries[j + 1].fieldChange > t.noise;
    };
    std::vector<char> peak(n, 0);
    for (size_t i = 1; i + 1 < n; ++i)
        peak[i] = !marks[i].combed && !nearPulldown[i] && (moved(i) || moved(i + 1)) &&
                  entries[i].coherent > kCoherentFloor &&
                  entries[i].coherent > kCoherentPeak * coherentBeside(i) && !cadence[i].shows &&
                  !lineApart(i - 1) && !lineApart(i + 1);
    // Runs of entries two apart, each a peak or combed already (a cut, clearer combing: they
    // neither count in a run nor end it); the peaks of a run of enough of them are combed.
    std::vector<char> faint(n, 0);
    for (size_t start = 1; start < 3; ++start) {
        size_t first = start;
        int count = 0;
        for (size_t i = start;; i += 2) {
            const bool on = i + 1 < n && (peak[i] || marks[i].combed);
            if (on) {
                count += peak[i];
                continue;
            }
            if (count >= kCoherentRun)
                for (size_t j = first; j < i; j += 2) faint[j] = peak[j];
            if (i + 1 >= n) break;
            first = i + 2;
            count = 0;
        }
    }
    // 60i moving slowly over sharp detail combs sparsely along edges, and alike in every
    // pairing: no pairing stands above another, nor is any block dense. What tells it from 30p
    // and film is that no picture about it is whole: every entry within kAlikeReach shows the
    // same combing (mean block excess within kAlikeShare of each other, above kAlikeFloor),
    // and every field in that stretch changed (no repeated field, no held picture, no film
    // cadence about it), and the combing is sparse (not noise or texture over most blocks,
    // which a frame of 30p shows alike in its own fields). A frame of 30p or film is whole, and
    // shows far less than the weaves across frames beside it.
    std::vector<char> alike(n, 0);
    for (size_t i = kAlikeReach; i + kAlikeReach + 1 < n; ++i) {
        if (marks[i].combed || faint[i] || entries[i].detail < kAlikeFloor) continue;
        if (!(moved(i) && moved(i + 1))) continue;
        double low = entries[i].detail, high = low;
        bool changed = true;
        for (size_t j = i - kAlikeReach; j <= i + kAlikeReach; ++j) {
            low = std::min(low, entries[j].detail);
            high = std::max(high, entries[j].detail);
            changed =
                changed && entries[j].fieldChange > t.noise && !repeat[j] && !textured(entries[j]);
        }
        alike[i] = changed && kAlikeShare * low >= high && !cadence[i].shows;
    }
    for (size_t i = 0; i < n; ++i) marks[i].combed = marks[i].combed || faint[i] || alike[i];
    // A fine texture scrolling a line a frame (one-pixel cells, a pattern whose every row is its
    // own) combs a frame's own weave in nearly every block by its rows alone, while the weaves
    // across frames beside it, their fields one picture a line apart, comb only where something
    // else moved (lettering over it). A weave textured everywhere (its blocks dense or not: the
    // cells fill a block as densely as any overlay), between two clearly combed weaves whose
    // fields changed beyond the noise level and that comb in fewer than one in kScrollSparse of
    // as many blocks, is whole, in a run of at least kScrollRun such weaves two apart: 30p's
    // frames, every one. (A weave across frames of film or 30p panning over detail combs
    // everywhere too, but the weaves beside it are whole, or, under a 60i caption band, combed in
    // the band alone only about film's two combed weaves in five.) At the run's ends (a cut), one
    // such weave beside it will do.
    std::vector<char> scrolled(n, 0);
    std::vector<std::array<char, 2>> apart(n, {0, 0});  // the weave before it, after it
    for (size_t i = 0; i + 1 < n; ++i) {
        const EntryMeasure& e = entries[i];
        if (!marks[i].combed || !textured(e)) continue;
        for (size_t side = i == 0; side < 2; ++side) {
            const size_t j = side ? i + 1 : i - 1;
            if (j + 1 >= n) continue;
            apart[i][side] = marks[j].combed &&
                             (standing[j] >= kVideoFaint || entries[j].comb.busiest > t.absolute) &&
                             kScrollSparse * entries[j].comb.combed < e.comb.combed &&
                             entries[j].fieldChange > t.noise &&
                             entries[j + 1].fieldChange > t.noise;
        }
    }
    for (size_t start = 0; start < 2; ++start)
        for (size_t i = start; i + 1 < n;) {
            size_t end = i;
            while (end + 1 < n && apart[end][0] && apart[end][1]) end += 2;
            if ((end - i) / 2 >= size_t(kScrollRun)) {
                for (size_t j = i; j < end; j += 2) scrolled[j] = 1;
                if (i >= 2 && apart[i - 2][1]) scrolled[i - 2] = 1;
                if (end + 1 < n && apart[end][0]) scrolled[end] = 1;
            }
            i = end == i ? i + 2 : end;
        }
    for (size_t i = 0; i < n; ++i)
        if (scrolled[i]) marks[i].combed = false;
    // 30p whose every field changed (grain or noise over small or slow motion): no field is
    // repeated and film's cadence does not show, so no frame is film's and none may be dropped
    // as a repeat. Its whole pictures lie at one parity of entries and the weaves across frames
    // at the other; the motion, faint under the noise, shows there alone, or not at all. Over a
    // stretch of kVideoSpan entries, the weaves of one parity are all combed when those of the
    // other parity are never clearly combed and either some of the first are (at least one in
    // kVideoCombed: motion between some frames only, a picture held on twos under grain), or
    // nearly all of them stand above both entries beside them, in mean block excess or in
    // coherent comb, while few of the others do (a lossy encode of such frames, or motion too
    // faint for any single entry).
    // Each entry of the combed parity is combed, and a faint mark at the other (an own weave
    // standing a little above its pairings by the noise) cleared; an entry that windows of
    // both parities claim is left as measured.
    std::vector<char> across(n, 0), whole(n, 0);
    // A field that changed by the coding noise of a held picture only, far less than three of
    // the fields within kVideoHeldReach of it (a picture held on twos or threes leaves four or
    // more such fields about each of its repeats; a cut, the two fields of one frame).
    std::vector<char> held(n, 0);
    for (size_t f = 2; f < n; ++f) {
        int more = 0;
        for (size_t g = f >= kVideoHeldReach ? f - kVideoHeldReach : 0;
             g < std::min(n, f + kVideoHeldReach + 1); ++g)
            more += kVideoHeld * entries[f].fieldChange < entries[g].fieldChange;
        held[f] = more >= 3;
    }
    auto peakAt = [&](size_t j) {
        const EntryMeasure &a = entries[j - 1], &e = entries[j], &b = entries[j + 1];
        return (e.detail > a.detail && e.detail > b.detail) ||
               (e.coherent >= 0 && e.coherent > a.coherent && e.coherent > b.coherent);
    };
    auto faintMark = [&](size_t j) {
        return marks[j].combed && standing[j] < kVideoFaint &&
               entries[j].comb.busiest <= t.absolute;
    };
    auto fieldChanged = [&](size_t f) {
        return entries[f].fieldChange > t.noise && !repeat[f] && !held[f] &&
               !(f >= 5 && deepDip[f] && deepDip[f - 5]);
    };
    // Marks entry j as a weave of 30p whose combed parity is p.
    auto claim = [&](size_t j, size_t p) {
        if (j % 2 == p)
            across[j] = 1;
        else if (marks[j].combed)
            whole[j] = 1;
    };
    // A weave across frames whose weave the other way round spans no more motion than it
    // does (each frame's fields show one moment).
    auto oneMoment = [&](const EntryMeasure& e) {
        return e.otherCoherent >= 0 && e.otherCoherent < kSixtyRatio * e.coherent;
    };
    // A frame's own weave whose coherent comb falls below both such weaves beside it, short
    // of dense combing, its combed blocks in part of the picture (not textured everywhere, as
    // 60i of a cellular pattern, whose weaves the other way round may hold less), standing no
    // more than kOneSided times what it must above its pairings or, standing further, with a
    // coherent comb below 1 / kCoherentWhole of theirs (fine detail lifts it a few times, and
    // the sharpest lines further where the motion across frames combs many times more; a 60i
    // crawl over a still picture lifts it tens of times, and an encode that codes each frame's
    // fields together may lower its coherent comb a little below theirs).
    auto textureBeside = [&](size_t j) {
        if (j + 1 >= n || entries[j].comb.busiest > t.absolute || textured(entries[j]) ||
            entries[j].coherent < 0 || !oneMoment(entries[j - 1]) || !oneMoment(entries[j + 1]))
            return false;
        const double beside = std::min(entries[j - 1].coherent, entries[j + 1].coherent);
        return entries[j].coherent < beside &&
               (standing[j] <= kOneSided || kCoherentWhole * entries[j].coherent < beside);
    };
    // A field that changed, by however little, about as much as the fields beside it: not a
    // repeat of film's (which comes again exactly, or under coding noise changes less than half
    // of what the fields beside it do, or dips clearly with the repeats five and ten fields
    // away), nor of a held picture.
    auto changedAlike = [&](size_t f) {
        const double c = entries[f].fieldChange;
        const double beside = std::min(entries[f - 1].fieldChange, entries[f + 1].fieldChange);
        return (f < 2 || c > 0) && !(beside >= 0 && 2 * c < beside) && !cadenceDip(f) && !held[f];
    };
    std::vector<size_t> fields;  // of one phase within a stretch
    for (size_t s = 1; s + kVideoSpan + 1 < n; ++s) {
        bool changed = true;
        for (size_t f = s; f <= s + kVideoSpan && changed; ++f)
            changed = fieldChanged(f) ||
                      (f < s + 5 && !repeat[f] && !held[f] && entries[f].fieldChange > t.noise);
        bool alike = true;
        for (size_t f = s; f <= s + kVideoSpan && alike; ++f) alike = changedAlike(f);
        // (and the fields of no phase of five lie clearly below those beside them together, as
        // film's repeats do even where a lossy encode lifts some of them above their neighbours,
        // nor dip below both fields beside them in every cycle)
        for (size_t p = 0; p < 5 && alike; ++p) {
            fields.clear();
            int dips = 0;
            for (size_t f = s + (p + 5 - s % 5) % 5; f <= s + kVideoSpan; f += 5)
                if (f >= 2) {
                    fields.push_back(f);
                    dips += dip[f];
                }
            alike = int(fields.size()) < kCadenceFields ||
                    (dips < int(fields.size()) && !clearlyBelow(fields));
        }
        if (!changed && !alike) continue;
        int combed[2] = {0, 0}, faintOnes[2] = {0, 0}, peaks[2] = {0, 0}, dense[2] = {0, 0};
        int coherentPeaks[2] = {0, 0};
        bool noisy = true;  // noise or grain combs a quarter of the blocks of every picture
        for (size_t j = s; j < s + kVideoSpan; ++j) {
            combed[j % 2] += marks[j].combed;
            faintOnes[j % 2] += faintMark(j);
            peaks[j % 2] += marks[j].combed || peakAt(j);
            dense[j % 2] += marks[j].combed && entries[j].comb.busiest > t.absolute;
            // (the weaves across frames, odd entries, rising where the weave of the same two
            // frames the other way round spans no more motion than they do: 30p)
            const EntryMeasure& e = entries[j];
            coherentPeaks[j % 2] +=
                e.coherent >= 0 && e.coherent > coherentBeside(j) && (j % 2 == 0 || oneMoment(e));
            noisy = noisy && 4 * entries[j].comb.combed > entries[j].comb.blocks;
        }
        const int half = int(kVideoSpan / 2);
        for (size_t p = 0; p < 2; ++p) {
            const size_t q = 1 - p;
            // The coherent comb rising at (nearly) every weave of one parity and falling at
            // every weave of the other: the motion lies across frames alone, and what the
            // frames' own weaves show beyond it, short of dense combing, is texture at the
            // finest scale over part of the picture (a slow zoom into fractal detail at HD
            // sizes, whose weaves across frames stand barely above its frames' own in block
            // excess). 60i, whose every pairing spans the same motion, alternates little if at
            // all, and its weaves the other way round span three times that motion.
            const bool alternating =
                p == 1 && kVideoAlternate * coherentPeaks[p] >= (kVideoAlternate - 1) * half &&
                kVideoAlternate * coherentPeaks[q] <= half;
            const int clear = alternating ? dense[q] : combed[q] - faintOnes[q];
            const int marked = alternating ? dense[q] : combed[q];
            if (clear > 0) continue;  // clear combing at both parities: not 30p
            const bool some =
                changed && combed[p] * kVideoCombed >= half && 2 * marked <= combed[p];
            const bool peaked = changed && noisy && marked <= 1 && 4 * peaks[p] >= 3 * half &&
                                3 * peaks[q] <= peaks[p];
            // Nothing combed at either parity, nothing of film's cadence about: a still or
            // nearly still picture under noise, every field new. Film repeats a field in every
            // five frames, so these are frames of their own; taken as 30p as coded, none is
            // dropped.
            // So too where every field changed alike, by less than the noise level as well (light
            // grain over a still picture), and no mark is more than faint: what the noise combs
            // at random, and what dips by chance, is no film's.
            const bool still =
                p == 1 && ((changed && combed[0] + combed[1] == 0 &&
                            std::none_of(cadence.begin() + ptrdiff_t(s),
                                         cadence.begin() + ptrdiff_t(s + kVideoSpan),
                                         [](const Cadence& c) { return c.shows; })) ||
                           (alike && combed[0] == faintOnes[0] && combed[1] == faintOnes[1]));
            if (!some && !peaked && !still) continue;
            // (where the parities alternate, a frame's own weave is whole only where it falls
            // itself: not so the first weaves of 60i that follow)
            for (size_t j = s; j < s + kVideoSpan; ++j)
                if (!alternating || j % 2 == p || faintMark(j) || textureBeside(j)) claim(j, p);
            // The stretch goes on before and after the window, up to kVideoSpan entries, while
            // its fields all change and the other parity holds no clear mark (one judged
            // against a pairing on one side only, at the clip's ends, is not clear): its first
            // and last frames are 30p's too.
            auto goesOn = [&](size_t j) {
                // (fields 0 and 1 have nothing to change against: taken as changed)
                return j >= 1 && j + 1 < n && (entries[j].fieldChange < 0 || fieldChanged(j)) &&
                       fieldChanged(j + 1) &&
                       (j % 2 == p || !marks[j].combed || faintMark(j) || entries[j].overPrev < 0 ||
                        entries[j].overNext < 0 || (alternating && textureBeside(j)));
            };
            for (size_t j = s - 1; j + kVideoSpan >= s && goesOn(j); --j) claim(j, p);
            for (size_t j = s + kVideoSpan; j < s + 2 * kVideoSpan && goesOn(j); ++j) claim(j, p);
        }
    }
    for (size_t i = 0; i < n; ++i)
        if (across[i] != whole[i]) marks[i].combed = across[i];
    // Film in texture everywhere (line art under grain, hatching, screentone): its combed
    // weaves stand far above their pairings, one or two in every five entries at the same
    // places cycle after cycle (two apart, or one alone where the drawings are held on twos),
    // while the texture lifts a whole weave a little above its pairings now and then. A faint
    // mark in such a picture, off the places of the clear marks within kTextureReach entries
    // (at least kTextureMarks of them), is that texture.
    std::vector<char> offCadence(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (!textured(entries[i]) || !faintMark(i)) continue;
        const size_t from = i >= kTextureReach ? i - kTextureReach : 0;
        const size_t to = std::min(n, i + kTextureReach + 1);
        int count = 0;
        unsigned phases = 0;  // bit k: a clear mark at entry = k (mod 5)
        for (size_t j = from; j < to; ++j)
            if (marks[j].combed && standing[j] >= kTextureClear) {
                ++count;
                phases |= 1u << (j % 5);
            }
        if (count < kTextureMarks) continue;
        bool film = false;  // the clear marks lie at one place, or two places two apart
        for (unsigned r = 0; r < 5; ++r)
            film = film || (phases & ~((1u << r) | (1u << ((r + 2) % 5)))) == 0;
        offCadence[i] = film && !(phases & (1u << (i % 5)));
    }
    for (size_t i = 0; i < n; ++i)
        if (offCadence[i]) marks[i].combed = false;
    // 60i whose combing the grain or the coding noise hides (a dark, low-contrast picture
    // under grain): every pairing of adjacent fields shows its motion faintly, and 30p shows
    // as much in its weaves across frames. What tells them apart is the weave of two frames the
    // other way round (the first frame's first field with the next frame's second, three fields
    // apart): in 60i it spans three times the motion of any weave of adjacent fields, in 30p the
    // same as the weave across frames, and in film a second frame once in five. The noise adds
    // alike to every weave and cancels in the coherent comb's sums, so the ratio is the
    // picture's own, as long as the picture holds little of its own that combs coherently:
    // the signed sums of the four weaves are bound (the weave the other way round is the two
    // own weaves less the weave across frames), so that 30p whose own weaves comb against
    // its motion can give the same ratios; it then shows its motion far more in the weaves
    // across frames than in its own, where 60i combs alike. Where that weave's coherent comb
    // stands above kSixtyRatio times the largest of the five weaves about it at kSixtyRun odd
    // entries or more in a row (one between two such let pass: a lossy encode's noise), every
    // entry from the first to the last of them is combed (not the frames' own weaves before
    // and after: at the end of a part, the frame beyond may be film's or 30p's). Five entries
    // of film hold both of its weaves of a new frame's field with the frame before, which span
    // a frame's motion as the weave the other way round does but at the one entry in five
    // where it spans two.
    std::vector<char> sixty(n, 0);
    auto threeApart = [&](size_t i) {
        const EntryMeasure& e = entries[i];
        if (i < 2 || i + 2 >= n || e.otherCoherent <= kCoherentFloor) return false;
        // 30p whose motion shows: its weaves across frames comb far more than its frames' own.
        if (e.detail > kSixtyAlike * std::max(entries[i - 1].detail, entries[i + 1].detail) + 1)
            return false;
        double most = 0;
        for (size_t j = i - 2; j <= i + 2; ++j) most = std::max(most, entries[j].coherent);
        return e.otherCoherent > kSixtyRatio * most;
    };
    for (size_t i = 1; i < n; i += 2) {
        if (!threeApart(i)) continue;
        size_t last = i;  // the last odd entry of the run that passed
        int count = 1;
        for (size_t j = i + 2; j < n; j += 2) {
            if (threeApart(j)) {
                last = j;
                ++count;
            } else if (!(j + 2 < n && threeApart(j + 2))) {
                break;
            }
        }
        if (count >= kSixtyRun)
            for (size_t j = i; j <= last; ++j) sixty[j] = 1;
        i = last;
    }
    for (size_t i = 0; i < n; ++i)
        if (sixty[i]) marks[i].combed = true;
    for (size_t i = 0; i < n; ++i) {
        Marks& m = marks[i];
        const CombMeasure& c = entries[i].comb;
        m.wide = m.combed && c.blocks > 0 && c.combed > t.wide * c.blocks;
    }
    if (n > 0) {
        marks[n - 1].combed = false;
        marks[n - 1].wide = false;
    }
    return marks;
}

OrderVote voteFieldOrder(const std::vector<EntryMeasure>& entries) {
    OrderVote v;
    for (size_t i = 1; i < entries.size(); i += 2) {
        const EntryMeasure& e = entries[i];
        if (e.otherDetail < 0) continue;
        // Against the frame's own picture (whole in film and 30p): how much each weave adds.
        const double own = entries[i - 1].detail;
        const double here = std::max(0.0, e.detail - own),
                     there = std::max(0.0, e.otherDetail - own);
        const double margin = 1 + 0.05 * own;
        v.kept += there > 2 * here + margin;
        v.other += here > 2 * there + margin;
    }
    return v;
}

std::string formatLog(const std::vector<Marks>& entries, int64_t frames, LogMode mode) {
    std::string out = "total " + std::to_string(frames) + "\n";
    if (mode == LogMode::kNormal) {
        out.reserve(out.size() + entries.size() * 14);
        for (size_t i = 0; i < entries.size(); ++i) {
            const Marks& m = entries[i];
            out += std::to_string(i);
            out += m.combed ? "-1" : "-0";
            out += m.wide ? "-1" : "-0";
            out += m.fresh ? "-1\n" : "-0\n";
        }
        return out;
    }
    const int64_t block = mode == LogMode::kFastV2 ? 7 : 3;
    const int64_t count = (frames + block - 1) / block;
    // The entry count is read from the seventh character of the mode line on.
    out += mode == LogMode::kFastV2 ? "fastv2 " : "fast: ";
    out += std::to_string(count) + "\n";
    for (int64_t k = 0; k < count; ++k) {
        bool all = true;
        for (int64_t f = k * block; f < std::min(frames, (k + 1) * block); ++f)
            all = all && size_t(2 * f) < entries.size() && entries[size_t(2 * f)].combed;
        out += std::to_string(k) + (all ? "-1\n" : "-0\n");
    }
    return out;
}

}  // namespace qexscan
