// A real consumer reads our outputs: a variable-rate qexpipe output is encoded with x264, muxed
// with mkvmerge using our timecodes and our XML chapters, and ffprobe must report every frame
// at the time we wrote and every chapter at its start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using qextest::RunResult;
using qextest::TempDir;

using qextest::find_program;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  std::string line;
  while (std::getline(s, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// "00:00:01.234" in milliseconds.
long long clock_ms(const std::string& t) {
  int h = 0, m = 0, s = 0, ms = 0;
  if (std::sscanf(t.c_str(), "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) return -1;
  return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

// Seconds as ffprobe prints them ("1.234000") in whole milliseconds.
long long seconds_ms(const std::string& t) { return std::llround(std::strtod(t.c_str(), nullptr) * 1000.0); }

TEST(EndToEnd, X264AndMkvmergeKeepOurTimestampsAndChapters) {
  const std::string x264 = find_program("x264");
  const std::string mkvmerge = find_program("mkvmerge");
  const std::string ffprobe = find_program("ffprobe");
  if (x264.empty() || mkvmerge.empty() || ffprobe.empty())
    GTEST_SKIP() << "x264, mkvmerge or ffprobe is not installed";

  TempDir d;
  // Film, plain 30, 60 fps and film again, with three chapters; the definition starts with the
  // UTF-8 byte order mark, so the chapter document declares UTF-8.
  d.write("v.def",
          "\xEF\xBB\xBF"
          "mode chapter_language = eng\n"
          "set [24] film='SelectEvery(5,0,1,3,4)'\n"
          "0-39 [24] film\n"
          "40-59 [30] on\n"
          "60-79 [60] 'DoubleWeave()'\n"
          "80-99 [24] film\n"
          "keyframes {\n"
          "0 Start\n"
          "40 Middle\n"
          "83 Film & more\n"
          "}\n");
  d.write("t.avs", qextest::load_plugins() +
                       "StampSource(100, 160, 96, \"YV12\", 30000, 1001)\n"
                       "Qex(def=\"v.def\", output=\"v.tc.txt\", chapter=\"v.xml\")\n");
  RunResult r = qextest::qexpipe(d, {"t.avs", "v.y4m"});
  ASSERT_EQ(r.status, 0) << r.err;

  r = qextest::run_program({x264, "--quiet", "--preset", "ultrafast", "--bframes", "0", "--crf",
                            "30", "-o", "v.264", "v.y4m"},
                           d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  r = qextest::run_program({mkvmerge, "-q", "-o", "v.mkv", "--chapters", "v.xml", "--timestamps",
                            "0:v.tc.txt", "v.264"},
                           d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // Every frame, in presentation order, at the start time we wrote.
  std::vector<std::string> tc = lines(qextest::read_file(d.file("v.tc.txt")));
  ASSERT_FALSE(tc.empty());
  ASSERT_EQ(tc.front(), "# timecode format v2");
  tc.erase(tc.begin());
  ASSERT_EQ(tc.size(), 108u);  // 32 film + 20 + 40 at 60 + 16 film
  r = qextest::run_program({ffprobe, "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=pts_time", "-of", "csv=p=0", "v.mkv"},
                           d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> pts = lines(r.out);
  ASSERT_EQ(pts.size(), tc.size());
  for (size_t i = 0; i < tc.size(); ++i)
    EXPECT_EQ(seconds_ms(pts[i]), std::atoll(tc[i].c_str())) << "frame " << i;

  // Every chapter at the start we wrote.
  const std::string xml = qextest::read_file(d.file("v.xml"));
  std::vector<long long> starts;
  for (size_t at = xml.find("<ChapterTimeStart>"); at != std::string::npos;
       at = xml.find("<ChapterTimeStart>", at + 1))
    starts.push_back(clock_ms(xml.substr(at + 18, 12)));
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0], 0);
  r = qextest::run_program({ffprobe, "-v", "error", "-show_entries", "chapter=start_time:chapter_tags=title",
                            "-of", "csv=p=0", "v.mkv"},
                           d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> chapters = lines(r.out);
  ASSERT_EQ(chapters.size(), starts.size()) << r.out;
  const char* titles[] = {"Start", "Middle", "Film & more"};
  for (size_t i = 0; i < chapters.size(); ++i) {
    const size_t comma = chapters[i].find(',');
    EXPECT_EQ(seconds_ms(chapters[i].substr(0, comma)), starts[i]) << chapters[i];
    EXPECT_EQ(chapters[i].substr(comma + 1), titles[i]);
  }
  // The chapter starts are frame starts of the stream.
  for (long long s : starts) EXPECT_THAT(tc, ::testing::Contains(std::to_string(s)));
}

}  // namespace
