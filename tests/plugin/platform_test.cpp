// Platform layer (POSIX side): mutex, end-of-stream signal, error box, trace lines, names.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "plugin/platform.h"
#include "tests/common/testkit.h"

namespace {

using qex::platform::NamedMutex;
using qex::platform::SharedMemory;

std::string unique(const char* base) {
    return base + std::to_string(getpid());
}

TEST(Platform, ProcessIdIsTheCurrentOne) {
    EXPECT_EQ(qex::platform::process_id(), int(getpid()));
}

TEST(Platform, NamedMutexExcludesASecondHolder) {
    NamedMutex m;
    ASSERT_TRUE(m.create(unique("qex_test_mutex_").c_str()));
    m.lock();
    std::atomic<bool> got{false};
    std::thread other([&] {
        m.lock();
        got = true;
        m.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(got.load());
    m.unlock();
    other.join();
    EXPECT_TRUE(got.load());
    m.lock();  // free again
    m.unlock();
}

TEST(Platform, UnopenedObjectsDoNothing) {
    NamedMutex m;
    EXPECT_FALSE(m.is_open());
    m.lock();
    m.unlock();
    SharedMemory s;
    EXPECT_FALSE(s.is_open());
    EXPECT_EQ(s.data(), nullptr);
    EXPECT_EQ(s.size(), 0u);
}

TEST(Platform, BadNamesAreRefused) {
    SharedMemory s;
    EXPECT_FALSE(s.create("", 16));
    EXPECT_FALSE(s.create("a/b", 16));
    EXPECT_FALSE(s.create(std::string(101, 'n').c_str(), 16));
    EXPECT_FALSE(s.create(unique("qex_test_zero_").c_str(), 0));
    EXPECT_FALSE(s.open(unique("qex_test_absent_").c_str()));
    NamedMutex m;
    EXPECT_FALSE(m.create(std::string(101, 'n').c_str()));
}

TEST(Platform, SharedMemoryIsSeenByAnOpener) {
    const std::string name = unique("qex_test_shm_");
    SharedMemory a;
    ASSERT_TRUE(a.create(name.c_str(), 100));
    ASSERT_EQ(a.size(), 100u);
    for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(a.data()[i], 0);
    a.data()[42] = 7;
    SharedMemory b;
    ASSERT_TRUE(b.open(name.c_str()));
    EXPECT_EQ(b.size(), 100u);
    EXPECT_EQ(b.data()[42], 7);
    b.data()[43] = 9;
    EXPECT_EQ(a.data()[43], 9);
    a.close();  // the creator removes the name; the opener keeps its view
    EXPECT_EQ(b.data()[42], 7);
    SharedMemory c;
    EXPECT_FALSE(c.open(name.c_str()));
}

// The end of the stream is this process's own affair: another member of its process group (an
// encoder reading the pipe) must not be signalled.
TEST(Platform, EndOfStreamSignalReachesThisProcessOnly) {
    // The child leads a group of its own, so the test runner is never signalled.
    const qextest::RunResult r = qextest::run_in_child([] {
        static volatile sig_atomic_t got = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) { got = 1; };
        sigaction(SIGINT, &sa, nullptr);
        int ready[2];
        if (pipe(ready) != 0) return 3;
        const pid_t peer = fork();
        if (peer == 0) {  // same group, same handler
            (void)!write(ready[1], "r", 1);
            for (int i = 0; i < 60 && !got; ++i) usleep(5000);
            _exit(got ? 1 : 0);
        }
        char c;
        (void)!read(ready[0], &c, 1);
        qex::platform::signal_end_of_stream();
        for (int i = 0; i < 200 && !got; ++i) usleep(5000);
        int peer_status = 0;
        waitpid(peer, &peer_status, 0);
        const bool peer_untouched = WIFEXITED(peer_status) && WEXITSTATUS(peer_status) == 0;
        return !got ? 1 : !peer_untouched ? 2 : 0;
    });
    EXPECT_EQ(r.status, 0) << "1: not signalled itself, 2: the group was signalled";
}

TEST(Platform, ErrorBoxIsOneLineOnStandardError) {
    ::testing::internal::CaptureStderr();
    qex::platform::error_box("no sequential frame access", "QexCut");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "QexCut: no sequential frame access\n");
}

TEST(Platform, TraceLinesOnlyWhenAskedFor) {
    unsetenv("QEX_TRACE");
    ::testing::internal::CaptureStderr();
    qex::platform::trace("%d <%s>", 3, "abc");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    setenv("QEX_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    qex::platform::trace("%d <%s>", 3, "abc");
    qex::platform::trace("%s", std::string(2000, 'x').c_str());  // cut at 1023 characters
    const std::string err = ::testing::internal::GetCapturedStderr();
    unsetenv("QEX_TRACE");
    EXPECT_EQ(err, "3 <abc>\n" + std::string(1023, 'x') + "\n");
}

}  // namespace
