#include "report.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <stdexcept>
#include <map>
#include <new>

#include "definition.h"
#include "framemap.h"
#include "model.h"

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

std::string escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
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
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                // Control characters (a stray CR, a tab) would only disturb the layout.
                out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
        }
    }
    return out;
}

std::string num(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

const char* class_name(RateClass c) {
    switch (c) {
        case RateClass::k24:
            return "24 fps";
        case RateClass::k30:
            return "30 fps";
        case RateClass::k60:
            return "60 fps";
        case RateClass::kOther:
            return "other rates";
        case RateClass::kDropped:
            return "dropped";
    }
    return "";
}

std::string rate_label(const ReportPart& p) {
    if (p.kind == RateClass::kDropped) return "dropped";
    return std::to_string(p.rate) + " fps";
}

constexpr RateClass kClasses[] = {RateClass::k24, RateClass::k30, RateClass::k60, RateClass::kOther,
                                  RateClass::kDropped};

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

// ---------------------------------------------------------------------------------------------
// The page

namespace {

constexpr int kGutter = kStripLeft;  // labels of the rows live left of the strip
constexpr int kSvgWidth = kStripLeft + kStripWidth + 24;

struct Page {
    const ReportInput& in;
    std::string out;
    int64_t end_ms = 1;  // the recording's length

    double x_of_ms(int64_t ms) const { return kStripLeft + double(kStripWidth) * ms / end_ms; }
    int64_t ms_of(int64_t frame) const {
        return frame_ms(frame, in.facts.fps_num, in.facts.fps_den);
    }

    void style();
    void header();
    void timeline();
    void marks_rows(int y);
    void cuts();
    void summary();
    void thumb(const Thumbnail& t, const std::string& caption);
    void part_row(size_t index);
};

void Page::style() {
    out +=
        "<style>\n"
        "body{margin:0;font:14px/1.45 system-ui,sans-serif;color:#1d1d1f;background:#fff}\n"
        ".pad{padding:0 24px}\n"
        "h1{font-size:20px;margin:16px 0 4px}h2{font-size:17px;margin:22px 0 8px;"
        "border-bottom:1px solid #ddd}h3{font-size:14px;margin:14px 0 6px}\n"
        "svg{display:block}svg text{font:12px system-ui,sans-serif;fill:#444}\n"
        ".legend span{display:inline-block;margin-right:18px}\n"
        ".sw{display:inline-block;width:12px;height:12px;vertical-align:-1px;margin-right:5px;"
        "border-radius:2px}\n"
        ".cut{border-top:1px solid #eee;padding:4px 0 10px}\n"
        ".thumbs{display:flex;gap:10px;flex-wrap:wrap}\n"
        "figure{margin:0}figure img{display:block;border:1px solid #ccc;background:#000}\n"
        "figcaption{font-size:12px;color:#555}\n"
        ".gap{width:14px}\n"
        "table{border-collapse:collapse}td,th{padding:2px 10px 2px 0;text-align:left;"
        "vertical-align:top}\n"
        "code,pre{font:12px ui-monospace,monospace;background:#f4f4f6}pre{padding:6px;"
        "white-space:pre-wrap}\n"
        ".note{color:#555}.warn{color:#a33}\n"
        "rect.part:hover{stroke:#000;stroke-width:1}\n"
        "</style>\n";
}

void Page::header() {
    const ReportFacts& f = in.facts;
    out += "<div class=\"pad\"><h1>" + escape(f.output) + "</h1>\n<p class=\"note\">from " +
           escape(f.input) + ", cut by " +
           (f.definition_kept ? escape(f.definition) : std::string("the analysis")) + "</p>\n";
    out += "<p>" + escape(shares_text(f.output_shares)) + "<br>" + std::to_string(f.output_frames) +
           " frames served, " + escape(clock_text(total_ms(f.output_shares))) + ", " +
           escape(size_text(f.output_bytes)) + "</p></div>\n";
}

// Tick step of the time axis: at most about twelve labels.
int64_t axis_step_ms(int64_t end_ms) {
    static const int64_t kSteps[] = {1000,   2000,    5000,    10000,   15000,
                                     30000,  60000,   120000,  300000,  600000,
                                     900000, 1800000, 3600000, 7200000, 10800000};
    for (const int64_t s : kSteps)
        if (end_ms / s <= 12) return s;
    return end_ms / 12 + 1;
}

void Page::timeline() {
    const int strip_y = 44, strip_h = 44;
    const int marks_y = strip_y + strip_h + 14;
    const int rows = in.marks.empty() ? 0 : 3;
    const int height = marks_y + rows * 18 + 6;
    out += "<div class=\"pad\"><h2 id=\"timeline\">Timeline</h2></div>\n";
    out += "<svg id=\"strip\" width=\"" + std::to_string(kSvgWidth) + "\" height=\"" +
           std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(kSvgWidth) + " " +
           std::to_string(height) + "\" xmlns=\"http://www.w3.org/2000/svg\">\n";

    // Axis: h:mm:ss labels and ticks above the strip.
    const int64_t step = axis_step_ms(end_ms);
    for (int64_t t = 0; t <= end_ms; t += step) {
        const double x = x_of_ms(t);
        const std::string hms = hms_text(t);
        out += "<line x1=\"" + num(x, 1) + "\" x2=\"" + num(x, 1) +
               "\" y1=\"18\" y2=\"26\" stroke=\"#888\"/><text x=\"" + num(x, 1) +
               "\" y=\"13\" text-anchor=\"" + (t == 0 ? "start" : "middle") + "\">" +
               hms.substr(0, hms.size() - 4) + "</text>\n";
    }
    out += "<text x=\"" + std::to_string(kGutter - 10) + "\" y=\"" +
           std::to_string(strip_y + strip_h / 2 + 4) + "\" text-anchor=\"end\">rate</text>\n";

    // The parts, each at least a pixel wide.
    for (size_t i = 0; i < in.parts.size(); ++i) {
        const ReportPart& p = in.parts[i];
        const double x0 = x_of_ms(ms_of(p.first)), x1 = x_of_ms(ms_of(p.last + 1));
        out += "<rect class=\"part\" data-first=\"" + std::to_string(p.first) + "\" data-last=\"" +
               std::to_string(p.last) + "\" data-rate=\"" + std::to_string(p.rate) + "\" x=\"" +
               num(x0, 2) + "\" y=\"" + std::to_string(strip_y) + "\" width=\"" +
               num(std::max(1.0, x1 - x0), 2) + "\" height=\"" + std::to_string(strip_h) +
               "\" fill=\"" + rate_colour(p.kind) + "\"><title>" +
               escape((p.line ? "line " + std::to_string(p.line) + ": " + p.text
                              : std::string("no statement covers these frames")) +
                      "\nframes " + std::to_string(p.first) + "-" + std::to_string(p.last) + ", " +
                      hms_text(ms_of(p.first)) + " - " + hms_text(ms_of(p.last + 1)) + "\n" +
                      rate_label(p) +
                      (in.served_known ? ", " + std::to_string(p.served_count) + " frames served"
                                       : std::string())) +
               "</title></rect>\n";
    }
    // A mark above the strip at every cut, in the colour of the part that starts there, so that
    // a part narrower than a pixel still shows.
    for (size_t i = 1; i < in.parts.size(); ++i) {
        const double x = x_of_ms(ms_of(in.parts[i].first));
        out += "<a href=\"#cut-" + std::to_string(i) + "\"><rect class=\"cutmark\" x=\"" +
               num(x - 1, 2) + "\" y=\"" + std::to_string(strip_y - 12) +
               "\" width=\"3\" height=\"10\" fill=\"" + rate_colour(in.parts[i].kind) +
               "\"/></a>\n";
    }
    if (rows) marks_rows(marks_y);
    out += "</svg>\n";

    // Shares of the recording's time by rate.
    int64_t ms_by[5] = {};
    for (const ReportPart& p : in.parts) ms_by[int(p.kind)] += ms_of(p.last + 1) - ms_of(p.first);
    out += "<div class=\"pad legend\"><p>";
    for (const RateClass c : kClasses) {
        const int64_t ms = ms_by[int(c)];
        if (ms == 0 && c != RateClass::k24 && c != RateClass::k30 && c != RateClass::k60) continue;
        out += "<span><i class=\"sw\" style=\"background:" + std::string(rate_colour(c)) +
               "\"></i>" + class_name(c) + ": " + hms_text(ms).substr(0, hms_text(ms).size() - 2) +
               " (" + num(100.0 * ms / end_ms, 1) + "%)</span>";
    }
    if (!in.served_known)
        out +=
            "</p><p class=\"warn\">The served frames could not be matched to the parts (the "
            "definition uses what only the frame server reads): the rates shown are the ones "
            "the lines declare.";
    out += "</p><p class=\"note\">" + std::to_string(in.parts.size()) + " parts, " +
           std::to_string(in.cuts_total) +
           " cuts; the strip is the recording's time, each part coloured by the rate its frames "
           "are served at. Hover a part for its .def line; click a mark above the strip to go to "
           "its cut.</p></div>\n";
}

void Page::marks_rows(int y) {
    const std::vector<Marks>& m = in.marks;
    const size_t entries = m.size();
    struct Row {
        const char* label;
        const char* colour;
        bool Marks::*field;
    };
    const Row rows[3] = {{"combed", "#b0182f", &Marks::combed},
                         {"wide combing", "#7a3db8", &Marks::wide},
                         {"new picture", "#127a83", &Marks::fresh}};
    // Entry e is DoubleWeave frame e: it starts at source time e / 2 frames.
    const int64_t span = int64_t(entries);
    for (int r = 0; r < 3; ++r) {
        const int ry = y + r * 18;
        out += "<text x=\"" + std::to_string(kGutter - 10) + "\" y=\"" + std::to_string(ry + 11) +
               "\" text-anchor=\"end\">" + rows[r].label + "</text>\n<rect x=\"" +
               std::to_string(kStripLeft) + "\" y=\"" + std::to_string(ry) + "\" width=\"" +
               std::to_string(kStripWidth) + "\" height=\"14\" fill=\"#f3f3f5\"/>\n";
        // Each pixel column: the share of its entries that carry the mark, in four steps; runs
        // of equal columns are one rectangle.
        int run_level = 0, run_start = 0;
        auto flush = [&](int upto) {
            if (run_level > 0)
                out += "<rect x=\"" + std::to_string(kStripLeft + run_start) + "\" y=\"" +
                       std::to_string(ry) + "\" width=\"" + std::to_string(upto - run_start) +
                       "\" height=\"14\" fill=\"" + rows[r].colour + "\" fill-opacity=\"" +
                       num(run_level / 4.0, 2) + "\"/>\n";
        };
        for (int px = 0; px < kStripWidth; ++px) {
            // Entries whose time falls in this column (at least the one under it).
            const int64_t from = span * px / kStripWidth;
            const int64_t to = std::max(from + 1, span * (px + 1) / kStripWidth);
            int64_t marked = 0;
            for (int64_t e = from; e < to && e < span; ++e) marked += (m[size_t(e)].*rows[r].field);
            const double share = double(marked) / double(to - from);
            const int level = marked == 0 ? 0 : std::clamp(int(share * 4 + 0.999), 1, 4);
            if (level != run_level) {
                flush(px);
                run_level = level;
                run_start = px;
            }
        }
        flush(kStripWidth);
    }
    // The cuts, faintly across the rows, to see the marks around each one.
    for (size_t i = 1; i < in.parts.size(); ++i) {
        const double x = x_of_ms(ms_of(in.parts[i].first));
        out += "<line x1=\"" + num(x, 2) + "\" x2=\"" + num(x, 2) + "\" y1=\"" +
               std::to_string(y - 4) + "\" y2=\"" + std::to_string(y + 3 * 18) +
               "\" stroke=\"#000\" stroke-opacity=\"0.25\"/>\n";
    }
}

void Page::thumb(const Thumbnail& t, const std::string& caption) {
    out += "<figure>";
    if (t.jpeg.empty())
        out += "<div style=\"width:160px;height:90px;border:1px dashed #bbb\"></div>";
    else
        out += "<img class=\"thumb\" width=\"" + std::to_string(t.width) + "\" height=\"" +
               std::to_string(t.height) + "\" alt=\"" + escape(caption) +
               "\" src=\"data:image/jpeg;base64," + base64(t.jpeg) + "\">";
    out += "<figcaption>" + escape(caption) + "</figcaption></figure>";
}

void Page::part_row(size_t index) {
    const ReportPart& p = in.parts[index];
    out +=
        "<tr><td><i class=\"sw\" style=\"background:" + std::string(rate_colour(p.kind)) +
        "\"></i>" + escape(rate_label(p)) + "</td><td>frames " + std::to_string(p.first) + "-" +
        std::to_string(p.last) + "</td><td>" +
        (p.line ? "line " + std::to_string(p.line) + "</td><td><code>" + escape(p.text) + "</code>"
                : std::string("</td><td class=\"note\">no statement: not served")) +
        "</td></tr>\n";
}

void Page::cuts() {
    out += "<div class=\"pad\"><h2 id=\"cuts\">Cuts</h2>\n";
    if (in.cuts_total == 0) {
        out += "<p class=\"note\">The whole recording is one part: there is no cut.</p>";
    } else if (in.cuts.size() < in.cuts_total) {
        out += "<p class=\"note\">" + std::to_string(in.cuts.size()) + " of the " +
               std::to_string(in.cuts_total) +
               " cuts are shown, sampled evenly over the recording.</p>\n";
    }
    out +=
        "<p class=\"note\">Each cut: the source's woven frames just before and after it, then "
        "the frames served on either side, and the .def lines of the two parts (the lines to edit "
        "for <code>--def</code>).</p>\n";
    for (const ReportCut& c : in.cuts) {
        const ReportPart& after = in.parts[c.after];
        const int64_t f = after.first;
        out += "<div class=\"cut\" id=\"cut-" + std::to_string(c.after) + "\"><h3>Cut " +
               std::to_string(c.after) + " of " + std::to_string(in.cuts_total) + " at " +
               hms_text(ms_of(f)) + ", source frame " + std::to_string(f) + "</h3>\n";
        out += "<div class=\"thumbs\">";
        thumb(c.source_before, "source " + std::to_string(f - 1) + " (woven)");
        thumb(c.source_after, "source " + std::to_string(f) + " (woven)");
        out += "<div class=\"gap\"></div>";
        auto served_caption = [&](int64_t k) {
            if (k < 0) return std::string("no served frame");
            std::string s = "served " + std::to_string(k);
            if (size_t(k) < in.served_ms.size()) s += " at " + hms_text(in.served_ms[size_t(k)]);
            return s;
        };
        thumb(c.served_before, served_caption(c.served_before_frame));
        thumb(c.served_after, served_caption(c.served_after_frame));
        out += "</div>\n<table>";
        part_row(c.after - 1);
        part_row(c.after);
        out += "</table></div>\n";
    }
    out += "</div>\n";
}

void Page::summary() {
    const ReportFacts& f = in.facts;
    auto row = [&](const std::string& k, const std::string& v) {
        out += "<tr><th>" + escape(k) + "</th><td>" + escape(v) + "</td></tr>\n";
    };
    const double rate = f.fps_den ? double(f.fps_num) / f.fps_den : 0;
    out += "<div class=\"pad\"><h2 id=\"summary\">Summary</h2>\n<table>\n";
    row("input", f.input);
    row("input size", size_text(f.input_bytes));
    row("picture", std::to_string(f.width) + "x" + std::to_string(f.height));
    row("input frames", std::to_string(f.source_frames) + " at " + std::to_string(f.fps_num) + "/" +
                            std::to_string(f.fps_den) + " (" + num(rate, 3) + " fps), " +
                            hms_text(ms_of(f.source_frames)));
    row("output", f.output);
    row("output size", size_text(f.output_bytes));
    row("output frames", std::to_string(f.output_frames) + ", " +
                             hms_text(total_ms(f.output_shares)) + ", variable rate");
    row("rates", shares_text(f.output_shares));
    row("definition", f.definition_kept ? f.definition
                                        : std::string("made by the analysis, not kept (--keep DIR "
                                                      "keeps it for editing)"));
    if (f.frames_concealed >= 0)
        row("frames filled or concealed", std::to_string(f.frames_concealed));
    out += "</table>\n<h3>Audio</h3>\n";
    if (f.audio.empty() || !f.audio_kept) {
        out += std::string("<p class=\"note\">") +
               (f.audio_left_out ? "Audio left out (--no-audio)."
                                 : "The input has no audio track to keep.") +
               "</p>\n";
    } else {
        out += "<table><tr><th>track</th><th>codec</th><th>language</th><th>offset</th></tr>\n";
        for (const AudioTrack& t : f.audio)
            out += "<tr><td>" + std::to_string(t.id) + "</td><td>" + escape(t.codec) + "</td><td>" +
                   escape(t.language.empty() ? "-" : t.language) + "</td><td>" +
                   std::to_string(t.offset_ms) + " ms</td></tr>\n";
        out += "</table>\n";
    }
    out += "<h3>Warnings</h3>\n";
    if (f.warnings.empty()) {
        out += "<p class=\"note\">None.</p>\n";
    } else {
        out += "<ul>";
        for (const std::string& w : f.warnings) out += "<li class=\"warn\">" + escape(w) + "</li>";
        out += "</ul>\n";
    }
    out += "<h3>Command line</h3>\n<pre>" + escape(f.command_line) + "</pre>\n";
    out +=
        "<h3>Changing the cut</h3>\n<p>Run with <code>--keep DIR</code> to keep the definition, "
        "change the lines shown at the cuts (the first and last frame of a part, its rate, its "
        "filter), then run again with <code>--def DIR/NAME.def</code>: the scan and the analysis "
        "are skipped and a new page shows the edited cut.</p>\n</div>\n";
}

}  // namespace

std::string report_html(const ReportInput& in) {
    Page page{in, {}};
    page.end_ms = std::max<int64_t>(1, page.ms_of(in.facts.source_frames));
    std::string& out = page.out;
    out +=
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"generator\" content=\"qexvfr\">\n<title>" +
        escape(in.facts.output) + " - qexvfr report</title>\n";
    page.style();
    out += "</head><body>\n";
    page.header();
    page.timeline();
    if (in.marks.empty())
        out += "<div class=\"pad\"><p class=\"note\">No analysis marks: " +
               escape(in.marks_note.empty() ? std::string("no log") : in.marks_note) +
               ".</p></div>\n";
    else
        out +=
            "<div class=\"pad\"><p class=\"note\">Under the strip, the scan's marks for each "
            "woven frame (darker: more of the frames in that column carry it): combed, combed over "
            "a wide area, a new picture. How often a woven frame is combed tells the cadence: "
            "telecined film repeats a pattern every five frames, 30p combs every second woven "
            "frame (the fields of two frames), 60i nearly every one. The scan keeps only the "
            "marks, not the measures behind them.</p></div>\n";
    page.cuts();
    page.summary();
    out += "</body></html>\n";
    return out;
}

}  // namespace qexvfr
