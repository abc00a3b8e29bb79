#include "plugin/project.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "plugin/platform.h"

namespace qex {
namespace {

constexpr std::size_t kHeadSize = 17;
constexpr std::size_t kTraceSize = 1024;

enum Key : int {
    kKeyNone = -1,
    kKeyList = 0,
    kKeyTopFieldFirst = 1,
    kKeySourceRange = 2,
    kKeyFrameRate1 = 3,
    kKeyFrameRate2 = 4,
};

constexpr std::string_view kKeys[] = {
    "Video.DeinterlaceEx.List",       "Video.TopFieldFirst",
    "Video.SourceRange.Enabled",      "Video.DeinterlaceEx.FrameRate1",
    "Video.DeinterlaceEx.FrameRate2",
};

// Index of the first key that `name` starts with, or kKeyNone.
int find_key(std::string_view name) {
    for (int k = 0; k < int(std::size(kKeys)); ++k)
        if (qextext::istarts_with(name, kKeys[k])) return k;
    return kKeyNone;
}

// The rate code follows the two frame-rate numbers; with no second rate it keeps its value.
void recompute_rate_code(ProjectRecord& r) {
    if (r.frame_rate2 == 0) return;
    const std::int64_t q = std::int64_t(r.frame_rate1) * 30 / r.frame_rate2;
    r.rate_code = std::int32_t(q);
}

// Field positions the entry array holds: none without an array.
std::uint32_t usable_capacity(const ProjectRecord& r) {
    return r.entries != nullptr && r.capacity > 0 ? std::uint32_t(r.capacity) : 0;
}

std::int32_t le32(const std::uint8_t* p) {
    return std::int32_t(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                        std::uint32_t(p[3]) << 24);
}

class Tracer {
  public:
    Tracer(ProjectTrace fn, void* ctx) : fn_(fn), ctx_(ctx) {}
    __attribute__((format(printf, 2, 3))) void operator()(const char* fmt, ...) const {
        if (!fn_) return;
        char line[kTraceSize];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        fn_(line, ctx_);
    }

  private:
    ProjectTrace fn_;
    void* ctx_;
};

// ---------------------------------------------------------------------------
// Binary form

class BinaryReader {
  public:
    BinaryReader(ProjectRecord& r, std::span<const std::uint8_t> file, const Tracer& trace)
        : r_(r), data_(file), pos_(kHeadSize), trace_(trace) {}

    int run() {
        for (;;) {
            if (pos_ >= data_.size()) return kProjectOk;
            const std::size_t len = data_[pos_++];
            if (len == 0) continue;
            if (remaining() < len) return kProjectReadError;
            std::string_view name(reinterpret_cast<const char*>(&data_[pos_]), len);
            pos_ += len;
            // The name is shown and matched as a C string: an embedded NUL ends it.
            name = name.substr(0, name.find('\0'));
            trace_("%d <%.*s>", int(len), int(name.size()), name.data());
            const int key = find_key(name);
            if (remaining() < 1) return kProjectReadError;
            const int rc = value(data_[pos_++], key, int(len));
            if (rc < 0) return rc;
        }
    }

  private:
    std::size_t remaining() const { return data_.size() - pos_; }

    // Moves past `n` bytes of a value that is not used; false when the file ends first.
    bool skip(std::size_t n) {
        if (remaining() < n) return false;
        pos_ += n;
        return true;
    }

    int value(std::uint8_t type, int key, int name_len) {
        switch (type) {
            case 0x00:
                trace_("type - 00");
                return 0;
            case 0x02: {
                if (remaining() < 1) return kProjectByteMissing;
                const auto v = std::int8_t(data_[pos_++]);
                if (key == kKeyFrameRate1) {
                    r_.frame_rate1 = v;
                } else if (key == kKeyFrameRate2) {
                    r_.frame_rate2 = v;
                    recompute_rate_code(r_);
                } else {
                    trace_("type - 02 BYTE");
                }
                return 0;
            }
            case 0x03:
                trace_("type - 03 WORD");
                return skip(2) ? 0 : kProjectWordSkip;
            case 0x04:
                trace_("type - 04 DWORD");
                return skip(4) ? 0 : kProjectDwordSkip;
            case 0x05:
                trace_("type - 05 10bytes ???");
                return skip(10) ? 0 : kProjectTenByteSkip;
            case 0x06:
            case 0x07: {
                if (remaining() < 1) return kProjectBlobSkip;
                const std::size_t n = data_[pos_++];
                trace_("type - 06: %d", int(n));
                return skip(n) ? 0 : kProjectBlobSkip;
            }
            case 0x08:
            case 0x09:
                if (key == kKeyTopFieldFirst) r_.top_field_first = (type == 0x09);
                trace_("type - %02x Bool", unsigned(type));
                return 0;
            case 0x0A: {
                if (remaining() < 4)
                    return key == kKeyNone ? kProjectStringSkip : kProjectReadError;
                const auto size = std::uint32_t(le32(&data_[pos_]));
                pos_ += 4;
                if (key == kKeyNone) {
                    trace_("type - 0A: %d", int(size));
                    return skip(size) ? 0 : kProjectStringSkip;
                }
                trace_("type - 0A: %d  <Deint list!!!>", int(size - 8));
                return list(size);
            }
            case 0x0E:
                trace_("type - 0E: %d", name_len);
                return skip(1) ? 0 : kProjectListIndex;
            default:
                trace_("type - unknown");
                return kProjectUnknownType;
        }
    }

    // Deinterlace list payload of `size` bytes: 4 bytes not used, the record count, records.
    int list(std::uint32_t size) {
        const std::size_t start = pos_;
        if (remaining() < 8) return kProjectReadError;
        r_.list_count = le32(&data_[pos_ + 4]);
        pos_ += 8;
        if ((size - 8u) / 6u != std::uint32_t(r_.list_count)) return kProjectListSize;
        for (std::int32_t i = 0; i < r_.list_count; ++i) {
            if (remaining() < 6) return kProjectReadError;
            const std::uint8_t* rec = &data_[pos_];
            pos_ += 6;
            const std::int32_t index = le32(rec);
            if (index < 0) return kProjectListIndex;
            if (std::uint32_t(index) >= usable_capacity(r_)) continue;
            r_.entries[2 * std::size_t(index)] = rec[5] == 0 ? 1 : 255;
            r_.entries[2 * std::size_t(index) + 1] = rec[4];
        }
        // A payload longer than its records (size not 8 + 6 x count) still ends where its size
        // says, so that the next entry is read from its own first byte.
        const std::size_t used = pos_ - start;
        if (size > used && !skip(size - used)) return kProjectReadError;
        return 0;
    }

    ProjectRecord& r_;
    std::span<const std::uint8_t> data_;
    std::size_t pos_;
    const Tracer& trace_;
};

// ---------------------------------------------------------------------------
// Text form

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Bytes of `n` hexadecimal digit pairs; false when a character is not a hex digit.
bool hex_bytes(std::string_view digits, std::uint8_t* out) {
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        const int hi = hex_value(digits[i]);
        const int lo = hex_value(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i / 2] = std::uint8_t(hi << 4 | lo);
    }
    return true;
}

std::string_view trim_leading(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    return s.substr(i);
}

std::string_view trim_trailing(std::string_view s) {
    std::size_t n = s.size();
    while (n > 0 && is_blank(s[n - 1])) --n;
    return s.substr(0, n);
}

// Decimal number made of digits only; -1 when the value does not start with a digit.
// Values beyond the int32 range stay at its maximum.
std::int32_t decimal_value(std::string_view v) {
    if (v.empty() || v[0] < '0' || v[0] > '9') return -1;
    std::int64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
        if (n > std::numeric_limits<std::int32_t>::max())
            return std::numeric_limits<std::int32_t>::max();
    }
    return std::int32_t(n);
}

class TextReader {
  public:
    TextReader(ProjectRecord& r, std::span<const std::uint8_t> file)
        : r_(r), text_(reinterpret_cast<const char*>(file.data()), file.size()) {}

    int run() {
        std::size_t pos = 0;
        while (pos < text_.size()) {
            std::size_t end = text_.find('\n', pos);
            const bool has_lf = end != std::string_view::npos;
            if (!has_lf) end = text_.size();
            std::string_view line = text_.substr(pos, end - pos);
            pos = has_lf ? end + 1 : end;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            const int rc = in_list_ ? list_line(line) : key_line(line);
            if (rc < 0) return rc;
        }
        return kProjectOk;
    }

  private:
    int key_line(std::string_view line) {
        const std::string_view text = trim_leading(line);
        const int key = find_key(text);
        if (key == kKeyNone) return 0;
        // The name may run on past the key; the value follows the "=".
        const std::size_t eq = text.find('=', kKeys[key].size());
        if (eq == std::string_view::npos) return 0;
        const std::string_view value = trim_leading(text.substr(eq + 1));
        switch (key) {
            case kKeyList:
                if (list_seen_ || value.empty() || value[0] != '{') return 0;
                list_seen_ = true;
                in_list_ = true;
                return list_line(value.substr(1));
            case kKeyTopFieldFirst:
                r_.top_field_first = qextext::istarts_with(value, "True");
                return 0;
            case kKeyFrameRate1:
                r_.frame_rate1 = decimal_value(value);
                recompute_rate_code(r_);
                return 0;
            case kKeyFrameRate2:
                r_.frame_rate2 = decimal_value(value);
                recompute_rate_code(r_);
                return 0;
            default:
                return 0;
        }
    }

    // Payload digits of one line; digits that do not make a whole record wait for the next line.
    int list_line(std::string_view line) {
        std::string_view s = trim_trailing(trim_leading(line));
        while (!s.empty()) {
            if (s[0] == '}' && pending_.empty()) return end_list(0);
            // 16 digits of head (4 bytes not used, the record count), then records of 12 digits.
            // A "}" inside the head or a record is not a digit: the hex check reports it.
            const std::size_t want = head_done_ ? 12 : 16;
            const std::size_t take = std::min(want - pending_.size(), s.size());
            pending_.append(s.substr(0, take));
            s.remove_prefix(take);
            if (pending_.size() < want) break;
            const int rc = head_done_ ? record() : head();
            if (rc <= 0) return rc;
            pending_.clear();
        }
        return 0;
    }

    int head() {
        std::uint8_t b[8];
        if (!hex_bytes(pending_, b)) return end_list(kProjectBadHexDigit);
        r_.list_count = le32(b + 4);
        head_done_ = true;
        return 1;
    }

    int record() {
        std::uint8_t b[6];
        if (!hex_bytes(pending_, b)) return end_list(kProjectBadHexDigit);
        // An index outside the field map (negative ones included) ends the list unstored.
        const auto index = std::uint32_t(le32(b));
        if (index >= usable_capacity(r_)) return end_list(0);
        r_.entries[2 * std::size_t(index)] = b[5] == 0 ? 1 : 2;
        r_.entries[2 * std::size_t(index) + 1] = b[4];
        return 1;
    }

    int end_list(int rc) {
        in_list_ = false;
        pending_.clear();
        return rc;
    }

    ProjectRecord& r_;
    std::string_view text_;
    bool list_seen_ = false;  // only the first list of a file is read
    bool in_list_ = false;
    bool head_done_ = false;
    std::string pending_;
};

void platform_trace(const char* line, void*) {
    platform::trace("%s", line);
}

}  // namespace

int parse_project(ProjectRecord& record, std::span<const std::uint8_t> file, ProjectTrace trace,
                  void* context) {
    if (file.size() < kHeadSize) return kProjectReadError;
    try {
        if (file[0] == 0xFF) {
            const Tracer tracer(trace, context);
            return BinaryReader(record, file, tracer).run();
        }
        return TextReader(record, file).run();
    } catch (const std::bad_alloc&) {
        return kProjectNoMemory;
    }
}

int read_project(ProjectRecord& record, const char* path, ProjectTrace trace, void* context) {
    if (path == nullptr) return kProjectOpenError;
    const qextext::FileBytes file = qextext::read_whole_file(path);
    switch (file.status) {
        case qextext::ReadStatus::kOk:
            break;
        case qextext::ReadStatus::kOpenError:
            return kProjectOpenError;
        case qextext::ReadStatus::kReadError:
            return kProjectReadError;
        case qextext::ReadStatus::kNoMemory:
            return kProjectNoMemory;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.bytes.data());
    return parse_project(record, std::span(bytes, file.bytes.size()), trace, context);
}

int read_project(ProjectRecord& record, const char* path) {
    return read_project(record, path, platform_trace, nullptr);
}

int read_project_pairs(const std::string& path, std::int32_t capacity, std::int32_t& rate_code,
                       std::vector<std::uint8_t>& pairs) {
    if (capacity < 0) capacity = 0;
    try {
        pairs.assign(2 * std::size_t(capacity), 0);
    } catch (const std::bad_alloc&) {
        return kProjectNoMemory;
    }
    ProjectRecord record;
    record.capacity = capacity;
    record.entries = pairs.data();
    const int rc = read_project(record, path.c_str());
    rate_code = record.rate_code;
    return rc;
}

}  // namespace qex
