#include "vfr/picture.h"

#include <array>
#include <cstdint>
#include <numeric>
#include <string_view>

namespace qexvfr {
namespace {

// x264's names by code point; empty where x264 has none (or the code is "unspecified").
constexpr std::array<std::string_view, 23> kPrimaries = {
    "",          "bt709", "",       "",         "bt470m",   "bt470bg", "smpte170m",
    "smpte240m", "film",  "bt2020", "smpte428", "smpte431", "smpte432"};
constexpr std::array<std::string_view, 19> kTransfers = {
    "",          "bt709",     "",          "",         "bt470m",       "bt470bg", "smpte170m",
    "smpte240m", "linear",    "log100",    "log316",   "iec61966-2-4", "bt1361e", "iec61966-2-1",
    "bt2020-10", "bt2020-12", "smpte2084", "smpte428", "arib-std-b67"};
// 0 (RGB) is left out: what x264 is given is YUV whatever the input was.
constexpr std::array<std::string_view, 15> kMatrices = {"",
                                                        "bt709",
                                                        "",
                                                        "",
                                                        "fcc",
                                                        "bt470bg",
                                                        "smpte170m",
                                                        "smpte240m",
                                                        "YCgCo",
                                                        "bt2020nc",
                                                        "bt2020c",
                                                        "smpte2085",
                                                        "chroma-derived-nc",
                                                        "chroma-derived-c",
                                                        "ICtCp"};

template <size_t N>
std::string_view name_of(const std::array<std::string_view, N>& table, int code) {
    return code >= 0 && size_t(code) < N ? table[size_t(code)] : std::string_view();
}

}  // namespace

std::vector<std::string> x264_picture_options(const PictureFacts& f) {
    std::vector<std::string> out;
    if (f.sar_num > 0 && f.sar_den > 0) {
        const int g = std::gcd(f.sar_num, f.sar_den);
        out.insert(out.end(),
                   {"--sar", std::to_string(f.sar_num / g) + ":" + std::to_string(f.sar_den / g)});
    }
    const struct {
        const char* option;
        std::string_view name;
    } colours[] = {{"--colorprim", name_of(kPrimaries, f.primaries)},
                   {"--transfer", name_of(kTransfers, f.transfer)},
                   {"--colormatrix", name_of(kMatrices, f.matrix)}};
    for (const auto& c : colours)
        if (!c.name.empty()) out.insert(out.end(), {c.option, std::string(c.name)});
    if (f.range == 1 || f.range == 2) {
        const char* r = f.range == 1 ? "tv" : "pc";
        out.insert(out.end(), {"--input-range", r, "--range", r});
    }
    return out;
}

Size display_size(int width, int height, int sar_num, int sar_den) {
    if (sar_num <= 0 || sar_den <= 0) return {width, height};
    const int64_t w = (int64_t(width) * sar_num * 2 + sar_den) / (2 * int64_t(sar_den));
    return {int(w), height};
}

Size matroska_display(int width, int height, int sar_num, int sar_den) {
    if (sar_num <= 0 || sar_den <= 0 || width <= 0 || height <= 0) return {};
    const int g = std::gcd(sar_num, sar_den);
    const int64_t n = sar_num / g, d = sar_den / g;
    if (int64_t(width) * n % d == 0) return {int(int64_t(width) * n / d), height};
    const int64_t w = int64_t(width) * n, h = int64_t(height) * d;
    const int64_t k = std::gcd(w, h);
    // Reduced as far as the height stays at least the picture's, so the numbers stay sizes.
    int64_t f = 1;
    for (int64_t c = k; c > 1; --c)
        if (k % c == 0 && h / c >= height) {
            f = c;
            break;
        }
    return {int(w / f), int(h / f)};
}

std::string conversion_notice(const PixelFormat& f) {
    if (f.name.empty() || (f.layout == "4:2:0" && f.bits == 8)) return {};
    return f.name + " (" + f.layout + ", " + std::to_string(f.bits) +
           " bits) is converted to 4:2:0, 8 bits";
}

bool source_notes_conversion(const PixelFormat& f) {
    return !f.name.empty() && f.name != "yuv420p" && f.name != "yuvj420p" && f.name != "yuv422p" &&
           f.name != "yuvj422p" && f.name != "yuyv422";
}

std::string conversion_graph(bool interlaced) {
    return interlaced ? "scale=interl=1,format=yuv420p" : "format=yuv420p";
}

}  // namespace qexvfr
