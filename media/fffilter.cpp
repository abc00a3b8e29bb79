// FFFilter: a libavfilter graph between a buffer source fed with the child's frames and a buffer
// sink whose frames become the clip's frames.
//
// Frame count and rate come from the configured graph: every filter's input and output link
// rates are compared, a known field-rate deinterlacer that doubles the rate doubles the count,
// and a filter whose output count cannot be known before the frames run through it is refused
// by name. Frames asked in order run through one graph; a jump back (or far ahead) builds the
// graph anew a few source frames before the target (the graph's temporal reach), so that frame
// n is the same picture whatever was asked before.
#include "media/fffilter.h"

#include "host/env.h"
#include "host/filters.h"
#include "host/frame.h"
#include "media/ffmpeg.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace qexhost {

namespace {

constexpr int kUnbounded = INT_MAX;  // the graph keeps state from every frame before
constexpr size_t kCacheFrames = 8;   // output frames kept for requests a little behind

// ---- What is known of FFmpeg's filters --------------------------------------------------------

// Lists of filter names, each between spaces.

// Filters whose frame count cannot be known before the frames have run through them (they drop,
// add or merge frames depending on the pictures, the timestamps or their options).
constexpr std::string_view kCountUnknown =
    " select trim loop tpad decimate mpdecimate fps framestep framerate minterpolate telecine"
    " detelecine pullup fieldmatch tinterlace interlace weave doubleweave repeatfields fieldhint"
    " shuffleframes thumbnail tblend tile untile freezeframes ";

// Deinterlacers that send one frame per field when they double the rate (each input frame gives
// exactly two output frames, the last one too).
constexpr std::string_view kFieldRate = " bwdif yadif w3fdif estdif nnedi ";

// Filters that look only at the frame they are given. (Those whose expressions commonly use the
// frame number n, which counts from the graph's start, are left out: geq, rotate, overlay.)
constexpr std::string_view kSpatial =
    " buffer buffersink null copy crop scale pad format setsar setdar setfield setparams setrange"
    " setpts fieldorder hflip vflip transpose unsharp eq hue colorspace colormatrix"
    " colorlevels colorchannelmixer curves lut lutyuv lutrgb negate delogo removelogo drawbox"
    " drawgrid boxblur gblur avgblur smartblur deband deblock nlmeans pp7 spp fspp owdenoise"
    " vaguedenoiser dctdnoiz removegrain convolution sobel edgedetect kerndeint il field showinfo"
    " fillborders chromashift swapuv shuffleplanes split hstack vstack cas bilateral"
    " median sab limiter nnedi estdif ";

bool listed(std::string_view name, std::string_view list) {
    const std::string word = " " + std::string(name) + " ";
    return list.find(word) != std::string_view::npos;
}

// Source frames before and after a frame that the filter reads to make it.
int filter_reach(std::string_view name) {
    if (name == "bwdif" || name == "yadif" || name == "w3fdif") return 1;
    if (listed(name, kSpatial)) return 0;
    return kUnbounded;  // unknown or recursive (hqdn3d carries its state through every frame)
}

// ---- Pixel types ------------------------------------------------------------------------------

AVPixelFormat av_format_of(const VideoInfo& vi) {
    if (vi.IsYV12()) return AV_PIX_FMT_YUV420P;  // I420 too: planes are reached by name
    if (vi.IsYUY2()) return AV_PIX_FMT_YUYV422;
    if (vi.IsRGB24()) return AV_PIX_FMT_BGR24;
    if (vi.IsRGB32()) return AV_PIX_FMT_BGRA;
    return AV_PIX_FMT_NONE;
}

int pixel_type_of(int format, const VideoInfo& child) {
    switch (format) {
        case AV_PIX_FMT_YUV420P:
            return child.IsI420() ? VideoInfo::CS_I420 : VideoInfo::CS_YV12;
        case AV_PIX_FMT_YUYV422:
            return VideoInfo::CS_YUY2;
        case AV_PIX_FMT_BGR24:
            return VideoInfo::CS_BGR24;
        case AV_PIX_FMT_BGRA:
            return VideoInfo::CS_BGR32;
        default:
            return 0;
    }
}

// Copies picture planes between a host frame and an AVFrame; RGB pictures are stored bottom-up
// in the host and top-down in FFmpeg.
void copy_planes(const VideoInfo& vi, BYTE* const host[3], const int host_pitch[3],
                 const AVFrame* f, bool to_host) {
    int sel[3];
    const int planes = plane_selectors(vi, sel);
    for (int p = 0; p < planes; ++p) {
        const int rows = vi.PlaneHeight(sel[p]);
        const int bytes = vi.RowSize(sel[p]);
        BYTE* h = host[p];
        int hp = host_pitch[p];
        if (vi.IsRGB()) {
            h += ptrdiff_t(rows - 1) * hp;
            hp = -hp;
        }
        if (to_host)
            av_image_copy_plane(h, hp, f->data[p], f->linesize[p], bytes, rows);
        else
            av_image_copy_plane(f->data[p], f->linesize[p], h, hp, bytes, rows);
    }
}

// ---- A configured graph -----------------------------------------------------------------------

struct Graph {
    AVFilterGraph* graph = nullptr;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    ~Graph() { avfilter_graph_free(&graph); }
};

struct InOutList {
    AVFilterInOut* list = nullptr;
    ~InOutList() { avfilter_inout_free(&list); }
    int count() const {
        int n = 0;
        for (const AVFilterInOut* p = list; p; p = p->next) ++n;
        return n;
    }
};

// Builds and configures `desc` between a source of the child's frames and a sink; returns the
// reason when it cannot be done.
std::string build_graph(Graph& g, const std::string& desc, const VideoInfo& in) {
    // FFmpeg's error lines go into the message of the error they explain, not to standard error.
    qexmedia::LogCapture capture;
    auto fail = [&](const std::string& what, int code) {
        std::string r = what;
        const std::string log = capture.text();
        if (!log.empty()) r += (r.empty() ? "" : ": ") + log;
        if (code < 0)
            r += (r.empty() ? "" : " (") + qexmedia::error_text(code) + (r.empty() ? "" : ")");
        return r;
    };
    g.graph = avfilter_graph_alloc();
    if (!g.graph) return "out of memory";
    // No scaler is slipped in behind the user's back: a graph must take and give our pixel types.
    avfilter_graph_set_auto_convert(g.graph, AVFILTER_AUTO_CONVERT_NONE);

    char args[256];
    std::snprintf(args, sizeof args,
                  "video_size=%dx%d:pix_fmt=%d:time_base=%u/%u:pixel_aspect=1/1:frame_rate=%u/%u",
                  in.width, in.height, int(av_format_of(in)), in.fps_denominator, in.fps_numerator,
                  in.fps_numerator, in.fps_denominator);
    int r = avfilter_graph_create_filter(&g.src, avfilter_get_by_name("buffer"), "in", args,
                                         nullptr, g.graph);
    if (r < 0) return fail("the source cannot be made", r);
    // The sink takes any pixel format (a list of ours would keep the graph from choosing among
    // formats with alpha); what the graph gives is checked after configuration.
    r = avfilter_graph_create_filter(&g.sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, g.graph);
    if (r < 0) return fail("the sink cannot be made", r);

    InOutList ins, outs;
    r = avfilter_graph_parse2(g.graph, desc.c_str(), &ins.list, &outs.list);
    if (r < 0) return fail("", r);
    if (ins.count() != 1)
        return ins.count() == 0 ? "the graph takes no input"
                                : "the graph has " + std::to_string(ins.count()) +
                                      " open inputs; it must have one";
    if (outs.count() != 1)
        return outs.count() == 0 ? "the graph has no output"
                                 : "the graph has " + std::to_string(outs.count()) +
                                       " open outputs; it must have one";
    r = avfilter_link(g.src, 0, ins.list->filter_ctx, unsigned(ins.list->pad_idx));
    if (r >= 0) r = avfilter_link(outs.list->filter_ctx, unsigned(outs.list->pad_idx), g.sink, 0);
    if (r < 0) return fail("the graph cannot be connected", r);
    r = avfilter_graph_config(g.graph, nullptr);
    if (r < 0) return fail("", r);
    const int out = av_buffersink_get_format(g.sink);
    if (pixel_type_of(out, in) == 0) {
        const char* fmt = av_get_pix_fmt_name(AVPixelFormat(out));
        return std::string("the graph gives ") + (fmt ? fmt : "an unknown format") +
               " frames; add format=yuv420p, yuyv422, bgr24 or bgra at its end";
    }
    return "";
}

std::string rate_text(AVRational q) {
    return std::to_string(q.num) + "/" + std::to_string(q.den);
}

// Output frames per source frame, from the rates on every filter's links; or the reason why the
// count cannot be known.
struct CountRule {
    int64_t per_frame = 1;
    int reach = 0;
    std::string refusal;
};

CountRule count_rule(const AVFilterGraph* graph, bool field_based) {
    CountRule rule;
    for (unsigned i = 0; i < graph->nb_filters; ++i) {
        const AVFilterContext* f = graph->filters[i];
        const std::string_view name = f->filter->name;
        rule.reach = std::max(rule.reach, filter_reach(name));
        if (listed(name, kCountUnknown)) {
            rule.refusal = "the filter '" + std::string(name) +
                           "' changes the frame count in a way that cannot be known in advance";
            return rule;
        }
        if (field_based && listed(name, kFieldRate)) {
            rule.refusal = "the filter '" + std::string(name) +
                           "' needs a frame-based clip (the clip is field-based)";
            return rule;
        }
        for (unsigned o = 0; o < f->nb_outputs; ++o) {
            const AVRational out = f->outputs[o]->frame_rate;
            if (out.num <= 0 || out.den <= 0) {
                rule.refusal = "the filter '" + std::string(name) + "' gives no frame rate";
                return rule;
            }
            if (f->nb_inputs == 0) continue;
            const AVRational in = f->inputs[0]->frame_rate;
            if (av_cmp_q(in, out) == 0) continue;
            if (listed(name, kFieldRate) && av_cmp_q(av_mul_q(in, AVRational{2, 1}), out) == 0) {
                rule.per_frame *= 2;
                continue;
            }
            rule.refusal = "the filter '" + std::string(name) + "' changes the frame rate from " +
                           rate_text(in) + " to " + rate_text(out) +
                           ", so its frame count cannot be known in advance";
            return rule;
        }
    }
    return rule;
}

using qexmedia::FramePtr;

// ---- The clip ---------------------------------------------------------------------------------

class FFFilter : public GenericVideoFilter {
  public:
    FFFilter(PClip c, std::string desc, int reach, const char* name, IScriptEnvironment* env)
        : GenericVideoFilter(c),
          desc_(std::move(desc)),
          name_(name),
          in_(vi),
          tmp_(av_frame_alloc()) {
        if (!c) env->ThrowError("%s: no clip", name);
        if (in_.num_frames < 1) env->ThrowError("%s: the clip has no frames", name);
        if (!tmp_) env->ThrowError("%s: out of memory", name);
        g_ = std::make_unique<Graph>();
        std::string why = build_graph(*g_, desc_, in_);
        if (!why.empty()) fail(env, why);
        CountRule rule = count_rule(g_->graph, in_.IsFieldBased());
        if (!rule.refusal.empty()) fail(env, rule.refusal);
        reach_ = reach >= 0 ? reach : rule.reach;
        per_frame_ = rule.per_frame;

        const AVRational out_rate = av_buffersink_get_frame_rate(g_->sink);
        const AVRational want =
            av_mul_q(AVRational{int(in_.fps_numerator), int(in_.fps_denominator)},
                     AVRational{int(per_frame_), 1});
        if (av_cmp_q(out_rate, want) != 0)
            fail(env,
                 "the graph gives " + rate_text(out_rate) + " fps, expected " + rate_text(want));
        const int64_t frames = int64_t(in_.num_frames) * per_frame_;
        if (frames > INT_MAX) fail(env, "the clip would have too many frames");
        vi.num_frames = int(frames);
        vi.SetFPS(unsigned(out_rate.num), unsigned(out_rate.den));
        vi.width = av_buffersink_get_w(g_->sink);
        vi.height = av_buffersink_get_h(g_->sink);
        vi.pixel_type = pixel_type_of(av_buffersink_get_format(g_->sink), in_);
        if (const char* bad = check_frame_size(vi.pixel_type, vi.width, vi.height))
            fail(env, std::string("the graph gives frames of ") + std::to_string(vi.width) + "x" +
                          std::to_string(vi.height) + ": " + bad);
        if (per_frame_ > 1) vi.SetFieldBased(false);
    }

    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        n = std::clamp(n, 0, vi.num_frames - 1);
        for (auto& [index, frame] : cache_)
            if (index == n) return frame;
        const int source = int(n / per_frame_);
        bool restart = !g_ || n < next_out_ || n < exact_from_;
        if (!restart && reach_ != kUnbounded && source - reach_ > next_in_) restart = true;
        if (restart) start_at(reach_ == kUnbounded ? 0 : std::max(0, source - reach_), env);
        try {
            return run_to(n, env);
        } catch (...) {
            g_.reset();  // a frame may be missing from the graph: the next request starts anew
            throw;
        }
    }

    bool GetParity(int n) override {
        return child->GetParity(int(std::clamp(n, 0, vi.num_frames - 1) / per_frame_));
    }

  private:
    [[noreturn]] void fail(IScriptEnvironment* env, const std::string& why) const {
        env->ThrowError("%s(\"%s\"): %s", name_.c_str(), desc_.c_str(), why.c_str());
    }

    void start_at(int source, IScriptEnvironment* env) {
        g_.reset();
        auto g = std::make_unique<Graph>();
        std::string why = build_graph(*g, desc_, in_);
        if (!why.empty()) fail(env, why);
        g_ = std::move(g);
        next_in_ = source;
        next_out_ = int64_t(source) * per_frame_;
        // The first frames of a graph started inside the clip lack their past: only those from
        // the reach on are the pictures of a run from the start.
        exact_from_ = source == 0 ? 0 : (int64_t(source) + reach_) * per_frame_;
        eof_sent_ = false;
    }

    void push(int i, IScriptEnvironment* env) {
        PVideoFrame src = child->GetFrame(i, env);
        FramePtr f(av_frame_alloc());
        if (!f) fail(env, "out of memory");
        f->width = in_.width;
        f->height = in_.height;
        f->format = av_format_of(in_);
        if (av_frame_get_buffer(f.get(), 0) < 0) fail(env, "out of memory");
        int sel[3];
        const int planes = plane_selectors(in_, sel);
        BYTE* ptr[3] = {};
        int pitch[3] = {};
        for (int p = 0; p < planes; ++p) {
            ptr[p] = const_cast<BYTE*>(src->GetReadPtr(sel[p]));
            pitch[p] = src->GetPitch(sel[p]);
        }
        copy_planes(in_, ptr, pitch, f.get(), false);
        f->pts = i;
        // A frame-based clip's frames are interlaced pictures whose first field the clip's
        // parity names; a field-based clip's frames are single fields.
        qexmedia::set_field_flags(f.get(), !in_.IsFieldBased(), child->GetParity(i));
        const int r = av_buffersrc_add_frame(g_->src, f.get());
        if (r < 0)
            fail(env, "frame " + std::to_string(i) + " was refused: " + qexmedia::error_text(r));
    }

    PVideoFrame run_to(int n, IScriptEnvironment* env) {
        for (;;) {
            int r = av_buffersink_get_frame(g_->sink, tmp_.get());
            if (r >= 0) {
                const int64_t index = next_out_++;
                PVideoFrame out;
                if (index >= exact_from_ && index + int64_t(kCacheFrames) > n) {
                    out = new_frame(vi);
                    int sel[3];
                    const int planes = plane_selectors(vi, sel);
                    BYTE* ptr[3] = {};
                    int pitch[3] = {};
                    for (int p = 0; p < planes; ++p) {
                        ptr[p] = out->GetWritePtr(sel[p]);
                        pitch[p] = out->GetPitch(sel[p]);
                    }
                    copy_planes(vi, ptr, pitch, tmp_.get(), true);
                    if (cache_.size() == kCacheFrames) cache_.pop_front();
                    cache_.emplace_back(int(index), out);
                }
                av_frame_unref(tmp_.get());
                if (index == n) return out;
                continue;
            }
            if (r == AVERROR(EAGAIN)) {
                if (next_in_ < in_.num_frames) {
                    push(next_in_++, env);
                } else if (!eof_sent_) {
                    eof_sent_ = true;
                    r = av_buffersrc_add_frame(g_->src, nullptr);
                    if (r < 0)
                        fail(env, "the end of the clip was refused: " + qexmedia::error_text(r));
                } else {
                    r = AVERROR_EOF;
                }
            }
            if (r == AVERROR_EOF) {
                fail(env, "the graph ended after " + std::to_string(next_out_) + " frames; frame " +
                              std::to_string(n) + " was asked for");
            }
            if (r < 0 && r != AVERROR(EAGAIN))
                fail(env, "frame " + std::to_string(n) + ": " + qexmedia::error_text(r));
        }
    }

    std::string desc_;
    std::string name_;
    VideoInfo in_;
    FramePtr tmp_;
    std::unique_ptr<Graph> g_;
    int64_t per_frame_ = 1;
    int reach_ = 0;
    int next_in_ = 0;
    int64_t next_out_ = 0;
    int64_t exact_from_ = 0;  // first output frame of the current graph that may be kept
    bool eof_sent_ = false;
    std::deque<std::pair<int, PVideoFrame>> cache_;
};

AVSValue apply_fffilter(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(
        make_fffilter(args[0].AsClip(), args[1].AsString(""), args[2].AsInt(-1), "FFFilter", env));
}

// Bwdif(clip, field): -2 (the default) one frame per field, first field from the clip's parity;
// -1 one frame per frame from the clip's first field; 0 and 1 one frame per frame from the bottom
// or top field; 2 and 3 one frame per field, bottom or top field first.
AVSValue apply_bwdif(AVSValue args, void*, IScriptEnvironment* env) {
    const int field = args[1].AsInt(-2);
    if (field < -2 || field > 3) env->ThrowError("Bwdif: field must be -2 to 3 (got %d)", field);
    const bool per_field = field == -2 || field >= 2;
    const char* parity = field < 0 ? "auto" : (field == 1 || field == 3) ? "tff" : "bff";
    const std::string graph = std::string("bwdif=mode=") +
                              (per_field ? "send_field" : "send_frame") + ":parity=" + parity +
                              ":deint=all";
    return AVSValue(make_fffilter(args[0].AsClip(), graph, -1, "Bwdif", env));
}

}  // namespace

PClip make_fffilter(PClip child, const std::string& graph, int reach, const char* name,
                    IScriptEnvironment* env) {
    if (!child) env->ThrowError("%s: no clip", name);
    if (av_format_of(child->GetVideoInfo()) == AV_PIX_FMT_NONE)
        env->ThrowError("%s: the clip's pixel type is not supported", name);
    return new FFFilter(child, graph, reach, name, env);
}

void register_fffilter(Environment& env) {
    env.AddFunction("FFFilter", "cs[reach]i", apply_fffilter, nullptr);
    env.AddFunction("Bwdif", "c[field]i", apply_bwdif, nullptr);
}

}  // namespace qexhost
