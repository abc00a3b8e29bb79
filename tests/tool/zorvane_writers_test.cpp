// Definition and script texts, their shared blocks, and the atomic file write.
#include "tool/driver.h"
#include "tool/writers.h"

#include "tests/common/testkit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

using namespace zorvane;

namespace {

using qextest::contents;

RunSettings defaults(const std::string& settingsText = "Func_60fps=Bob()\n", int total = 1002) {
    RunSettings s;
    scanArguments({}, s);
    readSettingsText(settingsText, s);
    s.totalFrames = total;
    s.baseKind = computeBaseKind(s);
    return s;
}

Segment seg(int first, int last, int kind, bool isLast = false) {
    Segment s;
    s.firstCycle = first;
    s.lastCycle = last;
    s.kind = kind;
    s.isLast = isLast;
    return s;
}

const std::string kTrailer = "\n\n######    Zorvane ver0.1.1.1  by Morvik\n";

std::string defHeader(const std::string& f24 = "", const std::string& f30 = "",
                      const std::string& f60 = "Bob()", const std::string& six = "") {
    std::string t = "set [24] f24='" + f24 + "'\n";
    for (int k = 0; k < 5; ++k) t += "set [24] f6to2_" + std::to_string(k) + "='" + six + "'\n";
    t += "set [30] f30='" + f30 + "'\nset [60] f60='" + f60 + "'\n\n";
    t += "default 24=f24\ndefault 30=f30\ndefault 60=f60\n\n";
    return t;
}

}  // namespace

TEST(Definition, TwoSegmentExample) {
    const RunSettings s = defaults();
    const FilterTable table = buildFilterTable(s);
    const std::vector<Segment> segs{seg(0, 99, 0), seg(100, 200, 11, true)};
    EXPECT_EQ(definitionText(s, table, segs),
              defHeader() +
                  "000-499 [24] (5,0,2)\nmode fps_adjust = on\n500-1001 [60] f60\nend\n\n" +
                  kTrailer);
}

TEST(Definition, SingleSegmentAndNoFpsAdjust) {
    RunSettings s = defaults("", 1000);
    const FilterTable table = buildFilterTable(s);
    const std::vector<Segment> one{seg(0, 199, 0, true)};
    EXPECT_EQ(definitionText(s, table, one),
              defHeader("", "", "") + "0-999 [24] (5,0,2)\nend\n\n" + kTrailer);

    s.totalFrames = 1002;
    s.writeFpsAdjust = false;
    EXPECT_EQ(definitionText(s, table, one),
              defHeader("", "", "") + "0-1001 [24] (5,0,2)\nend\n\n" + kTrailer);
}

TEST(Definition, PatternTextsOfEveryKind) {
    RunSettings s = defaults("Func_60fps=Bob()\nFunc_6to2=Six(ref, ref)\nMode_6to2=12\n", 100);
    s.dedup = true;
    s.selectOdd = true;
    s.baseKind = computeBaseKind(s);  // 13: fallback 12, functions 13 and 14, dedup 15..18
    const FilterTable table = buildFilterTable(s);
    std::vector<Segment> segs;
    for (int k = 0; k <= 18; ++k) segs.push_back(seg(k, k, k));
    Segment alt3 = seg(19, 19, 3);
    alt3.useAltText = true;
    Segment six = seg(19, 19, 12);
    six.useAltText = true;
    six.refPhase = 4;
    segs.push_back(alt3);
    segs.push_back(six);
    segs.back().isLast = true;
    s.totalFrames = 100;

    const std::string text = definitionText(s, table, segs);
    const std::string expectedLines =
        "00-04 [24] (5,0,2)\n05-09 [24] (5,0,3)\n10-14 [24] (5,1,3)\n15-19 [24] (5,1,4)\n"
        "20-24 [24] (5,2,4)\n25-29 [24] (10,0,2,4,7)\n30-34 [24] (10,0,2,5,8)\n"
        "35-39 [24] (10,0,3,6,8)\n40-44 [24] (10,1,4,6,8)\n45-49 [24] (10,2,4,6,9)\n"
        "50-54 [30] <10>\n55-59 [30] <01>\n60-64 [60] f60\n65-69 [24] f24\n70-74 [30] f30\n"
        "75-79  [6] (10,2)\n80-84  [3] (20,2)\n85-89  [2] (30,2)\n90-94 [12] (10,2,7)\n"
        "95-99 [24] (10,2,4,6,8)\n95-99 [12] f6to2_4\nend\n";
    EXPECT_NE(text.find("\n\n" + expectedLines), std::string::npos) << text;
    EXPECT_NE(text.find("set [12] f6to2_0='Six(0, 0)'\nset [12] f6to2_1='Six(1, 1)'\n"),
              std::string::npos);
}

TEST(Definition, FallbackNameFollowsTheRateOptions) {
    RunSettings s = defaults("", 10);
    s.use60fps = false;
    s.use30B = true;
    FilterTable table = buildFilterTable(s);
    EXPECT_NE(definitionText(s, table, {seg(0, 1, 11, true)}).find("0-9 [30] f30\n"),
              std::string::npos);
    s.use30B = false;
    table = buildFilterTable(s);
    EXPECT_NE(definitionText(s, table, {seg(0, 1, 11, true)}).find("0-9 [24] f24\n"),
              std::string::npos);
}

TEST(Definition, WidthComesFromTheLastSegment) {
    const RunSettings s = defaults("", 50000002);
    const FilterTable table = buildFilterTable(s);
    const std::string text =
        definitionText(s, table, {seg(0, 1999999, 12), seg(2000000, 10000000, 12, true)});
    EXPECT_NE(text.find("000000000000000-000000009999999 [24] f24\nmode fps_adjust = on\n"
                        "000000010000000-000000050000001 [24] f24\n"),
              std::string::npos)
        << text.substr(0, 400);
    EXPECT_EQ(frameNumberWidth({seg(0, 0, 0), seg(2, 3, 0)}), 2);
    EXPECT_EQ(frameNumberWidth({seg(1, 1, 0)}), 1);
    EXPECT_EQ(frameNumberWidth({seg(1999999, 1999999, 0)}), 7);
    EXPECT_EQ(frameNumberWidth({seg(2000000, 2000000, 0)}), 15);
}

TEST(Definition, SettingsValuesWithoutDotAreUnchanged) {
    RunSettings s = defaults("", 5);
    s.func24fps = "NoDot()";
    s.func6to2 = "..Two(ref)";
    const FilterTable table = buildFilterTable(s);
    const std::string text = definitionText(s, table, {seg(0, 0, 12, true)});
    EXPECT_EQ(text.substr(0, 25), "set [24] f24='NoDot()'\nse");
    EXPECT_NE(text.find("f6to2_2='.Two(2)'"), std::string::npos);
}

TEST(SixToTwo, ReplacesEveryOccurrence) {
    EXPECT_EQ(sixToTwoText("Func(ref)", "ref", 3), "Func(3)");
    EXPECT_EQ(sixToTwoText("F(refref, x)", "ref", 0), "F(00, x)");
    EXPECT_EQ(sixToTwoText("F(x)", "ref", 2), "F(x)");
    EXPECT_EQ(sixToTwoText("rrr", "rr", 1), "1r");
}

TEST(Blocks, LostFrames) {
    EXPECT_EQ(lostFramesBlock({}), "\n");
    std::vector<EntryGap> gaps;
    for (int i = 0; i < 20; ++i) gaps.push_back({i, i});
    const std::string block = lostFramesBlock(gaps);
    const std::string head1 =
        "\n\n######    ERROR:\x83\x8D\x83O\x83t\x83@\x83"
        "C\x83\x8B\x82\xCC\x89\xBA\x8BL\x83t\x83\x8C"
        "\x81[\x83\x80\x8A\xD4\x82\xAA\x8C\x87\x97\x8E\x82\xB5\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81"
        "B\n";
    ASSERT_EQ(head1.size(), 65u);
    ASSERT_EQ(block.substr(0, 65), head1);
    const std::size_t second = block.find('\n', 65);
    EXPECT_EQ(second - 65 + 1, 67u);  // the second fixed line
    EXPECT_EQ(block.substr(65, 3), "# (");
    std::string rest;
    for (int i = 0; i < 19; ++i) rest += "# " + std::to_string(i) + "-" + std::to_string(i) + "\n";
    rest += "# And any more lost frames...\n\n";
    EXPECT_EQ(block.substr(65 + 67), rest);

    EXPECT_EQ(lostFramesBlock({{10, 14}}).substr(65 + 67), "# 10-14\n\n");
}

TEST(Blocks, CombingAndGuessedPackets) {
    const RunSettings s = defaults("", 23);
    Segment a = seg(0, 3, 0);
    a.skipCount = 2;
    a.skipCycles = {1, 2};
    Segment b = seg(4, 4, 11, true);
    b.skipCount = 1;
    b.skipCycles = {4};
    b.guessed = true;
    EXPECT_EQ(combingPacketsBlock(s, {a, b}),
              "\n\n######    Combing-Packets\n#Trim(5,9)\n#Trim(10,14)\n#Trim(20,22)\n");
    EXPECT_EQ(combingPacketsBlock(s, {seg(0, 4, 0, true)}), "");
    EXPECT_EQ(guessedPacketsBlock(s, {a, b}),
              "\n\n######    Guessed-Packets of Func6to2\n#Trim(20,22)\n");
    EXPECT_EQ(guessedPacketsBlock(s, {a}), "");
}

TEST(Script, TwoSegmentExample) {
    const RunSettings s = defaults();
    const FilterTable table = buildFilterTable(s);
    EXPECT_EQ(scriptText(s, table, {seg(0, 99, 0), seg(100, 200, 11, true)}),
              "v001=Trim(000,499).DoubleWeave().PullDown(0,2)\n"
              "v002=Trim(500,1001).Bob()\n"
              "\n"
              "result=EasyVFR_Create(v001,tcpath)\n"
              "result=result.EasyVFR_Append(v002,tcpath,500,1001)\n"
              "result\n" +
                  kTrailer);
}

TEST(Script, ExtendedTrimAndLoop) {
    const RunSettings s = defaults("Func_Append=Sharpen(0.3)\n", 30);
    const FilterTable table = buildFilterTable(s);
    Segment k3 = seg(0, 1, 3);
    k3.endsOnField8 = true;
    Segment k4 = seg(2, 3, 4);
    k4.endsOnField8 = true;
    Segment k9 = seg(4, 4, 9);
    k9.endsOnField8 = true;
    Segment lastK3 = seg(5, 5, 3, true);
    lastK3.endsOnField8 = true;
    EXPECT_EQ(scriptText(s, table, {k3, k4, k9, lastK3}),
              "fc=FrameCount()\n"
              "v001=Trim(00,10).DoubleWeave().PullDown(1,4).Loop(0,fc,0).Sharpen(0.3)\n"
              "v002=Trim(10,20).DoubleWeave().PullDown(2,4).Sharpen(0.3)\n"
              "v003=Trim(20,25).DoubleWeave().SelectEvery(10,2,4,6,9).Sharpen(0.3)\n"
              "v004=Trim(25,29).DoubleWeave().PullDown(1,4).Sharpen(0.3)\n"
              "\n"
              "result=EasyVFR_Create(v001,tcpath)\n"
              "result=result.EasyVFR_Append(v002,tcpath)\n"
              "result=result.EasyVFR_Append(v003,tcpath)\n"
              "result=result.EasyVFR_Append(v004,tcpath)\n"
              "result\n" +
                  kTrailer);
}

TEST(Script, KindsWithoutExtraFrame) {
    const RunSettings s = defaults("", 30);
    const FilterTable table = buildFilterTable(s);
    Segment alt = seg(0, 1, 3);  // alternative text never extends the Trim
    alt.endsOnField8 = true;
    alt.useAltText = true;
    Segment k0 = seg(2, 3, 0);  // no crossing of the cycle end
    k0.endsOnField8 = true;
    const std::string text = scriptText(s, table, {alt, k0, seg(4, 5, 10, true)});
    EXPECT_EQ(text.substr(0, text.find("\n\n")),
              "v001=Trim(00,09).SelectEvery(5,1,2,3,4)\n"
              "v002=Trim(10,19).DoubleWeave().PullDown(0,2)\n"
              "v003=Trim(20,29)");
}

TEST(Script, CommentsStandAtTheEnd) {
    RunSettings s =
        defaults("Func_Append=Sharpen(0.3)\nFunc_6to2=Six(ref)\nFunc_60fps=Bob()\n", 103);
    s.refCycles = 2;
    s.skipMinRun = 12;
    const FilterTable table = buildFilterTable(s);
    Segment packets = seg(0, 9, 1);
    packets.skipCount = 3;
    packets.skipCycles = {2, 5, 7};
    Segment guessed = seg(10, 15, 11);
    guessed.useAltText = true;
    guessed.guessed = true;
    guessed.refPhase = 2;
    Segment fallback = seg(16, 18, 11);
    fallback.skipCount = 4;  // never commented: not below the fallback kind
    Segment func = seg(19, 20, 12, true);
    func.skipCount = 1;
    // w = 2 (from frame 95); the wider 102 is written in full.
    const std::string text = scriptText(s, table, {packets, guessed, fallback, func});
    EXPECT_NE(
        text.find("v001=Trim(00,49).DoubleWeave().PullDown(0,3).Sharpen(0.3) #(Combing-Packets:3)\n"
                  "v002=Trim(50,79).Six(2).Sharpen(0.3) #(Guessed)\n"
                  "v003=Trim(80,94).Bob().Sharpen(0.3)\n"
                  "v004=Trim(95,102).Sharpen(0.3)\n\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("result=result.EasyVFR_Append(v004,tcpath,95,102)\nresult\n"
                        "\n\n######    Combing-Packets\n#Trim(10,14)\n#Trim(25,29)\n#Trim(35,39)\n"
                        "\n\n######    Guessed-Packets of Func6to2\n#Trim(50,79)\n" +
                        kTrailer),
              std::string::npos)
        << text;

    s.packetComments = false;
    EXPECT_EQ(scriptText(s, table, {packets, func}).find("#(Combing"), std::string::npos);
}

TEST(Script, OneSegmentNeverGetsExtraArguments) {
    const RunSettings s = defaults("", 1002);
    const FilterTable table = buildFilterTable(s);
    const std::string text = scriptText(s, table, {seg(0, 200, 12, true)});
    EXPECT_EQ(text, "v001=Trim(0,1001)\n\nresult=EasyVFR_Create(v001,tcpath)\nresult\n" + kTrailer);
}

TEST(Script, NamesWidenWithTheSegmentCount) {
    EXPECT_EQ(segmentNumberWidth(999), 3);
    EXPECT_EQ(segmentNumberWidth(1000), 4);
    EXPECT_EQ(segmentNumberWidth(99999), 5);
    EXPECT_EQ(segmentNumberWidth(100000), 6);
    EXPECT_EQ(segmentNumberWidth(9999999), 7);
    EXPECT_EQ(segmentNumberWidth(10000000), 10);

    const RunSettings s = defaults("Var_Trim=part\nVar_EasyVFR=vfr\nVar_Time=tc\n", 5000);
    const FilterTable table = buildFilterTable(s);
    std::vector<Segment> segs;
    for (int i = 0; i < 1000; ++i) segs.push_back(seg(i, i, i % 2 ? 12 : 0));
    segs.back().isLast = true;
    const std::string text = scriptText(s, table, segs);
    EXPECT_EQ(text.substr(0, 18), "part0001=Trim(0000");
    EXPECT_NE(text.find("part1000=Trim(4995,4999)"), std::string::npos);
    EXPECT_NE(text.find("vfr=EasyVFR_Create(part0001,tc)\nvfr=vfr.EasyVFR_Append(part0002,tc)\n"),
              std::string::npos);
}

// The file system side (links, pipes, long names, what a failure leaves) is the whole-file
// writer's, tested in tests/common/wholefile_test.cpp with the options used here; what is left
// to zorvane is that a write succeeds or is reported failed, with nothing changed.
TEST(OutputFile, WritesWholeOrFailsChangingNothing) {
    namespace fs = std::filesystem;
    const qextest::TempDir dir;
    const fs::path target = dir.file("out.def");
    ASSERT_TRUE(writeOutputFile(target, "first\n"));
    ASSERT_TRUE(writeOutputFile(target, "second\nline\n"));
    EXPECT_EQ(contents(target), "second\nline\n");
    EXPECT_EQ(qextest::listing(dir.path()), std::vector<std::string>{"out.def"});

    for (const auto& c : qextest::unopenable_targets("out.def")) {
        SCOPED_TRACE(c.what);
        const qextest::TempDir scratch;
        const std::string target = c.make(scratch.path());
        const std::string before = qextest::tree(scratch.path());
        EXPECT_FALSE(writeOutputFile(target, "x"));
        EXPECT_EQ(qextest::tree(scratch.path()), before);
    }
}
