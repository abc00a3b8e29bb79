// Project files named by "tpr" statements: the real reader behind the definition reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugin/definition.h"
#include "plugin/model.h"
#include "plugin/project.h"
#include "tests/common/testkit.h"

namespace {

const qex::ProjectLoader kLoader = [](const std::string& path, std::int32_t capacity,
                                      qex::ProjectData& out) {
    return qex::read_project_pairs(path, capacity, out.rate_code, out.pairs);
};

class TprStatement : public ::testing::Test {
  protected:
    void write(const std::vector<std::uint8_t>& b) { write(std::string(b.begin(), b.end())); }
    void write(const std::string& s) { qextest::write_file(path_, s); }
    int read(qex::QexModel& m, const std::string& range) {
        return qex::read_definition_text(m, range + " tpr<" + path_ + ">\n", kLoader);
    }
    qextest::TempDir scratch_;
    const std::string path_ = scratch_.write("project.tpr", "");
};

TEST_F(TprStatement, TextProjectMarksFieldsOfTheRange) {
    write(std::string("[project]\n") +
          "Video.DeinterlaceEx.FrameRate1 = 4\nVideo.DeinterlaceEx.FrameRate2 = 5\n"
          "Video.DeinterlaceEx.List = {\n  0000000003000000\n"
          "  040000000700\n  050000000801\n  1E0000000100\n}\n");
    qex::QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m, "0-9"), 0);
    EXPECT_EQ(m.field_map[4].flags, qex::kFlagOn);
    EXPECT_EQ(m.field_map[4].project_byte, 7);
    EXPECT_EQ(m.field_map[4].rate, 24);
    EXPECT_EQ(m.field_map[4].alias, qex::kAliasProject);
    EXPECT_EQ(m.field_map[5].flags, qex::kFlagDup);  // a flagged record of the text form
    EXPECT_EQ(m.field_map[5].project_byte, 8);
    EXPECT_EQ(m.field_map[30].flags, 0);  // listed, but outside frames 0-9
}

TEST_F(TprStatement, BinaryFlaggedRecordSetsEveryBit) {
    std::vector<std::uint8_t> b(17, 0);
    b[0] = 0xFF;
    const std::string key = "Video.DeinterlaceEx.List";
    b.push_back(std::uint8_t(key.size()));
    b.insert(b.end(), key.begin(), key.end());
    const std::uint8_t payload[] = {0x0A, 14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 3, 1};
    b.insert(b.end(), std::begin(payload), std::end(payload));
    write(b);
    qex::QexModel m(20, 30, 30000, 1001);
    ASSERT_EQ(read(m, "0-9"), 0);
    EXPECT_EQ(m.field_map[6].flags, 255);
    EXPECT_EQ(m.field_map[6].project_byte, 3);
}

TEST_F(TprStatement, ReaderFailuresBecomeStatementCodes) {
    qex::QexModel a(20, 30, 30000, 1001);
    write(std::string("short"));
    EXPECT_EQ(read(a, "0-9"), -2003);

    qex::QexModel b(20, 30, 30000, 1001);
    write(std::string("Video.DeinterlaceEx.List = {0000000001000000 0A0000000301}\n"));
    EXPECT_EQ(read(b, "0-9"), -2010);

    qex::QexModel c(20, 30, 30000, 1001);
    std::vector<std::uint8_t> bin(17, 0);
    bin[0] = 0xFF;
    bin.insert(bin.end(), {1, 'x', 0x01});
    write(bin);
    EXPECT_EQ(read(c, "0-9"), -2999);

    qex::QexModel d(20, 30, 30000, 1001);
    std::remove(path_.c_str());
    EXPECT_EQ(read(d, "0-9"), -2002);
}

}  // namespace
