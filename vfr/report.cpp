#include "vfr/report.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <stdexcept>
#include <map>
#include <new>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "plugin/model.h"

namespace qexvfr {

namespace {

std::string_view trim_left(std::string_view s) {
    while (!s.empty() && (s[0] == ' ' || s[0] == '\t')) s.remove_prefix(1);
    return s;
}

bool starts_with_ci(std::string_view s, std::string_view word) {
    if (s.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != word[i]) return false;
    return true;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number at the front of s (leading blanks skipped); -1 when there is none.
int64_t take_number(std::string_view& s) {
    s = trim_left(s);
    if (s.empty() || !is_digit(s[0])) return -1;
    int64_t n = 0;
    while (!s.empty() && is_digit(s[0])) {
        if (n < (int64_t{1} << 40)) n = n * 10 + (s[0] - '0');
        s.remove_prefix(1);
    }
    return n;
}

}  // namespace

const char* rate_colour(RateClass c) {
    switch (c) {
        case RateClass::k24:
            return "#2f6fde";
        case RateClass::k30:
            return "#2fae4e";
        case RateClass::k60:
            return "#f08a18";
        case RateClass::kOther:
            return "#9b59b6";
        case RateClass::kDropped:
            return "#d62828";
    }
    return "#000000";
}

std::vector<ReportPart> definition_parts(std::string_view text, int64_t source_frames) {
    struct Statement {
        int64_t first, last;
        int line;
        std::string text;
        int rate;
    };
    std::vector<Statement> statements;
    int64_t offset = 0;
    bool in_keyframes = false;
    int line_no = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view p = trim_left(line);
        if (p.empty() || p[0] == '#') continue;
        if (in_keyframes) {
            if (p[0] == '}' || line.find('}') != std::string_view::npos) in_keyframes = false;
            continue;
        }
        if (starts_with_ci(p, "set") || starts_with_ci(p, "default") || starts_with_ci(p, "mode"))
            continue;
        if (starts_with_ci(p, "offset")) {
            std::string_view rest = trim_left(p.substr(6));
            const bool negative = !rest.empty() && rest[0] == '-';
            if (negative) rest.remove_prefix(1);
            const int64_t n = take_number(rest);
            if (n >= 0) offset = negative ? -n : n;
            continue;
        }
        if (starts_with_ci(p, "end")) break;
        if (starts_with_ci(p, "keyframes")) {
            in_keyframes = true;  // until a line that closes it, as Qex reads the block
            continue;
        }
        std::string_view rest = p;
        const int64_t n = take_number(rest);
        if (n < 0) continue;
        const int64_t first = n + offset;
        if (first < 0 || first >= source_frames) continue;
        int64_t last = first;
        rest = trim_left(rest);
        if (!rest.empty() && rest[0] == '-') {
            rest.remove_prefix(1);
            const int64_t b = take_number(rest);
            last = b < 0 ? source_frames - 1 : std::clamp(b + offset, first, source_frames - 1);
            if (b >= 0 && (b + offset < 0 || b + offset >= source_frames)) last = source_frames - 1;
        } else if (trim_left(rest).empty() || trim_left(rest)[0] == '#') {
            continue;  // a single frame and nothing else: a key frame
        }
        if (last < first) continue;
        int rate = 0;
        rest = trim_left(rest);
        if (!rest.empty() && rest[0] == '[') {
            rest.remove_prefix(1);
            const int64_t r = take_number(rest);
            if (r > 0 && r <= 240) rate = int(r);
        }
        statements.push_back({first, last, line_no, std::string(trim_left(line)), rate});
    }

    // Which statement serves each source frame: the last one to write it.
    std::vector<int> owner(size_t(std::max<int64_t>(source_frames, 0)), -1);
    for (size_t s = 0; s < statements.size(); ++s)
        for (int64_t f = statements[s].first; f <= statements[s].last; ++f)
            owner[size_t(f)] = int(s);

    std::vector<ReportPart> parts;
    for (int64_t f = 0; f < source_frames;) {
        const int o = owner[size_t(f)];
        int64_t g = f;
        while (g + 1 < source_frames && owner[size_t(g + 1)] == o) ++g;
        ReportPart part;
        part.first = f;
        part.last = g;
        if (o >= 0) {
            part.line = statements[size_t(o)].line;
            part.text = statements[size_t(o)].text;
            part.declared_rate = statements[size_t(o)].rate;
        }
        parts.push_back(std::move(part));
        f = g + 1;
    }
    return parts;
}

void assign_served(std::vector<ReportPart>& parts, const std::vector<ServedFrame>& served) {
    std::vector<std::map<int, int64_t>> lengths(parts.size());
    for (ReportPart& p : parts) {
        p.served_first = -1;
        p.served_count = 0;
    }
    for (size_t k = 0; k < served.size(); ++k) {
        const int64_t frame = served[k].field / 2;
        // The part holding `frame`: parts are in source order and cover every frame.
        auto it = std::upper_bound(parts.begin(), parts.end(), frame,
                                   [](int64_t f, const ReportPart& p) { return f < p.first; });
        if (it == parts.begin()) continue;
        --it;
        if (frame > it->last) continue;
        if (it->served_first < 0) it->served_first = int64_t(k);
        ++it->served_count;
        ++lengths[size_t(it - parts.begin())][served[k].ticks];
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        ReportPart& p = parts[i];
        p.rate = 0;
        p.kind = RateClass::kDropped;
        int best = 0;
        int64_t most = 0;
        for (const auto& [ticks, count] : lengths[i])
            if (count > most) best = ticks, most = count;
        if (best <= 0) continue;
        p.rate = (240 + best / 2) / best;
        p.kind = p.rate == 24   ? RateClass::k24
                 : p.rate == 30 ? RateClass::k30
                 : p.rate == 60 ? RateClass::k60
                                : RateClass::kOther;
    }
}

void assign_declared(std::vector<ReportPart>& parts) {
    for (ReportPart& p : parts) {
        p.served_first = -1;
        p.served_count = 0;
        p.rate = p.line ? p.declared_rate : 0;
        p.kind = p.rate == 0    ? RateClass::kDropped
                 : p.rate == 24 ? RateClass::k24
                 : p.rate == 30 ? RateClass::k30
                 : p.rate == 60 ? RateClass::k60
                                : RateClass::kOther;
    }
}

bool definition_served(std::string_view def_text, int64_t source_frames, unsigned fps_num,
                       unsigned fps_den, std::vector<ServedFrame>& out) {
    out.clear();
    if (source_frames <= 0 || source_frames > INT32_MAX / 2) return false;
    try {
        qex::QexModel m(int32_t(source_frames), 30, fps_num, fps_den);
        if (qex::read_definition_text(m, def_text) < 0) return false;
        if (qex::output_pass(m) < 0) return false;
        out.reserve(m.output.size());
        for (const qex::OutputFrame& f : m.output) out.push_back({f.source, f.duration});
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    } catch (const std::length_error&) {
        out.clear();
        return false;
    }
    return true;
}

std::pair<int64_t, int64_t> served_around(const std::vector<ReportPart>& parts, size_t after,
                                          int64_t served_total) {
    int64_t next = served_total;
    for (size_t j = after; j < parts.size(); ++j)
        if (parts[j].served_count > 0) {
            next = parts[j].served_first;
            break;
        }
    return {next > 0 ? next - 1 : -1, next < served_total ? next : -1};
}

std::vector<Marks> parse_log_marks(std::string_view log) {
    std::vector<Marks> marks;
    int64_t total = -1;
    bool first = true;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string_view::npos) end = log.size();
        std::string_view line = log.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            first = false;
            if (!starts_with_ci(line, "total")) return {};
            std::string_view rest = line.size() > 5 ? line.substr(5) : std::string_view();
            while (!rest.empty() && !is_digit(rest[0])) rest.remove_prefix(1);
            total = take_number(rest);
            if (total < 0 || total > (int64_t{1} << 26)) return {};
            // One entry per DoubleWeave frame: two per source frame.
            marks.resize(size_t(2 * total));
            continue;
        }
        if (starts_with_ci(line, "fast")) return {};
        std::string_view rest = line;
        const int64_t i = take_number(rest);
        if (i < 0 || rest.empty() || rest[0] != '-' || i >= int64_t(marks.size())) continue;
        // Marks sit 1, 3 and 5 characters after the "-".
        auto mark = [&](size_t k) { return rest.size() > k && rest[k] == '1'; };
        marks[size_t(i)] = Marks{mark(1), mark(3), mark(5)};
    }
    return marks;
}

std::vector<size_t> sample_cuts(size_t total, size_t cap) {
    std::vector<size_t> shown;
    if (total == 0 || cap == 0) return shown;
    if (total <= cap) {
        for (size_t i = 0; i < total; ++i) shown.push_back(i);
        return shown;
    }
    if (cap == 1) return {0};
    for (size_t i = 0; i < cap; ++i) shown.push_back(i * (total - 1) / (cap - 1));
    return shown;
}

std::vector<AudioTrack> audio_tracks(std::string_view json) {
    // mkvmerge -J: "tracks": [ { "codec": "...", "id": N, "properties": { "language": "..." },
    // "type": "audio" }, ... ]. Each track object is read between its braces.
    std::vector<AudioTrack> tracks;
    const size_t list = json.find("\"tracks\"");
    if (list == std::string_view::npos) return tracks;
    size_t at = json.find('[', list);
    if (at == std::string_view::npos) return tracks;
    int depth = 0;
    size_t object = 0;
    auto string_value = [](std::string_view obj, std::string_view key) -> std::string {
        const size_t k = obj.find("\"" + std::string(key) + "\"");
        if (k == std::string_view::npos) return {};
        size_t q = obj.find(':', k);
        if (q == std::string_view::npos) return {};
        q = obj.find_first_not_of(" \t\r\n", q + 1);
        if (q == std::string_view::npos || obj[q] != '"') return {};
        const size_t e = obj.find('"', q + 1);
        return e == std::string_view::npos ? std::string()
                                           : std::string(obj.substr(q + 1, e - q - 1));
    };
    for (++at; at < json.size(); ++at) {
        const char c = json[at];
        if (c == '"') {  // skip strings, which may hold braces
            for (++at; at < json.size() && json[at] != '"'; ++at)
                if (json[at] == '\\') ++at;
            continue;
        }
        if (c == '{') {
            if (depth++ == 0) object = at;
        } else if (c == '}') {
            if (--depth == 0) {
                const std::string_view obj = json.substr(object, at - object + 1);
                if (string_value(obj, "type") == "audio") {
                    AudioTrack t;
                    t.codec = string_value(obj, "codec");
                    t.language = string_value(obj, "language");
                    const size_t id = obj.find("\"id\"");
                    if (id != std::string_view::npos) {
                        std::string_view rest = obj.substr(obj.find(':', id) + 1);
                        t.id = int(take_number(rest));
                    }
                    tracks.push_back(std::move(t));
                }
            }
        } else if (c == ']' && depth == 0) {
            break;
        }
    }
    return tracks;
}

std::string hms_text(int64_t ms) {
    if (ms < 0) ms = 0;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%03lld", (long long)(ms / 3600000),
                  (long long)(ms / 60000 % 60), (long long)(ms / 1000 % 60),
                  (long long)(ms % 1000));
    return buf;
}

int64_t frame_ms(int64_t frame, unsigned fps_num, unsigned fps_den) {
    if (fps_num == 0) return 0;
    return frame * int64_t(fps_den) * 1000 / int64_t(fps_num);
}

std::string shell_line(const std::vector<std::string>& argv) {
    std::string out;
    for (const std::string& w : argv) {
        if (!out.empty()) out += ' ';
        const bool plain = !w.empty() && w.find_first_not_of(
                                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789-_./=:,+@%") == std::string::npos;
        if (plain) {
            out += w;
            continue;
        }
        out += '\'';
        for (const char c : w) {
            if (c == '\'')
                out += "'\\''";
            else
                out += c;
        }
        out += '\'';
    }
    return out;
}

std::string base64(std::string_view bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 |
                           uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<std::string> text_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
            if (i > start) lines.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

}  // namespace qexvfr
