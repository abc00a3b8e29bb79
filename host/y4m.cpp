#include "host/y4m.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qexhost {

namespace {

constexpr std::string_view kMagic = "YUV4MPEG2";

bool parse_uint(std::string_view s, uint64_t limit, uint64_t* out) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
        if (v > limit) return false;
    }
    *out = v;
    return true;
}

}  // namespace

std::string parse_y4m_header(std::string_view data, Y4mHeader* out) {
    Y4mHeader h;
    size_t eol = data.find('\n');
    if (data.substr(0, kMagic.size()) != kMagic) return "not a YUV4MPEG2 file";
    if (eol == std::string_view::npos) return "the stream header has no line end";
    std::string_view line = data.substr(0, eol);
    h.header_bytes = eol + 1;
    if (line.size() > kMagic.size() && line[kMagic.size()] != ' ') return "not a YUV4MPEG2 file";
    bool have_w = false, have_h = false, have_f = false;
    size_t pos = kMagic.size();
    h.colorspace = "420jpeg";
    while (pos < line.size()) {
        if (line[pos] == ' ') {
            ++pos;
            continue;
        }
        size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        std::string_view tok = line.substr(pos, end - pos);
        pos = end;
        std::string_view val = tok.substr(1);
        uint64_t v = 0;
        switch (tok[0]) {
            case 'W':
                if (!parse_uint(val, 65536, &v) || v == 0) return "bad width";
                h.width = int(v);
                have_w = true;
                break;
            case 'H':
                if (!parse_uint(val, 65536, &v) || v == 0) return "bad height";
                h.height = int(v);
                have_h = true;
                break;
            case 'F': {
                size_t colon = val.find(':');
                uint64_t n = 0, d = 0;
                if (colon == std::string_view::npos ||
                    !parse_uint(val.substr(0, colon), UINT_MAX, &n) ||
                    !parse_uint(val.substr(colon + 1), UINT_MAX, &d) || n == 0 || d == 0)
                    return "bad frame rate";
                VideoInfo tmp;
                tmp.SetFPS(unsigned(n), unsigned(d));
                h.fps_num = tmp.fps_numerator;
                h.fps_den = tmp.fps_denominator;
                have_f = true;
                break;
            }
            case 'I':
                if (val.size() != 1 || !std::strchr("ptbm?", val[0])) return "bad interlace mode";
                h.interlace = val[0];
                break;
            case 'C':
                h.colorspace = std::string(val);
                break;
            case 'A':  // pixel aspect: not used
            case 'X':  // comment / extension
                break;
            default:
                return "unknown header field '" + std::string(tok.substr(0, 1)) + "'";
        }
    }
    if (!have_w || !have_h) return "the header gives no width or height";
    if (!have_f) return "the header gives no frame rate";
    const std::string& cs = h.colorspace;
    uint64_t w = uint64_t(h.width), hh = uint64_t(h.height);
    if (cs == "420jpeg" || cs == "420paldv" || cs == "420mpeg2" || cs == "420") {
        if ((w | hh) & 1) return "4:2:0 needs an even width and height";
        h.pixel_type = VideoInfo::CS_YV12;
        h.frame_bytes = w * hh + 2 * (w / 2) * (hh / 2);
    } else if (cs == "422") {
        if (w & 1) return "4:2:2 needs an even width";
        h.pixel_type = VideoInfo::CS_YUY2;
        h.frame_bytes = w * hh * 2;
    } else {
        return "unsupported colour space C" + cs + " (only 4:2:0 and 4:2:2 with 8 bits)";
    }
    *out = h;
    return "";
}

size_t y4m_frame_header_length(std::string_view data) {
    if (data.substr(0, 5) != "FRAME") return 0;
    if (data.size() > 5 && data[5] != '\n' && data[5] != ' ') return 0;
    size_t eol = data.find('\n');
    return eol == std::string_view::npos ? 0 : eol + 1;
}

std::string y4m_stream_header(const VideoInfo& vi) {
    const char* cs;
    if (vi.IsYV12())
        cs = "420jpeg";
    else if (vi.IsYUY2())
        cs = "422";
    else
        throw std::invalid_argument("y4m carries only YUV pictures");
    // The frames are whole pictures; a parity flag of the clip says which field would come first
    // if they were interlaced, not that they are, so encoders are not told so.
    const char interlace = 'p';
    return "YUV4MPEG2 W" + std::to_string(vi.width) + " H" + std::to_string(vi.height) + " F" +
           std::to_string(vi.fps_numerator) + ":" + std::to_string(vi.fps_denominator) + " I" +
           interlace + " A0:0 C" + cs + "\n";
}

Y4mWriter::Y4mWriter(int fd, const VideoInfo& vi, bool raw) : fd_(fd), vi_(vi), raw_(raw) {
    if (!raw) (void)y4m_stream_header(vi);  // refuses what y4m cannot carry
}

void Y4mWriter::WriteHeader() {
    if (raw_) return;
    std::string h = y4m_stream_header(vi_);
    iovec v{h.data(), h.size()};
    write_all(&v, 1);
}

void Y4mWriter::write_all(iovec* iov, int count) {
    while (count > 0) {
        const int batch = count < IOV_MAX ? count : IOV_MAX;
        ssize_t n = ::writev(fd_, iov, batch);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "write error");
        }
        written_ += uint64_t(n);
        size_t left = size_t(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

void Y4mWriter::WriteFrame(const VideoFrame& f) {
    static char frame_tag[] = "FRAME\n";
    std::vector<iovec> iov;
    if (!raw_) iov.push_back({frame_tag, 6});
    auto add = [&](const BYTE* p, size_t len) {
        if (!iov.empty() && static_cast<const BYTE*>(iov.back().iov_base) + iov.back().iov_len == p)
            iov.back().iov_len += len;
        else
            iov.push_back({const_cast<BYTE*>(p), len});
    };
    auto add_plane = [&](int plane) {
        const BYTE* p = f.GetReadPtr(plane);
        const int pitch = f.GetPitch(plane), rs = f.GetRowSize(plane), h = f.GetHeight(plane);
        for (int r = 0; r < h; ++r) add(p + ptrdiff_t(r) * pitch, size_t(rs));
    };
    if (vi_.IsPlanar()) {
        add_plane(PLANAR_Y);
        add_plane(PLANAR_U);
        add_plane(PLANAR_V);
    } else if (vi_.IsYUY2() && !raw_) {
        // Packed Y0 U Y1 V to planes Y, U, V.
        const int w = vi_.width, h = vi_.height;
        scratch_.resize(size_t(w) * size_t(h) * 2);
        char* y = scratch_.data();
        char* u = y + size_t(w) * h;
        char* v = u + size_t(w / 2) * h;
        const BYTE* src = f.GetReadPtr();
        for (int r = 0; r < h; ++r) {
            const BYTE* s = src + ptrdiff_t(r) * f.GetPitch();
            for (int x = 0; x < w / 2; ++x) {
                *y++ = char(s[4 * x]);
                *u++ = char(s[4 * x + 1]);
                *y++ = char(s[4 * x + 2]);
                *v++ = char(s[4 * x + 3]);
            }
        }
        add(reinterpret_cast<const BYTE*>(scratch_.data()), scratch_.size());
    } else {
        add_plane(0);
    }
    write_all(iov.data(), int(iov.size()));
}

}  // namespace qexhost
