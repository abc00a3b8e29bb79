// Serving decisions without a frame server: the clip and frame number chosen for an entry, the
// clamping of frame numbers, and the opt strategy's skipping, compacting and output clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "plugin/serving.h"

namespace {

using qex::FetchChoice;
using qex::FieldEntry;
using qex::ServeMode;

FieldEntry entry(int rate, int alias, int phase, int start, int ordinal) {
    FieldEntry e;
    e.rate = uint8_t(rate);
    e.alias = uint8_t(alias);
    e.phase = uint8_t(phase);
    e.start = start;
    e.ordinal = ordinal;
    e.flags = qex::kFlagOn;
    return e;
}

struct ChoiceCase {
    const char* what;
    FieldEntry e;
    int32_t f;
    ServeMode mode;
    int alias, phase, frame, k;
};

TEST(ChooseFetch, ClipAndFrameForEachKindOfEntry) {
    const ServeMode C = ServeMode::kConstant, V = ServeMode::kVariable;
    const std::vector<ChoiceCase> cases = {
        {"pattern entry: woven clip, half the position to the hook", entry(30, 255, 0, 0, 0), 7, V,
         0, 0, 7, 3},
        {"project entry", entry(30, 65, 0, 0, 0), 12, C, 0, 0, 12, 6},
        {"never written", entry(0, 0, 0, 0, 0), 5, C, 0, 0, 5, 2},
        {"film range at frame 12, first entry", entry(24, 3, 2, 24, 0), 24, V, 3, 2, 8, 8},
        {"film range at frame 12, fifth entry", entry(24, 3, 2, 24, 4), 34, C, 3, 2, 12, 12},
        {"film range at frame 0", entry(24, 1, 0, 0, 5), 12, C, 1, 0, 5, 5},
        {"48 at position 25, constant rate", entry(48, 2, 0, 20, 3), 25, C, 2, 0, 12, 12},
        {"48 at position 25, variable rate", entry(48, 2, 0, 20, 3), 25, V, 2, 0, 11, 11},
        {"60, constant rate", entry(60, 4, 0, 10, 3), 13, C, 4, 0, 6, 6},
        {"60, variable rate", entry(60, 4, 0, 10, 3), 13, V, 4, 0, 13, 13},
        {"30 alias", entry(30, 5, 0, 10, 2), 14, V, 5, 0, 7, 7},
        {"64 is the last alias", entry(30, 64, 0, 0, 0), 8, V, 64, 0, 4, 4},
    };
    for (const ChoiceCase& c : cases) {
        const FetchChoice got = qex::choose_fetch(c.e, c.f, c.mode);
        EXPECT_EQ(got.alias, c.alias) << c.what;
        EXPECT_EQ(got.phase, c.phase) << c.what;
        EXPECT_EQ(got.frame, c.frame) << c.what;
        EXPECT_EQ(got.k, c.k) << c.what;
        EXPECT_EQ(got.field, c.f) << c.what;
    }
}

TEST(ClampFrame, KeepsRequestsInsideTheClip) {
    // request, frames, frame served
    const std::tuple<int64_t, int32_t, int32_t> cases[] = {
        {-1, 10, 0}, {-2147483648LL, 10, 0}, {0, 10, 0}, {9, 10, 9},
        {10, 10, 9}, {2147483647LL, 10, 9},  {3, 0, 0}};
    for (auto [n, frames, want] : cases) EXPECT_EQ(qex::clamp_frame(n, frames), want) << n;
}

// ---------------------------------------------------------------------------------------------
// Opt strategy

class FakeHooks : public qex::OptHooks {
  public:
    std::string verdicts;            // by source frame
    std::vector<uint8_t> published;  // by output frame
    std::vector<int32_t> probes;     // frames asked of an alias clip
    std::vector<int32_t> writes;     // limits the writers were called with
    const qex::QexModel* model = nullptr;
    std::vector<uint64_t> last_times;  // per write: start time of the last frame written

    void probe(int, int, int32_t frame) override { probes.push_back(frame); }
    uint8_t verdict(int32_t frame) override {
        return frame >= 0 && size_t(frame) < verdicts.size() ? uint8_t(verdicts[size_t(frame)]) : 0;
    }
    uint8_t published_duration(int32_t frame) override {
        return frame >= 0 && size_t(frame) < published.size() ? published[size_t(frame)] : 0;
    }
    void write_outputs(int32_t limit) override {
        writes.push_back(limit);
        if (model != nullptr && limit > 0)
            last_times.push_back(model->output[size_t(limit - 1)].time_ms);
    }
};

// A clip of `frames` source frames served by alias 1 at 30 fps (one output frame per source
// frame, from field position 2k), with the outside-table flag set.
struct OptClip {
    explicit OptClip(int frames) : m(frames, 30, 30000, 1001) {
        m.aliases->count = 1;
        m.aliases->vfrout[0] = 1;
        m.output.resize(size_t(frames));
        for (int k = 0; k < frames; ++k) {
            m.field_map[size_t(2 * k)] = entry(30, 1, 0, 0, k);
            qex::OutputFrame& o = m.output[size_t(k)];
            o.source = 2 * k;
            o.duration = 8;
            o.flags = qex::kFlagOn;
        }
        s.end_frame = frames;
    }
    qex::QexModel m;
    qex::OptState s;
};

TEST(OptAdvance, DroppedFramesAreSkippedAndTheClockFollowsPublishedDurations) {
    OptClip c(20);
    FakeHooks h;
    h.verdicts = std::string(20, '3');
    h.verdicts.replace(11, 3, "DDD");  // the three frames behind output frame 10
    h.published.assign(20, 8);
    h.published[10] = 10;
    for (int n = 0; n <= 11; ++n) ASSERT_TRUE(qex::opt_advance(c.m, c.s, n, h)) << n;
    EXPECT_EQ(c.m.output[11].source, 28);  // the record that was at position 14
    EXPECT_EQ(c.s.list_position, 14);
    // Frame 10 starts at 80 ticks and lasts 10: frame 11 starts at 90 ticks.
    EXPECT_EQ(c.s.tick_total, 90u);
    EXPECT_EQ(c.m.output[11].time_ms, qex::tick_time_ms(90, 30000, 1001));
    EXPECT_EQ(c.m.output[10].time_ms, qex::tick_time_ms(80, 30000, 1001));
    // Every record looked at was probed first; the skipped ones were cleared.
    EXPECT_THAT(h.probes, ::testing::ElementsAre(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14));
    EXPECT_EQ(c.m.output[12].source, 0);
    EXPECT_EQ(c.m.output[12].duration, 0);
    EXPECT_TRUE(h.writes.empty());
}

TEST(OptAdvance, RequestsOutOfOrderOrOutsideTheClipChangeNothing) {
    OptClip c(6);
    FakeHooks h;
    h.verdicts = "333333";
    h.published.assign(6, 8);
    ASSERT_TRUE(qex::opt_advance(c.m, c.s, 0, h));
    for (int32_t n : {2, 0, -1, 6, 100}) EXPECT_FALSE(qex::opt_advance(c.m, c.s, n, h)) << n;
    EXPECT_EQ(c.s.requested, 0);
    EXPECT_EQ(c.s.list_position, 0);
    EXPECT_EQ(c.s.tick_total, 0u);
    EXPECT_TRUE(qex::opt_advance(c.m, c.s, 1, h));
    EXPECT_EQ(c.s.tick_total, 8u);
}

TEST(OptAdvance, TheListRunningOutEndsTheStreamOnce) {
    OptClip c(6);
    FakeHooks h;
    h.verdicts = "3D3D33";
    h.published.assign(6, 8);
    for (int n = 0; n < 6; ++n) ASSERT_TRUE(qex::opt_advance(c.m, c.s, n, h));
    // Records 0, 2, 4, 5 remain: request 3 serves the last one, the list runs out at request 4.
    EXPECT_EQ(c.s.end_frame, 4);
    EXPECT_THAT(h.writes, ::testing::ElementsAre(4));
    EXPECT_EQ(c.m.output[3].source, 10);
    EXPECT_EQ(c.m.output[4].source, 10);  // the last record of the list
    EXPECT_EQ(c.m.output[5].source, 10);
}

struct EndCase {
    const char* verdicts;    // by source frame, one output record each
    int32_t ending_request;  // the request that ends the output and writes the files
    int32_t end_frame;
    std::vector<int32_t> last_sources;  // sources served by the requests from ending_request on
};

TEST(OptAdvance, TheOutputEndsAfterTheLastKeptRecordAndIsWrittenOnce) {
    const std::vector<EndCase> cases = {
        // Nothing dropped: every frame belongs to the output, written when the last is served.
        {"333333", 5, 6, {10}},
        {"3", 0, 1, {0}},
        // Drops in the middle: the last record is served by request 4, request 5 runs out.
        {"33D333", 4, 5, {10, 10}},
        // Drops at the end: request 3 skips them all and finds the list run out.
        {"333DDD", 3, 3, {0, 0, 0}},
        {"DDD333", 2, 3, {10, 10, 10, 10}},
    };
    for (const EndCase& ec : cases) {
        SCOPED_TRACE(ec.verdicts);
        const int frames = int(std::string(ec.verdicts).size());
        OptClip c(frames);
        FakeHooks h;
        h.model = &c.m;
        h.verdicts = ec.verdicts;
        h.published.assign(size_t(frames), 10);  // unlike the records' own 8 ticks
        for (int n = 0; n < frames; ++n) {
            ASSERT_TRUE(qex::opt_advance(c.m, c.s, n, h)) << n;
            EXPECT_EQ(h.writes.size(), n < ec.ending_request ? 0u : 1u) << n;
            EXPECT_EQ(c.s.end_frame, n < ec.ending_request ? frames : ec.end_frame) << n;
        }
        ASSERT_THAT(h.writes, ::testing::ElementsAre(ec.end_frame));
        // The last frame written already carries its start time from the published durations.
        ASSERT_EQ(h.last_times.size(), 1u);
        EXPECT_EQ(h.last_times[0], qex::tick_time_ms(10 * uint64_t(ec.end_frame - 1), 30000, 1001));
        std::vector<int32_t> sources;
        for (int n = ec.ending_request; n < frames; ++n)
            sources.push_back(c.m.output[size_t(n)].source);
        EXPECT_THAT(sources, ::testing::ElementsAreArray(ec.last_sources));
    }
}

TEST(OptAdvance, EntriesWithoutTheOutsideFlagAreNeverProbed) {
    OptClip c(4);
    c.m.aliases->vfrout[0] = 0;
    FakeHooks h;
    h.verdicts = "DDDD";
    h.published.assign(4, 8);
    for (int n = 0; n < 4; ++n) ASSERT_TRUE(qex::opt_advance(c.m, c.s, n, h));
    EXPECT_TRUE(h.probes.empty());
    EXPECT_EQ(c.m.output[3].source, 6);
    // Nothing was dropped: the outputs cover all four frames.
    EXPECT_THAT(h.writes, ::testing::ElementsAre(4));
    EXPECT_EQ(c.s.end_frame, 4);
}

}  // namespace
