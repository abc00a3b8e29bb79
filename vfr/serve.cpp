#include "vfr/serve.h"

#include <cerrno>
#include <new>
#include <system_error>

#include "common/text.h"
#include "host/env.h"
#include "host/pipe_output.h"
#include "host/y4m.h"
#include "media/register.h"
#include "script/script.h"

namespace qexvfr {

using qexhost::Environment;

std::string source_function(const std::string& input) {
    const size_t dot = input.rfind('.');
    const size_t slash = input.rfind('/');
    const bool y4m = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                     qextext::iequals(std::string_view(input).substr(dot), ".y4m");
    return y4m ? "Y4MSource" : "VideoSource";
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

Server::Server(const std::string& plugin, const std::string& input, const Opener& open)
    : impl_(std::make_unique<Impl>()) {
    Environment& env = impl_->env;
    qexmedia::register_functions(env);
    impl_->input = input;
    const std::string source = source_function(input);
    try {
        env.Invoke("LoadPlugin", AVSValue(plugin.c_str()));
        if (!env.FunctionExists(source.c_str()))
            throw ServeError(input + ": this build has no " + source + " to read it");
        const AVSValue clip =
            open ? AVSValue(open(&env)) : env.Invoke(source.c_str(), AVSValue(input.c_str()));
        if (!clip.IsClip()) throw ServeError(input + ": " + source + " gave no clip");
        const VideoInfo& vi = clip.AsClip()->GetVideoInfo();
        if (!vi.HasVideo() || vi.num_frames <= 0) throw ServeError(input + ": no video");
        impl_->source = clip.AsClip();
    } catch (const AvisynthError& e) {
        throw ServeError(message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError(input + ": the frame server has no " + source);
    } catch (const std::bad_alloc&) {
        throw ServeError("out of memory while opening " + input);
    }
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
            PVideoFrame frame = impl_->clip->GetFrame(n, &impl_->env);
            if (!frame) throw ServeError("frame " + std::to_string(n) + ": a filter gave no frame");
            qexhost::check_frame_size(impl_->vi, *frame);
            out.WriteFrame(*frame);
            if (progress && !progress(n + 1)) return false;
        }
    } catch (const AvisynthError& e) {
        throw ServeError("frame " + std::to_string(n) + ": " + message(e));
    } catch (const IScriptEnvironment::NotFound&) {
        throw ServeError("frame " + std::to_string(n) +
                         ": a filter called a function that does not exist");
    } catch (const std::system_error& e) {
        if (e.code().value() == EPIPE) throw ServeError("the encoder stopped reading", true);
        throw ServeError(std::string("cannot write to the encoder: ") + e.code().message());
    } catch (const std::bad_alloc&) {
        throw ServeError("frame " + std::to_string(n) + ": out of memory");
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const ServeError*>(&e)) throw;
        throw ServeError("frame " + std::to_string(n) + ": " + e.what());
    }
    return true;
}

}  // namespace qexvfr
