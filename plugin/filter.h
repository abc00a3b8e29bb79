// The Qex filter: registration, construction from a definition (and project) file, the three
// serving strategies, the outputs written at construction or at the end of the stream, and the
// post instance that routes frames through post filters.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "avisynth.h"
#include "plugin/model.h"
#include "plugin/serving.h"

namespace qex {

class VfrInfoMap;
class VfrOut;

// A variable-rate Qex has built the shared rate block in this process (the block then stays
// until the process ends). A block of that name left by a dead process with the same id does
// not count.
bool rate_block_built();

class Qex : public GenericVideoFilter {
  public:
    // Main instance: builds everything from the script arguments.
    Qex(AVSValue args, IScriptEnvironment* env);
    // Post instance around the main instance `parent` (args[0] is that instance as a clip).
    Qex(AVSValue args, Qex* parent, IScriptEnvironment* env);
    ~Qex() override;

    PVideoFrame GetFrame(int n, IScriptEnvironment* env) override;

    bool has_post() const { return has_post_; }
    std::uint64_t serial() const { return serial_; }

  private:
    enum class Strategy { kConstant, kVariable, kOpt, kPost };

    void read_arguments(const AVSValue& args, IScriptEnvironment* env);
    void set_output_rate();
    void read_project_argument(const std::string& path, IScriptEnvironment* env);
    void read_definition(const std::string& path, IScriptEnvironment* env);
    void build_woven_clip(IScriptEnvironment* env);
    void build_alias_clips(IScriptEnvironment* env);
    void set_up_shared_memory(IScriptEnvironment* env);
    void write_outputs(int32_t limit, IScriptEnvironment* env);
    [[noreturn]] void report(int code, IScriptEnvironment* env) const;

    PClip& clip_of(const FetchChoice& c);
    PVideoFrame fetch(const FetchChoice& c, IScriptEnvironment* env);
    PVideoFrame serve_constant(int n, IScriptEnvironment* env);
    PVideoFrame serve_variable(int n, IScriptEnvironment* env);
    PVideoFrame serve_opt(int n, IScriptEnvironment* env);
    void advance_opt(int32_t n, IScriptEnvironment* env);  // opt: request n came in order
    PVideoFrame serve_post(int n, IScriptEnvironment* env);
    void publish(int32_t n, const FetchChoice& c, bool past_end);
    void debug_hook(int32_t n, PVideoFrame& frame, int32_t k, IScriptEnvironment* env);

    Qex* parent_ = nullptr;
    std::uint64_t serial_ = 0;
    Strategy strategy_ = Strategy::kConstant;
    PClip woven_;
    std::string expression_;  // last alias or post expression built
    int fps_code_ = 0;
    bool debug_ = false;
    int posx_ = 0;
    int posy_ = 0;
    std::string def_path_;
    std::string tpr_path_;
    std::string chapter_path_;
    std::string output_path_;
    int opt_ = 0;
    bool has_post_ = false;

    std::unique_ptr<QexModel> model_;
    std::array<std::array<PClip, kAliasPhases>, kMaxAliases> clips_;
    std::array<PClip, kMaxAliases> post_clips_;  // post instance: the clip of each post alias
    VfrInfoMap* publisher_ = nullptr;            // process-wide, not owned
    std::unique_ptr<VfrOut> verdicts_;
    OptState opt_state_;
};

}  // namespace qex
