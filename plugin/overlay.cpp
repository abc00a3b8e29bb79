#include "plugin/overlay.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "plugin/font.h"

namespace qex {
namespace {

// Length of a NUL-terminated text held in a fixed slot, never reading past the slot.
int slot_length(const char* slot, std::size_t size) {
    const void* nul = std::memchr(slot, 0, size);
    return static_cast<int>(nul ? static_cast<const char*>(nul) - slot : size);
}

template <std::size_t N>
int slot_length(const char (&slot)[N]) {
    return slot_length(slot, N);
}

// Formats the next line; text that does not fit is cut at 255 bytes.
void put_line(OverlayLines& out, int row_offset, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

void put_line(OverlayLines& out, int row_offset, const char* fmt, ...) {
    OverlayLine& line = out.lines[out.count++];
    line.row_offset = row_offset;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line.text, sizeof line.text, fmt, ap);
    va_end(ap);
}

bool is_alias(int alias) {
    return alias >= 1 && alias <= kMaxAliases;
}

}  // namespace

int rate_from_ticks(int ticks) {
    for (int rate : kSlotRates)
        if (kTicksPerSecond / rate == ticks) return rate;
    return -1;
}

OverlayInput overlay_input(const QexModel& model, int32_t n, int32_t k, int fps) {
    OverlayInput in;
    in.n = n;
    in.k = k;
    in.fps = fps;
    in.aliases = model.aliases.get();
    in.sets = model.sets.get();
    in.chapters = model.chapters.get();
    if (n >= 0 && static_cast<std::size_t>(n) < model.output.size()) {
        in.frame = model.output[static_cast<std::size_t>(n)];
        const int32_t f = in.frame.source;
        if (f >= 0 && static_cast<std::size_t>(f) < model.field_map.size())
            in.entry = model.field_map[static_cast<std::size_t>(f)];
    }
    return in;
}

OverlayLines format_overlay(const OverlayInput& in) {
    OverlayLines out;
    const OutputFrame& o = in.frame;
    const FieldEntry& e = in.entry;
    const int f = o.source;
    const char* key = (o.flags & kFlagKeyframe) ? "[K]" : "";

    // A rate of 0 has no duration; show no drift rather than dividing by zero.
    const int code = duration_code(e.rate);
    const double delta = code != 0 ? static_cast<double>(o.drift) / code : 0.0;

    // Line 1: where the picture comes from.
    if (is_alias(e.alias)) {
        put_line(out, 0, "frame=%d(%d %d %d<+%d>) %dfps delta=%.2f %s", in.n, f / 2, f, in.k,
                 int{e.phase}, int{e.rate}, delta, key);
    } else {
        const int third = in.fps == 24 ? (4 * f) / 5 : f;
        put_line(out, 0, "frame=%d(%d %d %d) %dfps delta=%.2f %s", in.n, f / 2, f, third,
                 int{e.rate}, delta, key);
    }

    // Line 2: the alias text or project behind the entry, with its set name.
    if (e.alias >= 1 && e.alias <= kAliasProject) {
        const char* text = "TMPGEnc";
        int text_len = 7;
        if (e.alias != kAliasProject) {
            if (in.aliases) {
                text = in.aliases->text[e.alias - 1];
                text_len = slot_length(in.aliases->text[e.alias - 1]);
            } else {
                text = "";
                text_len = 0;
            }
        }
        if (e.set_index != 0) {
            // A set number the table cannot hold shows an empty name.
            const char* name = "";
            int name_len = 0;
            if (in.sets && e.set_index <= kMaxSetNames) {
                name = in.sets->names[e.set_index - 1];
                name_len = slot_length(in.sets->names[e.set_index - 1]);
            }
            put_line(out, kOverlayLineHeight, "<%.*s> [%.*s]", name_len, name, text_len, text);
        } else {
            put_line(out, kOverlayLineHeight, "[%.*s]", text_len, text);
        }
    }

    // Line 3: time, and for variable-rate output the published duration.
    const unsigned long long t = o.time_ms;
    const unsigned long long hours = t / 3600000;
    const unsigned long long minutes = (t / 60000) % 60;
    const unsigned long long seconds = (t / 1000) % 60;
    const unsigned long long millis = t % 1000;
    if (in.fps <= 0) {
        put_line(out, 2 * kOverlayLineHeight,
                 "<vfrout> [%02llu:%02llu:%02llu.%03llu] %d/%d <%dfps> adjust=%d", hours, minutes,
                 seconds, millis, in.published_duration, in.state_byte,
                 rate_from_ticks(in.published_duration), int{e.adjust});
    } else {
        put_line(out, 2 * kOverlayLineHeight, "<out> [%02llu:%02llu:%02llu.%03llu] %dfps", hours,
                 minutes, seconds, millis, in.fps);
    }

    // Line 4: the chapter that a chapter mark starts.
    if ((o.flags & kFlagChapter) && in.chapters) {
        const int count = std::clamp(int{in.chapters->count}, 0, kMaxChapters);
        int found = -1;
        for (int i = 0; i < count; ++i)
            if (in.chapters->entries[i].position <= in.n) found = i;
        if (found >= 0) put_line(out, 3 * kOverlayLineHeight, "<CHAPTER%02d>", found);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Drawing

namespace {

std::uint8_t* row_ptr(const PlaneView& p, int row) {
    return p.data + static_cast<std::ptrdiff_t>(row) * p.pitch;
}

int picture_width(const FrameView& fv) {
    const int rs = fv.planes[0].row_size;
    switch (fv.type) {
        case PixelType::kYV12:
        case PixelType::kI420:
            return rs;
        case PixelType::kYUY2:
            return rs / 2;
        case PixelType::kRGB32:
            return rs / 4;
        case PixelType::kRGB24:
            return rs / 3;
        default:
            return 0;
    }
}

// Draws `cols` columns of glyph g with its top-left corner at (x, y); W is the picture width.
void draw_glyph(const FrameView& fv, const std::uint8_t* g, int cols, int x, int y, int W) {
    const PlaneView& p0 = fv.planes[0];
    const int height = p0.height;
    for (int r = 0; r < kGlyphRows; ++r) {
        const int py = y + r;
        if (py >= height) break;  // everything below is off the picture too
        if (py < 0) continue;
        const std::uint8_t* gr = g + r * kGlyphColumns;
        switch (fv.type) {
            case PixelType::kYV12:
            case PixelType::kI420: {
                std::uint8_t* luma = row_ptr(p0, py);
                for (int j = 0; j < cols; ++j) {
                    const int px = x + j;
                    if (px >= 0 && px < W && gr[j] != 0) luma[px] = gr[j];
                }
                if (r % 2 != 0) break;
                const PlaneView& u = fv.planes[1];
                const PlaneView& v = fv.planes[2];
                const int cy = y / 2 + r / 2;
                if (cy < 0 || cy >= u.height || cy >= v.height) break;
                std::uint8_t* urow = row_ptr(u, cy);
                std::uint8_t* vrow = row_ptr(v, cy);
                for (int c = 0; c < (cols + 1) / 2; ++c) {
                    const int cx = x / 2 + c;
                    if (cx < 0 || cx >= u.row_size || cx >= v.row_size) continue;
                    if (gr[2 * c] != 0 || gr[2 * c + 1] != 0) {
                        urow[cx] = 128;
                        vrow[cx] = 128;
                    }
                }
                break;
            }
            case PixelType::kYUY2: {
                std::uint8_t* row = row_ptr(p0, py);
                for (int c = 0; c < cols / 2; ++c) {
                    const std::uint8_t a = gr[2 * c];
                    const std::uint8_t b = gr[2 * c + 1];
                    if (a == 0 && b == 0) continue;
                    // Luma of columns x + 2c and x + 2c + 1 with the two chroma bytes that
                    // follow them (at an odd x these belong to two neighbouring macropixels).
                    const int px = x + 2 * c;
                    if (px < 0 || px + 1 >= W) continue;
                    std::uint8_t* m = row + 2 * px;
                    m[0] = a;
                    m[1] = 128;
                    m[2] = b;
                    m[3] = 128;
                }
                break;
            }
            case PixelType::kRGB32:
            case PixelType::kRGB24: {
                const int bpp = fv.type == PixelType::kRGB32 ? 4 : 3;
                std::uint8_t* row = row_ptr(p0, height - 1 - py);  // stored bottom-up
                for (int j = 0; j < cols; ++j) {
                    const int px = x + j;
                    if (px < 0 || px >= W || gr[j] == 0) continue;
                    std::uint8_t* q = row + bpp * px;
                    q[0] = q[1] = q[2] = gr[j];
                    if (bpp == 4) q[3] = 0;
                }
                break;
            }
            default:
                return;
        }
    }
}

}  // namespace

void draw_text(const FrameView& frame, int x, int y, std::string_view text, const Font& font) {
    const int W = picture_width(frame);
    if (W <= 0 || frame.planes[0].data == nullptr) return;
    // Nothing of a line outside these rows is visible (and y + row cannot overflow below).
    if (y >= frame.planes[0].height || y <= -kGlyphRows) return;
    for (unsigned char ch : text) {
        if (ch == 0) break;
        if (x >= W - 1) break;
        const int width = font.width(ch);
        const int cols = static_cast<int>(std::min<long long>(width, W - 1LL - x));
        draw_glyph(frame, font.glyph(ch), cols, x, y, W);
        x += width;
    }
}

void draw_overlay(const FrameView& frame, int posx, int posy, const OverlayLines& lines,
                  const Font& font) {
    const int n = std::clamp(lines.count, 0, kOverlayMaxLines);
    for (int i = 0; i < n; ++i) {
        const OverlayLine& line = lines.lines[i];
        const long long row = static_cast<long long>(posy) + line.row_offset;
        if (row >= frame.planes[0].height || row <= -kGlyphRows) continue;
        draw_text(frame, posx, static_cast<int>(row),
                  std::string_view(line.text, static_cast<std::size_t>(
                                                  slot_length(line.text, sizeof line.text))),
                  font);
    }
}

}  // namespace qex
