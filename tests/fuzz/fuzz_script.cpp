// The script language: lexer, parser and evaluation with the core filters, then a few frames of
// the clip a script gives. Every script starts with a small clip in `last`.
//
// The work a script may cause is bounded here, not by the language: functions that reach
// outside the process (Import, LoadPlugin, Y4MSource) refuse, no frame may take more than
// 4 MiB (a BlankClip of the largest size would fill 1 GiB), and frames are fetched only from
// clips of at most kMaxPixels. Frame counts cost nothing until frames are fetched.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "avisynth.h"
#include "host/env.h"
#include "host/frame.h"
#include "script/script.h"

namespace {

constexpr long kMaxPixels = 512 * 512;

AVSValue refuse(AVSValue, void*, IScriptEnvironment* env) {
    env->ThrowError("not available while fuzzing");
}

void fetch_some(const PClip& clip, IScriptEnvironment* env) {
    const VideoInfo vi = clip->GetVideoInfo();
    if (vi.num_frames <= 0 || long(vi.width) * vi.height > kMaxPixels) return;
    for (int n : {0, vi.num_frames / 2, vi.num_frames - 1, vi.num_frames, -1}) {
        PVideoFrame f = clip->GetFrame(n, env);
        if (!f || f->GetRowSize() <= 0) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    qexhost::set_frame_size_limit(std::size_t{4} << 20);
    qexhost::Environment env;
    qexhost::ScriptEngine engine(env);
    for (const char* name : {"Import", "LoadPlugin"}) env.AddFunction(name, "s+", refuse, nullptr);
    env.AddFunction("Y4MSource", "s", refuse, nullptr);
    try {
        const AVSValue source[3] = {30, 32, 16};  // frames, width, height
        env.SetVar("last", env.Invoke("StampSource", AVSValue(source, 3)));
        const AVSValue result = engine.evaluate(text, "fuzz.avs");
        if (result.IsClip()) fetch_some(result.AsClip(), &env);
    } catch (const AvisynthError&) {
    } catch (const IScriptEnvironment::NotFound&) {}
    return 0;
}
