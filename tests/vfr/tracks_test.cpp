// The input's other tracks: mkvmerge's identification read back, the move that places them
// against the first picture, and the summary's words for them.
#include <gtest/gtest.h>

#include "vfr/plan.h"
#include "vfr/tracks.h"

namespace {

using namespace qexvfr;

TEST(Identification, TracksLanguagesNamesAndChapters) {
    // The shape mkvmerge -J writes, UIDs too large for a double and escapes included.
    const Identification id = parse_identification(R"({
  "chapters": [{"num_entries": 3}, {"num_entries": 2}],
  "container": {"properties": {"is_providing_timestamps": true}, "recognized": true},
  "tracks": [
    {"codec": "MPEG-1/2", "id": 0, "properties": {"language": "und", "uid": 13701516934960352960},
     "type": "video"},
    {"codec": "MP2", "id": 1, "properties": {"language": "jpn", "track_name": "Main \"sound\"",
     "minimum_timestamp": 0, "default_track": false}, "type": "audio"},
    {"codec": "SubRip/SRT", "id": 2, "properties": {"track_name": "caf\u00e9"}, "type": "subtitles"},
    {"codec": "AC-3", "id": 3, "properties": {}, "type": "audio"}
  ],
  "warnings": []
})");
    ASSERT_EQ(id.tracks.size(), 4u);
    EXPECT_EQ(id.chapters, 5);
    const std::vector<Track> audio = tracks_of(id, "audio");
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0].id, 1);
    EXPECT_EQ(audio[0].codec, "MP2");
    EXPECT_EQ(track_label(audio[0]), "jpn \"Main \"sound\"\"");
    EXPECT_EQ(track_label(audio[1]), "und");
    const std::vector<Track> subs = tracks_of(id, "subtitles");
    ASSERT_EQ(subs.size(), 1u);
    EXPECT_EQ(subs[0].name, "caf\xC3\xA9");
    EXPECT_TRUE(tracks_of(parse_identification(R"({"container": {"recognized": false}})"), "audio")
                    .empty());

    for (const char* bad :
         {"", "{", R"({"tracks": [)", R"({"a": tru})", R"({"a": "x})", R"({} {})", "[1, 2"})
        EXPECT_THROW(parse_identification(bad), IdentifyError) << bad;
}

TEST(Placement, SoundMovesToTheFirstPicture) {
    EXPECT_EQ(to_ns({90000, 1, 90000}), 1000000000);
    EXPECT_EQ(to_ns({1001, 1, 24000}), 41708333);
    EXPECT_EQ(to_ns({-3, 1, 90000}), -33333);
    // A 33-bit transport stream clock near its top, in nanoseconds without overflow.
    EXPECT_EQ(to_ns({(int64_t(1) << 33) - 1, 1, 90000}), 95443717677778);

    const struct {
        int64_t picture, input_first, copied_first, want;
        const char* what;
    } cases[] = {
        // mkvmerge counted from the sound, which starts 0.5105 s before the picture.
        {1910522222, 1400000000, 0, -511, "sound first: its first half second is cut"},
        // mkvmerge counted from the (unused) picture track; the sound starts after it.
        {1440000000, 2429089000, 989089000, 0, "zero at the picture: nothing moves"},
        {1440000000, 2429089000, 0, 989, "sound later, copied from zero: moved later"},
        {2934867000, 2623344000, 0, -312, "cut inside a group: the picture starts late"},
        {100000000, 100400000, 0, 0, "under half a millisecond rounds to none"},
        {0, 600000, 0, 1, "half a millisecond and more rounds up"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sync_ms(c.picture, c.input_first, c.copied_first), c.want) << c.what;
}

TEST(Placement, CommandLines) {
    EXPECT_EQ(media_copy_command("mkvmerge", "in.ts", "w/m.mka", true),
              (std::vector<std::string>{"mkvmerge", "--quiet", "-o", "w/m.mka", "--no-video",
                                        "--no-buttons", "--no-attachments", "--no-global-tags",
                                        "in.ts"}));
    EXPECT_EQ(media_copy_command("mkvmerge", "in.ts", "m.mka", false).end()[-2], "--no-audio");

    // Qex's chapters come first (their own edition), the input's moved as its sound is.
    MuxPaths p{"o.mkv", "v.mkv", "tc.txt", "ch.xml", "m.mka", -511, true, -511, 960, 540};
    EXPECT_EQ(mkvmerge_command("mkvmerge", p),
              (std::vector<std::string>{"mkvmerge", "--quiet", "-o", "o.mkv", "--chapters",
                                        "ch.xml", "--display-dimensions", "0:960x540",
                                        "--timestamps", "0:tc.txt", "v.mkv", "--sync", "-1:-511",
                                        "--chapter-sync", "-511", "m.mka"}));
    p = MuxPaths{"o.mkv", "v.mkv", "tc.txt", "", "m.mka", 0, false, 0, 0, 0};
    EXPECT_EQ(mkvmerge_command("mkvmerge", p),
              (std::vector<std::string>{"mkvmerge", "--quiet", "-o", "o.mkv", "--timestamps",
                                        "0:tc.txt", "v.mkv", "--no-chapters", "m.mka"}));
    p.media.clear();
    EXPECT_EQ(mkvmerge_command("mkvmerge", p).back(), "v.mkv");
}

TEST(Placement, InputEditionsGiveWayToQexs) {
    EXPECT_EQ(without_default_editions(
                  "<Chapters><EditionEntry><EditionFlagDefault>1</EditionFlagDefault><ChapterAtom>"
                  "</ChapterAtom></EditionEntry><EditionEntry><EditionFlagDefault> 1 "
                  "</EditionFlagDefault></EditionEntry></Chapters>"),
              "<Chapters><EditionEntry><EditionFlagDefault>0</EditionFlagDefault><ChapterAtom>"
              "</ChapterAtom></EditionEntry><EditionEntry><EditionFlagDefault>0"
              "</EditionFlagDefault></EditionEntry></Chapters>");
    EXPECT_EQ(without_default_editions("<Chapters></Chapters>"), "<Chapters></Chapters>");
    EXPECT_EQ(without_default_editions("<EditionFlagDefault>1"), "<EditionFlagDefault>1");
}

TEST(Summary, WhatWasKept) {
    const Track jpn{1, "audio", "MP2", "jpn", "Main sound"}, eng{2, "audio", "AC-3", "eng", ""};
    const Track sub{3, "subtitles", "SubRip/SRT", "", ""};
    const struct {
        std::vector<Track> audio, subs;
        int def_chapters, input_chapters;
        std::string want;
    } cases[] = {
        {{}, {}, 0, 0, ""},
        {{jpn, eng}, {}, 0, 0, "sound: jpn \"Main sound\", eng"},
        {{eng}, {sub}, 3, 0, "sound: eng; subtitles: und; chapters: 3 from the definition"},
        {{}, {sub}, 0, 2, "subtitles: und; chapters: 2 from the input"},
        {{}, {}, 3, 2, "chapters: 3 from the definition, 2 from the input"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kept_text(c.audio, c.subs, c.def_chapters, c.input_chapters), c.want);
}

}  // namespace
