// VFR-info shared memory: the publisher, QexCut's reader and the outside verdict table,
// in this process and across a fork.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "plugin/platform.h"
#include "plugin/vfrinfo.h"
#include "tests/common/testkit.h"

namespace {

using namespace std::string_literals;
using qex::VfrInfoMap;
using qex::VfrInfoOut;
using qex::VfrOut;

std::uint32_t u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::string name_of(void (*fmt)(int, char*), int pid) {
    char buf[100];
    fmt(pid, buf);
    return buf;
}

bool shm_exists(const std::string& name) {
    const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool sem_exists(const std::string& name) {
    sem_t* s = sem_open(("/" + name).c_str(), 0);
    if (s == SEM_FAILED) return false;
    sem_close(s);
    return true;
}

TEST(VfrInfoNames, FormatsEndInTheProcessId) {
    EXPECT_EQ(name_of(qex::vfrinfo_name, 1234), "melvo_vfrinfo_1234");
    EXPECT_EQ(name_of(qex::vfrinfo_header_mutex_name, 1234), "melvo_vfr_vfrinfo_header___1234");
    EXPECT_EQ(name_of(qex::vfrinfo_frame_mutex_name, 1234), "melvo_vfr_vfrinfo_frame___1234");
    EXPECT_EQ(name_of(qex::vfrout_name, 1234), "vfrout_1234");
}

TEST(VfrInfoMap, HundredFrameBlockLayout) {
    VfrInfoMap map(100);
    ASSERT_TRUE(map.ok());
    const std::uint8_t* v = map.view();
    EXPECT_EQ(u32(v + 0), 1u);
    EXPECT_EQ(u32(v + 4), 0u);
    EXPECT_EQ(u32(v + 8), 912u);
    EXPECT_EQ(u32(v + 12), 100u);
    EXPECT_EQ(v[16], 1);
    for (int i = 17; i < 912; ++i) ASSERT_EQ(v[i], 0) << i;
    EXPECT_EQ(map.count(), 100);

    map.mark_built();
    EXPECT_EQ(u32(v + 4), 1u);
    EXPECT_EQ(v[16], 2);
    EXPECT_EQ(u32(v + 0), 1u);
    EXPECT_EQ(u32(v + 8), 912u);
}

TEST(VfrInfoMap, PublishedEntriesReadBackInTheSameProcess) {
    VfrInfoMap map(10);
    ASSERT_TRUE(map.ok());
    map.mark_built();
    VfrInfoOut out;
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.count(), 10);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(out.duration(k), 0) << k;

    map.publish(0, 8, 0xFF);  // only dup and keyframe are published
    map.publish(1, 10, 1 | 8);
    map.publish(2, 200, 2);
    EXPECT_EQ(out.duration(0), 8);
    EXPECT_EQ(out.flags(0), 6);
    EXPECT_EQ(out.duration(1), 10);
    EXPECT_EQ(out.flags(1), 0);
    EXPECT_EQ(out.duration(2), 200);
    EXPECT_EQ(out.flags(2), 2);
    for (int k = 0; k < 3; ++k) {  // bytes 2 and 3 of an entry stay 0
        EXPECT_EQ(map.view()[512 + 4 * k + 2], 0);
        EXPECT_EQ(map.view()[512 + 4 * k + 3], 0);
    }

    out.clear_duration(1);  // QexCut ends the stream by clearing entries
    EXPECT_EQ(map.duration(1), 0);
    EXPECT_EQ(map.flags(1), 0);
    EXPECT_EQ(map.duration(2), 200);
}

TEST(VfrInfoMap, EntriesOutsideTheTableAreNeitherWrittenNorRead) {
    // A block that ends exactly at a page end: a write one entry past the table would land
    // on the next page, which is not mapped.
    const long page = sysconf(_SC_PAGESIZE);
    const auto frames = std::int32_t((page - 512) / 4);
    VfrInfoMap map(frames);
    ASSERT_TRUE(map.ok());
    for (std::int32_t k : {frames, frames + 1, 1 << 30, -1, -1000}) {
        map.publish(k, 9, 6);
        map.set_duration(k, 9);
        EXPECT_EQ(map.duration(k), 0) << k;
    }
    VfrInfoOut out;
    ASSERT_TRUE(out.ok());
    for (std::int32_t k : {frames, frames + 1, 1 << 30, -1}) {
        out.clear_duration(k);
        EXPECT_EQ(out.duration(k), 0) << k;
        EXPECT_EQ(out.flags(k), 0) << k;
    }
    map.publish(frames - 1, 9, 6);
    EXPECT_EQ(out.duration(frames - 1), 9);
}

TEST(VfrInfoOut, DeclaredCountIsBoundedByTheMapping) {
    // A block whose header claims more entries than it holds (written by someone else).
    char name[100];
    qex::vfrinfo_name(qex::platform::process_id(), name);
    qex::platform::SharedMemory mem;
    ASSERT_TRUE(mem.create(name, 512 + 4 * 10));
    mem.data()[12] = 0x40;  // 64 entries claimed
    mem.data()[512 + 4 * 9] = 7;
    VfrInfoOut out;
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.count(), 10);
    EXPECT_EQ(out.duration(9), 7);
    EXPECT_EQ(out.duration(10), 0);
    out.clear_duration(40);
    out.clear_duration(9);
    EXPECT_EQ(mem.data()[512 + 4 * 9], 0);
}

TEST(VfrInfoOut, WithoutPublisherThereIsNothingToRead) {
    VfrInfoOut out;
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.count(), 0);
    EXPECT_EQ(out.duration(0), 0);
    out.clear_duration(0);
    EXPECT_FALSE(out.active());
    out.set_active(true);
    EXPECT_TRUE(out.active());
}

TEST(VfrInfoMap, ForkedChildReadsAndClearsTheSharedEntries) {
    VfrInfoMap map(4);
    ASSERT_TRUE(map.ok());
    map.mark_built();
    map.publish(0, 8, 4);
    map.publish(1, 10, 0);
    map.publish(2, 0, 2);
    const int parent = qex::platform::process_id();
    const int status = qextest::run_in_child([parent] {
                           VfrInfoOut out(parent);
                           if (!out.ok() || out.count() != 4) return 10;
                           if (out.duration(0) != 8 || out.flags(0) != 4) return 11;
                           if (out.duration(1) != 10 || out.flags(1) != 0) return 12;
                           if (out.duration(2) != 0 || out.flags(2) != 2) return 13;
                           if (out.duration(3) != 0) return 14;
                           out.clear_duration(1);
                           // The child's process exit must not remove the parent's objects.
                           std::exit(0);
                           return 0;
                       }).status;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(map.duration(1), 0);
    EXPECT_EQ(map.duration(0), 8);
    const int pid = qex::platform::process_id();
    EXPECT_TRUE(shm_exists(name_of(qex::vfrinfo_name, pid)));
    EXPECT_TRUE(sem_exists(name_of(qex::vfrinfo_frame_mutex_name, pid)));
    EXPECT_TRUE(sem_exists(name_of(qex::vfrinfo_header_mutex_name, pid)));
    EXPECT_TRUE(VfrInfoOut().ok());
}

TEST(VfrInfoMap, ObjectsAreOwnerOnly) {
    VfrInfoMap map(3);
    ASSERT_TRUE(map.ok());
    const int pid = qex::platform::process_id();
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/" + name_of(qex::vfrinfo_name, pid)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(("/dev/shm/sem." + name_of(qex::vfrinfo_frame_mutex_name, pid)).c_str(), &st),
              0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    ASSERT_EQ(stat(("/dev/shm/sem." + name_of(qex::vfrinfo_header_mutex_name, pid)).c_str(), &st),
              0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST(VfrInfoMap, ObjectsAreRemovedWhenTheProcessEnds) {
    const qextest::RunResult r = qextest::run_in_child([] {
        // As in the filter: the publisher is never deleted and lives until the process ends.
        static VfrInfoMap* keep = new VfrInfoMap(5);
        if (!keep->ok()) return 20;
        if (!shm_exists(name_of(qex::vfrinfo_name, qex::platform::process_id()))) return 22;
        std::exit(0);
        return 0;
    });
    ASSERT_EQ(r.status, 0);
    const int child = r.pid;
    EXPECT_FALSE(shm_exists(name_of(qex::vfrinfo_name, child)));
    EXPECT_FALSE(sem_exists(name_of(qex::vfrinfo_header_mutex_name, child)));
    EXPECT_FALSE(sem_exists(name_of(qex::vfrinfo_frame_mutex_name, child)));
}

TEST(VfrInfoMap, ObjectsAreRemovedWhenThePublisherIsDeleted) {
    const int pid = qex::platform::process_id();
    {
        VfrInfoMap map(2);
        ASSERT_TRUE(map.ok());
        EXPECT_TRUE(shm_exists(name_of(qex::vfrinfo_name, pid)));
    }
    EXPECT_FALSE(shm_exists(name_of(qex::vfrinfo_name, pid)));
    EXPECT_FALSE(sem_exists(name_of(qex::vfrinfo_frame_mutex_name, pid)));
    EXPECT_FALSE(VfrInfoOut().ok());
}

TEST(VfrInfoMap, ANewPublisherReplacesTheOldOne) {
    auto first = std::make_unique<VfrInfoMap>(3);
    ASSERT_TRUE(first->ok());
    first->publish(0, 8, 0);
    first->frame_mutex().lock();  // left taken: the new publisher must not inherit it
    VfrInfoMap second(7);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(VfrInfoOut().count(), 7);
    EXPECT_EQ(VfrInfoOut().duration(0), 0);
    second.publish(0, 10, 0);  // would wait forever on a taken semaphore
    first->frame_mutex().unlock();
    first.reset();  // the old publisher no longer owns the names
    VfrInfoOut out;
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.count(), 7);
    EXPECT_EQ(out.duration(0), 10);
}

TEST(VfrInfoMap, StaleBlockIsZeroedOnCreation) {
    char name[100];
    qex::vfrinfo_name(qex::platform::process_id(), name);
    {
        const int fd = shm_open((std::string("/") + name).c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 1024), 0);
        void* v = mmap(nullptr, 1024, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ASSERT_NE(v, MAP_FAILED);
        std::memset(v, 0xAB, 1024);
        munmap(v, 1024);
        close(fd);
    }
    VfrInfoMap map(2);
    ASSERT_TRUE(map.ok());
    for (int i = 17; i < 520; ++i) ASSERT_EQ(map.view()[i], 0) << i;
    EXPECT_EQ(VfrInfoOut().count(), 2);
}

// ---------------------------------------------------------------------------
// Outside verdict table

class OutsideTable : public ::testing::Test {
  protected:
    bool make(const std::string& verdicts) {
        char name[100];
        qex::vfrout_name(qex::platform::process_id(), name);
        if (!table_.create(name, verdicts.size())) return false;
        std::memcpy(table_.data(), verdicts.data(), verdicts.size());
        return true;
    }
    qex::platform::SharedMemory table_;
};

TEST_F(OutsideTable, AbsentTable) {
    EXPECT_FALSE(VfrOut::exists());
    VfrOut out;
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.verdict(0), 0);
    EXPECT_EQ(out.rate(0), 30);
    EXPECT_EQ(qex::verdict_duration(nullptr, 0), 8);
    EXPECT_EQ(qex::verdict_duration(&out, 3), 8);
}

TEST_F(OutsideTable, VerdictsGiveRatesAndDurations) {
    ASSERT_TRUE(make("2D3x2\0D"s));
    EXPECT_TRUE(VfrOut::exists());
    VfrOut out;
    ASSERT_TRUE(out.ok());
    const int rates[] = {24, 0, 30, 30, 24, 30, 0};
    const int ticks[] = {10, 0, 8, 8, 10, 8, 0};
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(out.rate(k), rates[k]) << k;
        EXPECT_EQ(qex::verdict_duration(&out, k), ticks[k]) << k;
    }
    // Verdicts are read as the outside component writes them.
    table_.data()[2] = 'D';
    EXPECT_EQ(qex::verdict_duration(&out, 2), 0);
}

TEST_F(OutsideTable, FramesBeyondTheTableRunAtThirty) {
    // The table ends at a page end, so a read past it would fault.
    const long page = sysconf(_SC_PAGESIZE);
    ASSERT_TRUE(make(std::string(std::size_t(page), 'D')));
    VfrOut out;
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.rate(std::int32_t(page) - 1), 0);
    for (std::int32_t k : {std::int32_t(page), std::int32_t(page) + 1, 1 << 30, -1}) {
        EXPECT_EQ(out.verdict(k), 0) << k;
        EXPECT_EQ(qex::verdict_duration(&out, k), 8) << k;
    }
}

TEST(VerdictRate, Bytes) {
    EXPECT_EQ(qex::verdict_rate('2'), 24);
    EXPECT_EQ(qex::verdict_rate('D'), 0);
    EXPECT_EQ(qex::verdict_rate('d'), 30);
    EXPECT_EQ(qex::verdict_rate('3'), 30);
    EXPECT_EQ(qex::verdict_rate(0), 30);
}

// Publishing a served frame of a variable-rate strategy.
class VfrInfoPublish : public OutsideTable {};

TEST_F(VfrInfoPublish, ServedFramesWithAndWithoutOutsideVerdicts) {
    VfrInfoMap map(8);
    ASSERT_TRUE(map.ok());
    ASSERT_TRUE(make("x2D3x2"));
    VfrOut verdicts;
    ASSERT_TRUE(verdicts.ok());

    struct Case {
        qex::ServedFrame served;
        const VfrOut* table;
        std::uint8_t ticks, flags;
    };
    const Case cases[] = {
        {{0, 10, 1 | 4, false, 1, false}, &verdicts, 10, 4},  // no verdict: own duration
        {{1, 8, 2, true, 1, false}, &verdicts, 10, 2},        // "2": a 24 fps frame
        {{2, 8, 0, true, 2, false}, &verdicts, 0, 0},         // "D": dropped
        {{3, 8, 6, true, 3, false}, &verdicts, 8, 6},         // anything else: 30
        {{4, 8, 0, true, 1, false}, nullptr, 8, 0},           // no table: 30
        {{5, 8, 0, true, 99, false}, &verdicts, 8, 0},        // beyond the table: 30
        {{6, 10, 6, false, 0, true}, &verdicts, 0, 0},        // past the end of the stream
    };
    for (const Case& c : cases) {
        EXPECT_EQ(map.publish(c.served, c.table), c.ticks) << c.served.frame;
        EXPECT_EQ(map.duration(c.served.frame), c.ticks) << c.served.frame;
        EXPECT_EQ(map.flags(c.served.frame), c.flags) << c.served.frame;
        EXPECT_EQ(map.published_duration(c.served.frame), c.ticks) << c.served.frame;
    }
    EXPECT_EQ(map.publish(qex::ServedFrame{8, 10, 0, false, 0, false}, nullptr), 10);
    EXPECT_EQ(map.published_duration(8), 0);  // outside the table: nothing stored
}

}  // namespace
