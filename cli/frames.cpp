#include "cli/frames.h"

#include <exception>
#include <new>

namespace qexcli {

std::string current_failure_text() {
    try {
        throw;
    } catch (const AvisynthError& e) {
        return e.msg ? e.msg : "error without a message";
    } catch (const IScriptEnvironment::NotFound&) {
        return "a filter called a function that does not exist";
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    }
}

PVideoFrame pull_frame(const PClip& clip, int n, IScriptEnvironment* env) {
    PVideoFrame frame;
    try {
        frame = clip->GetFrame(n, env);
    } catch (...) {
        throw FrameError(n, current_failure_text());
    }
    if (!frame) throw FrameError(n, "a filter gave no frame");
    return frame;
}

}  // namespace qexcli
