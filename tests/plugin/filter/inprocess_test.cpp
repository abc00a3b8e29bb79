// The plug-in loaded into the host library in this process: a failed construction followed by a
// working one, messages that span two lines, and frame requests outside the clip.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/env.h"
#include "plugin/vfrinfo.h"
#include "script/script.h"
#include "tests/plugin/filter/harness.h"

namespace {

using ::testing::HasSubstr;

struct Host {
    Host() {
        env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqex.so");
        env.LoadPlugin(std::string(QEX_BUILD_DIR) + "/libqexfiltertest.so");
    }
    // Runs a script text; every `@` stands for this test's folder.
    PClip run(const std::string& text) {
        std::string t;
        for (char c : text) t += c == '@' ? dir.path() : std::string(1, c);
        AVSValue v = engine.evaluate(t, "test.avs", dir.path());
        return v.AsClip();
    }
    std::string error_of(const std::string& text) {
        try {
            run(text);
        } catch (const AvisynthError& e) {
            return e.msg ? e.msg : "";
        }
        return "<no error>";
    }
    qextest::Stamp stamp(const PClip& clip, int n) {
        PVideoFrame f = clip->GetFrame(n, &env);
        const BYTE* p = f->GetReadPtr(PLANAR_Y);
        auto le32 = [](const BYTE* b) {
            return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                   uint32_t(b[3]) << 24;
        };
        return {le32(p), le32(p + f->GetPitch(PLANAR_Y))};
    }

    qextest::TempDir dir;
    qexhost::Environment env;
    qexhost::ScriptEngine engine{env};
};

const char* kSource = "StampSource(5, 64, 32, \"YV12\", 30000, 1001)";

TEST(InProcess, AFailedConstructionLeavesNoInstanceBehind) {
    Host h;
    h.dir.write("good.def", "0-4 [30] 'Loop(2,0,0)'\n");
    EXPECT_THAT(h.error_of(std::string(kSource) + ".Qex(def=\"@/missing.def\")"),
                HasSubstr("/missing.def)"));
    const PClip clip = h.run(std::string(kSource) + ".Qex(def=\"@/good.def\", fps=30)");
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->GetVideoInfo().num_frames, 5);
    EXPECT_EQ(h.stamp(clip, 0), qextest::Stamp(0, 1));
    EXPECT_EQ(h.stamp(clip, 4), qextest::Stamp(6, 7));
}

TEST(InProcess, AnInstanceWithPostFiltersIsReleasedWithItsEnvironment) {
    qextest::TempDir dir;
    dir.write("post.def", "0-4 on\n2-4 post='Loop(2,0,0)'\n");
    dir.write("plain.def", "0-4 on_b\n");
    {
        Host h;
        const PClip clip =
            h.run(std::string(kSource) + ".Qex(def=\"" + dir.file("post.def") + "\", fps=30)");
        ASSERT_TRUE(clip);
        EXPECT_EQ(h.stamp(clip, 1), qextest::Stamp(2, 3));
        EXPECT_EQ(h.stamp(clip, 2), qextest::Stamp(2, 3));  // frame 1 of the main instance
        EXPECT_EQ(h.stamp(clip, 4), qextest::Stamp(6, 7));
    }
    // The first environment is gone with everything it built; a new one gets a new instance.
    Host h;
    const PClip clip =
        h.run(std::string(kSource) + ".Qex(def=\"" + dir.file("plain.def") + "\", fps=30)");
    ASSERT_TRUE(clip);
    EXPECT_EQ(h.stamp(clip, 0), qextest::Stamp(2, 1));
}

TEST(InProcess, AliasFailuresQuoteTheExpressionAndTheHostMessageOnTwoLines) {
    Host h;
    h.dir.write("e.def", "1-4 [24] 'NoSuchFilter(3)'\n");
    const std::string msg = h.error_of(std::string(kSource) + ".Qex(def=\"@/e.def\")");
    EXPECT_THAT(msg, HasSubstr("Qex: Invoke failed. <trim(1,0).NoSuchFilter(3)>\n("));
    EXPECT_THAT(msg, HasSubstr("NoSuchFilter"));
}

struct StrategyCase {
    const char* name;
    const char* call;
};

TEST(InProcess, RequestsOutsideTheClipAreClampedInEveryStrategy) {
    const StrategyCase cases[] = {
        {"constant", ".Qex(def=\"@/a.def\", fps=30)"},
        {"variable", ".Qex(def=\"@/a.def\")"},
        {"opt", ".MakeVfrOut(\"33333\").Qex(def=\"@/a.def\", opt=1)"},
    };
    for (const StrategyCase& c : cases) {
        Host h;
        h.dir.write("a.def", "0-4 [30] 'Loop(2,0,0)'\n");
        const PClip clip = h.run(std::string(kSource) + c.call);
        ASSERT_TRUE(clip) << c.name;
        ASSERT_EQ(clip->GetVideoInfo().num_frames, 5) << c.name;
        EXPECT_EQ(h.stamp(clip, -3), qextest::Stamp(0, 1)) << c.name;
        EXPECT_EQ(h.stamp(clip, -2147483647 - 1), qextest::Stamp(0, 1)) << c.name;
        EXPECT_EQ(h.stamp(clip, 12), qextest::Stamp(6, 7)) << c.name;
        EXPECT_EQ(h.stamp(clip, 2147483647), qextest::Stamp(6, 7)) << c.name;
        // In-order serving is not disturbed by the stray requests.
        EXPECT_EQ(h.stamp(clip, 0), qextest::Stamp(0, 1)) << c.name;
        EXPECT_EQ(h.stamp(clip, 1), qextest::Stamp(0, 1)) << c.name;
        EXPECT_EQ(h.stamp(clip, 2), qextest::Stamp(2, 3)) << c.name;
    }
}

TEST(InProcess, SharedObjectsAreOwnerOnly) {
    Host h;
    h.dir.write("a.def", "0-4 [30] 'Loop(2,0,0)'\n");
    const PClip clip = h.run(std::string(kSource) + ".MakeVfrOut(\"33333\").Qex(def=\"@/a.def\")");
    ASSERT_TRUE(clip);
    const std::string pid = std::to_string(::getpid());
    for (const std::string& name : {"melvo_vfrinfo_" + pid, "sem.melvo_vfr_vfrinfo_header___" + pid,
                                    "sem.melvo_vfr_vfrinfo_frame___" + pid}) {
        struct stat st {};
        ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

TEST(InProcess, QexCutClampsRequestsBeforeItsFirstFrame) {
    Host h;
    h.dir.write("a.def", "0-4 [30] 'Loop(2,0,0)'\n");
    const PClip clip = h.run(std::string(kSource) + ".Qex(def=\"@/a.def\").QexCut()");
    ASSERT_TRUE(clip);
    // Out of order before anything was passed: the first frame, nothing moves.
    EXPECT_EQ(h.stamp(clip, -7), qextest::Stamp(0, 1));
    EXPECT_EQ(h.stamp(clip, 1000), qextest::Stamp(0, 1));
    EXPECT_EQ(h.stamp(clip, 0), qextest::Stamp(0, 1));
    EXPECT_EQ(h.stamp(clip, 1), qextest::Stamp(0, 1));
    EXPECT_EQ(h.stamp(clip, 2), qextest::Stamp(2, 3));
}

// QexCut past the end of the stream. The end raises SIGINT, so this runs in a child process
// that ignores the signal; the child reports what it saw as text.
TEST(InProcess, QexCutAfterTheEndRepeatsTheLastFrameAndClearsEntries) {
    qextest::TempDir dir;
    dir.write("a.def", "0-4 [30] 'Loop(2,0,0)'\n");
    const qextest::RunResult child = qextest::run_in_child([&] {
        ::signal(SIGINT, SIG_IGN);
        std::string report;
        try {
            Host h;
            const PClip clip = h.run(std::string(kSource) + ".Qex(def=\"" + dir.file("a.def") +
                                     "\").QexCut(timecodes=\"" + dir.file("cut.tc.txt") + "\")");
            for (int n : {0, 1, 2, 3, 4, 9, -5, 2, 2147483647}) {
                const qextest::Stamp st = h.stamp(clip, n);
                report += std::to_string(st.first) + "," + std::to_string(st.second) + " ";
            }
            qex::VfrInfoOut table;
            for (int n : {0, 1, 2, 3, 4}) report += std::to_string(table.duration(n)) + " ";
        } catch (const AvisynthError& e) {
            report = std::string("error: ") + (e.msg ? e.msg : "");
        }
        std::fputs(report.c_str(), stdout);
        // The child ends without exit handlers, so it removes the objects it created itself; a
        // later process given the same id would otherwise find them.
        char name[100];
        qex::vfrinfo_name(::getpid(), name);
        ::shm_unlink((std::string("/") + name).c_str());
        qex::vfrinfo_header_mutex_name(::getpid(), name);
        ::sem_unlink((std::string("/") + name).c_str());
        qex::vfrinfo_frame_mutex_name(::getpid(), name);
        ::sem_unlink((std::string("/") + name).c_str());
        return 0;
    });
    ASSERT_EQ(child.status, 0) << child.err;
    const std::string& report = child.out;
    // Frames 0-4 in order (Loop shows k-1), then the last frame for every later request; the
    // entries of the frames requested after the end (2 among them) read 0, the others keep 8.
    EXPECT_EQ(report, "0,1 0,1 2,3 4,5 6,7 6,7 6,7 6,7 6,7 8 8 0 8 8 ");
    EXPECT_EQ(qextest::read_file(dir.file("cut.tc.txt")),
              "# timecode format v2\n33\n67\n100\n133\n167\n");
}

}  // namespace
