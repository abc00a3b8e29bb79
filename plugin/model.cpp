#include "plugin/model.h"

#include <cstdarg>
#include <cstdio>

namespace qex {

namespace {

constexpr bool slot_rates_divide_a_second() {
    for (int rate : kSlotRates)
        if (rate <= 0 || kTicksPerSecond % rate != 0) return false;
    return true;
}
static_assert(slot_rates_divide_a_second(), "every slot rate lasts a whole number of ticks");

constexpr int kDirectTicks = 128;  // 128..143: the tick count in the low four bits
constexpr int kDirectTicksEnd = kDirectTicks + 16;

// Frame lengths of the rates 0..143, built once from the slot table: the output pass asks
// for one per field map entry.
constexpr std::array<uint8_t, kDirectTicksEnd> make_durations() {
    std::array<uint8_t, kDirectTicksEnd> t{};
    for (int r = 0; r < kDirectTicks; ++r)
        t[r] = static_cast<uint8_t>(kTicksPerSecond / kSlotRates[kFallbackSlot]);
    for (int r : kSlotRates) t[r] = static_cast<uint8_t>(kTicksPerSecond / r);
    t[kRateNone] = 0;
    for (int r = kDirectTicks; r < kDirectTicksEnd; ++r)
        t[r] = static_cast<uint8_t>(r - kDirectTicks);
    return t;
}
constexpr std::array<uint8_t, kDirectTicksEnd> kDurations = make_durations();

}  // namespace

int rate_slot(int rate) {
    const int slot = find_rate_slot(rate);
    return slot >= 0 ? slot : kFallbackSlot;
}

int duration_code(int32_t rate) {
    if (rate >= 0 && rate < kDirectTicksEnd) return kDurations[static_cast<size_t>(rate)];
    if (rate == kRateHalfField) return 2;
    return kTicksPerSecond / kSlotRates[kFallbackSlot];
}

uint64_t tick_time_ms(uint64_t ticks, uint32_t fps_num, uint32_t fps_den) {
    if (fps_num == 0) return 0;
    uint64_t v = ticks * uint64_t{fps_den};
    v *= 125u;
    v += uint64_t{fps_num / 2};
    return v / uint64_t{fps_num};
}

QexModel::QexModel(int32_t source_frames, int32_t fps_priority, uint32_t num, uint32_t den)
    : fps_num(num),
      fps_den(den),
      field_map(static_cast<size_t>(source_frames > 0 ? source_frames : 0) * 2),
      aliases(std::make_unique<FilterAliasTable>()),
      sets(std::make_unique<SetTable>()),
      defaults(std::make_unique<DefaultTable>()),
      chapters(std::make_unique<ChapterTable>()) {
    st.fps_priority = fps_priority;
    st.source_frames = source_frames > 0 ? source_frames : 0;
    st.field_count = st.source_frames * 2;
}

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

}  // namespace

std::optional<std::string> error_message(int code, const ErrorContext& c) {
    if (code >= 0) return std::nullopt;
    const std::string f(c.filter_name);
    const std::string n(c.file_name);
    const std::string e(c.extension);
    const int line = c.line_no;
    auto located = [&](const char* fmt) {
        return format(fmt, f.c_str(), n.c_str(), e.c_str(), line);
    };

    if (code == -2003) return located("%s: .tpr read error(\"%s%s\":line %d)");
    if (code == -2002) return located("%s: .tpr open error(\"%s%s\":line %d)");
    if (code == -2001) return format("%s: not enough memory", f.c_str());
    if (code >= -2999 && code <= -2004)
        return format("%s: .tpr format error(%d).", f.c_str(), code);
    if (code == kErrFpsAdjust)
        return format("%s: can't fps adjust.(frame %d)", f.c_str(), c.error_frame);
    if (code == kErrKeyframes) return located("%s: keyframes error.(\"%s%s\":line %d)");
    if (code == kErrChaptersTooMany) return located("%s: chapters too many.(\"%s%s\":line %d)");
    if (code == kErrChapter) return located("%s: chapter error.(\"%s%s\":line %d)");
    if (code == kErrChapterFileOpen || code == kErrChapterWrite) {
        const std::string a(c.chapter_name1), b(c.chapter_name2);
        const char* fmt = code == kErrChapterFileOpen ? "%s: chapter file open error.(\"%s%s\")"
                                                      : "%s: chapter write error.(\"%s%s\")";
        return format(fmt, f.c_str(), a.c_str(), b.c_str());
    }
    if (code == kErrChapterMode) return located("%s: chapter mode too length.(\"%s%s\":line %d)");
    if (code == kErrTimecodesOpen) return format("%s: timecodes file open error.", f.c_str());
    if (code == kErrTimecodesWrite) return format("%s: timecodes write error.", f.c_str());
    if (code == kErrFrameNo) return located("%s: invalid frame-no.(\"%s%s\":line %d)");
    if (code == kErrRate) return located("%s: [fps] error.(\"%s%s\":line %d)");
    if (code <= -20)
        return format("%s: format error(\"%s%s\":line %d, err=%d)", f.c_str(), n.c_str(), e.c_str(),
                      line, code);
    if (code == kErrAliasName) return located("%s: not found filter alias name.(\"%s%s\":line %d)");
    if (code == kErrTooManyAliases) return located("%s: too many filter(\"%s%s\":line %d)");
    if (code == kErrRead) return located("%s: read error(\"%s%s\":line %d)");
    if (code == kErrOpen) {
        const std::string p(c.def_path);
        return format("%s: open error(%s)", f.c_str(), p.c_str());
    }
    if (code == kErrNoMemory) return format("%s: not enough memory", f.c_str());
    return format("%s: error(\"%s%s\":line %d, err=%d)", f.c_str(), n.c_str(), e.c_str(), line,
                  code);
}

NameExt split_name_ext(std::string_view path) {
    // A drive ("X:") belongs to the path, not to the name, even without a directory after it.
    if (path.size() >= 2 && path[1] == ':') path.remove_prefix(2);
    size_t cut = path.find_last_of("/\\");
    std::string_view base = cut == std::string_view::npos ? path : path.substr(cut + 1);
    size_t dot = base.find_last_of('.');
    NameExt r;
    if (dot == std::string_view::npos) {
        r.name = std::string(base);
    } else {
        r.name = std::string(base.substr(0, dot));
        r.ext = std::string(base.substr(dot));
    }
    return r;
}

}  // namespace qex
