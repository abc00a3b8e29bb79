#include "scan.h"

#include "env.h"
#include "marks.h"
#include "measure.h"
#include "script.h"
#include "text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace qexscan {

std::string checkThresholds(const Thresholds& t) {
    if (t.comb < 1 || t.comb > 255) return "the comb threshold must be from 1 to 255";
    if (t.block < 0 || t.block > 255) return "the block threshold must be from 0 to 255";
    if (!(t.wide >= 0 && t.wide <= 1)) return "the wide share must be from 0 to 1";
    if (!(t.noise >= 0 && t.noise <= 255)) return "the noise threshold must be from 0 to 255";
    if (!(t.relative >= 1 && t.relative <= 1000))
        return "the relative factor must be from 1 to 1000";
    return {};
}

namespace {

// One frame held while the units that read it run.
struct Held {
    PVideoFrame frame;
    Plane luma;
    Plane u, v;                // the chroma planes, when they are judged too
    std::vector<uint8_t> own;  // luma copied out of a packed picture
};

// The planes a frame is judged on: Y, U and V of a planar picture, or the luma (the even bytes)
// of a YUY2 picture.
void planesOf(const VideoInfo& vi, Held& h) {
    const VideoFrame& f = *h.frame;
    if (vi.IsPlanar()) {
        h.luma = {f.GetReadPtr(PLANAR_Y), f.GetPitch(PLANAR_Y), vi.width, vi.height};
        h.u = {f.GetReadPtr(PLANAR_U), f.GetPitch(PLANAR_U), vi.width / 2, vi.height / 2};
        h.v = {f.GetReadPtr(PLANAR_V), f.GetPitch(PLANAR_V), vi.width / 2, vi.height / 2};
        return;
    }
    h.own.resize(size_t(vi.width) * size_t(vi.height));
    const BYTE* src = f.GetReadPtr();
    for (int y = 0; y < vi.height; ++y) {
        const BYTE* s = src + ptrdiff_t(y) * f.GetPitch();
        uint8_t* d = h.own.data() + size_t(y) * size_t(vi.width);
        for (int x = 0; x < vi.width; ++x) d[x] = s[2 * x];
    }
    h.luma = {h.own.data(), vi.width, vi.width, vi.height};
}

class Scanner {
  public:
    Scanner(PClip clip, IScriptEnvironment* env, const ScanOptions& opt, const ProgressFn& progress)
        : clip_(clip), env_(env), opt_(opt), progress_(progress), vi_(clip->GetVideoInfo()) {}

    ScanResult run();

  private:
    void worker();
    // sads: the block sums of fields 2n, 2n + 1 and 2n + 2 against two fields earlier, and a
    // spare buffer.
    void unit(int64_t n, CombScratch& scratch, std::vector<uint32_t> (&sads)[4]);
    const Held& held(int64_t n) const { return window_[size_t(n % int64_t(window_.size()))]; }
    Plane field(int64_t f) const {
        // Field f is the first (even f) or second field of frame f / 2; the first field is the
        // top one (even rows) of a top-field-first clip.
        const int first = tff_ ? 0 : 1;
        return fieldOf(held(f / 2).luma, (f % 2 == 0) ? first : 1 - first);
    }
    void report(bool last);

    PClip clip_;
    IScriptEnvironment* env_;
    ScanOptions opt_;
    const ProgressFn& progress_;
    VideoInfo vi_;
    bool tff_ = false;
    int64_t frames_ = 0;

    std::vector<Held> window_;
    std::vector<EntryMeasure> measures_;
    // The sums of field 2n + 2 made by unit n, handed over to unit n + 1 (slot n + 1), which
    // makes them itself when they are not there (yet).
    struct Handover {
        int64_t field = -1;
        std::vector<uint32_t> sums;
    };
    std::vector<Handover> handovers_;
    std::mutex handover_mu_;
    std::vector<char> done_;

    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<int64_t> queue_;
    int64_t finished_ = 0;  // units 0 .. finished_ - 1 are all done
    bool stop_ = false;
    std::exception_ptr failure_;

    std::chrono::steady_clock::time_point start_, shown_;
};

void Scanner::unit(int64_t n, CombScratch& scratch, std::vector<uint32_t> (&sads)[4]) {
    const Thresholds& t = opt_.thresholds;
    // The even rows of `top` woven with the odd rows of `bottom`.
    auto comb = [&](const Held& top, const Held& bottom) {
        CombMeasure m = measureComb({top.luma, bottom.luma}, t.comb, t.block, scratch);
        if (opt_.chroma && top.u.data) {
            m = moreCombed(m, measureComb({top.u, bottom.u}, t.comb, t.block, scratch));
            m = moreCombed(m, measureComb({top.v, bottom.v}, t.comb, t.block, scratch));
        }
        return m;
    };
    // Field f against field f - 2 (f = 2n + k), for the fields of entries 2n and 2n + 1.
    const int64_t lastField = 2 * frames_ - 1;
    auto sums = [&](int k) {
        sads[k].clear();
        const int64_t f = 2 * n + k;
        return f >= 2 && f <= lastField ? fieldBlockSad(field(f), field(f - 2), sads[k]) : 0;
    };
    // Field 2n + 2 comes first, handed over at once as field 2n of unit n + 1.
    sums(2);
    if (2 * n + 2 <= lastField) {
        sads[3] = sads[2];
        std::lock_guard lock(handover_mu_);
        Handover& h = handovers_[size_t((n + 1) % int64_t(handovers_.size()))];
        std::swap(h.sums, sads[3]);
        h.field = 2 * n + 2;
    }
    const Held& cur = held(n);
    measures_[size_t(2 * n)].comb = comb(cur, cur);
    const bool hasNext = n + 1 < frames_;
    if (hasNext) {
        const Held& next = held(n + 1);
        measures_[size_t(2 * n + 1)].comb = tff_ ? comb(next, cur) : comb(cur, next);
    }
    if (n < 1) return;
    const int blocksX = sums(1);
    bool handed = false;
    {
        std::lock_guard lock(handover_mu_);
        Handover& h = handovers_[size_t(n % int64_t(handovers_.size()))];
        if (h.field == 2 * n) {
            std::swap(h.sums, sads[0]);
            h.field = -1;
            handed = true;
        }
    }
    if (!handed) sums(0);
    const int fieldHeight = field(2 * n).height;
    measures_[size_t(2 * n)].change =
        busiestChange(sads[0], sads[1], blocksX, vi_.width, fieldHeight);
    measures_[size_t(2 * n + 1)].change =
        busiestChange(sads[1], hasNext ? sads[2] : sads[1], blocksX, vi_.width, fieldHeight);
}

void Scanner::worker() {
    CombScratch scratch;
    std::vector<uint32_t> sads[4];
    for (;;) {
        int64_t n;
        {
            std::unique_lock lock(mu_);
            work_cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            n = queue_.front();
            queue_.pop_front();
        }
        try {
            unit(n, scratch, sads);
        } catch (...) {
            std::lock_guard lock(mu_);
            if (!failure_) failure_ = std::current_exception();
        }
        {
            std::lock_guard lock(mu_);
            done_[size_t(n)] = 1;
            while (finished_ < frames_ && done_[size_t(finished_)]) ++finished_;
        }
        done_cv_.notify_all();
    }
}

void Scanner::report(bool last) {
    if (!progress_) return;
    auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(250)) return;
    shown_ = now;
    int64_t done;
    {
        std::lock_guard lock(mu_);
        done = finished_;
    }
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double fps = secs > 0 ? double(done) / secs : 0.0;
    const double left = fps > 0 ? double(frames_ - done) / fps : 0.0;
    progress_(Progress{done, frames_, fps, left});
}

ScanResult Scanner::run() {
    ScanResult r;
    frames_ = vi_.num_frames;
    if (frames_ <= 0) {
        r.error = "the clip has no frames";
        return r;
    }
    if (!(vi_.IsPlanar() && (vi_.IsYV12() || vi_.IsI420())) && !vi_.IsYUY2()) {
        r.error = "the clip is not YUV (YV12, I420 or YUY2)";
        return r;
    }
    if (vi_.width < 1 || vi_.height < 6) {
        r.error = "the picture is too small to analyse (" + std::to_string(vi_.width) + "x" +
                  std::to_string(vi_.height) + ")";
        return r;
    }
    if (std::string why = checkThresholds(opt_.thresholds); !why.empty()) {
        r.error = why;
        return r;
    }
    tff_ = clip_->GetParity(0);
    int threads = opt_.threads > 0 ? opt_.threads : int(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 64);
    window_.resize(size_t(2 * threads + 4));
    handovers_.resize(window_.size());
    measures_.assign(size_t(2 * frames_), EntryMeasure{});
    done_.assign(size_t(frames_), 0);
    start_ = shown_ = std::chrono::steady_clock::now();

    std::vector<std::thread> pool;
    auto finish = [&] {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        work_cv_.notify_all();
        for (auto& t : pool) t.join();
        pool.clear();
        for (auto& h : window_) h = Held{};
    };
    auto submit = [&](int64_t n) {
        {
            std::lock_guard lock(mu_);
            queue_.push_back(n);
        }
        work_cv_.notify_one();
    };
    try {
        for (int i = 0; i < threads; ++i) pool.emplace_back([this] { worker(); });
        const int64_t W = int64_t(window_.size());
        int64_t released = 0;  // frames 0 .. released - 1 are let go
        for (int64_t n = 0; n < frames_; ++n) {
            int64_t fin;
            {
                // Frame n takes the slot of frame n - W, which units up to n - W + 1 read.
                std::unique_lock lock(mu_);
                done_cv_.wait(lock, [&] { return failure_ || finished_ >= n - W + 2; });
                if (failure_) break;
                fin = finished_;
            }
            for (; released <= fin - 2 && released < n; ++released)
                window_[size_t(released % W)] = Held{};
            Held& h = window_[size_t(n % W)];
            try {
                h.frame = clip_->GetFrame(int(n), env_);
                if (!h.frame) throw std::runtime_error("a filter gave no frame");
                if (h.frame->GetRowSize() < (vi_.IsYUY2() ? 2 * vi_.width : vi_.width) ||
                    h.frame->GetHeight() < vi_.height)
                    throw std::runtime_error("a filter gave a frame smaller than the clip");
            } catch (const AvisynthError& e) {
                throw std::runtime_error("frame " + std::to_string(n) + ": " +
                                         (e.msg ? e.msg : "error without a message"));
            } catch (const IScriptEnvironment::NotFound&) {
                throw std::runtime_error("frame " + std::to_string(n) +
                                         ": a filter called a function that does not exist");
            } catch (const std::runtime_error& e) {
                throw std::runtime_error("frame " + std::to_string(n) + ": " + e.what());
            }
            planesOf(vi_, h);
            if (n >= 1) submit(n - 1);
            report(false);
        }
        {
            std::unique_lock lock(mu_);
            if (!failure_) {
                queue_.push_back(frames_ - 1);
                work_cv_.notify_one();
            }
            done_cv_.wait(lock, [&] { return failure_ || finished_ == frames_; });
        }
        finish();
        if (failure_) std::rethrow_exception(failure_);
    } catch (const std::bad_alloc&) {
        finish();
        r.error = "not enough memory";
        return r;
    } catch (const std::exception& e) {
        finish();
        r.error = e.what();
        return r;
    }
    report(true);
    r.log = formatLog(decideMarks(measures_, opt_.thresholds), frames_, opt_.mode);
    r.frames = frames_;
    r.ok = true;
    return r;
}

bool hasExtension(const std::string& path, std::string_view ext) {
    return path.size() > ext.size() &&
           qextext::iequals(std::string_view(path).substr(path.size() - ext.size()), ext);
}

}  // namespace

ScanResult scanClip(PClip clip, IScriptEnvironment* env, const ScanOptions& opt,
                    const ProgressFn& progress) {
    if (!clip) {
        ScanResult r;
        r.error = "no clip";
        return r;
    }
    return Scanner(clip, env, opt, progress).run();
}

ScanResult scanFile(const std::string& input, const ScanOptions& opt, const ProgressFn& progress) {
    ScanResult r;
    qexhost::Environment env;
    qexhost::ScriptEngine engine(env);
    PClip clip;
    try {
        if (hasExtension(input, ".avs")) {
            // The script runs in its own folder, so that relative paths in it are its own.
            const size_t slash = input.find_last_of('/');
            std::string dir = slash == std::string::npos ? "." : input.substr(0, slash + 1);
            int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (here < 0 || ::chdir(dir.c_str()) != 0) {
                if (here >= 0) ::close(here);
                r.error = input + ": cannot open the script's folder";
                return r;
            }
            AVSValue v;
            std::string failed;
            try {
                v = engine.run_file(input.substr(slash == std::string::npos ? 0 : slash + 1),
                                    input);
            } catch (const AvisynthError& e) {
                failed = e.msg ? e.msg : "script error without a message";
            }
            const bool back = ::fchdir(here) == 0;
            ::close(here);
            if (!back) {
                r.error = "cannot return to the working folder";
                return r;
            }
            if (!failed.empty()) {
                r.error = failed;
                return r;
            }
            if (!v.IsClip()) {
                r.error = input + ": the script gives " + qexhost::type_name(v) + ", not a clip";
                return r;
            }
            clip = v.AsClip();
        } else {
            const char* source = hasExtension(input, ".y4m") ? "Y4MSource" : "VideoSource";
            try {
                clip = env.Invoke(source, AVSValue(input.c_str())).AsClip();
            } catch (const IScriptEnvironment::NotFound&) {
                r.error = input + ": this build has no " + source + " to open it";
                return r;
            }
        }
    } catch (const AvisynthError& e) {
        r.error = e.msg ? e.msg : "error without a message";
        return r;
    }
    r = scanClip(clip, &env, opt, progress);
    if (!r.ok && !r.error.empty()) r.error = input + ": " + r.error;
    return r;
}

}  // namespace qexscan
