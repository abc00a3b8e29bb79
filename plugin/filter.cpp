#include "plugin/filter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string_view>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "plugin/outputs.h"
#include "plugin/overlay.h"
#include "plugin/project.h"
#include "plugin/qexcut.h"
#include "plugin/vfrinfo.h"

namespace qex {
namespace {

constexpr const char* kName = "Qex";
constexpr const char* kParams =
    "c[def]s[tpr]s[fps]i[debug]b[posx]i[posy]i[chapter]s[output]s[opt]i";
constexpr const char* kPostVariable = "_tmp_qex_post_clip";

// The process-wide main instance. It is cleared when that instance is destroyed, and stays
// empty when a construction fails, so a later Qex call builds a new instance instead of using
// a missing or destroyed one.
Qex* g_main = nullptr;
std::uint64_t g_next_serial = 1;

// The shared-memory publisher outlives its instance (QexCut and other filters of the process
// keep reading the block); it is replaced only when a new main instance is built.
VfrInfoMap* g_publisher = nullptr;

// num * mul / (den * div), reduced; 0/1 when either product is 0.
void scale_rate(VideoInfo& vi, unsigned mul, unsigned div) {
    std::uint64_t num = std::uint64_t(vi.fps_numerator) * mul;
    std::uint64_t den = std::uint64_t(vi.fps_denominator) * div;
    if (num == 0 || den == 0) {
        vi.fps_numerator = 0;
        vi.fps_denominator = 1;
        return;
    }
    const std::uint64_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    while (num > 0xFFFFFFFFull || den > 0xFFFFFFFFull) {
        num >>= 1;
        den >>= 1;
    }
    vi.fps_numerator = unsigned(num);
    vi.fps_denominator = unsigned(den ? den : 1);
}

// The effects the opt strategy needs, bound to one request.
class FilterOptHooks : public OptHooks {
  public:
    FilterOptHooks(VfrInfoMap& publisher, const VfrOut* verdicts,
                   std::function<void(int, int, int32_t)> probe, std::function<void(int32_t)> write)
        : publisher_(publisher),
          verdicts_(verdicts),
          probe_(std::move(probe)),
          write_(std::move(write)) {}
    void probe(int alias, int phase, int32_t frame) override { probe_(alias, phase, frame); }
    uint8_t verdict(int32_t frame) override {
        return verdicts_ != nullptr ? verdicts_->verdict(frame) : 0;
    }
    uint8_t published_duration(int32_t frame) override {
        return publisher_.published_duration(frame);
    }
    void write_outputs(int32_t limit) override { write_(limit); }

  private:
    VfrInfoMap& publisher_;
    const VfrOut* verdicts_;
    std::function<void(int, int, int32_t)> probe_;
    std::function<void(int32_t)> write_;
};

}  // namespace

bool rate_block_built() {
    return g_publisher != nullptr && g_publisher->ok();
}

// ---------------------------------------------------------------------------------------------
// Construction

Qex::Qex(AVSValue args, IScriptEnvironment* env) : GenericVideoFilter(args[0].AsClip()) {
    serial_ = g_next_serial++;
    read_arguments(args, env);

    const int32_t g = vi.num_frames;
    int32_t priority = 30;
    if (fps_code_ == 24) {
        priority = 24;
        scale_rate(vi, 4, 5);
    } else if (fps_code_ == 60) {
        scale_rate(vi, 2, 1);
    }
    try {
        model_ = std::make_unique<QexModel>(g, priority, vi.fps_numerator, vi.fps_denominator);
    } catch (const std::bad_alloc&) {
        env->ThrowError("%s: not enough memory.", kName);
    } catch (const std::length_error&) {
        env->ThrowError("%s: not enough memory.", kName);
    }

    if (!tpr_path_.empty()) read_project_argument(tpr_path_, env);
    if (!def_path_.empty()) read_definition(def_path_, env);
    build_woven_clip(env);
    build_alias_clips(env);

    for (int a = 0; a < model_->aliases->count; ++a)
        if (model_->aliases->phase_bits[a] & kPhaseBitPost) has_post_ = true;

    // The output frame list is allocated by the pass, sized by the selected entries.
    int32_t count = 0;
    try {
        count = output_pass(*model_);
    } catch (const std::bad_alloc&) {
        env->ThrowError("%s: not enough memory.", kName);
    } catch (const std::length_error&) {
        env->ThrowError("%s: not enough memory.", kName);
    }
    if (count < 0) report(count, env);
    vi.num_frames = count;

    // Only the variable-rate serving reads the outside table and can end the stream early; a
    // constant rate has no outside table, so its files are written now, whatever opt says.
    if (fps_code_ > 0) opt_ = 0;
    if (fps_code_ <= 0) set_up_shared_memory(env);
    if (opt_ == 0) write_outputs(vi.num_frames, env);

    if (fps_code_ > 0)
        strategy_ = Strategy::kConstant;
    else if (opt_ == 0)
        strategy_ = Strategy::kVariable;
    else
        strategy_ = Strategy::kOpt;

    model_->st.tick_total = 0;
    model_->st.chapter_hits = 0;
    opt_state_ = OptState{};
    opt_state_.end_frame = vi.num_frames;
}

void Qex::read_arguments(const AVSValue& args, IScriptEnvironment* env) {
    def_path_ = args[1].AsString("");
    tpr_path_ = args[2].AsString("");
    fps_code_ = int(int8_t(uint8_t(unsigned(args[3].AsInt(0)) & 0xFFu)));
    debug_ = args[4].AsBool(false);
    posx_ = args[5].AsInt(0);
    posy_ = args[6].AsInt(0);
    chapter_path_ = args[7].AsString("");
    output_path_ = args[8].AsString("");
    opt_ = args[9].AsInt(0);

    if (!is_named_rate(fps_code_)) env->ThrowError("%s: param error.(fps)", kName);
    if (def_path_.empty() && tpr_path_.empty()) env->ThrowError("%s: param error.(no def)", kName);

    if (posx_ < 0) posx_ = 0;
    if (vi.width > 200 && posx_ > vi.width - 200) posx_ = vi.width - 200;
    if (posy_ < 0) posy_ = 0;
    if (vi.height > 48 && posy_ > vi.height - 48) posy_ = vi.height - 48;
}

void Qex::read_project_argument(const std::string& path, IScriptEnvironment* env) {
    QexModel& m = *model_;
    int32_t rate_code = 0;
    std::vector<uint8_t> pairs;
    int r = 0;
    try {
        r = read_project_pairs(path, m.st.field_count, rate_code, pairs);
    } catch (const std::bad_alloc&) {
        r = kProjectNoMemory;
    }
    if (r == kProjectReadError) env->ThrowError("%s: read error(%s)", kName, path.c_str());
    if (r == kProjectOpenError) env->ThrowError("%s: open error(%s)", kName, path.c_str());
    if (r == kProjectNoMemory) env->ThrowError("%s: not enough memory", kName);
    if (r < 0) env->ThrowError("%s: .tpr file format error(%d).", kName, r);
    if (m.st.source_frames > 0 && pairs.size() >= size_t(m.st.field_count) * 2)
        apply_project(m, 0, m.st.source_frames - 1, rate_code, pairs.data());
}

void Qex::read_definition(const std::string& path, IScriptEnvironment* env) {
    const ProjectLoader loader = [](const std::string& p, int32_t capacity, ProjectData& out) {
        try {
            return read_project_pairs(p, capacity, out.rate_code, out.pairs);
        } catch (const std::bad_alloc&) {
            return int(kProjectNoMemory);
        }
    };
    int r = 0;
    try {
        r = read_definition_file(*model_, path, loader);
    } catch (const std::bad_alloc&) {
        r = kErrNoMemory;
    }
    if (r < 0) report(r, env);
}

void Qex::report(int code, IScriptEnvironment* env) const {
    const NameExt def = split_name_ext(def_path_);
    const NameExt chapter = split_name_ext(chapter_path_);
    ErrorContext ctx;
    ctx.filter_name = kName;
    ctx.file_name = def.name;
    ctx.extension = def.ext;
    ctx.def_path = def_path_;
    ctx.chapter_name1 = chapter.name;
    ctx.chapter_name2 = chapter.ext;
    if (model_) {
        ctx.line_no = model_->st.line_no;
        ctx.error_frame = model_->st.error_frame;
    }
    const std::optional<std::string> msg = error_message(code, ctx);
    env->ThrowError("%s", msg ? msg->c_str() : "Qex: error.");
}

void Qex::build_woven_clip(IScriptEnvironment* env) {
    const AVSValue arg[1] = {child};
    try {
        woven_ = env->Invoke("DoubleWeave", AVSValue(arg, 1)).AsClip();
    } catch (const IScriptEnvironment::NotFound&) {
        env->ThrowError("%s: Invoke failed. - DoubleWeave", kName);
    } catch (const AvisynthError& e) {
        env->ThrowError("%s: Invoke failed. (%s)", kName, e.msg ? e.msg : "");
    }
    if (!woven_) env->ThrowError("%s: Invoke failed. - DoubleWeave", kName);
}

void Qex::build_alias_clips(IScriptEnvironment* env) {
    FilterAliasTable& t = *model_->aliases;
    for (int phase = 0; phase < kAliasPhases; ++phase) {
        for (int a = 0; a < t.count && a < kMaxAliases; ++a) {
            if ((t.phase_bits[a] & (1u << phase)) == 0) continue;
            const std::string text(t.text[a], strnlen(t.text[a], kAliasTextSize));
            expression_ = phase == 0 ? text : "trim(" + std::to_string(phase) + ",0)." + text;
            // The expression runs with `last` set to this filter's own source clip.
            const AVSValue arg[2] = {child, AVSValue(expression_.c_str())};
            AVSValue result;
            try {
                result = env->Invoke("Eval", AVSValue(arg, 2));
            } catch (const IScriptEnvironment::NotFound&) {
                env->ThrowError("%s: NotFound. <%s>", kName, expression_.c_str());
            } catch (const AvisynthError& e) {
                env->ThrowError("%s: Invoke failed. <%s>\n(%s)", kName, expression_.c_str(),
                                e.msg ? e.msg : "");
            }
            if (!result.IsClip())
                env->ThrowError("%s: Invoke failed. <%s>\n(%s)", kName, expression_.c_str(),
                                "the expression gives no clip");
            clips_[size_t(a)][size_t(phase)] = result.AsClip();
            if (VfrOut::exists()) t.vfrout[a] = 1;
        }
    }
}

void Qex::set_up_shared_memory(IScriptEnvironment* env) {
    // A publisher left by an earlier main instance (destroyed, or failed to build) goes first,
    // so that the names belong to this instance's block.
    delete g_publisher;
    g_publisher = nullptr;
    try {
        g_publisher = new VfrInfoMap(vi.num_frames);
        verdicts_ = std::make_unique<VfrOut>();
    } catch (const std::bad_alloc&) {
        env->ThrowError("%s: Not Allocated Shared Memory.", kName);
    }
    publisher_ = g_publisher;
    if (!verdicts_->ok()) {
        verdicts_.reset();
        opt_ = 0;
    }
    if (!publisher_->ok()) env->ThrowError("%s: Not Allocated Shared Memory.", kName);
    publisher_->mark_built();
}

void Qex::write_outputs(int32_t limit, IScriptEnvironment* env) {
    const std::span<const OutputFrame> frames(model_->output);
    limit = std::clamp<int32_t>(limit, 0, int32_t(frames.size()));
    if (!chapter_path_.empty()) {
        const int r = write_chapters(frames, limit, *model_->chapters, chapter_path_);
        if (r < 0) report(r, env);
    }
    if (!output_path_.empty()) {
        const int r = write_timecodes(frames, limit, chapter_path_, output_path_);
        if (r < 0) report(r, env);
    }
}

// Post instance.
Qex::Qex(AVSValue args, Qex* parent, IScriptEnvironment* env)
    : GenericVideoFilter(args[0].AsClip()), parent_(parent) {
    if (parent_ == nullptr) env->ThrowError("%s:(post) init error.", kName);
    strategy_ = Strategy::kPost;
    if (!env->SetVar(kPostVariable, AVSValue(child)))
        env->ThrowError("%s:(post) SetVar failed.", kName);
    const FilterAliasTable& t = *parent_->model_->aliases;
    for (int a = 0; a < t.count && a < kMaxAliases; ++a) {
        if ((t.phase_bits[a] & kPhaseBitPost) == 0) continue;
        expression_ = std::string(kPostVariable) + "." +
                      std::string(t.text[a], strnlen(t.text[a], kAliasTextSize));
        AVSValue result;
        try {
            result = env->Invoke("Eval", AVSValue(expression_.c_str()));
        } catch (const IScriptEnvironment::NotFound&) {
            env->ThrowError("%s:(post) NotFound. <%s>", kName, expression_.c_str());
        } catch (const AvisynthError& e) {
            env->ThrowError("%s:(post) Invoke failed. <%s>\n(%s)", kName, expression_.c_str(),
                            e.msg ? e.msg : "");
        }
        if (!result.IsClip())
            env->ThrowError("%s:(post) Invoke failed. <%s>\n(%s)", kName, expression_.c_str(),
                            "the expression gives no clip");
        // Kept by this post instance: a post clip holds the main instance, so keeping it in the
        // main instance would make a cycle that never lets the main instance go.
        post_clips_[size_t(a)] = result.AsClip();
    }
}

Qex::~Qex() {
    if (g_main == this) g_main = nullptr;
    for (PClip& c : post_clips_) c = PClip();
    if (parent_ == nullptr) {
        for (auto& phases : clips_)
            for (PClip& c : phases) c = PClip();
        model_.reset();
        verdicts_.reset();
    }
    woven_ = PClip();
}

// ---------------------------------------------------------------------------------------------
// Serving

PVideoFrame Qex::GetFrame(int n, IScriptEnvironment* env) {
    switch (strategy_) {
        case Strategy::kConstant:
            return serve_constant(n, env);
        case Strategy::kVariable:
            return serve_variable(n, env);
        case Strategy::kOpt:
            return serve_opt(n, env);
        case Strategy::kPost:
            return serve_post(n, env);
    }
    return serve_constant(n, env);
}

PClip& Qex::clip_of(const FetchChoice& c) {
    if (c.alias >= 1 && c.alias <= kMaxAliases && c.phase >= 0 && c.phase < kAliasPhases) {
        PClip& clip = clips_[size_t(c.alias - 1)][size_t(c.phase)];
        if (clip) return clip;
    }
    return woven_;
}

PVideoFrame Qex::fetch(const FetchChoice& c, IScriptEnvironment* env) {
    PClip& clip = clip_of(c);
    // An alias without a clip for the phase cannot come out of the definition reader; the
    // entry's own field position is then the safest picture to show.
    if (c.alias != 0 && clip.get() == woven_.get()) return woven_->GetFrame(c.field, env);
    return clip->GetFrame(c.frame, env);
}

PVideoFrame Qex::serve_constant(int n, IScriptEnvironment* env) {
    if (model_->output.empty()) return woven_->GetFrame(0, env);
    const int32_t nc = clamp_frame(n, int32_t(model_->output.size()));
    const FetchChoice c = choose_fetch(*model_, nc, ServeMode::kConstant);
    PVideoFrame frame = fetch(c, env);
    debug_hook(nc, frame, c.k, env);
    return frame;
}

void Qex::publish(int32_t n, const FetchChoice& c, bool past_end) {
    const OutputFrame& o = model_->output[size_t(n)];
    const FieldEntry& e =
        model_->field_map[size_t(clamp_frame(o.source, int32_t(model_->field_map.size())))];
    ServedFrame s;
    s.frame = n;
    s.duration = o.duration;
    s.flags = o.flags;
    s.follows_verdict = follows_verdict(*model_, e);
    s.fetched = c.k;
    s.past_end = past_end;
    publisher_->publish(s, verdicts_.get());
}

PVideoFrame Qex::serve_variable(int n, IScriptEnvironment* env) {
    if (model_->output.empty()) return woven_->GetFrame(0, env);
    const int32_t nc = clamp_frame(n, int32_t(model_->output.size()));
    const FetchChoice c = choose_fetch(*model_, nc, ServeMode::kVariable);
    PVideoFrame frame = fetch(c, env);
    publish(nc, c, false);
    debug_hook(nc, frame, c.k, env);
    return frame;
}

PVideoFrame Qex::serve_opt(int n, IScriptEnvironment* env) {
    if (model_->output.empty()) return woven_->GetFrame(0, env);
    const int32_t nc = clamp_frame(n, int32_t(model_->output.size()));
    if (nc == n) advance_opt(nc, env);
    const FetchChoice c = choose_fetch(*model_, nc, ServeMode::kVariable);
    PVideoFrame frame = fetch(c, env);
    const bool past_end = nc >= opt_state_.end_frame;
    if (past_end) model_->output[size_t(nc)].flags = 0;
    publish(nc, c, past_end);
    debug_hook(nc, frame, c.k, env);
    return frame;
}

void Qex::advance_opt(int32_t n, IScriptEnvironment* env) {
    FilterOptHooks hooks(
        *publisher_, verdicts_.get(),
        [this, env](int alias, int phase, int32_t frame) {
            FetchChoice probe;
            probe.alias = alias;
            probe.phase = phase;
            probe.frame = frame;
            probe.k = frame;
            probe.field = 2 * frame;
            fetch(probe, env);
        },
        [this, env](int32_t limit) { write_outputs(limit, env); });
    opt_advance(*model_, opt_state_, n, hooks);
}

PVideoFrame Qex::serve_post(int n, IScriptEnvironment* env) {
    const QexModel& m = *parent_->model_;
    if (m.output.empty()) return child->GetFrame(n, env);
    const int32_t nc = clamp_frame(n, int32_t(m.output.size()));
    // With opt, the main instance copies the record it serves over output frame n when n is
    // asked for in order. Let it do so first, so that the post filter is chosen by the frame
    // actually served rather than by the record the compacting is about to replace; the fetch
    // below then finds frame n already taken in order.
    if (parent_->strategy_ == Strategy::kOpt && nc == n) parent_->advance_opt(nc, env);
    const int32_t f = m.output[size_t(nc)].source;
    const FieldEntry& e = m.field_map[size_t(clamp_frame(f, int32_t(m.field_map.size())))];
    if (e.post_alias >= 1 && e.post_alias <= kMaxAliases) {
        PClip& post = post_clips_[size_t(e.post_alias - 1)];
        if (post) return post->GetFrame(nc, env);
    }
    return child->GetFrame(nc, env);
}

void Qex::debug_hook(int32_t n, PVideoFrame& frame, int32_t k, IScriptEnvironment* env) {
    if (!debug_ || !frame) return;
    env->MakeWritable(&frame);
    FrameView view;
    if (vi.IsPlanar()) {
        view.type = vi.IsI420() ? PixelType::kI420 : PixelType::kYV12;
        const int planes[3] = {PLANAR_Y, PLANAR_U, PLANAR_V};
        for (int i = 0; i < 3; ++i) {
            view.planes[i] = PlaneView{frame->GetWritePtr(planes[i]), frame->GetPitch(planes[i]),
                                       frame->GetRowSize(planes[i]), frame->GetHeight(planes[i])};
        }
    } else {
        view.type = vi.IsYUY2()    ? PixelType::kYUY2
                    : vi.IsRGB32() ? PixelType::kRGB32
                    : vi.IsRGB24() ? PixelType::kRGB24
                                   : PixelType::kOther;
        view.planes[0] = PlaneView{frame->GetWritePtr(), frame->GetPitch(), frame->GetRowSize(),
                                   frame->GetHeight()};
    }
    if (view.planes[0].data == nullptr) return;

    OverlayInput in = overlay_input(*model_, n, k, fps_code_);
    if (publisher_ != nullptr) {
        {
            // Whoever holds the header is done with it before the entry is read.
            platform::NamedLock hold(publisher_->header_mutex());
            in.state_byte =
                publisher_->view() != nullptr ? publisher_->view()[kVfrInfoStateByte] : 0;
        }
        in.published_duration = publisher_->published_duration(n);
    }
    draw_overlay(view, posx_, posy_, format_overlay(in));
}

// ---------------------------------------------------------------------------------------------
// Registration

AVSValue CreateQex(AVSValue args, void* user_data, IScriptEnvironment* env) {
    if (user_data != nullptr) {
        // Registered for the post instance of one main instance, named by its serial number, so a
        // registration that outlived its instance never reaches a destroyed object.
        const auto serial = std::uint64_t(reinterpret_cast<std::uintptr_t>(user_data));
        Qex* parent = (g_main != nullptr && g_main->serial() == serial) ? g_main : nullptr;
        return AVSValue(new Qex(args, parent, env));
    }
    if (g_main == nullptr) g_main = new Qex(args, env);
    const PClip main(g_main);
    if (!g_main->has_post()) return AVSValue(main);
    env->AddFunction(kName, "c", CreateQex,
                     reinterpret_cast<void*>(std::uintptr_t(g_main->serial())));
    const AVSValue arg[1] = {main};
    return env->Invoke(kName, AVSValue(arg, 1));
}

}  // namespace qex

#if defined(_WIN32)
#define QEX_EXPORT __declspec(dllexport)
#else
#define QEX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QEX_EXPORT const char* AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction("Qex", qex::kParams, qex::CreateQex, nullptr);
    env->AddFunction("QexCut", "c[timecodes]s", qex::CreateQexCut, nullptr);
    return "Qex: variable frame rate output from definition files";
}
