#include "tool/writers.h"

#include "common/wholefile.h"

#include <algorithm>
#include <string>

namespace zorvane {

namespace {

std::string padded(long long value, int width) {
    std::string digits = std::to_string(value);
    if (value >= 0 && static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    return digits;
}

std::string withoutLeadingDot(const std::string& func) {
    if (!func.empty() && func[0] == '.') return func.substr(1);
    return func;
}

// Frames covered by a segment; the final one ends at the last frame of the clip.
long long firstFrame(const Segment& s) {
    return 5LL * s.firstCycle;
}

long long lastFrame(const RunSettings& rs, const Segment& s, bool final) {
    return final ? static_cast<long long>(rs.totalFrames) - 1 : 5LL * s.lastCycle + 4;
}

int fallbackKind(const RunSettings& rs) {
    return kindsOf(rs).fallback;
}

bool wantsFpsAdjust(const RunSettings& rs) {
    return rs.totalFrames % 5 != 0 && rs.writeFpsAdjust;
}

std::string_view fallbackPatternName(const RunSettings& rs) {
    if (rs.use60fps) return rs.varDef60;
    if (rs.use30fps && rs.use30B) return rs.varDef30;
    return rs.varDef24;
}

// Pattern text of a frame statement of the definition file.
std::string patternText(const RunSettings& rs, const Segment& s) {
    auto fixed = [](int i) { return std::string(kFixedPatternTexts[static_cast<std::size_t>(i)]); };
    const int k = s.kind;
    const KindLayout kinds = kindsOf(rs);
    if (s.useAltText) {
        // The alternatives of kinds k and k + 5 are the same text.
        if (isPulldownKind(k)) return fixed(kFirstAltPatternText + k % kFirstFourFrameKind);
        if (k == kinds.fallback) return rs.varDef6to2 + "_" + std::to_string(s.refPhase);
        return {};
    }
    if (isPulldownKind(k)) return fixed(k);
    if (k == kinds.fallback) return std::string(fallbackPatternName(rs));
    if (k == kinds.func24) return rs.varDef24;
    if (k == kinds.func30) return rs.varDef30;
    if (rs.dedup && kinds.isDedupKind(k)) return fixed(kFirstDedupPatternText + k - kinds.dedup6);
    if (k == kPlain30Kind && rs.use30fps) return fixed(kPlain30PatternText);
    if (k == kOdd30Kind && rs.use30fps && rs.selectOdd) return fixed(kOdd30PatternText);
    return {};
}

// A fine statement keeps its listed pictures of the 2 x frames positions,
// or is served by the fallback filter.
std::string finePatternText(const RunSettings& rs, const FineStatement& f) {
    if (f.positions.empty()) return std::string(fallbackPatternName(rs));
    std::string t = "(" + std::to_string(2 * f.frames());
    for (int p : f.positions) t += "," + std::to_string(p);
    return t + ")";
}

std::string trimComment(long long first, long long last) {
    return "#Trim(" + std::to_string(first) + "," + std::to_string(last) + ")\n";
}

}  // namespace

int frameNumberWidth(const std::vector<Segment>& segments) {
    if (segments.empty()) return 1;
    const long long v = 5LL * segments.back().firstCycle;
    if (v > 9999999) return 15;
    int digits = 1;
    for (long long x = v; x >= 10; x /= 10) ++digits;
    return digits;
}

int segmentNumberWidth(std::size_t n) {
    if (n < 1000) return 3;
    if (n <= 9999) return 4;
    if (n <= 99999) return 5;
    if (n <= 999999) return 6;
    if (n <= 9999999) return 7;
    return 10;
}

std::string sixToTwoText(std::string_view func, std::string_view varRef, int phase) {
    if (varRef.empty()) return std::string(func);
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = func.find(varRef, pos);
        if (hit == std::string_view::npos) break;
        out.append(func.substr(pos, hit - pos));
        out += static_cast<char>('0' + phase);
        pos = hit + varRef.size();
    }
    out.append(func.substr(pos));
    return out;
}

std::string lostFramesBlock(const std::vector<EntryGap>& gaps) {
    std::string t;
    if (!gaps.empty()) {
        // Shift_JIS: the log lacks the frames below; they are filled with combed frames.
        t += "\n\n######    ERROR:\x83\x8D\x83O\x83t\x83@\x83"
             "C\x83\x8B\x82\xCC\x89\xBA\x8BL\x83t"
             "\x83\x8C\x81[\x83\x80\x8A\xD4\x82\xAA\x8C\x87\x97\x8E\x82\xB5\x82\xC4\x82\xA2\x82\xDC"
             "\x82\xB7\x81"
             "B\n";
        t +=
            "# (\x81\xA6\x91S\x91\xCC\x82\xCC\x83Y\x83\x8C\x82\xF0\x96h\x82\xAE\x82\xBD\x82\xDF\x82"
            "\xC9\x8C\x87\x97\x8E\x83t\x83\x8C\x81[\x83\x80\x82\xCD\x8E\xC8\x83t\x83\x8C\x81[\x83\x80"
            "\x82\xC5\x95\xE2\x8A\xD4\x82\xB5\x82\xDC\x82\xB7\x81"
            "B)\n";
        for (std::size_t i = 0; i < gaps.size() && i < kListedGaps; ++i) {
            if (i + 1 < kListedGaps)
                t += "# " + std::to_string(gaps[i].first) + "-" + std::to_string(gaps[i].last) +
                     "\n";
            else
                t += "# And any more lost frames...\n";
        }
    }
    t += "\n";
    return t;
}

std::string combingPacketsBlock(const RunSettings& rs, const std::vector<Segment>& segments) {
    std::string lines;
    const long long lastOfClip = static_cast<long long>(rs.totalFrames) - 1;
    for (const Segment& s : segments) {
        const std::size_t stored = std::min<std::size_t>(
            {static_cast<std::size_t>(std::max(s.skipCount, 0)), s.skipCycles.size(),
             static_cast<std::size_t>(kMaxStoredSkipCycles)});
        for (std::size_t i = 0; i < stored; ++i) {
            const long long first = 5LL * s.skipCycles[i];
            lines += trimComment(first, std::min(first + 4, lastOfClip));
        }
    }
    if (lines.empty()) return {};
    return "\n\n######    Combing-Packets\n" + lines;
}

std::string guessedPacketsBlock(const RunSettings& rs, const std::vector<Segment>& segments) {
    std::string lines;
    const long long lastOfClip = static_cast<long long>(rs.totalFrames) - 1;
    for (const Segment& s : segments) {
        if (!s.guessed) continue;
        lines += trimComment(5LL * s.firstCycle, std::min(5LL * s.lastCycle + 4, lastOfClip));
    }
    if (lines.empty()) return {};
    return "\n\n######    Guessed-Packets of Func6to2\n" + lines;
}

std::string trailerLine(const RunSettings& rs) {
    return "\n\n######    Zorvane ver0.1.1.1  by " + rs.authorHandle + "\n";
}

std::string definitionText(const RunSettings& rs, const FilterTable& table,
                           const std::vector<Segment>& segments,
                           const std::vector<EntryGap>& gaps) {
    const std::string f24 = withoutLeadingDot(rs.func24fps);
    const std::string f30 = withoutLeadingDot(rs.func30fps);
    const std::string f60 = withoutLeadingDot(rs.func60fps);
    const std::string f6to2 = withoutLeadingDot(rs.func6to2);

    std::string t;
    t += "set [24] " + rs.varDef24 + "='" + f24 + "'\n";
    for (int k = 0; k < 5; ++k)
        t += "set [" + std::to_string(rs.mode6to2) + "] " + rs.varDef6to2 + "_" +
             std::to_string(k) + "='" + sixToTwoText(f6to2, rs.varRef, k) + "'\n";
    t += "set [30] " + rs.varDef30 + "='" + f30 + "'\n";
    t += "set [60] " + rs.varDef60 + "='" + f60 + "'\n";
    t += "\n";
    t += "default 24=" + rs.varDef24 + "\n";
    t += "default 30=" + rs.varDef30 + "\n";
    t += "default 60=" + rs.varDef60 + "\n";
    t += "\n";

    const int w = frameNumberWidth(segments);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const bool final = i + 1 == segments.size();
        if (!s.fine.empty()) {
            // Each statement's pictures last exactly its frames: no adjustment is wanted.
            for (const FineStatement& f : s.fine) {
                t += padded(f.firstFrame, w) + "-" + padded(f.lastFrame, w);
                if (f.rate < 10) t += " ";
                t += " [" + std::to_string(f.rate) + "] " + finePatternText(rs, f) + "\n";
            }
            continue;
        }
        if (final && wantsFpsAdjust(rs)) t += "mode fps_adjust = on\n";
        const int rate =
            (s.kind == fallbackKind(rs) && s.useAltText) ? rs.mode6to2 : table[s.kind].fps;
        t += padded(firstFrame(s), w) + "-" + padded(lastFrame(rs, s, final), w);
        if (rate < 10) t += " ";
        t += " [" + std::to_string(rate) + "] " + patternText(rs, s) + "\n";
    }
    t += "end\n";
    t += lostFramesBlock(gaps);
    if (rs.skipMinRun > 0) t += combingPacketsBlock(rs, segments);
    if (rs.refCycles > 0) t += guessedPacketsBlock(rs, segments);
    t += trailerLine(rs);
    return t;
}

std::string scriptText(const RunSettings& rs, const FilterTable& table,
                       const std::vector<Segment>& segments, const std::vector<EntryGap>& gaps) {
    const int w = frameNumberWidth(segments);
    const int nameWidth = segmentNumberWidth(segments.size());
    const int fallback = fallbackKind(rs);

    std::string body;
    std::string joins;
    bool anyLoop = false;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const FilterEntry& entry = table[s.kind];
        const bool final = i + 1 == segments.size();
        const std::string name = rs.varTrim + padded(static_cast<long long>(i) + 1, nameWidth);

        bool extraFrame = false;
        long long last;
        if (final) {
            last = static_cast<long long>(rs.totalFrames) - 1;
        } else if (!s.useAltText && s.endsOnField8 && entry.crossesCycleEnd) {
            last = 5LL * s.lastCycle + 5;
            extraFrame = true;
        } else {
            last = 5LL * s.lastCycle + 4;
        }
        const std::string first = padded(firstFrame(s), w);
        const std::string lastText = padded(last, w);

        std::string filter;
        if (s.useAltText) {
            filter = s.kind == fallback ? sixToTwoText(rs.func6to2, rs.varRef, s.refPhase)
                                        : entry.altScriptText;
        } else {
            filter = entry.scriptText;
            if (extraFrame && entry.dropsExtraFrame) {
                filter += ".Loop(0," + rs.varLoop + ",0)";
                anyLoop = true;
            }
        }

        body += name + "=Trim(" + first + "," + lastText + ")" + filter + rs.funcAppend;
        if (s.kind == fallback && s.useAltText && s.guessed) body += " #(Guessed)";
        if (rs.packetComments && kindsOf(rs).isPatternKind(s.kind) && s.skipCount > 0)
            body += " #(Combing-Packets:" + std::to_string(s.skipCount) + ")";
        body += "\n";

        if (i == 0) {
            joins += rs.varEasyVfr + "=EasyVFR_Create(" + name + "," + rs.varTime + ")\n";
        } else {
            joins +=
                rs.varEasyVfr + "=" + rs.varEasyVfr + ".EasyVFR_Append(" + name + "," + rs.varTime;
            if (final && wantsFpsAdjust(rs)) joins += "," + first + "," + lastText;
            joins += ")\n";
        }
    }

    std::string t;
    if (anyLoop) t += rs.varLoop + "=FrameCount()\n";
    t += body;
    t += "\n";
    t += joins;
    t += rs.varEasyVfr;
    t += lostFramesBlock(gaps);
    if (rs.skipMinRun > 0) t += combingPacketsBlock(rs, segments);
    if (rs.refCycles > 0) t += guessedPacketsBlock(rs, segments);
    t += trailerLine(rs);
    return t;
}

bool writeOutputFile(const std::string& path, std::string_view text) {
    return wholefile::write_file(path, text, {.temp_tag = "zorvane", .sync = true}).ok();
}

}  // namespace zorvane
