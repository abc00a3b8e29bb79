// A plug-in whose filter announces the end of the stream the way an end-of-stream filter does:
// after serving frame `at` it sends SIGINT to its process group.
#include "avisynth.h"

#include <signal.h>

namespace {

class StopAt : public GenericVideoFilter {
  public:
    StopAt(PClip c, int at) : GenericVideoFilter(c), at_(at) {}
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame f = child->GetFrame(n, env);
        if (n == at_) ::kill(0, SIGINT);
        return f;
    }

  private:
    int at_;
};

AVSValue apply_stop_at(AVSValue args, void*, IScriptEnvironment*) {
    return new StopAt(args[0].AsClip(), args[1].AsInt());
}

}  // namespace

extern "C" const char* AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction("TestStopAt", "ci", apply_stop_at, nullptr);
    return "end-of-stream test plug-in";
}
