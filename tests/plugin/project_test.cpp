// TMPGEnc project reader: both forms, built by the tests in memory and in temporary files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plugin/project.h"
#include "tests/common/testkit.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A project record over its own entry array, as the filter prepares it.
struct Record {
    explicit Record(int capacity = 40) : entries(2 * std::size_t(capacity), 0) {
        rec.capacity = capacity;
        rec.entries = entries.data();
    }
    std::vector<std::uint8_t> entries;
    qex::ProjectRecord rec;
};

void trace_into(const char* line, void* ctx) {
    static_cast<std::vector<std::string>*>(ctx)->push_back(line);
}

void le32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}

// Binary project file: the 17-byte head, then entries.
class Binary {
  public:
    Binary() : b_(17, 0x5A) { b_[0] = 0xFF; }

    Binary& entry(const std::string& name, std::uint8_t type, const Bytes& value = {}) {
        b_.push_back(std::uint8_t(name.size()));
        b_.insert(b_.end(), name.begin(), name.end());
        b_.push_back(type);
        b_.insert(b_.end(), value.begin(), value.end());
        return *this;
    }

    // A deinterlace list of (index, mode, flag) records under `name`; size S = 8 + 6 x count
    // unless given.
    struct Rec {
        std::int32_t index;
        std::uint8_t mode, flag;
    };
    Binary& list(const std::vector<Rec>& recs, std::int64_t size = -1,
                 const std::string& name = "Video.DeinterlaceEx.List",
                 std::optional<std::int32_t> count = {}) {
        Bytes v;
        le32(v, size >= 0 ? std::uint32_t(size) : std::uint32_t(8 + 6 * recs.size()));
        le32(v, 0xDEADBEEF);
        le32(v, std::uint32_t(count.value_or(std::int32_t(recs.size()))));
        for (const Rec& r : recs) {
            le32(v, std::uint32_t(r.index));
            v.push_back(r.mode);
            v.push_back(r.flag);
        }
        return entry(name, 0x0A, v);
    }

    Binary& raw(const Bytes& more) {
        b_.insert(b_.end(), more.begin(), more.end());
        return *this;
    }

    const Bytes& bytes() const { return b_; }

  private:
    Bytes b_;
};

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A text project: a few lines of unrelated content first, so that the file is never short.
Bytes text_project(const std::string& body) {
    return text("[TMPGEnc project]\nVideo.Width = 720\n" + body);
}

int parse(Record& r, const Bytes& file, std::vector<std::string>* trace = nullptr) {
    return qex::parse_project(r.rec, file, trace ? trace_into : nullptr, trace);
}

// The fields of a record whose entry is not zero, as "field:mark/mode ...".
std::string marks(const Record& r) {
    std::string out;
    for (int f = 0; f < r.rec.capacity; ++f)
        if (r.rec.mark(f) || r.rec.mode(f))
            out += (out.empty() ? "" : " ") + std::to_string(f) + ":" +
                   std::to_string(r.rec.mark(f)) + "/" + std::to_string(r.rec.mode(f));
    return out;
}

// Trace lines, each ended by a line end.
std::string joined(const std::vector<std::string>& trace) {
    std::string out;
    for (const std::string& line : trace) out += line + "\n";
    return out;
}

// ---------------------------------------------------------------------------
// Binary form

TEST(ProjectBinary, ListsAndTheFieldOrder) {
    struct Case {
        const char* what;
        Bytes bytes;
        int capacity, code;
        const char* marks;
        int list_count;  // -1: not looked at
        bool top_field_first;
    };
    const Case cases[] = {
        {"the head alone", Binary().bytes(), 40, 1, "", 0, false},
        {"a list marks fields with their mode bytes",
         Binary().list({{10, 3, 1}, {4, 7, 0}, {0, 0, 9}}).bytes(), 40, 1, "0:255/0 4:1/7 10:255/3",
         3, false},
        // S = 8 + 12 + 3: two records and three further bytes that belong to the payload.
        {"a payload longer than its records is skipped whole",
         Binary()
             .list({{1, 1, 0}, {2, 1, 0}}, 23)
             .raw({1, 2, 3})
             .entry("Video.TopFieldFirst", 9)
             .bytes(),
         40, 1, "1:1/1 2:1/1", -1, true},
        {"indices at or above the capacity are skipped",
         Binary().list({{8, 1, 0}, {1000000, 1, 0}, {7, 5, 0}}).bytes(), 8, 1, "7:1/5", -1, false},
        {"every matched key with type 10 reads a list",
         Binary().list({{6, 2, 0}}, -1, "video.sourcerange.enabledX").bytes(), 40, 1, "6:1/2", -1,
         false},
        {"a negative index after good records stops but keeps them",
         Binary().list({{2, 1, 0}, {-5, 1, 0}, {3, 1, 0}}).bytes(), 40, -107, "2:1/1", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Record r(c.capacity);
        EXPECT_EQ(parse(r, c.bytes), c.code);
        EXPECT_EQ(marks(r), c.marks);
        if (c.list_count >= 0) {
            EXPECT_EQ(r.rec.list_count, c.list_count);
        }
        EXPECT_EQ(r.rec.rate_code, 0);
        EXPECT_EQ(r.rec.top_field_first, c.top_field_first);
    }
}

TEST(ProjectBinary, ShortFilesOfEitherFormFail) {
    for (std::size_t n : {0u, 1u, 16u}) {
        Record r;
        Bytes bin(n, 0x00);
        if (n > 0) bin[0] = 0xFF;
        EXPECT_EQ(parse(r, bin), -3) << n;
        EXPECT_EQ(parse(r, Bytes(n, 'V')), -3) << n;
    }
}

TEST(ProjectForms, RecordWithoutEntryArrayStoresNothing) {
    const Bytes bin = Binary().list({{1, 1, 0}}).bytes();
    const Bytes txt = text_project("Video.DeinterlaceEx.List = {0000000001000000010000000100}\n");
    for (std::int32_t capacity : {-1, 0, 8}) {
        qex::ProjectRecord rec;
        rec.capacity = capacity;  // and no entry array
        EXPECT_EQ(qex::parse_project(rec, bin), 1) << capacity;
        EXPECT_EQ(qex::parse_project(rec, txt), 1) << capacity;
        EXPECT_EQ(rec.list_count, 1);
    }
}

TEST(ProjectBinary, FrameRatesAndTheRateCode) {
    const std::string k1 = "Video.DeinterlaceEx.FrameRate1", k2 = "Video.DeinterlaceEx.FrameRate2";
    struct Case {
        std::vector<std::pair<std::string, std::int8_t>> entries;  // byte entries, in order
        std::int32_t r1, r2, code;
    };
    const Case cases[] = {
        {{{k1, 4}, {k2, 5}}, 4, 5, 24},
        {{{k1, 1}, {k2, 1}}, 1, 1, 30},
        {{{k1, 2}, {k2, 1}}, 2, 1, 60},
        {{{k1, -3}, {k2, 2}}, -3, 2, -45},
        // the code follows only the second rate: a first rate after it changes nothing
        {{{k2, 1}, {k1, 4}}, 4, 1, 0},
        // a second rate of 0 leaves the code as it was
        {{{k1, 4}, {k2, 5}, {k2, 0}}, 4, 0, 24},
        // a longer name starting with a key matches it, in any letter case
        {{{"video.deinterlaceex.framerate1.more", 2}, {k2 + "Extra", 1}}, 2, 1, 60},
    };
    for (const Case& c : cases) {
        Record r;
        Binary b;
        std::string what;
        for (const auto& [name, value] : c.entries) {
            b.entry(name, 0x02, {std::uint8_t(value)});
            what += name + "=" + std::to_string(value) + " ";
        }
        EXPECT_EQ(parse(r, b.bytes()), 1) << what;
        EXPECT_EQ(r.rec.frame_rate1, c.r1) << what;
        EXPECT_EQ(r.rec.frame_rate2, c.r2) << what;
        EXPECT_EQ(r.rec.rate_code, c.code) << what;
    }
}

TEST(ProjectBinary, TopFieldFirstFromBoolTypes) {
    for (std::uint8_t type : {0x08, 0x09}) {
        Record r;
        std::vector<std::string> trace;
        EXPECT_EQ(parse(r, Binary().entry("VIDEO.TOPFIELDFIRST", type).bytes(), &trace), 1);
        EXPECT_EQ(r.rec.top_field_first, type == 0x09);
        ASSERT_EQ(trace.size(), 2u);
        EXPECT_EQ(trace[1], type == 0x09 ? "type - 09 Bool" : "type - 08 Bool");
    }
    Record r;  // a bool under another name changes nothing
    EXPECT_EQ(parse(r, Binary().entry("Video.TopField", 0x09).bytes()), 1);
    EXPECT_FALSE(r.rec.top_field_first);
}

TEST(ProjectBinary, SkippedValuesAndTheirTraceLines) {
    Record r;
    std::vector<std::string> trace;
    Binary b;
    b.raw({0});  // an empty entry
    b.entry("A", 0x00);
    b.entry("Video.Width", 0x02, {7});
    b.entry("BB", 0x03, {1, 2});
    b.entry("CCC", 0x04, {1, 2, 3, 4});
    b.entry("D", 0x05, Bytes(10, 1));
    b.entry("E", 0x06, {3, 'x', 'y', 'z'});
    b.entry("F", 0x07, {0});
    b.entry("Name.Text", 0x0A, {2, 0, 0, 0, 'h', 'i'});
    b.entry("GGGGG", 0x0E, {9});
    b.list({{3, 4, 0}, {5, 6, 1}});
    EXPECT_EQ(parse(r, b.bytes(), &trace), 1);
    EXPECT_EQ(joined(trace),
              "1 <A>\ntype - 00\n11 <Video.Width>\ntype - 02 BYTE\n2 <BB>\ntype - 03 WORD\n"
              "3 <CCC>\ntype - 04 DWORD\n1 <D>\ntype - 05 10bytes ???\n1 <E>\ntype - 06: 3\n"
              "1 <F>\ntype - 06: 0\n9 <Name.Text>\ntype - 0A: 2\n5 <GGGGG>\ntype - 0E: 5\n"
              "24 <Video.DeinterlaceEx.List>\ntype - 0A: 12  <Deint list!!!>\n");
    EXPECT_EQ(marks(r), "3:1/4 5:255/6");
}

struct Failure {
    const char* what;
    Bytes tail;  // bytes after the head
    int code;
};

Bytes entry_bytes(const std::string& name, std::uint8_t type, const Bytes& value = {}) {
    Bytes b{std::uint8_t(name.size())};
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(type);
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

Bytes list_bytes(std::uint32_t size, std::int32_t count, const Bytes& records) {
    Bytes v;
    le32(v, size);
    le32(v, 0);
    le32(v, std::uint32_t(count));
    v.insert(v.end(), records.begin(), records.end());
    return entry_bytes("Video.DeinterlaceEx.List", 0x0A, v);
}

TEST(ProjectBinary, FailureTable) {
    const std::vector<Failure> cases = {
        {"name cut short", {5, 'V', 'i'}, -3},
        {"type byte missing", {3, 'a', 'b', 'c'}, -3},
        {"byte value missing", entry_bytes("x", 0x02), -100},
        {"rate byte missing", entry_bytes("Video.DeinterlaceEx.FrameRate2", 0x02), -100},
        {"word cut short", entry_bytes("x", 0x03, {1}), -101},
        {"dword cut short", entry_bytes("x", 0x04, {1, 2, 3}), -102},
        {"ten bytes cut short", entry_bytes("x", 0x05, Bytes(9, 0)), -103},
        {"length byte missing", entry_bytes("x", 0x06), -104},
        {"blob cut short", entry_bytes("x", 0x07, {4, 1, 2, 3}), -104},
        {"string size cut short", entry_bytes("x", 0x0A, {4, 0}), -105},
        {"string cut short", entry_bytes("x", 0x0A, {4, 0, 0, 0, 1, 2, 3}), -105},
        {"list size cut short", entry_bytes("Video.DeinterlaceEx.List", 0x0A, {4, 0}), -3},
        {"list head cut short", entry_bytes("Video.DeinterlaceEx.List", 0x0A, {8, 0, 0, 0, 1}), -3},
        {"list records cut short", list_bytes(20, 2, {1, 0, 0, 0, 1, 0, 2, 0}), -3},
        {"size and count disagree", list_bytes(26, 2, Bytes(18, 0)), -106},
        {"size below the list head", list_bytes(2, 0, {}), -106},
        {"negative record count", list_bytes(8, -1, {}), -106},
        {"negative field index", list_bytes(14, 1, {0xFF, 0xFF, 0xFF, 0xFF, 1, 0}), -107},
        {"type 0x0E cut short", entry_bytes("x", 0x0E), -107},
        {"unknown type", entry_bytes("x", 0x01, {0, 0, 0}), -999},
        {"unknown type 0x0B", entry_bytes("x", 0x0B), -999},
    };
    for (const Failure& c : cases) {
        Record r;
        Bytes file = Binary().bytes();
        file.insert(file.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(parse(r, file), c.code) << c.what;
    }
}

TEST(ProjectBinary, UnknownTypeIsTracedAndStopsTheRead) {
    Record r;
    std::vector<std::string> trace;
    Binary b;
    b.entry("x", 0x20);
    b.entry("Video.TopFieldFirst", 0x09);
    EXPECT_EQ(parse(r, b.bytes(), &trace), -999);
    EXPECT_EQ(trace, (std::vector<std::string>{"1 <x>", "type - unknown"}));
    EXPECT_FALSE(r.rec.top_field_first);
}

TEST(ProjectBinary, EmbeddedNulEndsTheName) {
    Record r;
    std::vector<std::string> trace;
    const std::string name("Video.TopFieldFirst\0zz", 22);
    EXPECT_EQ(parse(r, Binary().entry(name, 0x09).bytes(), &trace), 1);
    EXPECT_TRUE(r.rec.top_field_first);
    EXPECT_EQ(trace.at(0), "22 <Video.TopFieldFirst>");
}

// ---------------------------------------------------------------------------
// Text form

TEST(ProjectText, DeinterlaceLists) {
    // A record is an index (8 hex digits, little-endian), a mode and a flag; a set flag marks
    // the field with 2, a clear one with 1.
    const std::string k = "Video.DeinterlaceEx.List = ";
    // The head and records are split anywhere; leading blanks of each line are dropped.
    const std::string split =
        "  Video.DeinterlaceEx.List\t=\t{\n    0000000003\r\n\t000000\n"
        "0A00000003010b00000000\n   00200000002A0\n0}\nVideo.DeinterlaceEx.FrameRate1=4\n";
    const std::string blank =  // a blank inside a record is not a digit
        "  Video.DeinterlaceEx.List\t=\t{\n    00000000\r\n    03000000 0A0000000301\n}\n";
    const std::string good_then = k + "{0000000002000000010000000100";  // then a bad record
    // Index 8 is past a capacity of 8: the list ends there; the lines after it are read.
    const std::string past = k + "{0000000003000000010000000100080000000100020000000100}\n" +
                             "Video.TopFieldFirst = True\n";
    const std::string first = k + "{0000000001000000010000000100}\n";
    const std::string second = k + "{0000000001000000020000000100}\n";
    struct Case {
        const char* what;
        std::string body;
        int capacity;
        int code;
        const char* marks;    // every other field stays unmarked, with mode 0
        int list_count = -1;  // -1: not looked at
        bool top_field_first = false;
        int frame_rate1 = 0;
    };
    const Case cases[] = {
        {"one record", k + "{00000000010000000A0000000301}\n", 40, 1, "10:2/3", 1},
        {"over line ends", split, 64, 1, "10:2/3 11:1/0 32:1/42", 3, false, 4},
        {"blank in a record", blank, 64, -10, ""},
        // the records before a bad one stay
        {"G in a record", good_then + "0A000000030G}\n", 40, -10, "1:1/1"},
        {"brace in a record", good_then + "0A00000003}1}\n", 40, -10, "1:1/1"},
        {"blank in a later record", good_then + "0A0000 00301}\n", 40, -10, "1:1/1"},
        {"index past the field map", past, 8, 1, "1:1/1", -1, true},
        {"negative index", k + "{0000000002000000FFFFFFFF0101030000000100}\n", 8, 1, ""},
        {"only the first list is read", first + second, 40, 1, "1:1/1"},
        {"empty list", k + "{}\nVideo.TopFieldFirst=TRUE", 40, 1, "", 0, true},
        {"list ending with the file", k + "{0000000005000000030000000101", 40, 1, "3:2/1", 5},
        {"no brace, no list", k + "0000000001000000010000000100\n" + second, 40, 1, "2:1/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Record r(c.capacity);
        EXPECT_EQ(parse(r, text_project(c.body)), c.code);
        EXPECT_EQ(marks(r), c.marks);
        if (c.list_count >= 0) {
            EXPECT_EQ(r.rec.list_count, c.list_count);
        }
        EXPECT_EQ(r.rec.top_field_first, c.top_field_first);
        EXPECT_EQ(r.rec.frame_rate1, c.frame_rate1);
    }
}

TEST(ProjectText, FrameRatesAndTheRateCode) {
    struct Case {
        const char* body;
        std::int32_t r1, r2, code;
    };
    const Case cases[] = {
        {"Video.DeinterlaceEx.FrameRate1 = 4\nVideo.DeinterlaceEx.FrameRate2 = 5\n", 4, 5, 24},
        {"Video.DeinterlaceEx.FrameRate1 = 1\nVideo.DeinterlaceEx.FrameRate2 = 1\n", 1, 1, 30},
        {"Video.DeinterlaceEx.FrameRate1 = 2\nVideo.DeinterlaceEx.FrameRate2 = 1\n", 2, 1, 60},
        // the rate code follows the first rate too once the second is known
        {"Video.DeinterlaceEx.FrameRate2 = 1\nVideo.DeinterlaceEx.FrameRate1 = 2\n", 2, 1, 60},
        // while the second rate is 0 the code stays as it was
        {"Video.DeinterlaceEx.FrameRate1 = 4\n", 4, 0, 0},
        {"Video.DeinterlaceEx.FrameRate1 = 4\nVideo.DeinterlaceEx.FrameRate2 = 5\n"
         "Video.DeinterlaceEx.FrameRate2 = 0\nVideo.DeinterlaceEx.FrameRate1 = 9\n",
         9, 0, 24},
        // a value that does not start with a digit reads as -1
        {"Video.DeinterlaceEx.FrameRate1 = x4\nVideo.DeinterlaceEx.FrameRate2 = 1\n", -1, 1, -30},
        {"Video.DeinterlaceEx.FrameRate1 = 3\nVideo.DeinterlaceEx.FrameRate2 = -1\n", 3, -1, -90},
        // digits only: the number ends at the first other character
        {"Video.DeinterlaceEx.FrameRate1 = 12abc\nVideo.DeinterlaceEx.FrameRate2=15 \n", 12, 15,
         24},
        // huge numbers do not overflow
        {"Video.DeinterlaceEx.FrameRate1 = 99999999999\nVideo.DeinterlaceEx.FrameRate2 = 1\n",
         2147483647, 1, std::int32_t(std::int64_t(2147483647) * 30)},
    };
    for (const Case& c : cases) {
        Record r;
        EXPECT_EQ(parse(r, text_project(c.body)), 1) << c.body;
        EXPECT_EQ(r.rec.frame_rate1, c.r1) << c.body;
        EXPECT_EQ(r.rec.frame_rate2, c.r2) << c.body;
        EXPECT_EQ(r.rec.rate_code, c.code) << c.body;
    }
}

TEST(ProjectText, TopFieldFirstAndKeyMatching) {
    struct Case {
        const char* body;
        bool tff;
    };
    const Case cases[] = {
        {"Video.TopFieldFirst = True\n", true},
        {"\t  video.topfieldfirst=true\r\n", true},
        {"Video.TopFieldFirst = TRUEish\n", true},
        {"Video.TopFieldFirst = False\n", false},
        {"Video.TopFieldFirst = 1\n", false},
        {"Video.TopFieldFirstChoice = True\n", true},  // longer name starting with the key
        {"Video.TopField = True\n", false},
        {"X Video.TopFieldFirst = True\n", false},  // the key must start the line's text
        {"Video.TopFieldFirst True\n", false},      // no "=": not a setting
    };
    for (const Case& c : cases) {
        Record r;
        EXPECT_EQ(parse(r, text_project(c.body)), 1) << c.body;
        EXPECT_EQ(r.rec.top_field_first, c.tff) << c.body;
    }
}

TEST(ProjectText, LongLinesAreReadWhole) {
    Record r(4000);
    std::string records;
    for (int i = 0; i < 300; ++i) {
        char rec[13];
        std::snprintf(rec, sizeof rec, "%02X%02X0000%02X00", i & 0xFF, i >> 8, i & 0x7F);
        records += rec;
    }
    const std::string body = "Video.DeinterlaceEx.List = {000000002C010000" + records + "}\n";
    EXPECT_EQ(parse(r, text_project(body)), 1);
    EXPECT_EQ(r.rec.list_count, 300);
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(r.rec.mark(i), 1) << i;
        EXPECT_EQ(r.rec.mode(i), i & 0x7F) << i;
    }
}

// ---------------------------------------------------------------------------
// Files

class ProjectFile : public ::testing::Test {
  protected:
    void write(const Bytes& b) { qextest::write_file(path_, std::string(b.begin(), b.end())); }
    qextest::TempDir scratch_;
    const std::string path_ = scratch_.write("project.tpr", "");
};

TEST_F(ProjectFile, MissingFileIsAnOpenError) {
    Record r;
    EXPECT_EQ(qex::read_project(r.rec, "/nonexistent/dir/x.tpr"), -2);
}

TEST_F(ProjectFile, DirectoryIsAReadError) {
    Record r;
    const int rc = qex::read_project(r.rec, "/tmp");
    EXPECT_TRUE(rc == -2 || rc == -3) << rc;
}

TEST_F(ProjectFile, ReadsBothFormsFromDisk) {
    Binary b;
    b.entry("Video.TopFieldFirst", 0x09);
    b.entry("Video.DeinterlaceEx.FrameRate1", 0x02, {4});
    b.entry("Video.DeinterlaceEx.FrameRate2", 0x02, {5});
    b.list({{10, 3, 1}});
    write(b.bytes());
    Record bin;
    EXPECT_EQ(qex::read_project(bin.rec, path_.c_str()), 1);
    EXPECT_TRUE(bin.rec.top_field_first);
    EXPECT_EQ(bin.rec.rate_code, 24);
    EXPECT_EQ(bin.rec.mark(10), 255);

    write(
        text_project("Video.TopFieldFirst = True\r\nVideo.DeinterlaceEx.FrameRate1 = 4\r\n"
                     "Video.DeinterlaceEx.FrameRate2 = 5\r\nVideo.DeinterlaceEx.List = {\r\n"
                     "00000000010000000A0000000301\r\n}\r\n"));
    Record txt;
    EXPECT_EQ(qex::read_project(txt.rec, path_.c_str()), 1);
    EXPECT_TRUE(txt.rec.top_field_first);
    EXPECT_EQ(txt.rec.rate_code, 24);
    EXPECT_EQ(txt.rec.mark(10), 2);
    EXPECT_EQ(txt.rec.mode(10), 3);

    write(Bytes{0xFF, 1, 2});
    Record shortfile;
    EXPECT_EQ(qex::read_project(shortfile.rec, path_.c_str()), -3);
}

TEST_F(ProjectFile, TraceLinesGoToTheDebugOutput) {
    write(Binary().entry("Video.TopFieldFirst", 0x09).bytes());
    Record r;
    setenv("QEX_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    const int rc = qex::read_project(r.rec, path_.c_str());
    const std::string err = ::testing::internal::GetCapturedStderr();
    unsetenv("QEX_TRACE");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "19 <Video.TopFieldFirst>\ntype - 09 Bool\n");

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(qex::read_project(r.rec, path_.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ProjectFile, PairsForTheFrameMap) {
    write(
        text_project("Video.DeinterlaceEx.FrameRate1 = 2\nVideo.DeinterlaceEx.FrameRate2 = 1\n"
                     "Video.DeinterlaceEx.List = {0000000002000000030000000500040000000601}\n"));
    std::int32_t rate = -5;
    std::vector<std::uint8_t> pairs{9, 9, 9};
    EXPECT_EQ(qex::read_project_pairs(path_, 6, rate, pairs), 1);
    EXPECT_EQ(rate, 60);
    EXPECT_EQ(pairs, (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 1, 5, 2, 6, 0, 0}));

    std::vector<std::uint8_t> none;
    EXPECT_EQ(qex::read_project_pairs("/nonexistent/x.tpr", 6, rate, none), -2);
    EXPECT_EQ(none.size(), 12u);
}

}  // namespace
