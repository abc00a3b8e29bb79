#include "host/filters.h"
#include "host/frame.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace qexhost;
using hosttest::call;
using hosttest::clip;
using hosttest::error_of;
using hosttest::parities;
using hosttest::provenance;
using hosttest::stamp;

namespace {

using Rows = std::vector<std::pair<uint32_t, uint32_t>>;
using Build = std::function<PClip(Environment&, PClip)>;

PClip f1(Environment& env, const char* name, PClip c, std::vector<AVSValue> more = {}) {
    more.insert(more.begin(), AVSValue(c));
    return clip(env, name, more);
}

// Rows (2k, 2k+1) of source frame k: the frame as the source made it.
std::pair<uint32_t, uint32_t> src(int k) {
    return {uint32_t(2 * k), uint32_t(2 * k + 1)};
}

Rows frames(std::initializer_list<int> ks) {
    Rows r;
    for (int k : ks) r.push_back(src(k));
    return r;
}

struct FilterCase {
    const char* label;
    int source_frames;
    Build build;
    int frames;
    unsigned fps_num, fps_den;
    int height;
    bool field_based;
    Rows rows;                 // expected rows 0 and 1 of every output frame
    std::vector<bool> parity;  // expected GetParity of every output frame (empty: not checked)
};

std::vector<bool> alternating(int n, bool first) {
    std::vector<bool> v;
    for (int i = 0; i < n; ++i) v.push_back(first ^ bool(i & 1));
    return v;
}

// NAME(clip, args...) over the clip that `before` makes of the source (the source itself when
// empty), for arguments that are not clips.
Build filter(const char* name, std::vector<AVSValue> args = {}, Build before = {}) {
    return [=](Environment& e, PClip s) { return f1(e, name, before ? before(e, s) : s, args); };
}

std::vector<FilterCase> cases() {
    std::vector<FilterCase> c;
    auto add = [&c](const char* label, int source_frames, Build build, int frames, unsigned num,
                    unsigned den, int height, bool field_based, Rows rows,
                    std::vector<bool> parity = {}) {
        c.push_back({label, source_frames, std::move(build), frames, num, den, height, field_based,
                     std::move(rows), std::move(parity)});
    };
    {
        // Frame 2k: frame k; 2k+1: bottom field of k with the top field of k+1.
        Rows r;
        for (int k = 0; k < 4; ++k) {
            r.push_back(src(k));
            r.push_back({uint32_t(2 * std::min(k + 1, 3)), uint32_t(2 * k + 1)});
        }
        add("DoubleWeave TFF", 4, filter("DoubleWeave"), 8, 60000, 1001, 8, false, r,
            alternating(8, true));
    }
    {
        // BFF: the second field of k is its top one, the first of k+1 its bottom one.
        Rows r;
        for (int k = 0; k < 4; ++k) {
            r.push_back(src(k));
            r.push_back({uint32_t(2 * k), uint32_t(2 * std::min(k + 1, 3) + 1)});
        }
        add("DoubleWeave BFF", 4, filter("DoubleWeave", {}, filter("AssumeBFF")), 8, 60000, 1001, 8,
            false, r, alternating(8, false));
    }
    {
        // Fields: row 0 and row 1 of field n both carry n.
        Rows r;
        for (uint32_t n = 0; n < 8; ++n) r.push_back({n, n});
        add("SeparateFields", 4, filter("SeparateFields"), 8, 60000, 1001, 4, true, r,
            alternating(8, true));
    }
    add("SeparateFields.Weave", 5, filter("Weave", {}, filter("SeparateFields")), 5, 30000, 1001, 8,
        false, frames({0, 1, 2, 3, 4}), std::vector<bool>(5, true));
    {
        // Field-based DoubleWeave: field n woven with field n+1.
        Rows r;
        for (uint32_t n = 0; n < 6; ++n) {
            const uint32_t next = std::min(n + 1, 5u);
            if (n % 2 == 0)
                r.push_back({n, next});
            else
                r.push_back({next == n ? n : next, n});
        }
        add("SeparateFields.DoubleWeave", 3, filter("DoubleWeave", {}, filter("SeparateFields")), 6,
            60000, 1001, 8, false, r, alternating(6, true));
    }
    {
        // 2k: woven 5k, 2k+1: woven 5k+2.
        Rows woven;
        for (int k = 0; k < 10; ++k) {
            woven.push_back(src(k));
            woven.push_back({uint32_t(2 * std::min(k + 1, 9)), uint32_t(2 * k + 1)});
        }
        Rows r;
        for (int k = 0; k < 4; ++k) {
            r.push_back(woven[size_t(5 * k)]);
            r.push_back(woven[size_t(5 * k + 2)]);
        }
        add("DoubleWeave.PullDown(0,2)", 10, filter("PullDown", {0, 2}, filter("DoubleWeave")), 8,
            24000, 1001, 8, false, r, std::vector<bool>(8, false));
        Rows r13;
        for (int k = 0; k < 4; ++k) {
            r13.push_back(woven[size_t(5 * k + 1)]);
            r13.push_back(woven[size_t(std::min(5 * k + 3, 19))]);
        }
        add("DoubleWeave.PullDown(1,3)", 10, filter("PullDown", {1, 3}, filter("DoubleWeave")), 8,
            24000, 1001, 8, false, r13);
    }
    add("SelectEvery(3,1)", 10, filter("SelectEvery", {3, 1}), 3, 10000, 1001, 8, false,
        frames({1, 4, 7}), {true, true, true});
    add("SelectEvery(4,0,3)", 10, filter("SelectEvery", {4, 0, 3}), 5, 15000, 1001, 8, false,
        frames({0, 3, 4, 7, 8}));
    add("SelectOdd", 10, filter("SelectOdd"), 5, 15000, 1001, 8, false, frames({1, 3, 5, 7, 9}));
    add("SelectEven", 9, filter("SelectEven"), 5, 15000, 1001, 8, false, frames({0, 2, 4, 6, 8}));
    add("Trim(3,5)", 10, filter("Trim", {3, 5}), 3, 30000, 1001, 8, false, frames({3, 4, 5}));
    add("Trim(7,0)", 10, filter("Trim", {7, 0}), 3, 30000, 1001, 8, false, frames({7, 8, 9}));
    add("Trim(3,-2) takes a length", 10, filter("Trim", {3, -2}), 2, 30000, 1001, 8, false,
        frames({3, 4}));
    add("Trim past the end leaves one frame", 10, filter("Trim", {20, 0}), 1, 30000, 1001, 8, false,
        frames({9}));
    add("Trim with last before first", 10, filter("Trim", {5, 2}), 1, 30000, 1001, 8, false,
        frames({5}));
    add("Loop(2,2,4)", 7, filter("Loop", {2, 2, 4}), 10, 30000, 1001, 8, false,
        frames({0, 1, 2, 3, 4, 2, 3, 4, 5, 6}));
    add("Loop(0,2,4) deletes", 7, filter("Loop", {0, 2, 4}), 4, 30000, 1001, 8, false,
        frames({0, 1, 5, 6}));
    add("Loop(3,5) runs to the end", 7, filter("Loop", {3, 5}), 11, 30000, 1001, 8, false,
        frames({0, 1, 2, 3, 4, 5, 6, 5, 6, 5, 6}));
    {
        Rows r;
        for (uint32_t n = 0; n < 6; ++n) r.push_back({n, n});
        add("Bob", 3, filter("Bob"), 6, 60000, 1001, 8, false, r, alternating(6, true));
    }
    add("AssumeFieldBased", 3, filter("AssumeFieldBased"), 3, 30000, 1001, 8, true,
        frames({0, 1, 2}), {false, true, false});
    add("AssumeFieldBased.AssumeTFF", 3, filter("AssumeTFF", {}, filter("AssumeFieldBased")), 3,
        30000, 1001, 8, true, frames({0, 1, 2}), {true, false, true});
    add("AssumeFrameBased", 3, filter("AssumeFrameBased", {}, filter("SeparateFields")), 6, 60000,
        1001, 4, false, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}},
        std::vector<bool>(6, false));
    add("AssumeBFF", 2, filter("AssumeBFF"), 2, 30000, 1001, 8, false, frames({0, 1}),
        {false, false});
    add("AssumeFPS(24)", 2, filter("AssumeFPS", {24}), 2, 24, 1, 8, false, frames({0, 1}),
        {true, true});
    add("AssumeFPS(48000,2002) reduces", 2, filter("AssumeFPS", {48000, 2002}), 2, 24000, 1001, 8,
        false, frames({0, 1}));
    add("AssumeFPS(23.976)", 2, filter("AssumeFPS", {23.976}), 2, 2997, 125, 8, false,
        frames({0, 1}));
    add(
        "AlignedSplice", 3,
        [](Environment& e, PClip s) {
            return f1(e, "AlignedSplice", s, {f1(e, "Trim", s, {1, 0})});
        },
        5, 30000, 1001, 8, false, frames({0, 1, 2, 1, 2}));
    add(
        "UnalignedSplice of three", 2,
        [](Environment& e, PClip s) {
            return f1(e, "UnalignedSplice", s,
                      {s, f1(e, "SelectOdd", f1(e, "AssumeFPS", s, {60000, 1001}))});
        },
        5, 30000, 1001, 8, false, frames({0, 1, 0, 1, 1}));
    add("SeparateFields.Trim(1,0) keeps each field's parity", 2,
        filter("Trim", {1, 0}, filter("SeparateFields")), 3, 60000, 1001, 4, true,
        {{1, 1}, {2, 2}, {3, 3}}, {false, true, false});
    add("SeparateFields.SelectOdd gives the bottom fields", 3,
        filter("SelectOdd", {}, filter("SeparateFields")), 3, 30000, 1001, 4, true,
        {{1, 1}, {3, 3}, {5, 5}}, {false, false, false});
    add("Splice keeps each part's parity", 2,
        [](Environment& e, PClip s) { return f1(e, "AlignedSplice", s, {f1(e, "AssumeBFF", s)}); },
        4, 30000, 1001, 8, false, frames({0, 1, 0, 1}), {true, true, false, false});
    add(
        "Interleave", 2,
        [](Environment& e, PClip s) {
            return f1(e, "Interleave", s, {f1(e, "Trim", s, {1, 0})});
        },
        3, 60000, 1001, 8, false, frames({0, 1, 1}));
    return c;
}

TEST(Filters, FrameCountsRatesParityAndProvenance) {
    for (const auto& k : cases()) {
        Environment env;
        PClip source = stamp(env, k.source_frames);
        PClip out;
        std::string err = error_of([&] { out = k.build(env, source); });
        ASSERT_EQ(err, "") << k.label;
        const VideoInfo& vi = out->GetVideoInfo();
        EXPECT_EQ(vi.num_frames, k.frames) << k.label;
        EXPECT_EQ(vi.fps_numerator, k.fps_num) << k.label;
        EXPECT_EQ(vi.fps_denominator, k.fps_den) << k.label;
        EXPECT_EQ(vi.height, k.height) << k.label;
        EXPECT_EQ(vi.IsFieldBased(), k.field_based) << k.label;
        EXPECT_EQ(provenance(env, out), k.rows) << k.label;
        if (!k.parity.empty()) {
            EXPECT_EQ(parities(out), k.parity) << k.label;
        }
    }
}

// The woven frame's rows come from the right fields in every pixel type, RGB stored bottom-up.
TEST(Filters, DoubleWeaveAndSeparateFieldsInEveryPixelType) {
    for (const char* type : {"YV12", "I420", "YUY2", "RGB24", "RGB32"}) {
        Environment env;
        PClip s = stamp(env, 3, type, 8, 8);
        PClip dw = clip(env, "DoubleWeave", {s});
        EXPECT_EQ(provenance(env, dw), (Rows{{0, 1}, {2, 1}, {2, 3}, {4, 3}, {4, 5}, {4, 5}}))
            << type;
        PClip fields = clip(env, "SeparateFields", {s});
        EXPECT_EQ(provenance(env, fields), (Rows{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}))
            << type;
        PClip bob = clip(env, "Bob", {s});
        EXPECT_EQ(provenance(env, bob), (Rows{{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}))
            << type;
        // The last picture row belongs to the bottom field in every frame.
        PVideoFrame f = dw->GetFrame(1, &env);
        EXPECT_EQ(hosttest::stamp_at(f, dw->GetVideoInfo(), 7), 1u) << type;
        EXPECT_EQ(hosttest::stamp_at(f, dw->GetVideoInfo(), 6), 2u) << type;
    }
}

TEST(Filters, RgbStampsAreStoredBottomUp) {
    Environment env;
    PClip s = stamp(env, 2, "RGB32", 4, 4);
    PVideoFrame f = s->GetFrame(1, &env);
    // Picture row 0 (top field of frame 1, index 2) is the last row in memory.
    EXPECT_EQ(f->GetReadPtr()[3 * f->GetPitch()], 2);
    EXPECT_EQ(f->GetReadPtr()[2 * f->GetPitch()], 3);
}

TEST(Filters, DesignRatesAndCounts) {
    Environment env;
    PClip s = stamp(env, 100);
    PClip dw = clip(env, "DoubleWeave", {s});
    EXPECT_EQ(dw->GetVideoInfo().num_frames, 200);
    EXPECT_EQ(dw->GetVideoInfo().fps_numerator, 60000u);
    PClip pd = clip(env, "PullDown", {dw, 0, 2});
    EXPECT_EQ(pd->GetVideoInfo().num_frames, 80);
    EXPECT_EQ(pd->GetVideoInfo().fps_numerator, 24000u);
    EXPECT_EQ(pd->GetVideoInfo().fps_denominator, 1001u);
    PClip loop = clip(env, "Loop", {stamp(env, 10)});
    EXPECT_GE(loop->GetVideoInfo().num_frames, 9999990);
    EXPECT_EQ(hosttest::stamp_at(loop->GetFrame(1234567, &env), loop->GetVideoInfo(), 0), 14u);
}

TEST(Filters, SourcesAndDefaults) {
    Environment env;
    PClip blank = clip(env, "BlankClip", {});
    const VideoInfo& b = blank->GetVideoInfo();
    EXPECT_EQ(b.num_frames, 240);
    EXPECT_EQ(b.width, 640);
    EXPECT_TRUE(b.IsRGB32());
    EXPECT_EQ(b.fps_numerator, 24u);
    PClip like = clip(env, "BlankClip", {stamp(env, 7)});
    EXPECT_EQ(like->GetVideoInfo().num_frames, 7);
    EXPECT_TRUE(like->GetVideoInfo().IsYV12());
    EXPECT_EQ(like->GetVideoInfo().fps_denominator, 1001u);
    PClip ntsc = clip(env, "BlankClip", {}, {{"fps", 30000}, {"fps_denominator", 1001}});
    EXPECT_EQ(ntsc->GetVideoInfo().fps_numerator, 30000u);
    PClip st = clip(env, "StampSource", {});
    EXPECT_TRUE(st->GetVideoInfo().IsTFF());
    EXPECT_TRUE(st->GetParity(0));
    EXPECT_EQ(st->GetVideoInfo().fps_numerator, 30000u);
}

// NAME(args...) as a source: the clip it is given is not used.
Build source(const char* name, std::vector<AVSValue> args,
             std::vector<std::pair<std::string, AVSValue>> named = {}) {
    return [=](Environment& e, PClip) { return clip(e, name, args, named); };
}

TEST(Filters, BadArgumentsGiveClearErrors) {
    const struct {
        const char* label;
        int source_frames;  // of the stamp clip the filter is built on
        Build build;
        const char* expect;  // part of the message
    } cases[] = {
        {"SelectEvery zero", 4, filter("SelectEvery", {0, 0}), "SelectEvery: every"},
        {"SelectEvery negative offset", 4, filter("SelectEvery", {2, -1}),
         "offset must not be negative"},
        {"SelectEvery past the end", 4, filter("SelectEvery", {2, 9}), "no frames"},
        {"PullDown negative", 10, filter("PullDown", {-1, 2}),
         "PullDown: the offsets must not be negative"},
        {"SeparateFields twice", 4, filter("SeparateFields", {}, filter("SeparateFields")),
         "already field-based"},
        {"SeparateFields odd YV12 fields", 4,
         filter("SeparateFields", {}, source("StampSource", {4, 16, 6, "YV12", 30000, 1001})),
         "multiple of 4"},
        {"Weave frames", 4, filter("Weave"), "Weave: the clip is frame-based"},
        {"Splice sizes", 2,
         [](Environment& e, PClip s) {
             return f1(e, "AlignedSplice", s, {stamp(e, 2, "YV12", 32, 8)});
         },
         "AlignedSplice: the clips differ in size"},
        {"Splice types", 2,
         [](Environment& e, PClip s) { return f1(e, "UnalignedSplice", s, {stamp(e, 2, "YUY2")}); },
         "pixel type (YV12 and YUY2)"},
        {"Splice rates", 2,
         [](Environment& e, PClip s) {
             return f1(e, "AlignedSplice", s, {f1(e, "AssumeFPS", stamp(e, 2), {25})});
         },
         "frame rate"},
        {"AssumeFPS zero", 2, filter("AssumeFPS", {0}), "AssumeFPS: the rate"},
        {"AssumeFPS negative float", 2, filter("AssumeFPS", {-2.5}), "AssumeFPS"},
        {"StampSource pixel type", 1, source("StampSource", {3, 16, 8, "RGB48"}),
         "unknown pixel_type \"RGB48\""},
        {"StampSource odd YV12", 1, source("StampSource", {3, 15, 8}), "even width"},
        {"StampSource narrow", 1, source("StampSource", {3, 2, 8}), "at least 4 bytes"},
        {"StampSource length", 1, source("StampSource", {0}), "length"},
        {"BlankClip size", 1, source("BlankClip", {}, {{"width", 0}}), "BlankClip: width"},
    };
    for (const auto& k : cases) {
        Environment env;
        std::string msg = error_of([&] { k.build(env, stamp(env, k.source_frames)); });
        EXPECT_NE(msg.find(k.expect), std::string::npos) << k.label << ": " << msg;
    }
}

TEST(Filters, RateFromDouble) {
    EXPECT_EQ(rate_from_double(25.0), std::make_pair(25u, 1u));
    EXPECT_EQ(rate_from_double(29.97), std::make_pair(2997u, 100u));
    EXPECT_EQ(rate_from_double(24000.0 / 1001.0), std::make_pair(24000u, 1001u));
    EXPECT_EQ(rate_from_double(0.5), std::make_pair(1u, 2u));
    EXPECT_FALSE(rate_from_double(0.0));
    EXPECT_FALSE(rate_from_double(-1.0));
}

TEST(Filters, MulDivFpsReduces) {
    VideoInfo vi;
    vi.SetFPS(30000, 1001);
    vi.MulDivFPS(2, 1);
    EXPECT_EQ(vi.fps_numerator, 60000u);
    vi.MulDivFPS(2, 5);
    EXPECT_EQ(vi.fps_numerator, 24000u);
    EXPECT_EQ(vi.fps_denominator, 1001u);
    vi.SetFPS(50, 2);
    EXPECT_EQ(vi.fps_numerator, 25u);
    EXPECT_EQ(vi.fps_denominator, 1u);
}

// Every byte of every plane says (frame, plane, picture row): a whole-picture check of weaving.
class PatternClip : public IClip {
  public:
    PatternClip(int pixel_type, int frames, bool tff) {
        vi_.width = 8;
        vi_.height = 8;
        vi_.pixel_type = pixel_type;
        vi_.num_frames = frames;
        vi_.SetFPS(25, 1);
        vi_.image_type = tff ? VideoInfo::IT_TFF : VideoInfo::IT_BFF;
    }
    static BYTE value(int n, int plane_index, int picture_row) {
        return BYTE(n * 37 + plane_index * 11 + picture_row);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame f = env->NewVideoFrame(vi_);
        int sel[3];
        const int planes = plane_selectors(vi_, sel);
        for (int p = 0; p < planes; ++p) {
            const int h = f->GetHeight(sel[p]);
            for (int r = 0; r < h; ++r) {
                BYTE* row = f->GetWritePtr(sel[p]) +
                            ptrdiff_t(storage_row(vi_, h, r)) * f->GetPitch(sel[p]);
                std::memset(row, value(n, p, r), size_t(f->GetRowSize(sel[p])));
            }
        }
        return f;
    }
    bool GetParity(int) override { return vi_.IsTFF(); }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

  private:
    VideoInfo vi_;
};

TEST(Filters, DoubleWeaveWeavesEveryPlaneWholly) {
    for (int type : {int(VideoInfo::CS_YV12), int(VideoInfo::CS_YUY2), int(VideoInfo::CS_BGR24)}) {
        for (bool tff : {true, false}) {
            Environment env;
            PClip src = new PatternClip(type, 3, tff);
            PClip dw = clip(env, "DoubleWeave", {src});
            const VideoInfo& vi = dw->GetVideoInfo();
            for (int n = 0; n < vi.num_frames; ++n) {
                PVideoFrame f = dw->GetFrame(n, &env);
                const int k = n / 2, next = std::min(k + 1, 2);
                int sel[3];
                const int planes = plane_selectors(vi, sel);
                for (int p = 0; p < planes; ++p) {
                    const int h = f->GetHeight(sel[p]);
                    for (int r = 0; r < h; ++r) {
                        // Odd frames: TFF takes the top rows from k+1, BFF the bottom rows.
                        const bool top_row = (r % 2) == 0;
                        const int from = (n % 2 == 0) ? k : ((top_row == tff) ? next : k);
                        const BYTE* row = f->GetReadPtr(sel[p]) +
                                          ptrdiff_t(storage_row(vi, h, r)) * f->GetPitch(sel[p]);
                        for (int x = 0; x < f->GetRowSize(sel[p]); ++x)
                            ASSERT_EQ(row[x], PatternClip::value(from, p, r))
                                << "type " << type << " tff " << tff << " frame " << n << " plane "
                                << p << " row " << r << " byte " << x;
                    }
                }
            }
        }
    }
}

}  // namespace
