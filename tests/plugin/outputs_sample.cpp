// Writes a timecodes file and chapter files (XML and text) for a mixed-rate output of a
// 30000/1001 source through the real writers, together with the times a consumer must read
// back from them: one millisecond value per output frame (expected_pts.txt) and one line
// "start end name" per chapter (expected_chapters.txt, times in milliseconds). Prints the
// number of output frames. Used by the end-to-end test with mkvmerge and ffprobe.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "plugin/model.h"
#include "plugin/outputs.h"

using namespace qex;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: outputs_sample DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    // 24 fps, 30 fps, 60 fps and 48 fps stretches, a few frames left out, one frame lengthened
    // as the rate adjustment does, and a dup frame.
    std::vector<int> durations;
    for (int i = 0; i < 60; ++i) durations.push_back(10);
    for (int i = 0; i < 60; ++i) durations.push_back(8);
    for (int i = 0; i < 40; ++i) durations.push_back(4);
    for (int i = 0; i < 30; ++i) durations.push_back(5);
    durations.back() = 13;
    for (int i = 0; i < 50; ++i) durations.push_back(10);

    const char* names[] = {"Opening", "Part A & B", "<Interlude>", "Ending >>"};
    const int chapter_frames[] = {0, 50, 130, 206};

    std::vector<OutputFrame> frames(durations.size());
    uint64_t ticks = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].time_ms = tick_time_ms(ticks, 30000, 1001);
        frames[i].duration = static_cast<uint8_t>(durations[i]);
        frames[i].flags = (i % 37 == 20) ? 0 : kFlagOn;
        if (i == 100) frames[i].flags = kFlagDup;
        ticks += static_cast<uint64_t>(durations[i]);
    }
    ChapterTable chapters;
    chapters.count = 4;
    std::strcpy(chapters.language, "eng");
    std::strcpy(chapters.charset, "UTF-8");
    chapters.end_time_ms = tick_time_ms(ticks, 30000, 1001);
    for (int k = 0; k < 4; ++k) {
        frames[static_cast<size_t>(chapter_frames[k])].flags |= kFlagChapter | kFlagKeyframe;
        chapters.entries[k].position = chapter_frames[k];
        std::strcpy(chapters.entries[k].name, names[k]);
    }

    const int32_t limit = static_cast<int32_t>(frames.size());
    const std::string xml = dir + "/sample.xml";
    if (write_chapters(frames, limit, chapters, xml) != 0) return 1;
    if (write_timecodes(frames, limit, xml, ".tc.txt") != 0) return 1;
    ChapterTable text = chapters;
    text.language[0] = 0;
    text.bom = 1;
    if (write_chapters(frames, limit, text, dir + "/sample_text.txt") != 0) return 1;

    std::ofstream pts(dir + "/expected_pts.txt");
    int count = 0;
    for (const OutputFrame& o : frames)
        if (o.flags & (kFlagOn | kFlagDup)) {
            pts << o.time_ms << "\n";
            ++count;
        }
    std::ofstream chap(dir + "/expected_chapters.txt");
    for (int k = 0; k < 4; ++k) {
        const uint64_t start = frames[static_cast<size_t>(chapter_frames[k])].time_ms;
        const uint64_t end = k < 3 ? frames[static_cast<size_t>(chapter_frames[k + 1])].time_ms - 1
                                   : chapters.end_time_ms;
        chap << start << " " << end << " " << names[k] << "\n";
    }
    std::printf("%d\n", count);
    return pts && chap ? 0 : 1;
}
