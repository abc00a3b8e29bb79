#include "host/filters.h"

#include "common/text.h"
#include "host/env.h"
#include "host/frame.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace qexhost {

namespace {

int clamp_frame(int n, int num_frames) {
    return std::clamp(n, 0, std::max(num_frames - 1, 0));
}

// Frame count of a new clip, refused when it leaves the range of a clip.
int checked_count(int64_t n, const char* filter, IScriptEnvironment* env) {
    if (n > INT_MAX) env->ThrowError("%s: the clip would have too many frames", filter);
    if (n < 1) env->ThrowError("%s: the clip would have no frames", filter);
    return int(n);
}

void require_frames(const PClip& c, const char* filter, IScriptEnvironment* env) {
    if (!c) env->ThrowError("%s: no clip", filter);
    if (c->GetVideoInfo().num_frames < 1) env->ThrowError("%s: the clip has no frames", filter);
}

// ---- Trim ---------------------------------------------------------------------------------

class Trim : public GenericVideoFilter {
  public:
    Trim(PClip c, int first, int last, IScriptEnvironment* env) : GenericVideoFilter(c) {
        require_frames(c, "Trim", env);
        const int n = vi.num_frames;
        first_ = std::clamp(first, 0, n - 1);
        int64_t end;
        if (last == 0)
            end = n - 1;
        else if (last < 0)
            end = int64_t(first_) - last - 1;  // a negative last is a length
        else
            end = last;
        end = std::clamp<int64_t>(end, first_, n - 1);
        vi.num_frames = int(end - first_ + 1);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        return child->GetFrame(first_ + clamp_frame(n, vi.num_frames), env);
    }
    bool GetParity(int n) override {
        return child->GetParity(first_ + clamp_frame(n, vi.num_frames));
    }

  private:
    int first_ = 0;
};

// ---- SelectEvery / Interleave ---------------------------------------------------------------

class SelectEvery : public GenericVideoFilter {
  public:
    SelectEvery(PClip c, int every, int offset, IScriptEnvironment* env)
        : GenericVideoFilter(c), every_(every), offset_(offset) {
        require_frames(c, "SelectEvery", env);
        if (every < 1) env->ThrowError("SelectEvery: every must be at least 1 (got %d)", every);
        if (offset < 0)
            env->ThrowError("SelectEvery: offset must not be negative (got %d)", offset);
        vi.num_frames =
            checked_count((int64_t(vi.num_frames) - 1 - offset) / every + 1, "SelectEvery", env);
        vi.MulDivFPS(1, unsigned(every));
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        return child->GetFrame(source(n), env);
    }
    bool GetParity(int n) override { return child->GetParity(source(n)); }

  private:
    int source(int n) const {
        int64_t s = int64_t(clamp_frame(n, vi.num_frames)) * every_ + offset_;
        return clamp_frame(int(std::min<int64_t>(s, INT_MAX)), child->GetVideoInfo().num_frames);
    }
    int every_, offset_;
};

void check_same_format(const VideoInfo& a, const VideoInfo& b, const char* filter,
                       IScriptEnvironment* env) {
    if (a.width != b.width || a.height != b.height)
        env->ThrowError("%s: the clips differ in size (%dx%d and %dx%d)", filter, a.width, a.height,
                        b.width, b.height);
    if (a.pixel_type != b.pixel_type)
        env->ThrowError("%s: the clips differ in pixel type (%s and %s)", filter,
                        pixel_type_name(a), pixel_type_name(b));
}

class Interleave : public IClip {
  public:
    Interleave(std::vector<PClip> clips, IScriptEnvironment* env) : clips_(std::move(clips)) {
        if (clips_.empty()) env->ThrowError("Interleave: no clips");
        for (auto& c : clips_) require_frames(c, "Interleave", env);
        vi_ = clips_[0]->GetVideoInfo();
        const int64_t k = int64_t(clips_.size());
        int64_t frames = (int64_t(vi_.num_frames) - 1) * k + 1;
        for (size_t i = 1; i < clips_.size(); ++i) {
            const VideoInfo& v = clips_[i]->GetVideoInfo();
            check_same_format(vi_, v, "Interleave", env);
            frames = std::max(frames, (int64_t(v.num_frames) - 1) * k + int64_t(i) + 1);
        }
        vi_.num_frames = checked_count(frames, "Interleave", env);
        vi_.MulDivFPS(unsigned(k), 1);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi_.num_frames);
        const int k = int(clips_.size());
        return clips_[size_t(n % k)]->GetFrame(n / k, env);
    }
    bool GetParity(int n) override {
        n = clamp_frame(n, vi_.num_frames);
        const int k = int(clips_.size());
        return clips_[size_t(n % k)]->GetParity(n / k);
    }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

  private:
    std::vector<PClip> clips_;
    VideoInfo vi_;
};

// ---- Field filters --------------------------------------------------------------------------

class SeparateFields : public GenericVideoFilter {
  public:
    SeparateFields(PClip c, IScriptEnvironment* env) : GenericVideoFilter(c) {
        require_frames(c, "SeparateFields", env);
        if (vi.IsFieldBased())
            env->ThrowError(
                "SeparateFields: the clip is already field-based "
                "(use AssumeFrameBased first)");
        const int mod = vi.IsYV12() ? 4 : 2;
        if (vi.height % mod)
            env->ThrowError("SeparateFields: the height must be a multiple of %d (got %d)", mod,
                            vi.height);
        vi.height /= 2;
        vi.num_frames = checked_count(int64_t(vi.num_frames) * 2, "SeparateFields", env);
        vi.MulDivFPS(2, 1);
        vi.SetFieldBased(true);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi.num_frames);
        PVideoFrame f = child->GetFrame(n >> 1, env);
        return field_view(f, child->GetVideoInfo(), GetParity(n));
    }
    bool GetParity(int n) override {
        n = clamp_frame(n, vi.num_frames);
        return child->GetParity(n >> 1) ^ bool(n & 1);
    }
};

// Frame-based input: frame 2k is frame k, frame 2k+1 weaves the second field of k with the
// first field of k+1.
class DoubleWeaveFrames : public GenericVideoFilter {
  public:
    DoubleWeaveFrames(PClip c, IScriptEnvironment* env) : GenericVideoFilter(c) {
        require_frames(c, "DoubleWeave", env);
        vi.num_frames = checked_count(int64_t(vi.num_frames) * 2, "DoubleWeave", env);
        vi.MulDivFPS(2, 1);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi.num_frames);
        const int k = n >> 1;
        if (!(n & 1)) return child->GetFrame(k, env);
        const int next = clamp_frame(k + 1, child->GetVideoInfo().num_frames);
        PVideoFrame a = child->GetFrame(k, env);
        PVideoFrame b = child->GetFrame(next, env);
        // Top field first: the second field of k is its bottom one, the first of k+1 its top.
        if (child->GetParity(k)) return weave(vi, *b, *a, false);
        return weave(vi, *a, *b, false);
    }
    bool GetParity(int n) override {
        n = clamp_frame(n, vi.num_frames);
        return child->GetParity(n >> 1) ^ bool(n & 1);
    }
};

// Field-based input: field n woven with field n+1; the output is frame-based.
class DoubleWeaveFields : public GenericVideoFilter {
  public:
    DoubleWeaveFields(PClip c, IScriptEnvironment* env) : GenericVideoFilter(c) {
        require_frames(c, "DoubleWeave", env);
        if (int64_t(vi.height) * 2 > 65536)
            env->ThrowError("DoubleWeave: the frames would be too tall");
        vi.height *= 2;
        vi.SetFieldBased(false);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi.num_frames);
        const int next = clamp_frame(n + 1, vi.num_frames);
        PVideoFrame a = child->GetFrame(n, env);
        PVideoFrame b = child->GetFrame(next, env);
        if (child->GetParity(n)) return weave(vi, *a, *b, true);
        return weave(vi, *b, *a, true);
    }
    bool GetParity(int n) override { return child->GetParity(clamp_frame(n, vi.num_frames)); }
};

// Each field stretched back to full height: the field's own lines are kept, the lines between
// them are the mean of their neighbours.
class Bob : public GenericVideoFilter {
  public:
    Bob(PClip fields, IScriptEnvironment* env) : GenericVideoFilter(fields) {
        require_frames(fields, "Bob", env);
        vi.height *= 2;
        vi.SetFieldBased(false);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = clamp_frame(n, vi.num_frames);
        PVideoFrame src = child->GetFrame(n, env);
        const int bottom = child->GetParity(n) ? 0 : 1;
        PVideoFrame dst = new_frame(vi);
        int sel[3];
        const int planes = plane_selectors(vi, sel);
        for (int p = 0; p < planes; ++p) {
            const int h = dst->GetHeight(sel[p]);
            const int fh = src->GetHeight(sel[p]);
            const size_t bytes = size_t(std::min(dst->GetRowSize(sel[p]), src->GetRowSize(sel[p])));
            for (int y = 0; y < h; ++y) {
                const int d = y - bottom;  // position in field lines, doubled
                int a = (d >= 0 ? d : d - 1) / 2;
                int b = a + (d & 1);
                a = std::clamp(a, 0, fh - 1);
                b = std::clamp(b, 0, fh - 1);
                BYTE* out = dst->GetWritePtr(sel[p]) +
                            ptrdiff_t(storage_row(vi, h, y)) * dst->GetPitch(sel[p]);
                const BYTE* ra = src->GetReadPtr(sel[p]) +
                                 ptrdiff_t(storage_row(vi, fh, a)) * src->GetPitch(sel[p]);
                const BYTE* rb = src->GetReadPtr(sel[p]) +
                                 ptrdiff_t(storage_row(vi, fh, b)) * src->GetPitch(sel[p]);
                if (a == b) {
                    std::memcpy(out, ra, bytes);
                } else {
                    for (size_t i = 0; i < bytes; ++i) out[i] = BYTE((ra[i] + rb[i] + 1) >> 1);
                }
            }
        }
        return dst;
    }
};

// ---- Parity and rate ------------------------------------------------------------------------

class AssumeParity : public GenericVideoFilter {
  public:
    AssumeParity(PClip c, bool tff) : GenericVideoFilter(c), tff_(tff) {
        vi.Clear(VideoInfo::IT_BFF | VideoInfo::IT_TFF);
        vi.Set(tff ? VideoInfo::IT_TFF : VideoInfo::IT_BFF);
    }
    bool GetParity(int n) override { return tff_ ^ (vi.IsFieldBased() && (n & 1)); }

  private:
    bool tff_;
};

class AssumeFrameBased : public GenericVideoFilter {
  public:
    explicit AssumeFrameBased(PClip c) : GenericVideoFilter(c) {
        vi.SetFieldBased(false);
        vi.Clear(VideoInfo::IT_BFF | VideoInfo::IT_TFF);
    }
    bool GetParity(int) override { return false; }
};

class AssumeFieldBased : public GenericVideoFilter {
  public:
    explicit AssumeFieldBased(PClip c) : GenericVideoFilter(c) {
        vi.SetFieldBased(true);
        vi.Clear(VideoInfo::IT_BFF | VideoInfo::IT_TFF);
    }
    bool GetParity(int n) override { return n & 1; }
};

class AssumeFPS : public GenericVideoFilter {
  public:
    AssumeFPS(PClip c, unsigned num, unsigned den) : GenericVideoFilter(c) { vi.SetFPS(num, den); }
};

// ---- Loop -----------------------------------------------------------------------------------

class Loop : public GenericVideoFilter {
  public:
    Loop(PClip c, int times, int start, int end, IScriptEnvironment* env) : GenericVideoFilter(c) {
        require_frames(c, "Loop", env);
        const int n = vi.num_frames;
        start_ = std::clamp(start, 0, n - 1);
        const int last = std::clamp(end, start_, n - 1);
        len_ = last - start_ + 1;
        int64_t t = times;
        if (t < 0) {
            // "Forever": as many passes as make about ten million frames.
            t = std::max<int64_t>(1, (10000000 - int64_t(n) + len_) / len_);
        }
        times_ = t;
        const int64_t frames = int64_t(n) + (t - 1) * len_;
        if (frames < 1) env->ThrowError("Loop: the clip would have no frames");
        vi.num_frames = checked_count(frames, "Loop", env);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        return child->GetFrame(source(n), env);
    }
    bool GetParity(int n) override { return child->GetParity(source(n)); }

  private:
    int source(int n) const {
        n = clamp_frame(n, vi.num_frames);
        if (n < start_) return n;
        const int64_t looped = times_ * len_;
        const int64_t off = int64_t(n) - start_;
        if (off < looped) return start_ + int(off % len_);
        return int(int64_t(n) - (times_ - 1) * len_);
    }
    int start_ = 0, len_ = 1;
    int64_t times_ = 1;
};

// ---- Splice ---------------------------------------------------------------------------------

class Splice : public IClip {
  public:
    Splice(std::vector<PClip> clips, const char* name, IScriptEnvironment* env)
        : clips_(std::move(clips)) {
        if (clips_.empty()) env->ThrowError("%s: no clips", name);
        for (auto& c : clips_) require_frames(c, name, env);
        vi_ = clips_[0]->GetVideoInfo();
        int64_t total = 0;
        for (auto& c : clips_) {
            const VideoInfo& v = c->GetVideoInfo();
            check_same_format(vi_, v, name, env);
            if (uint64_t(v.fps_numerator) * vi_.fps_denominator !=
                uint64_t(vi_.fps_numerator) * v.fps_denominator)
                env->ThrowError("%s: the clips differ in frame rate (%u/%u and %u/%u)", name,
                                vi_.fps_numerator, vi_.fps_denominator, v.fps_numerator,
                                v.fps_denominator);
            total += v.num_frames;
            starts_.push_back(int(std::min<int64_t>(total, INT_MAX)));
        }
        vi_.num_frames = checked_count(total, name, env);
    }
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        auto [i, local] = locate(n);
        return clips_[i]->GetFrame(local, env);
    }
    bool GetParity(int n) override {
        auto [i, local] = locate(n);
        return clips_[i]->GetParity(local);
    }
    void GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    void SetCacheHints(int, int) override {}
    const VideoInfo& GetVideoInfo() override { return vi_; }

  private:
    std::pair<size_t, int> locate(int n) const {
        n = clamp_frame(n, vi_.num_frames);
        size_t i = size_t(std::upper_bound(starts_.begin(), starts_.end(), n) - starts_.begin());
        const int begin = i == 0 ? 0 : starts_[i - 1];
        return {i, n - begin};
    }
    std::vector<PClip> clips_;
    std::vector<int> starts_;  // end (exclusive) of each clip in the output
    VideoInfo vi_;
};

// ---- Script entry points --------------------------------------------------------------------

AVSValue apply_trim(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(make_trim(args[0].AsClip(), args[1].AsInt(), args[2].AsInt(), env));
}

AVSValue apply_select_every(AVSValue args, void*, IScriptEnvironment* env) {
    std::vector<int> offsets;
    for (int i = 0; i < args[2].ArraySize(); ++i) offsets.push_back(args[2][i].AsInt());
    if (offsets.empty()) offsets.push_back(0);
    return AVSValue(make_select_every(args[0].AsClip(), args[1].AsInt(), offsets, env));
}

AVSValue apply_select_odd(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(make_select_every(args[0].AsClip(), 2, {1}, env));
}

AVSValue apply_select_even(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(make_select_every(args[0].AsClip(), 2, {0}, env));
}

AVSValue apply_pulldown(AVSValue args, void*, IScriptEnvironment* env) {
    PClip c = args[0].AsClip();
    const int a = args[1].AsInt(), b = args[2].AsInt();
    if (a < 0 || b < 0)
        env->ThrowError("PullDown: the offsets must not be negative (got %d, %d)", a, b);
    PClip sel = make_select_every(c, 5, {a % 5, b % 5}, env);
    return AVSValue(new AssumeFrameBased(sel));
}

AVSValue apply_interleave(AVSValue args, void*, IScriptEnvironment* env) {
    std::vector<PClip> clips;
    for (int i = 0; i < args[0].ArraySize(); ++i) clips.push_back(args[0][i].AsClip());
    return AVSValue(make_interleave(clips, env));
}

AVSValue apply_double_weave(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(make_double_weave(args[0].AsClip(), env));
}

AVSValue apply_weave(AVSValue args, void*, IScriptEnvironment* env) {
    PClip c = args[0].AsClip();
    if (!c->GetVideoInfo().IsFieldBased())
        env->ThrowError(
            "Weave: the clip is frame-based (use AssumeFieldBased or SeparateFields "
            "first)");
    PClip woven = new DoubleWeaveFields(c, env);
    return AVSValue(make_select_every(woven, 2, {0}, env));
}

AVSValue apply_separate_fields(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(new SeparateFields(args[0].AsClip(), env));
}

AVSValue apply_bob(AVSValue args, void*, IScriptEnvironment* env) {
    PClip c = args[0].AsClip();
    if (!c->GetVideoInfo().IsFieldBased()) c = new SeparateFields(c, env);
    return AVSValue(new Bob(c, env));
}

AVSValue apply_loop(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(new Loop(args[0].AsClip(), args[1].AsInt(-1), args[2].AsInt(0),
                             args[3].AsInt(10000000), env));
}

AVSValue apply_assume_tff(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(new AssumeParity(args[0].AsClip(), true));
}
AVSValue apply_assume_bff(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(new AssumeParity(args[0].AsClip(), false));
}
AVSValue apply_assume_frame_based(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(new AssumeFrameBased(args[0].AsClip()));
}
AVSValue apply_assume_field_based(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(new AssumeFieldBased(args[0].AsClip()));
}

AVSValue apply_assume_fps_int(AVSValue args, void*, IScriptEnvironment* env) {
    const int num = args[1].AsInt();
    const int den = args[2].AsInt(1);
    if (num <= 0 || den <= 0)
        env->ThrowError("AssumeFPS: the rate must be positive (got %d/%d)", num, den);
    return AVSValue(new AssumeFPS(args[0].AsClip(), unsigned(num), unsigned(den)));
}

AVSValue apply_assume_fps_float(AVSValue args, void*, IScriptEnvironment* env) {
    auto r = rate_from_double(args[1].AsFloat());
    if (!r) env->ThrowError("AssumeFPS: the rate must be positive (got %g)", args[1].AsFloat());
    return AVSValue(new AssumeFPS(args[0].AsClip(), r->first, r->second));
}

AVSValue apply_assume_fps_clip(AVSValue args, void*, IScriptEnvironment*) {
    const VideoInfo& v = args[1].AsClip()->GetVideoInfo();
    return AVSValue(new AssumeFPS(args[0].AsClip(), v.fps_numerator, v.fps_denominator));
}

AVSValue apply_splice(AVSValue args, void* user, IScriptEnvironment* env) {
    std::vector<PClip> clips{args[0].AsClip()};
    for (int i = 0; i < args[1].ArraySize(); ++i) clips.push_back(args[1][i].AsClip());
    return AVSValue(make_splice(clips, static_cast<const char*>(user), env));
}

}  // namespace

PClip make_trim(PClip c, int first, int last, IScriptEnvironment* env) {
    return new Trim(c, first, last, env);
}

PClip make_select_every(PClip c, int every, const std::vector<int>& offsets,
                        IScriptEnvironment* env) {
    if (offsets.size() == 1) return new SelectEvery(c, every, offsets[0], env);
    std::vector<PClip> parts;
    for (int off : offsets) parts.push_back(new SelectEvery(c, every, off, env));
    return new Interleave(std::move(parts), env);
}

PClip make_interleave(const std::vector<PClip>& clips, IScriptEnvironment* env) {
    return new Interleave(clips, env);
}

PClip make_double_weave(PClip c, IScriptEnvironment* env) {
    if (!c) env->ThrowError("DoubleWeave: no clip");
    if (c->GetVideoInfo().IsFieldBased()) return new DoubleWeaveFields(c, env);
    return new DoubleWeaveFrames(c, env);
}

PClip make_splice(const std::vector<PClip>& clips, const char* name, IScriptEnvironment* env) {
    return new Splice(clips, name, env);
}

std::optional<int> pixel_type_from_name(std::string_view name) {
    const std::string n = qextext::lower_copy(name);
    if (n == "yv12") return int(VideoInfo::CS_YV12);
    if (n == "i420" || n == "iyuv") return int(VideoInfo::CS_I420);
    if (n == "yuy2") return int(VideoInfo::CS_YUY2);
    if (n == "rgb24") return int(VideoInfo::CS_BGR24);
    if (n == "rgb32") return int(VideoInfo::CS_BGR32);
    return std::nullopt;
}

const char* pixel_type_name(const VideoInfo& vi) {
    if (vi.IsI420()) return "I420";
    if (vi.IsYV12()) return "YV12";
    if (vi.IsYUY2()) return "YUY2";
    if (vi.IsRGB24()) return "RGB24";
    if (vi.IsRGB32()) return "RGB32";
    return "unknown";
}

const char* check_frame_size(int pixel_type, int width, int height) {
    VideoInfo v;
    v.pixel_type = pixel_type;
    if (width < 1 || height < 1) return "width and height must be positive";
    if (width > 16384 || height > 16384) return "width and height must be at most 16384";
    if (v.IsYV12() && ((width | height) & 1)) return "YV12 and I420 need an even width and height";
    if (v.IsYUY2() && (width & 1)) return "YUY2 needs an even width";
    return nullptr;
}

std::optional<std::pair<unsigned, unsigned>> rate_from_double(double fps) {
    if (!std::isfinite(fps) || fps <= 0 || fps > 4e9) return std::nullopt;
    // Continued-fraction convergents until the fraction is close enough.
    uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double x = fps;
    for (int i = 0; i < 40; ++i) {
        const double a = std::floor(x);
        const uint64_t ai = uint64_t(a);
        const uint64_t p2 = ai * p1 + p0, q2 = ai * q1 + q0;
        if (p2 > 0xFFFFFFFFull || q2 > 0xFFFFFFFFull) break;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        if (std::fabs(double(p1) / double(q1) - fps) <= fps * 1e-9) break;
        const double frac = x - a;
        if (frac < 1e-12) break;
        x = 1.0 / frac;
    }
    if (p1 == 0 || q1 == 0) return std::nullopt;
    VideoInfo v;
    v.SetFPS(unsigned(p1), unsigned(q1));
    return std::make_pair(v.fps_numerator, v.fps_denominator);
}

void register_core_filters(Environment& env) {
    env.AddFunction("Trim", "cii", apply_trim, nullptr);
    env.AddFunction("SelectEvery", "cii*", apply_select_every, nullptr);
    env.AddFunction("SelectOdd", "c", apply_select_odd, nullptr);
    env.AddFunction("SelectEven", "c", apply_select_even, nullptr);
    env.AddFunction("PullDown", "cii", apply_pulldown, nullptr);
    env.AddFunction("Interleave", "c+", apply_interleave, nullptr);
    env.AddFunction("DoubleWeave", "c", apply_double_weave, nullptr);
    env.AddFunction("Weave", "c", apply_weave, nullptr);
    env.AddFunction("SeparateFields", "c", apply_separate_fields, nullptr);
    env.AddFunction("Bob", "c", apply_bob, nullptr);
    env.AddFunction("Loop", "c[times]i[start]i[end]i", apply_loop, nullptr);
    env.AddFunction("AssumeTFF", "c", apply_assume_tff, nullptr);
    env.AddFunction("AssumeBFF", "c", apply_assume_bff, nullptr);
    env.AddFunction("AssumeFrameBased", "c", apply_assume_frame_based, nullptr);
    env.AddFunction("AssumeFieldBased", "c", apply_assume_field_based, nullptr);
    // Newest first: an int rate reaches the int form, a float one the float form.
    env.AddFunction("AssumeFPS", "cc[sync_audio]b", apply_assume_fps_clip, nullptr);
    env.AddFunction("AssumeFPS", "cf[sync_audio]b", apply_assume_fps_float, nullptr);
    env.AddFunction("AssumeFPS", "ci[]i[sync_audio]b", apply_assume_fps_int, nullptr);
    env.AddFunction("AlignedSplice", "cc+", apply_splice, const_cast<char*>("AlignedSplice"));
    env.AddFunction("UnalignedSplice", "cc+", apply_splice, const_cast<char*>("UnalignedSplice"));
    register_sources(env);
}

}  // namespace qexhost
