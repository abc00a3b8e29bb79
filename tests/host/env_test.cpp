#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qexhost;
using hosttest::call;
using hosttest::error_of;

namespace {

TEST(Params, ParsesTypesNamesAndRepeats) {
    auto p = parse_params("c[def]s[fps]i[debug]bi*[]f.+");
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), 7u);
    EXPECT_EQ((*p)[0].type, 'c');
    EXPECT_FALSE((*p)[0].optional);
    EXPECT_EQ((*p)[1].name, "def");
    EXPECT_TRUE((*p)[1].optional);
    EXPECT_EQ((*p)[3].type, 'b');
    EXPECT_EQ((*p)[4].repeat, '*');
    EXPECT_TRUE((*p)[5].optional);
    EXPECT_EQ((*p)[5].name, "");
    EXPECT_EQ((*p)[6].type, '.');
    EXPECT_EQ((*p)[6].repeat, '+');
}

TEST(Params, RefusesMalformedStrings) {
    for (const char* bad : {"[def", "[def]", "x", "c[a]q", "*"}) {
        EXPECT_FALSE(parse_params(bad)) << bad;
    }
}

struct BindCase {
    const char* label;
    const char* params;
    std::vector<AVSValue> positional;
    std::vector<std::pair<std::string, AVSValue>> named;
    bool binds;
    std::string shape;  // per slot: type letter, '-' for absent, or "a<n>" for arrays
};

std::string shape_of(const BoundArgs& b) {
    std::string s;
    for (const AVSValue& v : b.slots) {
        if (v.IsArray())
            s += "a" + std::to_string(v.ArraySize());
        else
            s += v.Defined() ? v.GetType() : '-';
    }
    return s;
}

TEST(Params, BindsArguments) {
    const char* kQex = "c[def]s[fps]i[debug]b";
    AVSValue c = AVSValue(static_cast<IClip*>(nullptr));
    std::vector<BindCase> cases = {
        {"all positional", kQex, {c, "a.def", 24, true}, {}, true, "csib"},
        {"named", kQex, {c}, {{"fps", 30}, {"DEF", "x.def"}}, true, "csi-"},
        {"wrong type optional positional counts as absent", kQex, {c, 5}, {}, true, "c---"},
        {"wrong type named counts as absent", kQex, {c}, {{"debug", 3}}, true, "c---"},
        {"required of wrong type", kQex, {5}, {}, false, ""},
        {"required missing", kQex, {}, {}, false, ""},
        {"too many", "ci", {c, 1, 2}, {}, false, ""},
        {"unknown name", kQex, {c}, {{"nosuch", 1}}, false, ""},
        {"name given twice", kQex, {c, "a"}, {{"def", "b"}}, false, ""},
        {"int fills a float", "cf", {c, 3}, {}, true, "ci"},
        {"float does not fill an int", "ci", {c, 3.5}, {}, false, ""},
        {"repeat takes the run of its type", "ci*", {c, 1, 2, 3}, {}, true, "ca3"},
        {"star may be empty", "ci*", {c}, {}, true, "ca0"},
        {"plus needs one", "c+", {}, {}, false, ""},
        {"plus takes clips", "cc+", {c, c, c}, {}, true, "ca2"},
        {"any type", "c.", {c, "s"}, {}, true, "cs"},
    };
    for (const auto& k : cases) {
        auto specs = parse_params(k.params);
        ASSERT_TRUE(specs) << k.label;
        auto b = bind_args(*specs, k.positional, k.named);
        EXPECT_EQ(bool(b), k.binds) << k.label;
        if (b && k.binds) {
            EXPECT_EQ(shape_of(*b), k.shape) << k.label;
        }
    }
}

AVSValue echo_first(AVSValue args, void* user, IScriptEnvironment*) {
    if (user) return AVSValue(static_cast<const char*>(user));
    return args[0];
}

TEST(Registry, NewestRegistrationWinsAndOlderOnesStillServeOtherArguments) {
    Environment env;
    env.AddFunction("Pick", "i", echo_first, const_cast<char*>("old int"));
    env.AddFunction("Pick", "s", echo_first, const_cast<char*>("string"));
    env.AddFunction("pick", "i", echo_first, const_cast<char*>("new int"));
    EXPECT_STREQ(call(env, "PICK", {1}).AsString(), "new int");
    EXPECT_STREQ(call(env, "Pick", {"x"}).AsString(), "string");
    EXPECT_TRUE(env.FunctionExists("pIcK"));
    EXPECT_FALSE(env.FunctionExists("Pock"));
    auto defs = env.Lookup("pick");
    ASSERT_EQ(defs.size(), 3u);
    EXPECT_EQ(defs[0]->params, "i");
    EXPECT_EQ(static_cast<const char*>(defs[0]->user_data), std::string("new int"));
}

TEST(Registry, InvokeThrowsNotFoundForUnknownNamesAndUnfitArguments) {
    Environment env;
    EXPECT_THROW(call(env, "NoSuchFilter", {}), IScriptEnvironment::NotFound);
    EXPECT_THROW(call(env, "Trim", {"not a clip", 1, 2}), IScriptEnvironment::NotFound);
    EXPECT_FALSE(env.TryCall("Trim", {1}, {}));
}

TEST(Registry, InvokeTakesASingleValueAsOneArgument) {
    Environment env;
    PClip c = hosttest::stamp(env, 4);
    AVSValue r = env.Invoke("DoubleWeave", AVSValue(c));
    ASSERT_TRUE(r.IsClip());
    EXPECT_EQ(r.AsClip()->GetVideoInfo().num_frames, 8);
}

AVSValue call_self(AVSValue args, void*, IScriptEnvironment* env) {
    return env->Invoke("Recurse", args[0]);
}

TEST(Registry, EndlessRecursionIsStopped) {
    Environment env;
    env.AddFunction("Recurse", "i", call_self, nullptr);
    std::string msg = error_of([&] { call(env, "Recurse", {1}); });
    EXPECT_NE(msg.find("Recurse: function calls nested more than 200 deep"), std::string::npos)
        << msg;
    // The depth is given back: a plain call works afterwards.
    EXPECT_EQ(
        call(env, "DoubleWeave", {hosttest::stamp(env, 2)}).AsClip()->GetVideoInfo().num_frames, 4);
}

TEST(Registry, RefusesBadParameterStrings) {
    Environment env;
    std::string msg = error_of([&] { env.AddFunction("Bad", "c[x", echo_first, nullptr); });
    EXPECT_NE(msg.find("Bad"), std::string::npos) << msg;
}

TEST(Variables, LocalShadowsGlobalAndScopesNest) {
    Environment env;
    EXPECT_THROW(env.GetVar("x"), IScriptEnvironment::NotFound);
    EXPECT_FALSE(env.FindVar("x"));
    EXPECT_TRUE(env.SetGlobalVar("x", 1));
    EXPECT_EQ(env.GetVar("X").AsInt(), 1);
    EXPECT_TRUE(env.SetVar("x", 2));
    EXPECT_EQ(env.GetVar("x").AsInt(), 2);
    env.PushScope();
    EXPECT_EQ(env.GetVar("x").AsInt(), 1);  // outer locals are hidden, globals are not
    EXPECT_TRUE(env.SetVar("y", "inner"));
    env.PopScope();
    EXPECT_FALSE(env.FindVar("y"));
    EXPECT_EQ(env.GetVar("x").AsInt(), 2);
    EXPECT_FALSE(env.SetVar("", 1));
}

TEST(Variables, HoldClipsByReference) {
    Environment env;
    {
        PClip c = hosttest::stamp(env, 3);
        env.SetVar("last", c);
    }
    AVSValue v = env.GetVar("last");
    ASSERT_TRUE(v.IsClip());
    EXPECT_EQ(v.AsClip()->GetVideoInfo().num_frames, 3);
    env.SetVar("last", v);  // self-assignment through a copy keeps the clip alive
    EXPECT_EQ(env.GetVar("last").AsClip()->GetVideoInfo().num_frames, 3);
}

TEST(Errors, ThrowErrorFormatsPrintfStyle) {
    Environment env;
    std::string msg = error_of([&] { env.ThrowError("%s: %d/%u <%s>", "Qex", -3, 7u, "x"); });
    EXPECT_EQ(msg, "Qex: -3/7 <x>");
    std::string long_text(5000, 'a');
    msg = error_of([&] { env.ThrowError("%s!", long_text.c_str()); });
    EXPECT_EQ(msg.size(), 5001u);
}

TEST(Values, ReadersReturnDefaultsForOtherTypes) {
    AVSValue i(5), s("t"), b(true), f(2.5), v;
    EXPECT_EQ(i.AsInt(9), 5);
    EXPECT_EQ(s.AsInt(9), 9);
    EXPECT_STREQ(i.AsString("d"), "d");
    EXPECT_TRUE(b.AsBool(false));
    EXPECT_FALSE(i.AsBool(false));
    EXPECT_DOUBLE_EQ(i.AsFloat(0), 5.0);
    EXPECT_DOUBLE_EQ(f.AsFloat(0), 2.5);
    EXPECT_DOUBLE_EQ(s.AsFloat(1.5), 1.5);
    EXPECT_FALSE(v.Defined());
    EXPECT_EQ(v.AsInt(4), 4);
    AVSValue arr[2] = {i, s};
    AVSValue a(arr, 2);
    EXPECT_EQ(a.ArraySize(), 2);
    EXPECT_STREQ(a[1].AsString(), "t");
    EXPECT_EQ(i.ArraySize(), 1);
    EXPECT_EQ(i[0].AsInt(), 5);
}

}  // namespace
