// A plug-in built only against the API header, loaded by the tests through LoadPlugin.
#include "avisynth.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Writes 0xEE into the first byte of every frame it passes on, after MakeWritable.
class Marker : public GenericVideoFilter {
  public:
    explicit Marker(PClip c) : GenericVideoFilter(c) {}
    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame f = child->GetFrame(n, env);
        env->MakeWritable(&f);
        BYTE* p = f->GetWritePtr();
        if (!p) env->ThrowError("Marker: frame %d is not writable after MakeWritable", n);
        p[0] = 0xEE;
        return f;
    }
};

AVSValue apply_marker(AVSValue args, void*, IScriptEnvironment*) {
    return new Marker(args[0].AsClip());
}

// Reaches a core filter through Invoke.
AVSValue apply_weave_through_invoke(AVSValue args, void*, IScriptEnvironment* env) {
    AVSValue one[1] = {args[0]};
    return env->Invoke("DoubleWeave", AVSValue(one, 1));
}

// SetVar then GetVar: returns the stored value plus one.
AVSValue apply_set_get(AVSValue args, void*, IScriptEnvironment* env) {
    if (!env->SetVar(args[0].AsString(), args[1])) env->ThrowError("TestSetGet: SetVar failed");
    return env->GetVar(args[0].AsString()).AsInt() + 1;
}

AVSValue apply_fail(AVSValue args, void*, IScriptEnvironment* env) {
    env->ThrowError("TestFail: %s (%d)", args[0].AsString(""), 42);
}

// Calls a function by name and reports how it went.
AVSValue apply_try_invoke(AVSValue args, void*, IScriptEnvironment* env) {
    try {
        AVSValue r = env->Invoke(args[0].AsString(), args[1]);
        return r.IsClip() ? "clip" : "value";
    } catch (const IScriptEnvironment::NotFound&) {
        return "NotFound";
    } catch (const AvisynthError& e) {
        return env->SaveString((std::string("AvisynthError: ") + e.msg).c_str());
    }
}

// Shows which arguments arrived, in the way a plug-in reads them with defaults.
AVSValue apply_named(AVSValue args, void*, IScriptEnvironment* env) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "def=%s fps=%d debug=%d", args[1].AsString("-"),
                  args[2].AsInt(-1), int(args[3].AsBool(false)));
    return env->SaveString(buf);
}

// Registers "TestNewest" again with user data and calls it: the newest registration answers.
AVSValue apply_newest_second(AVSValue args, void* user, IScriptEnvironment*) {
    return AVSValue(*static_cast<int*>(user) + args[0].AsClip()->GetVideoInfo().num_frames);
}
AVSValue apply_newest_first(AVSValue args, void*, IScriptEnvironment*) {
    return AVSValue(-1 + 0 * args[0].ArraySize());
}
int g_user_data = 1000;
AVSValue apply_register_again(AVSValue args, void*, IScriptEnvironment* env) {
    env->AddFunction("TestNewest", "c", apply_newest_second, &g_user_data);
    AVSValue one[1] = {args[0]};
    return env->Invoke("TestNewest", AVSValue(one, 1));
}

// Evaluates a text through Eval, as the Qex filter does with its alias expressions; errors come
// back as text in the manner of the Qex messages.
AVSValue apply_eval(AVSValue args, void*, IScriptEnvironment* env) {
    const char* expr = args[0].AsString("");
    try {
        return env->Invoke("Eval", AVSValue(expr));
    } catch (const IScriptEnvironment::NotFound&) {
        env->ThrowError("TestEval: NotFound. <%s>", expr);
    } catch (const AvisynthError& e) {
        env->ThrowError("TestEval: Invoke failed. <%s>\n(%s)", expr, e.msg);
    }
}

// Puts a clip into a variable and evaluates "variable.text", as the Qex post filters do.
AVSValue apply_eval_on(AVSValue args, void*, IScriptEnvironment* env) {
    if (!env->SetVar("_tmp_test_clip", args[0])) env->ThrowError("TestEvalOn: SetVar failed.");
    std::string expr = std::string("_tmp_test_clip.") + args[1].AsString("");
    AVSValue one[1] = {AVSValue(env->SaveString(expr.c_str()))};
    return env->Invoke("Eval", AVSValue(one, 1));
}

}  // namespace

extern "C" const char* AvisynthPluginInit2(IScriptEnvironment* env) {
    env->AddFunction("TestMarker", "c", apply_marker, nullptr);
    env->AddFunction("TestWeaveThroughInvoke", "c", apply_weave_through_invoke, nullptr);
    env->AddFunction("TestSetGet", "s.", apply_set_get, nullptr);
    env->AddFunction("TestFail", "[text]s", apply_fail, nullptr);
    env->AddFunction("TestTryInvoke", "s.", apply_try_invoke, nullptr);
    env->AddFunction("TestNamed", "c[def]s[fps]i[debug]b", apply_named, nullptr);
    env->AddFunction("TestNewest", "c", apply_newest_first, nullptr);
    env->AddFunction("TestRegisterAgain", "c", apply_register_again, nullptr);
    env->AddFunction("TestEval", "s", apply_eval, nullptr);
    env->AddFunction("TestEvalOn", "cs", apply_eval_on, nullptr);
    return "host test plug-in";
}
