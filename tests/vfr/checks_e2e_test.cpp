// qexvfr refuses what it cannot do well before any work, and says why in the user's own terms:
// each case ends with one line on standard error naming the user's file, a non-zero status
// and the output as it was.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/media.h"
#include "tests/common/testkit.h"

namespace {

namespace fs = std::filesystem;
using qextest::TempDir;
using Result = qextest::RunResult;

const std::string kQexvfr = QEX_BUILD_DIR "/qexvfr";

using qextest::lines;

class Checks : public ::testing::Test {
  protected:
    // A 3 s recording at 320x240: film 0-29, 30p 30-54, 60i 55-84.
    static void SetUpTestSuite() {
        missing_ = qextest::first_missing({"x264", "mkvmerge", "ffmpeg", "ffprobe"});
        if (!missing_.empty()) return;
        dir_ = new TempDir;
        ASSERT_NO_THROW(qextest::sample_recording("rec.ts", {"3", "320x240"}, dir_->path()));
    }
    static void TearDownTestSuite() { delete dir_; }

    void SetUp() override { QEX_SKIP_IF_MISSING(missing_); }

    Result qexvfr(std::vector<std::string> args) {
        args.insert(args.begin(), kQexvfr);
        return qextest::run_program(args, work_.path());
    }

    // Runs qexvfr with `args` and expects it refused with a line that holds `says`.
    void expect_refused(const std::vector<std::string>& args, const std::string& says) {
        SCOPED_TRACE(says);
        work_.write("out.mkv", "old");
        const Result r = qexvfr(args);
        EXPECT_NE(r.status, 0);
        // Progress lines of the stages done may come first; the reason is one line, the last.
        std::vector<std::string> err;
        for (const std::string& l : lines(r.err))
            if (l.rfind("qexvfr: ", 0) == 0) err.push_back(l);
        ASSERT_EQ(err.size(), 1u) << r.err;
        EXPECT_EQ(lines(r.err).back(), err[0]);
        EXPECT_NE(err[0].find(says), std::string::npos) << err[0];
        EXPECT_EQ(err[0].find(".qexvfr-"), std::string::npos) << "names a temporary: " << err[0];
        EXPECT_EQ(qextest::read_file(work_.file("out.mkv")), "old");
        for (const auto& e : fs::recursive_directory_iterator(work_.path()))
            EXPECT_EQ(e.path().string().find(".qexvfr-"), std::string::npos) << e.path();
    }

    std::string rec() const { return dir_->file("rec.ts"); }

    static std::string missing_;
    static TempDir* dir_;
    TempDir work_;
};

std::string Checks::missing_;
TempDir* Checks::dir_ = nullptr;

TEST_F(Checks, EditedDefinitionMustCoverTheClip) {
    const std::string film = "set [24] film='SelectEvery(5,0,1,3,4)'\n0-29 [24] film\n";
    const struct {
        std::string def;
        std::string says;
    } refused[] = {
        {film + "40-84 [60] 'DoubleWeave()'\n",
         "e.def line 3: frames 30-39 are in no range (the range before ends on line 2)"},
        {film + "30-74 [30] on\n", "e.def line 3: frames 75-84 are in no range (after this one)"},
        {film + "54-30 [30] on\n55-84 [60] 'DoubleWeave()'\n",
         "e.def line 3: the range 54-30 runs backwards"},
        {film + "25-84 [30] on\n", "e.def line 3: frames 25-29 are also in the range on line 2"},
    };
    for (const auto& c : refused) {
        work_.write("e.def", c.def);
        expect_refused({rec(), "-o", "out.mkv", "--def", "e.def", "--preset", "ultrafast"}, c.says);
    }
    // The same edits, whole, are encoded.
    work_.write("e.def", film + "30-54 [30] on\n55-84 [60] 'DoubleWeave()'\n");
    const Result r = qexvfr({rec(), "-o", "out.mkv", "--def", "e.def", "--preset", "ultrafast"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Checks, MessagesNameTheUsersFiles) {
    ASSERT_NO_THROW(qextest::lavfi_clip(
        work_.file("one.ts"), "testsrc=size=320x240:rate=30000/1001", 1, {"-c:v", "mpeg2video"}));
    // The finer cuts keep a lone frame; the classic cycle cuts give nothing to encode.
    Result r = qexvfr({"one.ts", "-o", "one.mkv", "--preset", "ultrafast"});
    EXPECT_EQ(r.status, 0) << r.err;
    expect_refused({"one.ts", "-o", "out.mkv", "--zorvane", "-CUT 0"},
                   "one.ts: too short: 1 frame give nothing");
    // A settings file whose filter for 60i names a set that does not exist.
    work_.write("bad.ini", "Func_60fps=NoSuchSet\n");
    expect_refused({rec(), "-o", "out.mkv", "--settings", "bad.ini"},
                   "the definition made with bad.ini is refused: Qex: ");

    // Refused command lines: the reason, then the usage.
    const struct {
        std::vector<std::string> args;
        std::string says;
    } usage[] = {
        {{"--zorvane", "-BOGUS 1"}, "qexvfr: --zorvane: -BOGUS is not a zorvane option"},
        {{"--zorvane", "-REF abc"}, "qexvfr: --zorvane: -REF takes a whole number, not \"abc\""},
        {{"-o", "out.mp4"}, "qexvfr: OUTPUT must be named .mkv"},
    };
    for (const auto& c : usage) {
        std::vector<std::string> args = {rec(), "-o", "out.mkv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = qexvfr(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(lines(r.err).at(0).rfind(c.says, 0), 0u) << r.err;
        EXPECT_FALSE(fs::exists(work_.file("out.mp4")));
    }
}

// A small file system of its own (root may mount one; others skip the test).
class SmallDisk {
  public:
    SmallDisk(const std::string& path, long long bytes) : path_(path) {
        fs::create_directories(path);
        const std::string size = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, size.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) ::umount(path_.c_str());
    }
    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(Checks, FullDiskIsSaidSo) {
    // How much a whole run writes, then disks too small for x264's video, and for mkvmerge's
    // copy of it.
    Result r = qexvfr({rec(), "-o", "whole.mkv", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    const long long whole = static_cast<long long>(fs::file_size(work_.file("whole.mkv")));
    const struct {
        long long bytes;
        std::string says;
    } cases[] = {
        {whole / 4, "x264 failed"},
        {whole * 3 / 2, "mkvmerge failed (status 2)"},
    };
    for (const auto& c : cases) {
        SmallDisk disk(work_.file("small"), c.bytes);
        if (!disk.mounted()) GTEST_SKIP() << "no file system can be mounted here";
        const std::string folder = work_.file("small");
        work_.write("small/out.mkv", "old");
        r = qexvfr({rec(), "-o", "small/out.mkv", "--preset", "ultrafast"});
        EXPECT_EQ(r.status, 1);
        const std::string last = lines(r.err).back();
        EXPECT_EQ(last, "qexvfr: " + c.says + ": no space left on device in " + folder) << r.err;
        EXPECT_EQ(qextest::read_file(folder + "/out.mkv"), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    }
}

TEST_F(Checks, ErrorOnATerminalStartsItsOwnLine) {
    // x264 stops reading after five frames while the encoding line is on the screen.
    qextest::Launch launch;
    launch.cwd = work_.path();
    const qextest::Child child = qextest::start_on_terminal(
        {kQexvfr, rec(), "-o", "out.mkv", "--preset", "ultrafast", "--x264", "--frames 5"}, launch);
    const std::string screen = qextest::read_terminal(child.out);
    EXPECT_EQ(qextest::wait_for(child.pid), 1) << screen;
    const size_t at = screen.find("qexvfr: x264 failed");
    ASSERT_NE(at, std::string::npos) << screen;
    ASSERT_GT(at, 0u);
    EXPECT_EQ(screen[at - 1], '\n') << screen;
    // The progress was on screen, rewritten in place.
    EXPECT_NE(screen.find("\r\033[Kencode: "), std::string::npos) << screen;
}

}  // namespace
