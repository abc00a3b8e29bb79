// The report page: HTML and inline SVG built from a ReportInput.
#include <algorithm>
#include <cstdio>

#include "vfr/report.h"

namespace qexvfr {

namespace {

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
    void close_up(size_t after);
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
    // Marks of the cuts shown below link to them.
    std::vector<bool> shown(in.parts.size());
    for (const ReportCut& c : in.cuts)
        if (c.after < shown.size()) shown[c.after] = true;
    for (size_t i = 1; i < in.parts.size(); ++i) {
        const double x = x_of_ms(ms_of(in.parts[i].first));
        const std::string mark = "<rect class=\"cutmark\" x=\"" + num(x - 1, 2) + "\" y=\"" +
                                 std::to_string(strip_y - 12) +
                                 "\" width=\"3\" height=\"10\" fill=\"" +
                                 rate_colour(in.parts[i].kind) + "\"/>";
        out += shown[i] ? "<a href=\"#cut-" + std::to_string(i) + "\">" + mark + "</a>\n"
                        : mark + "\n";
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

// The parts within five seconds (150 frames) of the cut before parts[after], at a scale where
// every frame is several pixels wide: the close-up that the whole strip cannot give.
void Page::close_up(size_t after) {
    constexpr int64_t kReach = 150;
    constexpr int kWidth = 1000;
    const int64_t cut = in.parts[after].first;
    const int64_t w0 = std::max<int64_t>(0, cut - kReach);
    const int64_t w1 = std::min<int64_t>(in.facts.source_frames, cut + kReach);  // exclusive
    if (w1 <= w0) return;
    auto x_of = [&](int64_t frame) {
        return double(kWidth) * double(frame - w0) / double(w1 - w0);
    };
    out += "<svg class=\"closeup\" width=\"" + std::to_string(kWidth + 2) +
           "\" height=\"40\" viewBox=\"-1 0 " + std::to_string(kWidth + 2) +
           " 40\" xmlns=\"http://www.w3.org/2000/svg\">\n";
    for (const ReportPart& p : in.parts) {
        if (p.last < w0 || p.first >= w1) continue;
        const double x0 = x_of(std::max(p.first, w0)), x1 = x_of(std::min(p.last + 1, w1));
        out += "<rect class=\"near\" data-first=\"" + std::to_string(p.first) + "\" data-last=\"" +
               std::to_string(p.last) + "\" x=\"" + num(x0, 2) + "\" y=\"2\" width=\"" +
               num(std::max(1.0, x1 - x0), 2) + "\" height=\"18\" fill=\"" + rate_colour(p.kind) +
               "\"><title>" +
               escape((p.line ? "line " + std::to_string(p.line) + ": " + p.text
                              : std::string("no statement covers these frames")) +
                      "\nframes " + std::to_string(p.first) + "-" + std::to_string(p.last)) +
               "</title></rect>\n";
    }
    const double xc = x_of(cut);
    out += "<line x1=\"" + num(xc, 2) + "\" x2=\"" + num(xc, 2) +
           "\" y1=\"0\" y2=\"24\" stroke=\"#000\" stroke-width=\"2\"/>\n";
    out += "<text x=\"0\" y=\"36\">frame " + std::to_string(w0) + ", " + hms_text(ms_of(w0)) +
           "</text><text x=\"" + std::to_string(kWidth) + "\" y=\"36\" text-anchor=\"end\">frame " +
           std::to_string(w1 - 1) + ", " + hms_text(ms_of(w1 - 1)) + "</text>\n</svg>\n";
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
        "the frames served on either side, the parts within five seconds of it (the black line is "
        "the cut), and the .def lines of the two parts (the lines to edit for "
        "<code>--def</code>).</p>\n";
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
        out += "</div>\n";
        close_up(c.after);
        out += "<table>";
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
    row("decode errors", f.frames_concealed < 0
                             ? std::string("not known (no index of the input)")
                             : std::to_string(f.frames_concealed) +
                                   " while indexing (packets refused, pictures concealed)");
    if (f.frames_filled >= 0)
        row("filled frames",
            std::to_string(f.frames_filled) +
                " repeat the last good picture where pictures are missing from the stream, so "
                "that every later frame keeps its time");
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
