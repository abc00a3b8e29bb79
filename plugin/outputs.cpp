#include "plugin/outputs.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/wholefile.h"

namespace qex {
namespace {

constexpr std::string_view kTimecodesHeader = "# timecode format v2\n";

void append_format(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void append_format(std::string& out, const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<std::size_t>(n));
    } else {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, fmt, ap2);
        out.resize(at + static_cast<std::size_t>(n));
    }
    va_end(ap2);
}

void append_time_line(std::string& out, uint64_t t) {
    append_format(out, "%lld\n", static_cast<long long>(t));
}

// Text of a fixed NUL-terminated slot, never reading past it.
template <std::size_t N>
std::string_view slot_text(const char (&slot)[N]) {
    const void* nul = std::memchr(slot, 0, N);
    return std::string_view(
        slot, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - slot) : N);
}

struct Clock {
    unsigned long long hours, minutes, seconds, millis;
};

Clock split_ms(uint64_t t) {
    const uint64_t s = t / 1000;
    return {s / 3600, (s / 60) % 60, s % 60, t % 1000};
}

std::size_t frame_limit(std::span<const OutputFrame> frames, int32_t limit) {
    return limit <= 0 ? 0 : std::min(frames.size(), static_cast<std::size_t>(limit));
}

}  // namespace

std::string timecodes_text(std::span<const OutputFrame> frames, int32_t limit) {
    std::string out(kTimecodesHeader);
    const std::size_t end = frame_limit(frames, limit);
    out.reserve(out.size() + end * 8);
    for (std::size_t i = 0; i < end; ++i)
        if (frames[i].flags & (kFlagOn | kFlagDup)) append_time_line(out, frames[i].time_ms);
    return out;
}

std::string end_timecodes_text(std::span<const uint64_t> times) {
    std::string out(kTimecodesHeader);
    out.reserve(out.size() + times.size() * 8);
    for (uint64_t t : times) append_time_line(out, t);
    return out;
}

std::string xml_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string chapters_text(std::span<const OutputFrame> frames, int32_t limit,
                          const ChapterTable& table) {
    std::string out;
    const std::size_t end = frame_limit(frames, limit);
    const std::string_view language = slot_text(table.language);
    const bool xml = !language.empty();
    const int count = std::clamp(int{table.count}, 0, kMaxChapters);
    int k = 0;
    for (std::size_t i = 0; i < end && k < kMaxChapters; ++i) {
        const OutputFrame& fr = frames[i];
        if (!(fr.flags & (kFlagOn | kFlagDup)) || !(fr.flags & kFlagChapter)) continue;
        const Clock start = split_ms(fr.time_ms);
        const std::string_view name = slot_text(table.entries[k].name);
        if (k == 0 && table.bom) out += "\xEF\xBB\xBF";
        if (!xml) {
            append_format(out, "CHAPTER%02d=%02llu:%02llu:%02llu.%03llu\nCHAPTER%02dNAME=", k,
                          start.hours, start.minutes, start.seconds, start.millis, k);
            out += name;
            out += '\n';
        } else {
            if (k == 0) {
                const std::string_view charset = slot_text(table.charset);
                append_format(out,
                              "<?xml version=\"1.0\" encoding=\"%.*s\"?>\n<!-- <!DOCTYPE Tags "
                              "SYSTEM \"matroskatags.dtd\"> -->\n\n<Chapters>\n  <EditionEntry>\n",
                              static_cast<int>(charset.size()), charset.data());
            }
            // A chapter ends 1 ms before the next chapter's frame starts; the last one (or one
            // whose successor has no frame) ends with the clip.
            uint64_t e = table.end_time_ms;
            if (k < count - 1) {
                const int32_t next = table.entries[k + 1].position;
                if (next >= 0 && static_cast<std::size_t>(next) < frames.size()) {
                    const uint64_t t = frames[static_cast<std::size_t>(next)].time_ms;
                    e = t > 0 ? t - 1 : 0;
                }
            }
            const Clock stop = split_ms(e);
            out += "    <ChapterAtom>\n      <ChapterDisplay>\n        <ChapterString>";
            out += xml_escape(name);
            out += "</ChapterString>\n        <ChapterLanguage>";
            out += xml_escape(language);
            append_format(out,
                          "</ChapterLanguage>\n      </ChapterDisplay>\n"
                          "      <ChapterFlagHidden>0</ChapterFlagHidden>\n"
                          "      <ChapterFlagEnabled>1</ChapterFlagEnabled>\n"
                          "      <ChapterTimeStart>%02llu:%02llu:%02llu.%03llu</ChapterTimeStart>\n"
                          "      <ChapterTimeEnd>%02llu:%02llu:%02llu.%03llu</ChapterTimeEnd>\n"
                          "    </ChapterAtom>\n",
                          start.hours, start.minutes, start.seconds, start.millis, stop.hours,
                          stop.minutes, stop.seconds, stop.millis);
        }
        ++k;
    }
    if (xml && k > 0) {
        out +=
            "    <EditionFlagDefault>0</EditionFlagDefault>\n"
            "    <EditionFlagHidden>0</EditionFlagHidden>\n"
            "  </EditionEntry>\n</Chapters>\n";
    }
    return out;
}

std::string timecodes_path(std::string_view chapter_path, std::string_view output_path) {
    if (output_path.empty() || output_path.front() != '.') return std::string(output_path);
    // Split off the extension the way the C library splits paths: it starts at the last dot
    // of the file name, after any drive ("X:") and directory part ('/' or '\').
    std::size_t name_start = 0;
    if (chapter_path.size() >= 2 && chapter_path[1] == ':') name_start = 2;
    const std::size_t sep = chapter_path.find_last_of("/\\");
    if (sep != std::string_view::npos && sep + 1 > name_start) name_start = sep + 1;
    std::size_t stem_end = chapter_path.size();
    const std::size_t dot = chapter_path.rfind('.');
    if (dot != std::string_view::npos && dot >= name_start) stem_end = dot;
    std::string out(chapter_path.substr(0, stem_end));
    out += output_path;
    return out;
}

WriteResult write_whole_file(const std::string& path, std::string_view bytes) {
    const wholefile::Status s =
        wholefile::write_file(path, bytes, {.temp_tag = "qex", .sync = true});
    if (s.ok()) return WriteResult::kOk;
    return s.open_failed() ? WriteResult::kOpenFailed : WriteResult::kWriteFailed;
}

int write_timecodes(std::span<const OutputFrame> frames, int32_t limit,
                    std::string_view chapter_path, std::string_view output_path) {
    switch (write_whole_file(timecodes_path(chapter_path, output_path),
                             timecodes_text(frames, limit))) {
        case WriteResult::kOk:
            return 0;
        case WriteResult::kOpenFailed:
            return kErrTimecodesOpen;
        default:
            return kErrTimecodesWrite;
    }
}

int write_chapters(std::span<const OutputFrame> frames, int32_t limit, const ChapterTable& table,
                   std::string_view chapter_path) {
    switch (write_whole_file(std::string(chapter_path), chapters_text(frames, limit, table))) {
        case WriteResult::kOk:
            return 0;
        case WriteResult::kOpenFailed:
            return kErrChapterFileOpen;
        default:
            return kErrChapterWrite;
    }
}

bool write_end_timecodes(std::string_view path, std::span<const uint64_t> times) {
    return write_whole_file(std::string(path), end_timecodes_text(times)) == WriteResult::kOk;
}

}  // namespace qex
