// A plug-in for the filter tests: script functions that set up what a test needs inside the
// qexpipe process, before the Qex call of the script.
//
//   MakeVfrOut(clip, "33D2...")        creates the outside verdict table "vfrout_<pid>" holding
//                                      the given bytes (one per source frame); returns the clip
//   MakeRateBlock(clip)                creates the rate block "melvo_vfrinfo_<pid>" of 5 frames,
//                                      as a dead process with this id could have left it;
//                                      returns the clip
//   BreakFunction(clip, name, params, not_found)
//                                      registers `name` with `params` anew so that calling it
//                                      throws NotFound (not_found true) or fails with the
//                                      message "broken on purpose"; returns the clip
//   InvertLuma(clip)                   the clip with every luma byte v replaced by 255 - v
//                                      (planar formats; every byte of packed formats)
#include <cstddef>
#include <cstring>
#include <string>

#include "avisynth.h"
#include "plugin/platform.h"
#include "plugin/vfrinfo.h"

namespace {

AVSValue make_vfrout(AVSValue args, void*, IScriptEnvironment* env) {
    const char* verdicts = args[1].AsString("");
    const std::size_t size = std::strlen(verdicts);
    char name[100];
    qex::vfrout_name(qex::platform::process_id(), name);
    // Lives until the process ends, as the outside component's table would.
    static qex::platform::SharedMemory* table = nullptr;
    if (table == nullptr) table = new qex::platform::SharedMemory;
    if (size == 0 || !table->create(name, size) || table->data() == nullptr)
        env->ThrowError("MakeVfrOut: cannot create %s", name);
    std::memcpy(table->data(), verdicts, size);
    return args[0];
}

AVSValue make_rate_block(AVSValue args, void*, IScriptEnvironment* env) {
    static qex::VfrInfoMap* block = nullptr;
    if (block == nullptr) block = new qex::VfrInfoMap(5);
    if (!block->ok()) env->ThrowError("MakeRateBlock: cannot create the block");
    for (int k = 0; k < 5; ++k) block->publish(k, 8, 0);
    return args[0];
}

AVSValue broken(AVSValue, void* user_data, IScriptEnvironment* env) {
    if (user_data != nullptr) throw IScriptEnvironment::NotFound();
    env->ThrowError("broken on purpose");
}

AVSValue break_function(AVSValue args, void*, IScriptEnvironment* env) {
    const char* name = env->SaveString(args[1].AsString(""));
    const char* params = env->SaveString(args[2].AsString(""));
    static int marker = 0;
    env->AddFunction(name, params, broken, args[3].AsBool(false) ? &marker : nullptr);
    return args[0];
}

// Changes every picture byte that carries luma, so a test sees at once which frames went
// through it.
class InvertLuma : public GenericVideoFilter {
  public:
    explicit InvertLuma(PClip clip) : GenericVideoFilter(clip) {}
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame f = child->GetFrame(n, env);
        env->MakeWritable(&f);
        const int plane = vi.IsPlanar() ? PLANAR_Y : 0;
        BYTE* p = f->GetWritePtr(plane);
        for (int r = 0; r < f->GetHeight(plane); ++r) {
            BYTE* row = p + std::ptrdiff_t(r) * f->GetPitch(plane);
            for (int x = 0; x < f->GetRowSize(plane); ++x) row[x] = BYTE(255 - row[x]);
        }
        return f;
    }
};

AVSValue invert_luma(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(new InvertLuma(args[0].AsClip()));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* AvisynthPluginInit2(
    IScriptEnvironment* env) {
    env->AddFunction("MakeVfrOut", "cs", make_vfrout, nullptr);
    env->AddFunction("MakeRateBlock", "c", make_rate_block, nullptr);
    env->AddFunction("BreakFunction", "cssb", break_function, nullptr);
    env->AddFunction("InvertLuma", "c", invert_luma, nullptr);
    return "filter test helpers";
}
