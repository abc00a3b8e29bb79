#include "vfr/serve.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "cli/frames.h"
#include "cli/input.h"
#include "host/env.h"
#include "host/pipe_output.h"
#include "host/y4m.h"
#include "media/register.h"
#include "script/script.h"

namespace qexvfr {

using qexhost::Environment;

std::string source_function(const std::string& input) {
    return qexcli::input_kind(input) == qexcli::InputKind::kY4m ? "Y4MSource" : "VideoSource";
}

struct Server::Impl {
    Environment env;
    qexhost::ScriptEngine engine{env};  // Eval, which Qex uses for its filter expressions
    std::string input;
    PClip source;
    PClip clip;
    VideoInfo vi{};
};

namespace {

std::string message(const AvisynthError& e) {
    return e.msg ? e.msg : "error without a message";
}

}  // namespace

Server::Server(const std::string& plugin, const std::string& input)
    : impl_(std::make_unique<Impl>()) {
    qexmedia::register_functions(impl_->env);
    impl_->input = input;
    const char* source = qexcli::source_function(qexcli::input_kind(input));
    try {
        impl_->env.Invoke("LoadPlugin", AVSValue(plugin.c_str()));
        if (!impl_->env.FunctionExists(source))
            throw ServeError(input + ": this build has no " + source + " to read it");
    } catch (const AvisynthError& e) {
        throw ServeError(message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError(input + ": the frame server has no " + source);
    }
}

void Server::open_source() {
    const std::string& input = impl_->input;
    const char* source = qexcli::source_function(qexcli::input_kind(input));
    try {
        const AVSValue clip = impl_->env.Invoke(source, AVSValue(input.c_str()));
        if (!clip.IsClip()) throw ServeError(input + ": " + source + " gave no clip");
        use_source(clip.AsClip());
    } catch (const AvisynthError& e) {
        throw ServeError(message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError(input + ": the frame server has no " + source);
    } catch (const std::bad_alloc&) {
        throw ServeError("out of memory while opening " + input);
    }
}

void Server::use_source(const PClip& clip) {
    const VideoInfo& vi = clip->GetVideoInfo();
    if (!vi.HasVideo() || vi.num_frames <= 0) throw ServeError(impl_->input + ": no video");
    impl_->source = clip;
}

PClip Server::source() const {
    return impl_->source;
}

IScriptEnvironment* Server::env() const {
    return &impl_->env;
}

void Server::filter_source(const std::string& graph) {
    try {
        const AVSValue args[2] = {impl_->source, AVSValue(graph.c_str())};
        const AVSValue out = impl_->env.Invoke("FFFilter", AVSValue(args, 2));
        if (!out.IsClip()) throw ServeError("FFFilter gave no clip");
        impl_->source = out.AsClip();
    } catch (const AvisynthError& e) {
        throw ServeError(impl_->input + ": " + message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError("the frame server has no FFFilter to convert " + impl_->input);
    }
}

void Server::set_field_order(bool tff) {
    try {
        impl_->source = impl_->env.Invoke(tff ? "AssumeTFF" : "AssumeBFF", impl_->source).AsClip();
    } catch (const AvisynthError& e) {
        throw ServeError(message(e));
    }
}

void Server::apply_qex(const std::string& def, const std::string& timecodes,
                       const std::string& chapters) {
    try {
        const AVSValue args[4] = {impl_->source, AVSValue(def.c_str()), AVSValue(timecodes.c_str()),
                                  AVSValue(chapters.c_str())};
        const char* const names[4] = {nullptr, "def", "output", "chapter"};
        const AVSValue qex = impl_->env.Invoke("Qex", AVSValue(args, 4), names);
        if (!qex.IsClip()) throw ServeError("Qex gave no clip");
        impl_->clip = qex.AsClip();
    } catch (const AvisynthError& e) {
        throw ServeError(message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError("the plug-in has no Qex filter");
    } catch (const std::bad_alloc&) {
        throw ServeError("out of memory while reading " + def);
    }
    impl_->vi = impl_->clip->GetVideoInfo();
    if (!qexhost::writes_y4m(impl_->vi))
        throw ServeError(impl_->input + ": the picture is not planar 4:2:0, which x264 reads here");
}

Server::~Server() = default;

PClip Server::clip() const {
    return impl_->clip;
}

int Server::frames() const {
    return impl_->vi.num_frames;
}
unsigned Server::fps_num() const {
    return impl_->vi.fps_numerator;
}
unsigned Server::fps_den() const {
    return impl_->vi.fps_denominator;
}

bool Server::stream(int fd, int count, const std::function<bool(int)>& progress) {
    qexhost::Y4mWriter out(fd, impl_->vi);
    int n = 0;
    try {
        out.WriteHeader();
        for (; n < count; ++n) {
            const PVideoFrame frame = qexcli::pull_frame(impl_->clip, n, &impl_->env);
            qexhost::check_frame_size(impl_->vi, *frame);
            out.WriteFrame(*frame);
            if (progress && !progress(n + 1)) return false;
        }
    } catch (const qexcli::FrameError& e) {
        throw ServeError(e.what());
    } catch (const std::system_error& e) {
        if (e.code().value() == EPIPE) throw ServeError("the encoder stopped reading", true);
        throw ServeError(std::string("cannot write to the encoder: ") + e.code().message());
    } catch (const std::bad_alloc&) {
        throw ServeError("frame " + std::to_string(n) + ": out of memory");
    } catch (const std::runtime_error& e) {
        throw ServeError("frame " + std::to_string(n) + ": " + e.what());
    }
    return true;
}

}  // namespace qexvfr
