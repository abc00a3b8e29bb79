#include "plugin/qexcut.h"

#include <algorithm>
#include <new>
#include <span>

#include "plugin/filter.h"
#include "plugin/model.h"
#include "plugin/outputs.h"
#include "plugin/platform.h"
#include "plugin/serving.h"
#include "plugin/vfrinfo.h"

namespace qex {
namespace {

constexpr const char* kName = "QexCut";

}  // namespace

QexCut::QexCut(AVSValue args, IScriptEnvironment* env) : GenericVideoFilter(args[0].AsClip()) {
    state_.end = vi.num_frames - 1;
    child->SetCacheHints(0, 0);
    reader_ = std::make_unique<VfrInfoOut>();
    if (!rate_block_built() || !reader_->ok())
        env->ThrowError("%s: requires using qex filter.", kName);
    timecodes_path_ = args[1].AsString("");
    try {
        times_.assign(size_t(vi.num_frames > 0 ? vi.num_frames : 0), 0);
    } catch (const std::bad_alloc&) {
        env->ThrowError("%s: not enough memory.", kName);
    } catch (const std::length_error&) {
        env->ThrowError("%s: not enough memory.", kName);
    }
    reader_->set_active(true);
}

QexCut::~QexCut() {
    if (reader_) reader_->set_active(false);
}

PVideoFrame QexCut::GetFrame(int n, IScriptEnvironment* env) {
    const int32_t frames = vi.num_frames;
    if (state_.position >= state_.end) {
        // The stream has ended: the entry is cleared so nobody reads the frame as part of it.
        if (reader_->active()) reader_->clear_duration(n);
        return child->GetFrame(clamp_frame(state_.end, frames), env);
    }
    if (n != state_.last_requested + 1) {
        platform::error_box("no sequential frame access", kName);
        return child->GetFrame(clamp_frame(state_.position, frames), env);
    }
    state_.last_requested = n;
    state_.position += 1;
    const int32_t p = state_.position;
    // Qex upstream serves, and publishes, this frame and the next one in order.
    child->GetFrame(p, env);
    if (p + 1 < frames) child->GetFrame(p + 1, env);
    if (reader_->duration(p + 1) == 0) state_.end = p;
    state_.total += reader_->duration(p);
    if (n >= 0 && n < int32_t(times_.size()))
        times_[size_t(n)] = tick_time_ms(state_.total, vi.fps_numerator, vi.fps_denominator);
    if (p >= state_.end) {
        if (!timecodes_path_.empty()) {
            const size_t lines = std::min(size_t(n) + 1, times_.size());
            write_end_timecodes(timecodes_path_, std::span<const uint64_t>(times_.data(), lines));
        }
        platform::signal_end_of_stream();
    }
    return child->GetFrame(clamp_frame(p, frames), env);
}

AVSValue CreateQexCut(AVSValue args, void*, IScriptEnvironment* env) {
    return AVSValue(new QexCut(args, env));
}

}  // namespace qex
