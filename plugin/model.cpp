#include "model.h"

#include <cstdarg>
#include <cstdio>

namespace qex {

int rate_slot(int rate) {
  for (int i = 0; i < kRateSlots; ++i)
    if (kSlotRates[i] == rate) return i;
  return 1;
}

int duration_code(int32_t rate) {
  switch (rate) {
    case 0: return 0;
    case 2: return 120;
    case 3: return 80;
    case 4: return 60;
    case 5: return 48;
    case 6: return 40;
    case 8: return 30;
    case 10: return 24;
    case 12: return 20;
    case 15: return 16;
    case 20: return 12;
    case 24: return 10;
    case 30: return 8;
    case 48: return 5;
    case 60: return 4;
    case -1: return 2;
    default:
      if (rate >= 128 && rate <= 143) return rate - 128;
      return 8;
  }
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
  auto located = [&](const char* fmt) { return format(fmt, f.c_str(), n.c_str(), e.c_str(), line); };

  if (code == -2003) return located("%s: .tpr read error(\"%s%s\":line %d)");
  if (code == -2002) return located("%s: .tpr open error(\"%s%s\":line %d)");
  if (code == -2001) return format("%s: not enough memory", f.c_str());
  if (code >= -2999 && code <= -2004) return format("%s: .tpr format error(%d).", f.c_str(), code);
  if (code == kErrFpsAdjust) return format("%s: can't fps adjust.(frame %d)", f.c_str(), c.error_frame);
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
