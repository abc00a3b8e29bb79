#include "cli/input.h"

#include "cli/errors.h"
#include "common/text.h"
#include "host/env.h"
#include "script/script.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace qexcli {

namespace {

bool has_extension(const std::string& path, std::string_view ext) {
    return path.size() > ext.size() &&
           qextext::iequals(std::string_view(path).substr(path.size() - ext.size()), ext);
}

// Returns to the folder it was made in when destroyed, unless released.
class FolderKeeper {
  public:
    FolderKeeper() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~FolderKeeper() {
        if (fd_ >= 0) {
            [[maybe_unused]] const int ignored = ::fchdir(fd_);
            ::close(fd_);
        }
    }
    FolderKeeper(const FolderKeeper&) = delete;
    FolderKeeper& operator=(const FolderKeeper&) = delete;
    bool ok() const { return fd_ >= 0; }
    // Goes back now; false when that failed.
    bool back() {
        const bool done = ::fchdir(fd_) == 0;
        ::close(fd_);
        fd_ = -1;
        return done;
    }

  private:
    int fd_;
};

}  // namespace

InputKind input_kind(const std::string& path) {
    if (has_extension(path, ".avs")) return InputKind::kScript;
    if (has_extension(path, ".y4m")) return InputKind::kY4m;
    return InputKind::kRecording;
}

const char* source_function(InputKind kind) {
    return kind == InputKind::kY4m ? "Y4MSource" : "VideoSource";
}

PClip run_script_in_folder(qexhost::ScriptEngine& engine, const std::string& path,
                           AfterScript after) {
    std::string dir, file = path;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        file = path.substr(slash + 1);
    }
    std::optional<FolderKeeper> here;
    if (after == AfterScript::kReturn) {
        here.emplace();
        if (!here->ok())
            throw Failure{"cannot find the working folder: " + std::string(std::strerror(errno))};
    }
    if (!dir.empty() && ::chdir(dir.c_str()) != 0)
        throw Failure{"cannot open the script " + path + ": " + std::strerror(errno)};
    AVSValue result;
    try {
        result = engine.run_file(file, path);
    } catch (const AvisynthError& e) {
        throw Failure{e.msg ? e.msg : "script error without a message"};
    }
    if (here && !here->back()) throw Failure{"cannot return to the working folder"};
    if (!result.IsClip())
        throw Failure{path + ": the script gives " + qexhost::type_name(result) + ", not a clip"};
    return result.AsClip();
}

OpenedInput open_input(const std::string& path, qexhost::Environment& env,
                       qexhost::ScriptEngine& engine,
                       const std::function<PClip(const std::string&)>& open_recording) {
    OpenedInput in;
    in.kind = input_kind(path);
    if (in.kind == InputKind::kScript) {
        in.clip = run_script_in_folder(engine, path, AfterScript::kReturn);
        return in;
    }
    if (in.kind == InputKind::kRecording && open_recording) {
        in.clip = open_recording(path);
        return in;
    }
    const char* source = source_function(in.kind);
    try {
        in.clip = env.Invoke(source, AVSValue(path.c_str())).AsClip();
    } catch (const IScriptEnvironment::NotFound&) {
        throw Failure{path + ": this build has no " + source + " to open it"};
    } catch (const AvisynthError& e) {
        throw Failure{e.msg ? e.msg : "error without a message"};
    }
    return in;
}

}  // namespace qexcli
