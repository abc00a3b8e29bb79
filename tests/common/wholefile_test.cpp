// The whole-file writer: names, link following, replacing with kept permissions, streaming,
// devices and pipes written in place, and every failure leaving the target as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/wholefile.h"
#include "tests/common/fifo_reader.h"
#include "tests/common/testkit.h"

namespace fs = std::filesystem;
using wholefile::Output;
using wholefile::Status;
using wholefile::Step;

namespace {

using qextest::read_file;
using qextest::write_file;

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

using qex_test::FifoReader;

class WholeFile : public ::testing::Test {
  protected:
    std::vector<std::string> listing(const fs::path& d) const { return qextest::listing(d); }
    std::vector<std::string> listing() const { return listing(dir_); }
    qextest::TempDir scratch_;
    const fs::path dir_ = scratch_.path();
};

TEST(Names, TemporaryFileSitsBesideTheTarget) {
    struct Case {
        const char* target;
        const char* tag;
        const char* prefix;
    };
    const Case cases[] = {
        {"out.def", "zorvane", ".zorvane-"},
        {"a/b/out.def", "qex", "a/b/.qex-"},
        {"/abs/x", "t", "/abs/.t-"},
        {"/x", "t", "/.t-"},
        {"dir/", "t", "dir/.t-"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wholefile::temp_prefix(c.target, c.tag), c.prefix) << c.target;
    // A long target name does not make the temporary name longer.
    EXPECT_EQ(wholefile::temp_prefix("d/" + std::string(255, 'n'), "qex"), "d/.qex-");
}

TEST(Names, LinkDestinations) {
    struct Case {
        const char* link;
        const char* contents;
        const char* expected;
    };
    const Case cases[] = {
        {"dir/link", "real", "dir/real"}, {"dir/link", "../up/real", "dir/../up/real"},
        {"link", "real", "real"},         {"/a/link", "/b/real", "/b/real"},
        {"/link", "real", "/real"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wholefile::link_destination(c.link, c.contents), c.expected) << c.link;
}

TEST_F(WholeFile, WritesNewFilesAndReplacesWhole) {
    const fs::path target = dir_ / "out.txt";
    const mode_t old_mask = ::umask(027);
    const Status first = wholefile::write_file(target, "a first version, longer than the second\n");
    ::umask(old_mask);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(mode_of(target), 0640u);  // what a plain open would have made
    ::chmod(target.c_str(), 0604);
    ASSERT_TRUE(wholefile::write_file(target, "second\n").ok());
    EXPECT_EQ(read_file(target), "second\n");
    EXPECT_EQ(mode_of(target), 0604u);
    EXPECT_EQ(listing(), std::vector<std::string>{"out.txt"});
}

TEST_F(WholeFile, LongestFileNameAndRelativePaths) {
    ASSERT_TRUE(wholefile::write_file(dir_ / std::string(255, 'n'), "x\n").ok());
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir_);
    const Status plain = wholefile::write_file("plain.txt", "y\n");
    fs::create_symlink("plain.txt", "link.txt");
    const Status through = wholefile::write_file("link.txt", "z\n");
    fs::current_path(old_cwd);
    ASSERT_TRUE(plain.ok());
    ASSERT_TRUE(through.ok());
    EXPECT_EQ(read_file(dir_ / std::string(255, 'n')), "x\n");
    EXPECT_EQ(read_file(dir_ / "plain.txt"), "z\n");
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"link.txt", std::string(255, 'n'), "plain.txt"}));
}

TEST_F(WholeFile, StreamAppearsOnlyAtCommit) {
    const fs::path target = dir_ / "video.y4m";
    write_file(target, "old");
    {
        Output out;
        ASSERT_TRUE(out.open(target, {"qexpipe", false}).ok());
        EXPECT_FALSE(out.in_place());
        EXPECT_EQ(fs::path(out.temp_path()).parent_path(), dir_);
        EXPECT_EQ(fs::path(out.temp_path()).filename().string().rfind(".qexpipe-", 0), 0u);
        ASSERT_TRUE(out.write("new ").ok());
        ASSERT_TRUE(out.write("frames").ok());
        EXPECT_EQ(read_file(target), "old");
        ASSERT_TRUE(out.commit().ok());
        EXPECT_TRUE(out.temp_path().empty());
    }
    EXPECT_EQ(read_file(target), "new frames");
    {
        Output dropped;
        ASSERT_TRUE(dropped.open(target).ok());
        ASSERT_TRUE(dropped.write("half").ok());
        EXPECT_EQ(listing().size(), 2u);
    }
    EXPECT_EQ(read_file(target), "new frames");
    EXPECT_EQ(listing(), std::vector<std::string>{"video.y4m"});
}

TEST_F(WholeFile, LinksAreFollowedAndStay) {
    fs::create_directories(dir_ / "real");
    write_file(dir_ / "real" / "t.txt", "old\n");
    ::chmod((dir_ / "real" / "t.txt").c_str(), 0600);
    fs::create_symlink("real/t.txt", dir_ / "one");
    fs::create_symlink(dir_ / "one", dir_ / "two");  // a chain: absolute, then relative
    wholefile::Target target;
    ASSERT_TRUE(wholefile::resolve(dir_ / "two", target).ok());
    EXPECT_EQ(target.path, (dir_ / "real" / "t.txt").string());
    EXPECT_TRUE(target.exists);
    EXPECT_FALSE(target.in_place);

    ASSERT_TRUE(wholefile::write_file(dir_ / "two", "new\n").ok());
    EXPECT_TRUE(fs::is_symlink(dir_ / "one"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "two"));
    EXPECT_EQ(read_file(dir_ / "real" / "t.txt"), "new\n");
    EXPECT_EQ(mode_of(dir_ / "real" / "t.txt"), 0600u);
    EXPECT_EQ(listing(dir_ / "real"), std::vector<std::string>{"t.txt"});

    // A dangling link gets its target created.
    fs::create_symlink("real/u.txt", dir_ / "dangling");
    ASSERT_TRUE(wholefile::write_file(dir_ / "dangling", "u\n").ok());
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
    EXPECT_EQ(read_file(dir_ / "real" / "u.txt"), "u\n");
}

TEST_F(WholeFile, LinkLoopsAndLongChainsAreRefused) {
    fs::create_symlink("loop2", dir_ / "loop1");
    fs::create_symlink("loop1", dir_ / "loop2");
    const Status loop = wholefile::write_file(dir_ / "loop1", "x");
    EXPECT_EQ(loop.step, Step::kLinks);
    EXPECT_EQ(loop.error, ELOOP);
    EXPECT_TRUE(loop.open_failed());

    // 40 links are followed, 41 are not.
    write_file(dir_ / "end", "e");
    std::string previous = "end";
    for (int i = 1; i <= 41; ++i) {
        const std::string name = "chain" + std::to_string(i);
        fs::create_symlink(previous, dir_ / name);
        previous = name;
    }
    EXPECT_TRUE(wholefile::write_file(dir_ / "chain40", "forty").ok());
    EXPECT_EQ(read_file(dir_ / "end"), "forty");
    EXPECT_EQ(wholefile::write_file(dir_ / "chain41", "x").step, Step::kLinks);
    EXPECT_EQ(read_file(dir_ / "end"), "forty");
    EXPECT_EQ(listing().size(), 2u + 1u + 41u);
}

TEST_F(WholeFile, FailuresLeaveTheTargetAndNoTemporary) {
    const Status missing = wholefile::write_file(dir_ / "no" / "x.txt", "x");
    EXPECT_EQ(missing.step, Step::kCreate);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(missing.open_failed());

    fs::create_directories(dir_ / "folder" / "inside");
    const Status folder = wholefile::write_file(dir_ / "folder", "x");
    EXPECT_EQ(folder.step, Step::kFolder);
    EXPECT_TRUE(folder.open_failed());
    EXPECT_TRUE(fs::is_directory(dir_ / "folder" / "inside"));

    // A directory reached through a link is a folder too.
    fs::create_symlink("folder", dir_ / "to_folder");
    EXPECT_EQ(wholefile::write_file(dir_ / "to_folder", "x").step, Step::kFolder);
    EXPECT_EQ(listing(), (std::vector<std::string>{"folder", "to_folder"}));
}

TEST_F(WholeFile, FailedWriteKeepsTheOldFile) {
    const fs::path target = dir_ / "out.txt";
    write_file(target, "old\n");
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Status s = wholefile::write_file(target, "longer than four bytes\n");
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(s.step, Step::kWrite);
    EXPECT_EQ(s.error, EFBIG);
    EXPECT_FALSE(s.open_failed());
    EXPECT_EQ(read_file(target), "old\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"out.txt"});
}

TEST_F(WholeFile, ReadOnlyFileIsNotReplaced) {
    if (::geteuid() == 0) GTEST_SKIP() << "the superuser may write any file";
    const fs::path target = dir_ / "locked.txt";
    write_file(target, "kept\n");
    ::chmod(target.c_str(), 0444);
    const Status s = wholefile::write_file(target, "x");
    EXPECT_EQ(s.step, Step::kOpen);
    EXPECT_EQ(s.error, EACCES);
    EXPECT_EQ(read_file(target), "kept\n");

    // A directory that may not be written to cannot take the temporary file.
    ::chmod(target.c_str(), 0644);
    ::chmod(dir_.c_str(), 0555);
    EXPECT_EQ(wholefile::write_file(target, "x").step, Step::kCreate);
    ::chmod(dir_.c_str(), 0755);
    EXPECT_EQ(read_file(target), "kept\n");
    EXPECT_EQ(listing(), std::vector<std::string>{"locked.txt"});
}

TEST_F(WholeFile, ReplacedFileKeepsItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser may give a file away";
    const fs::path target = dir_ / "owned.txt";
    write_file(target, "old\n");
    ASSERT_EQ(::chown(target.c_str(), 4321, 4322), 0);
    ::chmod(target.c_str(), 0640);
    ASSERT_TRUE(wholefile::write_file(target, "new\n").ok());
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(target), "new\n");
}

TEST_F(WholeFile, DevicesAreWrittenInPlace) {
    wholefile::Target target;
    ASSERT_TRUE(wholefile::resolve("/dev/null", target).ok());
    EXPECT_TRUE(target.in_place);
    Output out;
    ASSERT_TRUE(out.open("/dev/null").ok());
    EXPECT_TRUE(out.in_place());
    EXPECT_TRUE(out.temp_path().empty());
    EXPECT_TRUE(out.write("discarded").ok());
    EXPECT_TRUE(out.commit().ok());
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(WholeFile, NamedPipeIsWrittenInPlaceEvenThroughALink) {
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("pipe", dir_ / "to_pipe");
    // More than a pipe holds, so that the writer waits for the reader.
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    for (const char* name : {"pipe", "to_pipe"}) {
        FifoReader reader(fifo);
        const Status s = wholefile::write_file(dir_ / name, big);
        EXPECT_TRUE(s.ok()) << name << ": " << static_cast<int>(s.step) << " " << s.error;
        EXPECT_EQ(reader.finish(), big) << name;
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(dir_ / "to_pipe"));
    EXPECT_EQ(listing(), (std::vector<std::string>{"pipe", "to_pipe"}));
}

TEST_F(WholeFile, StandardOutputStyleLinkToAPipe) {
    // /dev/stdout reaches the pipe through /proc/self/fd/1, whose contents are no path.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const std::string link = "/proc/self/fd/" + std::to_string(ends[1]);
    if (!fs::exists(link)) GTEST_SKIP() << "no /proc";
    EXPECT_TRUE(wholefile::write_file(link, "through the pipe\n").ok());
    ::close(ends[1]);
    char buf[64] = {};
    const ssize_t got = ::read(ends[0], buf, sizeof buf);
    ::close(ends[0]);
    EXPECT_EQ(std::string(buf, got > 0 ? static_cast<std::size_t>(got) : 0), "through the pipe\n");
}

TEST_F(WholeFile, ReaderThatLeftIsAWriteErrorNotASignal) {
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // SIGPIPE keeps its default action here: if it were raised, the test program would end.
    const auto old_handler = std::signal(SIGPIPE, SIG_DFL);
    Status s;
    {
        FifoReader reader(fifo, /*read=*/false);
        s = wholefile::write_file(fifo, std::string(1 << 20, 'x'));
        reader.finish();
    }
    std::signal(SIGPIPE, old_handler);
    EXPECT_EQ(s.step, Step::kWrite);
    EXPECT_EQ(s.error, EPIPE);
    sigset_t pending, mask;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
    EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
