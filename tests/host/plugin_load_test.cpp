#include "tests/common/testkit.h"
#include "tests/host/host_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace qexhost;
using hosttest::call;
using hosttest::clip;
using hosttest::error_of;
using hosttest::provenance;
using hosttest::stamp;

namespace {

namespace fs = std::filesystem;

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_STREQ(env.LoadPlugin(HOST_TEST_PLUGIN), "host test plug-in"); }
    Environment env;
};

TEST_F(PluginTest, InvokeReachesCoreFilters) {
    PClip woven = clip(env, "TestWeaveThroughInvoke", {stamp(env, 3)});
    EXPECT_EQ(woven->GetVideoInfo().num_frames, 6);
    EXPECT_EQ(provenance(env, woven)[1], std::make_pair(2u, 1u));
}

TEST_F(PluginTest, SetVarAndGetVar) {
    EXPECT_EQ(call(env, "TestSetGet", {"plugin_var", 41}).AsInt(), 42);
    EXPECT_EQ(env.GetVar("plugin_var").AsInt(), 41);
}

TEST_F(PluginTest, ThrowErrorReachesTheHostAsAvisynthError) {
    EXPECT_EQ(error_of([&] { call(env, "TestFail", {"boom"}); }), "TestFail: boom (42)");
}

TEST_F(PluginTest, PluginSeesNotFoundAndFilterErrors) {
    EXPECT_STREQ(call(env, "TestTryInvoke", {"NoSuchFunction", 1}).AsString(), "NotFound");
    EXPECT_STREQ(call(env, "TestTryInvoke", {"TestFail", "inner"}).AsString(),
                 "AvisynthError: TestFail: inner (42)");
    EXPECT_STREQ(call(env, "TestTryInvoke", {"DoubleWeave", stamp(env, 2)}).AsString(), "clip");
}

TEST_F(PluginTest, WrongTypedArgumentsCountAsAbsent) {
    PClip c = stamp(env, 2);
    EXPECT_STREQ(call(env, "TestNamed", {c, "a.def", 24, true}).AsString(),
                 "def=a.def fps=24 debug=1");
    EXPECT_STREQ(call(env, "TestNamed", {c}, {{"fps", "sixty"}, {"debug", true}}).AsString(),
                 "def=- fps=-1 debug=1");
    EXPECT_STREQ(call(env, "TestNamed", {c, 7}).AsString(), "def=- fps=-1 debug=0");
}

TEST_F(PluginTest, NewestRegistrationAnswersWithItsUserData) {
    PClip c = stamp(env, 5);
    EXPECT_EQ(call(env, "TestNewest", {c}).AsInt(), -1);
    EXPECT_EQ(call(env, "TestRegisterAgain", {c}).AsInt(), 1005);
    EXPECT_EQ(call(env, "TestNewest", {c}).AsInt(), 1005);
}

TEST_F(PluginTest, MakeWritableInAPluginLeavesSharedFramesAlone) {
    PClip blank = clip(env, "BlankClip", {},
                       {{"length", 3},
                        {"width", 8},
                        {"height", 4},
                        {"pixel_type", "YUY2"},
                        {"color_yuv", 0x508090}});
    PClip marked = clip(env, "TestMarker", {blank});
    EXPECT_EQ(marked->GetFrame(0, &env)->GetReadPtr()[0], 0xEE);
    EXPECT_EQ(blank->GetFrame(0, &env)->GetReadPtr()[0], 0x50);
    EXPECT_EQ(marked->GetFrame(2, &env)->GetReadPtr()[1], 0x80);
}

TEST_F(PluginTest, LoadingTwiceDoesNotRegisterAgain) {
    PClip c = stamp(env, 5);
    call(env, "TestRegisterAgain", {c});
    EXPECT_STREQ(env.LoadPlugin(HOST_TEST_PLUGIN), "host test plug-in");
    EXPECT_EQ(call(env, "TestNewest", {c}).AsInt(), 1005);
}

TEST(PluginLoad, ABareNameIsAFileOfTheCurrentFolder) {
    const std::filesystem::path plugin(HOST_TEST_PLUGIN);
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(plugin.parent_path());
    Environment env;
    const char* text = env.LoadPlugin(plugin.filename().string());
    std::filesystem::current_path(before);
    EXPECT_STREQ(text, "host test plug-in");
}

TEST(PluginLoad, FailuresGiveTheLoadersReason) {
    Environment env;
    std::string msg = error_of([&] { env.LoadPlugin("/nonexistent/dir/plug.so"); });
    EXPECT_NE(msg.find("LoadPlugin: unable to load \"/nonexistent/dir/plug.so\": "),
              std::string::npos)
        << msg;
    EXPECT_NE(msg.find("No such file"), std::string::npos) << msg;

    msg = error_of([&] { env.LoadPlugin(HOST_TEST_NOINIT); });
    EXPECT_NE(msg.find("no AvisynthPluginInit2"), std::string::npos) << msg;

    const qextest::TempDir scratch;
    const std::string junk = scratch.write(
        "junk.so", std::string(40, '#') + " this is not a shared library " + std::string(200, '#'));
    msg = error_of([&] { env.LoadPlugin(junk); });
    EXPECT_NE(msg.find("unable to load"), std::string::npos) << msg;
    EXPECT_NE(msg.find("invalid ELF header"), std::string::npos) << "the loader's reason: " << msg;

    msg = error_of([&] { call(env, "LoadPlugin", {"/nonexistent/x.so"}); });
    EXPECT_NE(msg.find("/nonexistent/x.so"), std::string::npos) << msg;
}

TEST(PluginLoad, ScriptFunctionLoadsAndReturnsTheDescription) {
    Environment env;
    EXPECT_STREQ(call(env, "LoadPlugin", {HOST_TEST_PLUGIN}).AsString(), "host test plug-in");
    EXPECT_TRUE(env.FunctionExists("TestFail"));
}

TEST(PluginLoad, AutoloadFolderIsLoadedOnTheFirstUnknownName) {
    const qextest::TempDir scratch;
    const fs::path dir = scratch.path();
    fs::copy_file(HOST_TEST_PLUGIN, dir / "a_test.so", fs::copy_options::overwrite_existing);
    std::ofstream(dir / "readme.txt") << "not a plug-in\n";
    Environment env;
    env.SetAutoloadDirectory(dir.string());
    EXPECT_TRUE(env.FunctionExists("DoubleWeave"));  // known names do not trigger loading
    EXPECT_TRUE(env.FunctionExists("TestSetGet"));
    EXPECT_EQ(call(env, "TestSetGet", {"v", 1}).AsInt(), 2);
}

TEST(PluginLoad, AutoloadFolderErrorsAreReported) {
    Environment env;
    env.SetAutoloadDirectory("/nonexistent/plugins");
    std::string msg = error_of([&] { env.FunctionExists("Anything"); });
    EXPECT_NE(msg.find("/nonexistent/plugins"), std::string::npos) << msg;
}

}  // namespace
