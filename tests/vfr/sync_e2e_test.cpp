// Sound against picture, checked the way people check it: recordings that flash a white box and
// beep at the same instants, in a telecined film part and a 60i part, are turned into Matroska
// files by qexvfr; in each, every flash (the picture's mean luma) must meet its beep (the end
// of a silence) within 25 ms, and picture and sound must end together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"

namespace {

using qextest::TempDir;
using Result = qextest::RunResult;

const std::string kQexvfr = QEX_BUILD_DIR "/qexvfr";

using qextest::lines;

// Where the flashes start: film frames (at 24000/1001) and fields of the 60i part (at
// 60000/1001); see qextest::flash_recording.
struct Flashes {
    std::vector<int> film;
    std::vector<int> fields;
};

class Sync : public ::testing::Test {
  protected:
    void SetUp() override { QEX_SKIP_WITHOUT("x264", "mkvmerge", "ffmpeg", "ffprobe"); }

    Result run(const std::vector<std::string>& argv) {
        return qextest::run_program(argv, dir_.path());
    }

    void make(const std::string& name, const Flashes& f, double lead) {
        ASSERT_NO_THROW(qextest::flash_recording(name, f.film, f.fields, lead, dir_.path()));
    }

    // The recording from its packet `packets` on, as a recorder that starts mid-broadcast.
    void cut(const std::string& from, const std::string& to, size_t packets) {
        const std::string bytes = qextest::read_file(dir_.file(from));
        ASSERT_GT(bytes.size(), packets * 188);
        dir_.write(to, bytes.substr(packets * 188));
    }

    // Start times (s) of the flashes of the first video track: frames whose mean luma rises
    // above 140 after one at or below it.
    std::vector<double> flashes(const std::string& mkv) {
        std::vector<double> out;
        bool lit = false;
        for (const std::string& l :
             qextest::probe("movie=" + mkv + ",signalstats",
                            {"-f", "lavfi", "-show_entries",
                             "frame=pts_time:frame_tags=lavfi.signalstats.YAVG"},
                            dir_.path())) {
            const size_t comma = l.find(',');
            const double t = std::strtod(l.c_str(), nullptr);
            const double y = std::strtod(l.c_str() + comma + 1, nullptr);
            if (y > 140 && !lit) out.push_back(t);
            lit = y > 140;
        }
        return out;
    }

    // Start times (s) of the beeps of the first audio track: the ends of its silences.
    std::vector<double> beeps(const std::string& mkv) {
        const std::string said = qextest::filter_report(
            {"-copyts", "-i", mkv, "-map", "0:a:0", "-af", "silencedetect=n=-30dB:d=0.03"},
            dir_.path());
        std::vector<double> out;
        const std::string key = "silence_end: ";
        for (size_t at = said.find(key); at != std::string::npos; at = said.find(key, at + 1))
            out.push_back(std::strtod(said.c_str() + at + key.size(), nullptr));
        return out;
    }

    // End (s) of the last packet of a stream.
    double stream_end(const std::string& mkv, const std::string& stream) {
        double end = -1;
        for (const std::string& l : qextest::probe(
                 mkv, {"-select_streams", stream, "-show_entries", "packet=pts_time,duration_time"},
                 dir_.path())) {
            const size_t comma = l.find(',');
            end = std::max(
                end, std::strtod(l.c_str(), nullptr) + std::strtod(l.c_str() + comma + 1, nullptr));
        }
        return end;
    }

    // Runs qexvfr on `input` and checks every flash against every beep; returns how many met.
    size_t check(const std::string& input) {
        const std::string mkv = input + ".mkv";
        const Result r = run({kQexvfr, input, "-o", mkv, "--preset", "ultrafast"});
        EXPECT_EQ(r.status, 0) << r.err;
        said_ = r.err;
        if (r.status != 0) return 0;
        const std::vector<double> seen = flashes(mkv), heard = beeps(mkv);
        const double video_end = stream_end(mkv, "v:0"), audio_end = stream_end(mkv, "a:0");
        EXPECT_LE(std::fabs(video_end - audio_end), 0.1)
            << "picture ends at " << video_end << " s, sound at " << audio_end << " s";
        auto nearest = [](const std::vector<double>& v, double t) {
            double best = 1e9;
            for (double x : v) best = std::min(best, std::fabs(x - t));
            return best;
        };
        size_t met = 0;
        // A flash or beep under way when the file starts, and the silence that runs to the
        // end of the sound, have no partner to meet.
        for (double t : seen) {
            if (t < 0.05) continue;
            EXPECT_LE(nearest(heard, t), 0.025) << "the flash at " << t << " s in " << mkv;
            met += nearest(heard, t) <= 0.025;
        }
        for (double t : heard) {
            if (t >= 0.05 && t < audio_end - 0.05) {
                EXPECT_LE(nearest(seen, t), 0.025) << "the beep at " << t << " s in " << mkv;
            }
        }
        return met;
    }

    TempDir dir_;
    std::string said_;  // what the last qexvfr printed on standard error
};

TEST_F(Sync, SoundStartingBeforeThePicture) {
    make("lead.ts", {{10, 35, 61, 80}, {15, 47, 90}}, 0.5);
    EXPECT_EQ(check("lead.ts"), 7u);
    make("late.ts", {{5, 22, 49, 73, 91}, {8, 60, 101}}, 0.25);
    EXPECT_EQ(check("late.ts"), 8u);
}

TEST_F(Sync, RecordingCutInsideAPictureGroup) {
    // Cut at transport packets inside a group of pictures: sound comes first, the picture only
    // from the next group's key frame.
    make("whole.ts", {{17, 44, 70, 90}, {6, 33, 71, 104}}, 0);
    cut("whole.ts", "cut1.ts", 700);
    EXPECT_EQ(check("cut1.ts"), 7u);
    cut("whole.ts", "cut2.ts", 1300);
    EXPECT_EQ(check("cut2.ts"), 6u);
}

TEST_F(Sync, SoundStaysInStepAcrossLostPackets) {
    // A weak signal: a run of transport packets lost between the flashes, pictures and sound
    // alike. VideoSource fills the lost pictures' slots, so every later flash keeps its time.
    make("whole.ts", {{10, 20, 90}, {40, 100}}, 0);
    const std::string bytes = qextest::read_file(dir_.file("whole.ts"));
    const size_t packets = bytes.size() / 188, from = packets * 2 / 5, lost = packets / 30;
    dir_.write("lost.ts", bytes.substr(0, from * 188) + bytes.substr((from + lost) * 188));
    EXPECT_EQ(check("lost.ts"), 5u);
    EXPECT_NE(said_.find("repeat the last good picture"), std::string::npos) << said_;
}

TEST_F(Sync, EveryTrackKeepsItsLanguageAndName) {
    // The recording in Matroska with a second sound track, both named and in a language.
    make("lead.ts", {{12, 40, 66}, {20, 77}}, 0.5);
    ASSERT_NO_THROW(qextest::ffmpeg(
        {"-i", "lead.ts", "-map", "0:v", "-map", "0:a", "-map", "0:a", "-c", "copy",
         "-metadata:s:a:0", "language=jpn", "-metadata:s:a:0", "title=Main sound",
         "-metadata:s:a:1", "language=eng", "-metadata:s:a:1", "title=Dub", "two.mkv"},
        dir_.path()));
    EXPECT_EQ(check("two.mkv"), 5u);
    EXPECT_EQ(
        qextest::probe("two.mkv.mkv",
                       {"-select_streams", "a", "-show_entries", "stream_tags=language,title"},
                       dir_.path()),
        (std::vector<std::string>{"jpn,Main sound", "eng,Dub"}));
}

// "HH:MM:SS,mmm" of seconds, as SubRip writes times.
std::string srt_time(double seconds) {
    const long long ms = std::llround(seconds * 1000);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    return buf;
}

TEST_F(Sync, SubtitlesAndChaptersFollowTheSound) {
    // A Matroska file of a recording whose sound starts half a second before the picture, with
    // a subtitle and a chapter at each flash of the film part; they are times on the file's
    // clock, which counts from the sound.
    const std::vector<int> film = {9, 30, 58, 83};
    make("lead.ts", {film, {40}}, 0.5);
    std::string srt, meta = ";FFMETADATA1\n";
    for (size_t i = 0; i < film.size(); ++i) {
        const double at = 0.5 + film[i] * 1001.0 / 24000;
        srt += std::to_string(i + 1) + "\n" + srt_time(at) + " --> " + srt_time(at + 0.3) +
               "\nline " + std::to_string(i) + "\n\n";
        meta += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" + std::to_string(std::llround(at * 1000)) +
                "\nEND=" + std::to_string(std::llround(at * 1000) + 300) + "\ntitle=Flash " +
                std::to_string(i) + "\n";
    }
    dir_.write("cues.srt", srt);
    dir_.write("meta.txt", meta);
    ASSERT_NO_THROW(qextest::ffmpeg(
        qextest::words("-i lead.ts -f ffmetadata -i meta.txt -i cues.srt -map 0 -map 2 "
                       "-map_chapters 1 -c copy -c:s srt -metadata:s:s:0 language=fre "
                       "-metadata:s:s:0 title=Lines cues.mkv"),
        dir_.path()));
    EXPECT_EQ(check("cues.mkv"), 5u);
    const std::vector<double> seen = flashes("cues.mkv.mkv");

    auto times = [&](const std::vector<std::string>& what) {
        return qextest::probe("cues.mkv.mkv", what, dir_.path());
    };
    const std::vector<std::string> cues =
        times({"-select_streams", "s:0", "-show_entries", "packet=pts_time"});
    const std::vector<std::string> chapters =
        times({"-show_entries", "chapter=start_time:chapter_tags=title"});
    ASSERT_EQ(cues.size(), film.size());
    ASSERT_EQ(chapters.size(), film.size());
    for (size_t i = 0; i < film.size(); ++i) {
        EXPECT_NEAR(std::strtod(cues[i].c_str(), nullptr), seen[i], 0.025) << "line " << i;
        EXPECT_NEAR(std::strtod(chapters[i].c_str(), nullptr), seen[i], 0.025) << chapters[i];
        EXPECT_EQ(chapters[i].substr(chapters[i].find(',') + 1), "Flash " + std::to_string(i));
    }
    EXPECT_EQ(times({"-select_streams", "s:0", "-show_entries", "stream_tags=language,title"}),
              (std::vector<std::string>{"fre,Lines"}));

    // With Qex's own chapters from a definition, those come first.
    dir_.write("own.def",
               "0-119 [24] (5,0,2)\n120-179 [30] on\nkeyframes {\n0 Film\n120 Video\n}\n");
    Result r =
        run({kQexvfr, "cues.mkv", "-o", "own.mkv", "--def", "own.def", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nkept: sound: und; subtitles: fre \"Lines\"; chapters: 2 from the "
                         "definition, 4 from the input\n"),
              std::string::npos)
        << r.out;
    // Qex's edition first and shown by default (FFmpeg lists that one), the input's after it.
    EXPECT_EQ(qextest::probe("own.mkv", {"-show_entries", "chapter_tags=title"}, dir_.path()),
              (std::vector<std::string>{"Film", "Video"}));
    r = run({qextest::find_program("mkvextract"), "own.mkv", "chapters", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> titles;
    const std::string tag = "<ChapterString>";
    for (size_t at = r.out.find(tag); at != std::string::npos; at = r.out.find(tag, at + 1))
        titles.push_back(r.out.substr(at + tag.size(), r.out.find('<', at + 1) - at - tag.size()));
    EXPECT_EQ(titles, (std::vector<std::string>{"Film", "Video", "Flash 0", "Flash 1", "Flash 2",
                                                "Flash 3"}));
    EXPECT_EQ(r.out.find("<EditionFlagDefault>1<"), std::string::npos) << r.out;
}

}  // namespace
