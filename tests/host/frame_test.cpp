#include "host/frame.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace qexhost;
using hosttest::clip;

namespace {

VideoInfo yv12(int w, int h) {
    VideoInfo vi;
    vi.width = w;
    vi.height = h;
    vi.pixel_type = VideoInfo::CS_YV12;
    vi.num_frames = 1;
    vi.SetFPS(25, 1);
    return vi;
}

TEST(Frames, NewFrameHasThePlanesOfItsFormat) {
    Environment env;
    PVideoFrame f = env.NewVideoFrame(yv12(34, 10));
    EXPECT_EQ(f->GetRowSize(PLANAR_Y), 34);
    EXPECT_EQ(f->GetRowSize(PLANAR_U), 17);
    EXPECT_EQ(f->GetHeight(PLANAR_V), 5);
    EXPECT_GE(f->GetPitch(PLANAR_Y), 34);
    EXPECT_EQ(f->GetRowSize(), 34);
    EXPECT_TRUE(f->IsWritable());
    VideoInfo rgb = yv12(5, 3);
    rgb.pixel_type = VideoInfo::CS_BGR24;
    PVideoFrame g = env.NewVideoFrame(rgb);
    EXPECT_EQ(g->GetRowSize(), 15);
    EXPECT_EQ(g->GetRowSize(PLANAR_U), 0);
    EXPECT_EQ(g->GetReadPtr(PLANAR_V), nullptr);
}

TEST(Frames, NewVideoFrameRefusesImpossibleFormats) {
    Environment env;
    EXPECT_NE(hosttest::error_of([&] { env.NewVideoFrame(yv12(15, 10)); }).find("even width"),
              std::string::npos);
    EXPECT_NE(hosttest::error_of([&] { env.NewVideoFrame(yv12(0, 10)); }).find("positive"),
              std::string::npos);
    VideoInfo odd = yv12(16, 16);
    odd.pixel_type = 0;
    EXPECT_NE(hosttest::error_of([&] { env.NewVideoFrame(odd); }).find("unsupported pixel type"),
              std::string::npos);
}

TEST(Frames, MakeWritableCopiesOnlyASharedPicture) {
    Environment env;
    PVideoFrame f = env.NewVideoFrame(yv12(16, 4));
    f->GetWritePtr(PLANAR_Y)[0] = 11;
    f->GetWritePtr(PLANAR_V)[0] = 22;
    const BYTE* before = f->GetReadPtr();
    EXPECT_FALSE(env.MakeWritable(&f));  // sole holder: nothing to copy
    EXPECT_EQ(f->GetReadPtr(), before);

    PVideoFrame other = f;  // now shared
    EXPECT_FALSE(f->IsWritable());
    EXPECT_EQ(f->GetWritePtr(), nullptr);
    EXPECT_TRUE(env.MakeWritable(&f));
    ASSERT_NE(f->GetWritePtr(), nullptr);
    EXPECT_NE(f->GetReadPtr(), other->GetReadPtr());
    EXPECT_EQ(f->GetReadPtr(PLANAR_Y)[0], 11);
    EXPECT_EQ(f->GetReadPtr(PLANAR_V)[0], 22);
    f->GetWritePtr()[0] = 99;
    EXPECT_EQ(other->GetReadPtr()[0], 11);
    EXPECT_TRUE(other->IsWritable());  // the copy released its hold
}

TEST(Frames, ViewsShareTheBufferAndAreNotWritable) {
    Environment env;
    VideoInfo vi = yv12(16, 8);
    PVideoFrame f = env.NewVideoFrame(vi);
    PVideoFrame bottom = field_view(f, vi, false);
    EXPECT_EQ(bottom->GetReadPtr(), f->GetReadPtr() + f->GetPitch());
    EXPECT_EQ(bottom->GetPitch(), 2 * f->GetPitch());
    EXPECT_EQ(bottom->GetHeight(), 4);
    EXPECT_EQ(bottom->GetHeight(PLANAR_U), 2);
    EXPECT_FALSE(f->IsWritable());
    EXPECT_FALSE(bottom->IsWritable());
    EXPECT_TRUE(env.MakeWritable(&bottom));
    EXPECT_EQ(bottom->GetHeight(), 4);
    EXPECT_EQ(bottom->GetRowSize(PLANAR_U), 8);
    bottom = PVideoFrame();
    EXPECT_TRUE(f->IsWritable());
}

// A picture lent by its owner (a decoder, say), planes apart: it is read in place, never
// written, and the owner is released with the last view of it.
TEST(Frames, BorrowedPictureIsReadOnlyAndKeepsItsOwner) {
    auto apart = [](const BYTE* p, const BYTE* base) {
        return ptrdiff_t(uintptr_t(p) - uintptr_t(base));
    };
    Environment env;
    auto luma = std::make_shared<std::vector<BYTE>>(64 * 4, BYTE(7));
    std::vector<BYTE> chroma(64 * 2 * 2, BYTE(9));
    (*luma)[64] = 200;  // row 1
    std::weak_ptr<std::vector<BYTE>> alive = luma;
    const PlaneLayout layout[3] = {{0, 64, 16, 4},
                                   {apart(chroma.data(), luma->data()), 64, 8, 2},
                                   {apart(chroma.data() + 128, luma->data()), 64, 8, 2}};
    auto buf = std::make_shared<FrameBuffer>(luma->data(), luma->size(), std::move(luma));
    PVideoFrame f(new HostFrame(std::move(buf), 3, layout));
    EXPECT_FALSE(f->IsWritable());
    EXPECT_EQ(f->GetWritePtr(), nullptr);
    EXPECT_EQ(f->GetReadPtr(PLANAR_U), chroma.data());
    PVideoFrame bottom = field_view(f, yv12(16, 4), false);
    EXPECT_EQ(bottom->GetReadPtr()[0], 200);
    f = PVideoFrame();
    EXPECT_FALSE(alive.expired());  // the field view still reads it
    EXPECT_TRUE(env.MakeWritable(&bottom));
    EXPECT_TRUE(alive.expired());
    EXPECT_EQ(bottom->GetReadPtr()[0], 200);
    EXPECT_EQ(bottom->GetReadPtr(PLANAR_V)[0], 9);
}

TEST(Frames, SelectionTrimAndFieldFiltersPassPixelsOn) {
    Environment env;
    PClip blank = clip(env, "BlankClip", {},
                       {{"length", 10}, {"width", 16}, {"height", 8}, {"pixel_type", "YV12"}});
    PVideoFrame base = blank->GetFrame(0, &env);
    const BYTE* p = base->GetReadPtr();
    PClip trim = clip(env, "Trim", {blank, 2, 5});
    PClip sel = clip(env, "SelectEvery", {trim, 2, 1});
    PClip dw = clip(env, "DoubleWeave", {sel});
    EXPECT_EQ(trim->GetFrame(1, &env)->GetReadPtr(), p);
    EXPECT_EQ(sel->GetFrame(0, &env)->GetReadPtr(), p);
    EXPECT_EQ(dw->GetFrame(2, &env)->GetReadPtr(), p);
    EXPECT_NE(dw->GetFrame(1, &env)->GetReadPtr(), p);  // a woven frame is new
    PClip fields = clip(env, "SeparateFields", {blank});
    // Bottom field first: field 0 starts on row 1, field 1 on row 0.
    EXPECT_EQ(fields->GetFrame(0, &env)->GetReadPtr(), p + base->GetPitch());
    EXPECT_EQ(fields->GetFrame(1, &env)->GetReadPtr(), p);
}

TEST(Frames, BlankClipFramesAreSharedAndCopiedOnWrite) {
    Environment env;
    PClip blank = clip(
        env, "BlankClip", {},
        {{"length", 2}, {"width", 8}, {"height", 4}, {"pixel_type", "YV12"}, {"color", 0xFFFFFF}});
    PVideoFrame a = blank->GetFrame(0, &env);
    EXPECT_EQ(a->GetReadPtr()[0], 235);  // white in limited range
    EXPECT_EQ(a->GetReadPtr(PLANAR_U)[0], 128);
    EXPECT_FALSE(a->IsWritable());
    EXPECT_TRUE(env.MakeWritable(&a));
    a->GetWritePtr()[0] = 1;
    EXPECT_EQ(blank->GetFrame(1, &env)->GetReadPtr()[0], 235);
}

// Every row of every plane holds the colour, in each format's byte order (packed patterns of 3
// and 4 bytes run across odd widths).
TEST(Frames, BlankClipFillsEveryRowOfEveryFormat) {
    struct Case {
        const char* type;
        std::vector<BYTE> pattern;  // of the first plane
    };
    // color 0x40102030: red 0x10, green 0x20, blue 0x30, alpha 0x40; Y 41, U 137, V 120.
    const Case cases[] = {{"RGB32", {0x30, 0x20, 0x10, 0x40}},
                          {"RGB24", {0x30, 0x20, 0x10}},
                          {"YUY2", {41, 137, 41, 120}},
                          {"YV12", {41}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Environment env;
        PClip blank = clip(env, "BlankClip", {},
                           {{"length", 1},
                            {"width", 6},
                            {"height", 4},
                            {"pixel_type", c.type},
                            {"color", 0x40102030}});
        PVideoFrame f = blank->GetFrame(0, &env);
        for (int row = 0; row < f->GetHeight(); ++row)
            for (int x = 0; x < f->GetRowSize(); ++x)
                ASSERT_EQ(f->GetReadPtr()[row * f->GetPitch() + x], c.pattern[x % c.pattern.size()])
                    << "row " << row << ", byte " << x;
        if (blank->GetVideoInfo().IsPlanar()) {
            for (int row = 0; row < f->GetHeight(PLANAR_V); ++row)
                ASSERT_EQ(f->GetReadPtr(PLANAR_V)[row * f->GetPitch(PLANAR_V) + 2], 120);
        }
    }
}

TEST(Frames, TheFrameSizeLimitRefusesLargerFrames) {
    set_frame_size_limit(64 * 48);  // one 64x32 YV12 frame with padded rows fits, 64x34 does not
    EXPECT_NO_THROW(new_frame(yv12(64, 32)));
    EXPECT_THROW(new_frame(yv12(64, 34)), AvisynthError);
    set_frame_size_limit(0);
    EXPECT_NO_THROW(new_frame(yv12(64, 34)));
}

}  // namespace
