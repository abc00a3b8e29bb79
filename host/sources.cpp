// Source clips: BlankClip, StampSource and Y4MSource.
#include "host/env.h"
#include "host/filters.h"
#include "host/frame.h"
#include "host/y4m.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace qexhost {

namespace {

int clamp_frame(int n, int num_frames) {
    return std::clamp(n, 0, std::max(num_frames - 1, 0));
}

// Base of the sources: no audio, parity from the clip's field flags (bottom field first unless
// the clip says top field first).
class SourceClip : public IClip {
  public:
    bool GetParity(int) override { return vi_.IsTFF(); }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

  protected:
    VideoInfo vi_;
};

void check_size(const char* filter, int pixel_type, int width, int height,
                IScriptEnvironment* env) {
    if (const char* why = check_frame_size(pixel_type, width, height))
        env->ThrowError("%s: %s (got %dx%d)", filter, why, width, height);
}

int pixel_type_arg(const char* filter, const AVSValue& v, int def, IScriptEnvironment* env) {
    if (!v.IsString()) return def;
    auto t = pixel_type_from_name(v.AsString());
    if (!t) env->ThrowError("%s: unknown pixel_type \"%s\"", filter, v.AsString());
    return *t;
}

// ---- BlankClip ------------------------------------------------------------------------------

class BlankClip : public SourceClip {
  public:
    BlankClip(const VideoInfo& vi, uint32_t color, bool color_is_yuv) {
        vi_ = vi;
        frame_ = new_frame(vi_);
        fill(color, color_is_yuv);
    }
    PVideoFrame GetFrame(int, IScriptEnvironment*) override { return frame_; }

  private:
    void fill(uint32_t color, bool is_yuv) {
        const int r = (color >> 16) & 255, g = (color >> 8) & 255, b = color & 255;
        int y, u, v;
        if (is_yuv) {
            y = r;
            u = g;
            v = b;
        } else {
            y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
            u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
            v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
        }
        VideoFrame& f = *frame_;
        // The first row gets the pattern, every other row is a copy of it: a large picture
        // is filled at memory speed.
        auto fill_plane = [&](int plane, const BYTE* pattern, int plen) {
            BYTE* p = f.GetWritePtr(plane);
            const int width = f.GetRowSize(plane), height = f.GetHeight(plane);
            if (height <= 0 || width <= 0) return;
            for (int x = 0; x < width; ++x) p[x] = pattern[x % plen];
            for (int row = 1; row < height; ++row)
                std::memcpy(p + ptrdiff_t(row) * f.GetPitch(plane), p, size_t(width));
        };
        if (vi_.IsPlanar()) {
            BYTE py = BYTE(y), pu = BYTE(u), pv = BYTE(v);
            fill_plane(PLANAR_Y, &py, 1);
            fill_plane(PLANAR_U, &pu, 1);
            fill_plane(PLANAR_V, &pv, 1);
        } else if (vi_.IsYUY2()) {
            BYTE pat[4] = {BYTE(y), BYTE(u), BYTE(y), BYTE(v)};
            fill_plane(0, pat, 4);
        } else if (vi_.IsRGB32()) {
            BYTE pat[4] = {BYTE(b), BYTE(g), BYTE(r), BYTE(color >> 24)};
            fill_plane(0, pat, 4);
        } else {
            BYTE pat[3] = {BYTE(b), BYTE(g), BYTE(r)};
            fill_plane(0, pat, 3);
        }
    }
    PVideoFrame frame_;
};

AVSValue apply_blank_clip(AVSValue args, void*, IScriptEnvironment* env) {
    VideoInfo vi;
    vi.num_frames = 240;
    vi.width = 640;
    vi.height = 480;
    vi.pixel_type = VideoInfo::CS_BGR32;
    vi.SetFPS(24, 1);
    if (args[0].IsClip()) {
        const VideoInfo& t = args[0].AsClip()->GetVideoInfo();
        vi.num_frames = t.num_frames;
        vi.width = t.width;
        vi.height = t.height;
        vi.pixel_type = t.pixel_type;
        vi.fps_numerator = t.fps_numerator;
        vi.fps_denominator = t.fps_denominator;
    }
    vi.num_frames = args[1].AsInt(vi.num_frames);
    vi.width = args[2].AsInt(vi.width);
    vi.height = args[3].AsInt(vi.height);
    vi.pixel_type = pixel_type_arg("BlankClip", args[4], vi.pixel_type, env);
    if (args[6].IsInt()) {
        const int num = args[5].AsInt(int(vi.fps_numerator));
        const int den = args[6].AsInt();
        if (!args[5].IsInt() && args[5].IsFloat())
            env->ThrowError("BlankClip: with fps_denominator the fps must be an integer");
        if (num <= 0 || den <= 0)
            env->ThrowError("BlankClip: the rate must be positive (got %d/%d)", num, den);
        vi.SetFPS(unsigned(num), unsigned(den));
    } else if (args[5].IsFloat()) {
        auto r = rate_from_double(args[5].AsFloat());
        if (!r) env->ThrowError("BlankClip: the rate must be positive (got %g)", args[5].AsFloat());
        vi.SetFPS(r->first, r->second);
    }
    if (vi.num_frames < 1)
        env->ThrowError("BlankClip: length must be at least 1 (got %d)", vi.num_frames);
    check_size("BlankClip", vi.pixel_type, vi.width, vi.height, env);
    bool yuv = args[11].IsInt();
    uint32_t color = uint32_t(yuv ? args[11].AsInt() : args[10].AsInt(0));
    return AVSValue(new BlankClip(vi, color, yuv));
}

// ---- StampSource ----------------------------------------------------------------------------

// A top-field-first clip whose picture rows begin with the index of their field: 2n on the
// rows of the top field of frame n, 2n + 1 on those of the bottom field (little-endian 32 bit).
class StampSource : public SourceClip {
  public:
    explicit StampSource(const VideoInfo& vi) { vi_ = vi; }
    PVideoFrame GetFrame(int n, IScriptEnvironment*) override {
        n = clamp_frame(n, vi_.num_frames);
        PVideoFrame f = new_frame(vi_);
        const int plane0 = vi_.IsPlanar() ? PLANAR_Y : 0;
        const int h = f->GetHeight(plane0);
        const int rs = f->GetRowSize(plane0);
        BYTE* base = f->GetWritePtr(plane0);
        for (int r = 0; r < h; ++r) {
            const uint32_t field = uint32_t(2 * int64_t(n) + (r & 1));
            BYTE* line = base + ptrdiff_t(storage_row(vi_, h, r)) * f->GetPitch(plane0);
            line[0] = BYTE(field);
            line[1] = BYTE(field >> 8);
            line[2] = BYTE(field >> 16);
            line[3] = BYTE(field >> 24);
            std::memset(line + 4, int(field & 0x7f) + 64, size_t(rs - 4));
        }
        if (vi_.IsPlanar()) {
            for (int plane : {PLANAR_U, PLANAR_V}) {
                BYTE* p = f->GetWritePtr(plane);
                for (int r = 0; r < f->GetHeight(plane); ++r)
                    std::memset(p + ptrdiff_t(r) * f->GetPitch(plane), 128,
                                size_t(f->GetRowSize(plane)));
            }
        }
        return f;
    }
};

AVSValue apply_stamp_source(AVSValue args, void*, IScriptEnvironment* env) {
    VideoInfo vi;
    vi.num_frames = args[0].AsInt(100);
    vi.width = args[1].AsInt(640);
    vi.height = args[2].AsInt(480);
    vi.pixel_type = pixel_type_arg("StampSource", args[3], VideoInfo::CS_YV12, env);
    const int num = args[4].AsInt(30000);
    const int den = args[5].AsInt(args[4].IsInt() ? 1 : 1001);
    if (num <= 0 || den <= 0)
        env->ThrowError("StampSource: the rate must be positive (got %d/%d)", num, den);
    vi.SetFPS(unsigned(num), unsigned(den));
    vi.image_type = VideoInfo::IT_TFF;
    if (vi.num_frames < 1 || vi.num_frames > INT_MAX / 2 - 1)
        env->ThrowError("StampSource: length must be from 1 to %d (got %d)", INT_MAX / 2 - 1,
                        vi.num_frames);
    check_size("StampSource", vi.pixel_type, vi.width, vi.height, env);
    if (vi.RowSize() < 4)
        env->ThrowError("StampSource: the rows must hold at least 4 bytes (width %d is too small)",
                        vi.width);
    return AVSValue(new StampSource(vi));
}

// ---- Y4MSource ------------------------------------------------------------------------------

class Y4MSource : public SourceClip {
  public:
    Y4MSource(const std::string& path, IScriptEnvironment* env) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            env->ThrowError("Y4MSource: cannot open \"%s\": %s", path.c_str(),
                            std::strerror(errno));
        try {
            open_stream(env);
        } catch (...) {
            ::close(fd_);
            throw;
        }
    }
    ~Y4MSource() override { ::close(fd_); }

    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi_.num_frames);
        for (auto& c : cache_)
            if (c.frame && c.n == n) return c.frame;
        PVideoFrame f = read_frame(n, env);
        cache_[next_slot_] = {n, f};
        next_slot_ = (next_slot_ + 1) % cache_.size();
        return f;
    }

  private:
    [[noreturn]] void fail(IScriptEnvironment* env, const std::string& why) {
        env->ThrowError("Y4MSource: \"%s\": %s", path_.c_str(), why.c_str());
    }

    // Reads up to len bytes at off; returns the count read (short only at the end of the file).
    size_t read_at(void* buf, size_t len, uint64_t off, IScriptEnvironment* env) {
        size_t done = 0;
        while (done < len) {
            ssize_t r = ::pread(fd_, static_cast<char*>(buf) + done, len - done, off_t(off + done));
            if (r < 0) {
                if (errno == EINTR) continue;
                fail(env, std::string("read error: ") + std::strerror(errno));
            }
            if (r == 0) break;
            done += size_t(r);
        }
        return done;
    }

    void open_stream(IScriptEnvironment* env) {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) fail(env, std::strerror(errno));
        if (!S_ISREG(st.st_mode)) fail(env, "not a regular file (random access needs one)");
        const uint64_t size = uint64_t(st.st_size);
        std::string head(4096, '\0');
        head.resize(read_at(head.data(), head.size(), 0, env));
        std::string why = parse_y4m_header(head, &hdr_);
        if (!why.empty()) fail(env, why);

        if (const char* bad = check_frame_size(hdr_.pixel_type, hdr_.width, hdr_.height))
            fail(env, std::string(bad) + " (got " + std::to_string(hdr_.width) + "x" +
                          std::to_string(hdr_.height) + ")");
        vi_.width = hdr_.width;
        vi_.height = hdr_.height;
        vi_.pixel_type = hdr_.pixel_type;
        vi_.SetFPS(hdr_.fps_num, hdr_.fps_den);
        if (hdr_.interlace == 't') vi_.image_type = VideoInfo::IT_TFF;
        if (hdr_.interlace == 'b') vi_.image_type = VideoInfo::IT_BFF;

        // Frame offsets: when the first and last frame headers are plain "FRAME\n", every frame
        // is assumed to be (and is checked when read to be) at a fixed stride; otherwise the
        // headers are walked one by one.
        const uint64_t stride = 6 + hdr_.frame_bytes;
        const uint64_t body = size - hdr_.header_bytes;
        uint64_t count = body / stride;
        if (count > 0 && frame_header_at(hdr_.header_bytes, env) == 6 &&
            frame_header_at(hdr_.header_bytes + (count - 1) * stride, env) == 6) {
            uniform_ = true;
        } else {
            uniform_ = false;
            uint64_t off = hdr_.header_bytes;
            while (off < size) {
                size_t hl = frame_header_at(off, env);
                if (hl == 0) {
                    if (size - off < 6 + hdr_.frame_bytes) break;  // a cut-off last frame
                    fail(env, "bad frame header at byte " + std::to_string(off) + " (frame " +
                                  std::to_string(offsets_.size()) + ")");
                }
                if (off + hl + hdr_.frame_bytes > size) break;  // a cut-off last frame
                offsets_.push_back(off + hl);
                off += hl + hdr_.frame_bytes;
                if (offsets_.size() > uint64_t(INT_MAX / 2)) fail(env, "too many frames");
            }
            count = offsets_.size();
        }
        if (count == 0) fail(env, "the file holds no complete frame");
        if (count > uint64_t(INT_MAX / 2)) fail(env, "too many frames");
        vi_.num_frames = int(count);
    }

    // Length of the frame header line at off, or 0.
    size_t frame_header_at(uint64_t off, IScriptEnvironment* env) {
        char buf[256];
        size_t got = read_at(buf, sizeof buf, off, env);
        return y4m_frame_header_length(std::string_view(buf, got));
    }

    PVideoFrame read_frame(int n, IScriptEnvironment* env) {
        const uint64_t stride = 6 + hdr_.frame_bytes;
        const uint64_t data_off =
            uniform_ ? hdr_.header_bytes + uint64_t(n) * stride + 6 : offsets_[size_t(n)];
        if (vi_.IsPlanar()) {
            if (PVideoFrame mapped = map_frame(n, data_off, env)) return mapped;
        }
        PVideoFrame f = new_frame(vi_);
        char tag[6];
        std::vector<iovec> iov;
        if (uniform_) iov.push_back({tag, 6});
        const uint64_t start = uniform_ ? data_off - 6 : data_off;
        size_t expect = uniform_ ? 6 : 0;
        auto add = [&](BYTE* p, size_t len) {
            expect += len;
            if (!iov.empty() && static_cast<BYTE*>(iov.back().iov_base) + iov.back().iov_len == p)
                iov.back().iov_len += len;
            else
                iov.push_back({p, len});
        };
        if (vi_.IsPlanar()) {
            for (int plane : {PLANAR_Y, PLANAR_U, PLANAR_V}) {
                BYTE* p = f->GetWritePtr(plane);
                for (int r = 0; r < f->GetHeight(plane); ++r)
                    add(p + ptrdiff_t(r) * f->GetPitch(plane), size_t(f->GetRowSize(plane)));
            }
        } else {
            planar_.resize(hdr_.frame_bytes);
            add(planar_.data(), planar_.size());
        }
        // Gathered reads, IOV_MAX vectors at a time.
        uint64_t off = start;
        size_t got_total = 0;
        for (size_t i = 0; i < iov.size();) {
            const size_t batch = std::min<size_t>(iov.size() - i, IOV_MAX);
            size_t want = 0;
            for (size_t k = 0; k < batch; ++k) want += iov[i + k].iov_len;
            ssize_t r = ::preadv(fd_, &iov[i], int(batch), off_t(off));
            if (r < 0) {
                if (errno == EINTR) continue;
                fail(env, std::string("read error: ") + std::strerror(errno));
            }
            if (r == 0) break;
            got_total += size_t(r);
            off += uint64_t(r);
            if (size_t(r) < want) {
                // Partial read: move past what arrived and go on.
                size_t left = size_t(r);
                while (left >= iov[i].iov_len) {
                    left -= iov[i].iov_len;
                    ++i;
                }
                iov[i].iov_base = static_cast<char*>(iov[i].iov_base) + left;
                iov[i].iov_len -= left;
                continue;
            }
            i += batch;
        }
        if (got_total < expect)
            fail(env,
                 "frame " + std::to_string(n) + " is cut off (the file is shorter than it was)");
        if (uniform_ && std::memcmp(tag, "FRAME\n", 6) != 0)
            fail(env, "bad frame header at frame " + std::to_string(n));
        if (vi_.IsYUY2()) pack_yuy2(*f);
        return f;
    }

    // A planar frame whose planes point straight into a read-only mapping of the file (no copy;
    // writers get a copy through MakeWritable). Null when the file cannot be mapped, in which
    // case the frame is read instead.
    PVideoFrame map_frame(int n, uint64_t data_off, IScriptEnvironment* env) {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) fail(env, std::strerror(errno));
        if (uint64_t(st.st_size) < data_off + hdr_.frame_bytes)
            fail(env,
                 "frame " + std::to_string(n) + " is cut off (the file is shorter than it was)");
        static const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
        const uint64_t start = uniform_ ? data_off - 6 : data_off;
        const uint64_t map_off = start / page * page;
        const size_t len = size_t(data_off + hdr_.frame_bytes - map_off);
        void* m = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, off_t(map_off));
        if (m == MAP_FAILED) return PVideoFrame();
        const BYTE* base = static_cast<const BYTE*>(m);
        auto buf = std::make_shared<FrameBuffer>(base, len, m, len);
        if (uniform_ && std::memcmp(base + (start - map_off), "FRAME\n", 6) != 0)
            fail(env, "bad frame header at frame " + std::to_string(n));
        PlaneLayout layout[3];
        ptrdiff_t off = ptrdiff_t(data_off - map_off);
        for (int i = 0; i < 3; ++i) {
            const int plane = i == 0 ? PLANAR_Y : i == 1 ? PLANAR_U : PLANAR_V;
            layout[i].offset = off;
            layout[i].pitch = layout[i].row_size = vi_.RowSize(plane);
            layout[i].height = vi_.PlaneHeight(plane);
            off += ptrdiff_t(layout[i].pitch) * layout[i].height;
        }
        return PVideoFrame(new HostFrame(std::move(buf), 3, layout));
    }

    // Planar 4:2:2 (Y, U, V) from the file to packed Y0 U Y1 V.
    void pack_yuy2(VideoFrame& f) {
        const int w = vi_.width, h = vi_.height;
        const BYTE* y = planar_.data();
        const BYTE* u = y + size_t(w) * h;
        const BYTE* v = u + size_t(w / 2) * h;
        BYTE* dst = f.GetWritePtr();
        for (int r = 0; r < h; ++r) {
            BYTE* d = dst + ptrdiff_t(r) * f.GetPitch();
            for (int x = 0; x < w / 2; ++x) {
                d[4 * x] = *y++;
                d[4 * x + 1] = *u++;
                d[4 * x + 2] = *y++;
                d[4 * x + 3] = *v++;
            }
        }
    }

    struct CacheEntry {
        int n = -1;
        PVideoFrame frame;
    };

    std::string path_;
    int fd_ = -1;
    Y4mHeader hdr_;
    bool uniform_ = true;
    std::vector<uint64_t> offsets_;
    std::vector<BYTE> planar_;
    std::array<CacheEntry, 4> cache_;
    size_t next_slot_ = 0;
};

AVSValue apply_y4m_source(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(new Y4MSource(args[0].AsString(""), env));
}

}  // namespace

void register_sources(Environment& env) {
    env.AddFunction("BlankClip",
                    "[clip]c[length]i[width]i[height]i[pixel_type]s[fps]f[fps_denominator]i"
                    "[audio_rate]i[stereo]b[sixteen_bit]b[color]i[color_yuv]i",
                    apply_blank_clip, nullptr);
    env.AddFunction("StampSource",
                    "[length]i[width]i[height]i[pixel_type]s[fps]i[fps_denominator]i",
                    apply_stamp_source, nullptr);
    env.AddFunction("Y4MSource", "s", apply_y4m_source, nullptr);
}

}  // namespace qexhost
