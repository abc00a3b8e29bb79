// The script environment of the stand-in host: function registry, variables, frames and
// plug-in loading.
#pragma once

#include "avisynth.h"

#include <cstdarg>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qexhost {

// One parameter of a function signature such as "c[def]s[fps]i[debug]b".
struct ParamSpec {
    char type = '.';      // c i f s b or . (any)
    char repeat = 0;      // 0, '*' (zero or more) or '+' (one or more)
    bool optional = false;
    std::string name;     // the [name] of an optional parameter, may be empty
};

// Parses a parameter string. Returns nullopt when it is malformed.
std::optional<std::vector<ParamSpec>> parse_params(std::string_view params);

// True when a value of script type `t` ('c', 'i', ...) can fill a parameter of type `want`
// (an int fills a float parameter).
bool type_fits(char want, const AVSValue& v);

// Binds arguments to parameters. Positional values fill the parameters in order (optional ones
// included); named values fill the optional parameter of that name (names compare ignoring
// case). A value of the wrong type for an optional parameter counts as absent. Returns the
// argument array (one slot per parameter; repeated parameters become arrays kept in `storage`),
// or nullopt when the arguments do not fit: a required parameter missing or of the wrong type,
// too many values, an unknown or repeated name.
struct BoundArgs {
    std::vector<AVSValue> slots;
    std::deque<std::vector<AVSValue>> storage;  // element arrays of the repeated parameters
};
std::optional<BoundArgs> bind_args(const std::vector<ParamSpec>& params,
                                   const std::vector<AVSValue>& positional,
                                   const std::vector<std::pair<std::string, AVSValue>>& named);

struct FunctionDef {
    std::string name;
    std::string params;  // as registered
    std::vector<ParamSpec> specs;
    IScriptEnvironment::ApplyFunc apply = nullptr;
    void* user_data = nullptr;
};

class Environment : public IScriptEnvironment {
public:
    Environment();
    ~Environment() override;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // --- IScriptEnvironment ---
    char* SaveString(const char* s, int length = -1) override;
    const char* VSprintf(const char* fmt, va_list args) override;
    void AddFunction(const char* name, const char* params, ApplyFunc apply,
                     void* user_data) override;
    bool FunctionExists(const char* name) override;
    AVSValue Invoke(const char* name, const AVSValue args,
                    const char* const* arg_names = nullptr) override;
    AVSValue GetVar(const char* name) override;
    bool SetVar(const char* name, const AVSValue& val) override;
    bool SetGlobalVar(const char* name, const AVSValue& val) override;
    PVideoFrame NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) override;
    bool MakeWritable(PVideoFrame* pvf) override;
    void BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                int height) override;

    // --- for the evaluator and qexpipe ---
    // The registrations of a name, newest first (names compare ignoring case); empty when none.
    std::vector<const FunctionDef*> Lookup(std::string_view name);

    // Calls the newest registration of `name` that accepts the arguments. Returns nullopt when
    // the name is unknown or no registration accepts them (Invoke throws NotFound instead).
    // Errors raised by the function propagate.
    std::optional<AVSValue> TryCall(std::string_view name, const std::vector<AVSValue>& positional,
                                    const std::vector<std::pair<std::string, AVSValue>>& named);

    // Variable lookup without exceptions.
    std::optional<AVSValue> FindVar(std::string_view name) const;

    // Local variable scopes: the script's top level is the outermost one.
    void PushScope();
    void PopScope();

    // Loads a plug-in (dlopen + AvisynthPluginInit2) and returns its description text. A plug-in
    // already loaded is not initialised again. Errors (with the loader's reason) are thrown as
    // AvisynthError.
    const char* LoadPlugin(const std::string& path);
    // Every *.so in `dir` is loaded, in name order, the first time a function name is not found
    // (or at once through AutoloadPlugins). An empty dir disables autoloading.
    void SetAutoloadDirectory(std::string dir);
    void AutoloadPlugins();

private:
    const FunctionDef* Resolve(std::string_view name, const std::vector<AVSValue>& positional,
                               const std::vector<std::pair<std::string, AVSValue>>& named,
                               BoundArgs* bound);

    struct Registry;
    std::unique_ptr<Registry> reg_;
    std::deque<std::string> strings_;
    std::map<std::string, AVSValue> globals_;
    std::vector<std::map<std::string, AVSValue>> scopes_;
    std::vector<void*> plugins_;
    std::vector<const char*> plugin_texts_;
    std::string autoload_dir_;
    bool autoloaded_ = false;
    int call_depth_ = 0;

public:
    // Deepest nesting of function calls (a function that calls itself without end is stopped).
    static constexpr int kMaxCallDepth = 200;
};

}  // namespace qexhost
