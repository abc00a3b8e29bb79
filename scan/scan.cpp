#include "scan/scan.h"

#include "cli/frames.h"
#include "media/register.h"
#include "media/videoindex.h"
#include "media/videosource.h"
#include "scan/marks.h"
#include "scan/measure.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qexscan {

std::string checkThresholds(const Thresholds& t) {
    if (t.comb < 1 || t.comb > 255) return "the comb threshold must be from 1 to 255";
    if (t.block < 0 || t.block > 255) return "the block threshold must be from 0 to 255";
    if (!(t.wide >= 0 && t.wide <= 1)) return "the wide share must be from 0 to 1";
    if (!(t.noise >= 0 && t.noise <= 255)) return "the noise threshold must be from 0 to 255";
    if (!(t.relative >= 0 && t.relative <= 100)) return "the relative factor must be from 0 to 100";
    if (t.excess < 0 || t.excess > 65535) return "the excess threshold must be from 0 to 65535";
    if (t.absolute < 0 || t.absolute > 256) return "the absolute threshold must be from 0 to 256";
    return {};
}

namespace {

// One frame held while the units that read it run.
struct Held {
    PVideoFrame frame;
    Plane luma;
    Plane u, v;                // the chroma planes, when they are judged too
    std::vector<uint8_t> own;  // luma copied out of a packed picture
    // The hash of the frame's picture, when the index leaves it to the analysis.
    std::shared_ptr<qexhost::PendingHash> hash;
};

// Bytes a pixel takes in a packed picture (YUY2, RGB24, RGB32).
int packedStep(const VideoInfo& vi) {
    return vi.IsRGB32() ? 4 : vi.IsRGB24() ? 3 : 2;
}

// The planes a frame is judged on: Y, U and V of a planar picture, the luma (the even bytes) of
// a YUY2 picture, or the luma of an RGB picture (stored bottom-up) by BT.601's weights.
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
    const int step = packedStep(vi);
    for (int y = 0; y < vi.height; ++y) {
        uint8_t* d = h.own.data() + size_t(y) * size_t(vi.width);
        if (step == 2) {
            const BYTE* s = src + ptrdiff_t(y) * f.GetPitch();
            for (int x = 0; x < vi.width; ++x) d[x] = s[2 * x];
            continue;
        }
        const BYTE* s = src + ptrdiff_t(vi.height - 1 - y) * f.GetPitch();
        for (int x = 0; x < vi.width; ++x, s += step)
            d[x] = uint8_t(16 + ((66 * s[2] + 129 * s[1] + 25 * s[0] + 128) >> 8));
    }
    h.luma = {h.own.data(), vi.width, vi.width, vi.height};
}

// The analysis workers give way to the decoding that feeds them: the decoder's threads work in
// step on each picture, so any of them kept waiting for a core holds up the others; at the
// lowest priority the workers take the time the decoder leaves. When they get none (other work
// on the machine), the pushing thread runs their jobs (Scanner::waitFinished).
void giveWay() {
#ifdef __linux__
    setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), 19);  // this thread alone
#endif
}

// The picture's hash, its luma rows taken as the measures read them when they are the hash's
// first plane.
struct Hashing {
    const qexhost::PendingHash* pending = nullptr;
    qexhost::PictureHash hash;
    int rows = 0;  // of the first plane hashed
};

// Measures the frames of a clip handed to it in order (push()), with the analysis on a pool of
// worker threads over a window of frames, and makes the log at the end (finish()).
class Scanner {
  public:
    Scanner(const ScanOptions& opt, const ProgressFn& progress) : opt_(opt), progress_(progress) {}
    ~Scanner() { stopWorkers(); }
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Checks the clip and starts the workers; an empty string or what is wrong. `total` is the
    // frame count when known (0: estimated from the part of the input read).
    // `measureOther`: also weave each frame's second field with the next frame's first in the
    // other field order, for the vote on the order (voteFieldOrder).
    std::string begin(const VideoInfo& vi, bool tff, int64_t total, bool measureOther = false);
    // Frame n (0, 1, 2, ...); `fraction` is the part of the input read so far. Throws
    // std::runtime_error when the analysis failed.
    void push(int64_t n, PVideoFrame frame, double fraction = 0,
              std::shared_ptr<qexhost::PendingHash> hash = nullptr);
    // Measures every frame pushed (and computes their hashes); no frame may follow.
    void drain();
    // The log of the frames pushed. Throws std::runtime_error when the analysis failed.
    ScanResult finish();

    bool begun() const { return !window_.empty(); }
    // Whether the other field order was measured too (begin()'s `measureOther`).
    bool measuredOther() const { return measureOther_; }
    // After finish(): the vote on the field order (when the other order was measured).
    const OrderVote& vote() const { return vote_; }
    bool tff() const { return tff_; }
    int64_t pushed() const { return pushed_; }

  private:
    struct Unit {
        int64_t n;
        bool hasNext;  // frame n + 1 exists
    };
    // The units a worker runs together: one, or two in a row (n and n + 1), whose frames are
    // measured in one pass down their rows, so that the rows they share are read once.
    struct Job {
        Unit units[2];
        int count;
    };
    // A job as its runner has it: the frames its units read (held here too, so that a runner
    // that is late keeps them while the window moves on), and what it gives for each unit,
    // published into the slots by the first runner to finish.
    struct Run {
        Job job{};
        std::shared_ptr<const Held> frames[4];  // units[0].n - 1 .. units[0].n + 2
        const Held* held(int64_t n) const { return frames[n - job.units[0].n + 1].get(); }
        struct Result {
            EntryMeasure entries[2];
            FrameMeasures frame;
            uint64_t hash = 0;
        } results[2];
    };
    // A frame held while the units that read it run, and the measures of unit n (entries 2n
    // and 2n + 1), once published.
    struct Slot {
        std::shared_ptr<const Held> held;
        EntryMeasure entries[2];
        // Of frame n: its own picture (entry 2n) and its weave with frame n + 1 (entry 2n + 1),
        // whose block excess (ownSums, crossSums) includes the chroma planes when they are
        // judged; its row sums; the field sums of fields 2n + 1 and 2n + 2 against two fields
        // earlier.
        FrameMeasures frame;
        bool hasNext = false;
        bool done = false;
    };

    // `low`: the worker gives way to the decoding (giveWay), and leaves once hurried_.
    void worker(bool low);
    // Takes `job` to run into `r` (under mu_): the frames its units read.
    void take(const Job& job, Run& r);
    // Runs r.job and publishes what it gives, unless another runner did so first.
    void runJob(Run& r, CombScratch* scratch);
    void run(Run& r, CombScratch* scratch);
    // The rest of the i-th unit of r once its frame is measured: the hash, chroma, the measures
    // of its own.
    void finishUnit(Run& r, int i, Hashing& hashing, CombScratch& scratch);
    // Waits (holding `lock` on mu_) until units up to `upto` are all done or the analysis
    // failed, running queued jobs on this thread meanwhile.
    void waitFinished(std::unique_lock<std::mutex>& lock, int64_t upto);
    Slot& slot(int64_t n) { return window_[size_t(n % int64_t(window_.size()))]; }
    // Submits unit u, paired with the one held before it, or held to be paired with the next
    // (unless `last`).
    void submit(const Unit& u, bool last = false);
    // Moves the measures of units up to `finished` (all done) to measures_. Only the thread that
    // pushes calls it, and no worker writes those units' slots, so it runs without mu_.
    void collect(int64_t finished);
    void rethrow();
    void stopWorkers();
    void report(bool last, double fraction);

    ScanOptions opt_;
    const ProgressFn& progress_;
    VideoInfo vi_{};
    bool tff_ = false;
    bool measureOther_ = false;
    OrderVote vote_;
    int64_t total_ = 0;
    int64_t pushed_ = 0;

    std::vector<Slot> window_;
    std::vector<EntryMeasure> measures_;  // of the units collected
    std::vector<uint16_t> lastCounts_;    // the block excess of the last entry collected
    std::vector<int32_t> lastRowSums_;    // the row sums of the last frame collected
    std::vector<uint32_t> lastFirstSad_;  // the field sums of the first field of the next unit
    std::vector<std::thread> pool_;

    std::mutex mu_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<Job> queue_;
    std::vector<Job> running_;  // jobs the workers are running
    // The frames runners let go of, released by the pushing thread: a frame's count of holders
    // is not shared between threads, so only the thread that pushes it may let the last go.
    std::vector<std::shared_ptr<const Held>> dropped_;
    int64_t rerun_ = -1;         // the first unit of the job last run again by the pushing thread
    bool hurried_ = false;       // workers at the normal priority replace those that give way
    CombScratch ownScratch_[2];  // the pushing thread's, when it runs jobs
    Run ownRun_;
    std::optional<Unit> held_;  // a unit waiting for the next to be paired with (pushing thread)
    int64_t finished_ = 0;      // units 0 .. finished_ - 1 are all done
    bool drained_ = false;      // the last unit is submitted
    int64_t released_ = 0;      // frames 0 .. released_ - 1 are let go
    bool stop_ = false;
    std::exception_ptr failure_;

    std::chrono::steady_clock::time_point start_, shown_;
};

void Scanner::take(const Job& job, Run& r) {
    r.job = job;
    const int64_t n0 = job.units[0].n;
    const int64_t last = job.units[job.count - 1].n + (job.units[job.count - 1].hasNext ? 1 : 0);
    for (int64_t k = n0 - 1; k <= n0 + 2; ++k)
        r.frames[k - n0 + 1] = k >= 0 && k <= last ? slot(k).held : nullptr;
}

void Scanner::run(Run& r, CombScratch* scratch) {
    const Thresholds& t = opt_.thresholds;
    const Job& job = r.job;
    FrameRows rows[2];
    Hashing hashing[2];
    FrameMeasures* measures[2];
    for (int i = 0; i < job.count; ++i) {
        const Unit& u = job.units[i];
        const int64_t n = u.n;
        const Held& cur = *r.held(n);
        const Held* next = u.hasNext ? r.held(n + 1) : nullptr;
        measures[i] = &r.results[i].frame;
        rows[i] = FrameRows{cur.luma, n >= 1 ? &r.held(n - 1)->luma : nullptr,
                            next ? &next->luma : nullptr, tff_};
        hashing[i].pending = cur.hash.get();
        const qexhost::PendingHash::Rows* first = cur.hash ? &cur.hash->planes[0] : nullptr;
        if (first && cur.hash->plane_count > 0 && first->data == cur.luma.data &&
            first->pitch == cur.luma.pitch && first->bytes == size_t(cur.luma.width) &&
            first->count == cur.luma.height) {
            rows[i].visit = [](void* c, int y0, int y1) {
                auto& h = *static_cast<Hashing*>(c);
                qexhost::add_rows(h.hash, *h.pending, 0, y0, y1);
                h.rows = y1;
            };
            rows[i].context = &hashing[i];
        }
    }
    measureFrames(rows, job.count, t.comb, t.block, kCoherentBlock, scratch, measures);
    for (int i = 0; i < job.count; ++i) finishUnit(r, i, hashing[i], scratch[0]);
}

void Scanner::finishUnit(Run& r, int i, Hashing& hashing, CombScratch& scratch) {
    const Thresholds& t = opt_.thresholds;
    const Unit& u = r.job.units[i];
    const int64_t n = u.n;
    Run::Result& res = r.results[i];
    EntryMeasure* out = res.entries;
    out[0] = out[1] = EntryMeasure{};
    const Held& cur = *r.held(n);
    const Held* next = u.hasNext ? r.held(n + 1) : nullptr;
    FrameMeasures& m = res.frame;
    if (cur.hash) {
        const qexhost::PendingHash& p = *cur.hash;
        for (int k = 0; k < p.plane_count; ++k)
            qexhost::add_rows(hashing.hash, p, k, k == 0 ? hashing.rows : 0, p.planes[k].count);
        res.hash = hashing.hash.value();
    }
    // The chroma planes of the even rows of `top` woven with the odd rows of `bottom`.
    auto chroma = [&](CombMeasure& c, const Held& top, const Held& bottom,
                      std::vector<uint16_t>& counts) {
        if (!opt_.chroma || !top.u.data) return;
        c = moreCombed(c, measureComb({top.u, bottom.u}, t.comb, t.block, scratch, &counts));
        c = moreCombed(c, measureComb({top.v, bottom.v}, t.comb, t.block, scratch, &counts));
    };
    chroma(m.own, cur, cur, m.ownSums);
    out[0].comb = m.own;
    out[0].coherent = coherentComb(m.rowSums, m.rowSums, vi_.width, vi_.height, kCoherentBlock);
    if (!next) return;
    chroma(m.cross, tff_ ? *next : cur, tff_ ? cur : *next, m.crossSums);
    out[1].comb = m.cross;
    if (measureOther_) {
        // The same frames woven the other way round.
        std::vector<uint16_t> otherCounts;
        const Held& top = tff_ ? cur : *next;
        const Held& bottom = tff_ ? *next : cur;
        CombMeasure other =
            measureComb({top.luma, bottom.luma}, t.comb, t.block, scratch, &otherCounts);
        chroma(other, top, bottom, otherCounts);
        uint64_t total = 0;
        for (uint16_t v : otherCounts) total += v;
        out[1].otherDetail = otherCounts.empty() ? 0 : double(total) / double(otherCounts.size());
    }
}

void Scanner::worker(bool low) {
    if (low) giveWay();
    CombScratch scratch[2];
    Run r;
    for (;;) {
        {
            std::unique_lock lock(mu_);
            work_cv_.wait(lock, [&] { return stop_ || !queue_.empty() || (low && hurried_); });
            if (queue_.empty() || (low && hurried_)) return;
            take(queue_.front(), r);
            running_.push_back(queue_.front());
            queue_.pop_front();
        }
        if (opt_.workerDelay) opt_.workerDelay();
        runJob(r, scratch);
    }
}

void Scanner::runJob(Run& r, CombScratch* scratch) {
    std::exception_ptr failed;
    try {
        run(r, scratch);
    } catch (...) {
        failed = std::current_exception();
    }
    {
        std::lock_guard lock(mu_);
        const Job& job = r.job;
        // The job leaves running_ when either of its runs ends.
        const auto mine = std::find_if(running_.begin(), running_.end(), [&](const Job& j) {
            return j.units[0].n == job.units[0].n;
        });
        if (mine != running_.end()) running_.erase(mine);
        // The units another runner finished first (or that failed) are left as they are.
        for (int i = 0; i < job.count; ++i) {
            const int64_t n = job.units[i].n;
            Slot& sl = slot(n);
            if (n < finished_ || sl.done) continue;
            if (failed) {
                if (!failure_) failure_ = failed;
                continue;
            }
            Run::Result& res = r.results[i];
            sl.entries[0] = res.entries[0];
            sl.entries[1] = res.entries[1];
            std::swap(sl.frame, res.frame);
            sl.hasNext = job.units[i].hasNext;
            if (const Held& cur = *r.held(n); cur.hash) cur.hash->value = res.hash;
            sl.done = true;
        }
        while (finished_ < pushed_ && slot(finished_).done) {
            slot(finished_).done = false;
            ++finished_;
        }
        for (auto& f : r.frames)
            if (f) dropped_.push_back(std::move(f));
    }
    done_cv_.notify_all();
}

void Scanner::waitFinished(std::unique_lock<std::mutex>& lock, int64_t upto) {
    while (!failure_ && finished_ < upto) {
        // A job no worker has taken yet is run here.
        if (!queue_.empty()) {
            take(queue_.front(), ownRun_);
            queue_.pop_front();
            lock.unlock();
            runJob(ownRun_, ownScratch_);
            lock.lock();
            continue;
        }
        // The oldest unit is a worker's: when it is not done in a while, the worker is starved
        // of processor time (by other work on the machine, as the workers give way to it), and
        // the job is run here too.
        if (done_cv_.wait_for(lock, std::chrono::milliseconds(opt_.patience)) ==
            std::cv_status::no_timeout)
            continue;
        if (failure_ || finished_ >= upto) continue;
        const auto late = std::find_if(running_.begin(), running_.end(), [&](const Job& j) {
            return j.units[0].n <= finished_ && finished_ <= j.units[j.count - 1].n;
        });
        if (late == running_.end() || late->units[0].n == rerun_) {
            done_cv_.wait(lock);  // run here already: the first to finish publishes it
            continue;
        }
        rerun_ = late->units[0].n;
        // Workers starved so are replaced by as many at the normal priority.
        if (!hurried_) {
            hurried_ = true;
            work_cv_.notify_all();
            const size_t low = pool_.size();
            for (size_t i = 0; i < low; ++i) pool_.emplace_back([this] { worker(false); });
        }
        take(*late, ownRun_);
        lock.unlock();
        runJob(ownRun_, ownScratch_);
        lock.lock();
    }
}

void Scanner::report(bool last, double fraction) {
    if (!progress_) return;
    auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(250)) return;
    shown_ = now;
    int64_t done;
    {
        std::lock_guard lock(mu_);
        done = finished_;
    }
    int64_t total = total_;
    if (total <= 0)  // estimated from the part of the input read
        total =
            fraction > 0 ? std::max(pushed_, int64_t(double(pushed_) / fraction + 0.5)) : pushed_;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double fps = secs > 0 ? double(done) / secs : 0.0;
    const double left = fps > 0 ? double(total - done) / fps : 0.0;
    progress_(Progress{done, total, fps, left});
}

std::string Scanner::begin(const VideoInfo& vi, bool tff, int64_t total, bool measureOther) {
    vi_ = vi;
    if (!(vi_.IsPlanar() && (vi_.IsYV12() || vi_.IsI420())) && !vi_.IsYUY2() && !vi_.IsRGB24() &&
        !vi_.IsRGB32())
        return "the clip's pixel type cannot be analysed (YV12, I420, YUY2, RGB24 or RGB32)";
    if (vi_.width < 1 || vi_.height < 6)
        return "the picture is too small to analyse (" + std::to_string(vi_.width) + "x" +
               std::to_string(vi_.height) + ")";
    if (std::string why = checkThresholds(opt_.thresholds); !why.empty()) return why;
    if (opt_.patience < 0) return "the patience must be 0 ms or more";
    tff_ = tff;
    measureOther_ = measureOther;
    total_ = total;
    int threads = opt_.threads > 0 ? opt_.threads : int(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 64);
    window_.resize(size_t(2 * threads + 4));
    if (total > 0) measures_.reserve(size_t(2 * total));
    start_ = shown_ = std::chrono::steady_clock::now();
    for (int i = 0; i < threads; ++i) pool_.emplace_back([this] { worker(true); });
    return {};
}

void Scanner::submit(const Unit& u, bool last) {
    Job job{{u, u}, 1};
    if (held_) {
        job = Job{{*held_, u}, 2};
        held_.reset();
    } else if (!last) {
        held_ = u;
        return;
    }
    {
        std::lock_guard lock(mu_);
        queue_.push_back(job);
    }
    work_cv_.notify_one();
}

void Scanner::collect(int64_t finished) {
    const double r = opt_.thresholds.relative;
    const int firstHeight = (vi_.height + (tff_ ? 1 : 0)) / 2;
    for (int64_t c = int64_t(measures_.size()) / 2; c < finished; ++c) {
        Slot& s = slot(c);
        FrameMeasures& m = s.frame;
        const std::vector<uint16_t>* counts[2] = {&m.ownSums, &m.crossSums};
        EntryMeasure e[2] = {s.entries[0], s.entries[1]};
        for (int k = 0; k < 2; ++k) {
            uint64_t total = 0;
            for (uint16_t v : *counts[k]) total += v;
            e[k].detail = counts[k]->empty() ? 0 : double(total) / double(counts[k]->size());
        }
        // Each entry against its neighbours: the entry before (the last of the unit before,
        // kept in lastCounts_) and the one after.
        if (c > 0) {
            e[0].overPrev = blockExcess(m.ownSums, lastCounts_, r);
            measures_.back().overNext = blockExcess(lastCounts_, m.ownSums, r);
            // The weave of frames c - 1 and c: the first field from frame c - 1.
            const std::vector<int32_t>& even = tff_ ? m.rowSums : lastRowSums_;
            const std::vector<int32_t>& odd = tff_ ? lastRowSums_ : m.rowSums;
            measures_.back().coherent =
                coherentComb(even, odd, vi_.width, vi_.height, kCoherentBlock);
            measures_.back().otherCoherent =
                coherentComb(odd, even, vi_.width, vi_.height, kCoherentBlock);
            // Fields 2c, 2c + 1 and 2c + 2 against two fields earlier; the first of them came
            // with the unit before.
            const std::vector<uint32_t>& f0 = lastFirstSad_;
            const std::vector<uint32_t>& f1 = m.secondSad;
            const std::vector<uint32_t>& f2 = s.hasNext ? m.nextFirstSad : f1;
            e[0].change = busiestChange(f0, f1, m.blocksX, vi_.width, firstHeight);
            e[1].change = busiestChange(f1, f2, m.blocksX, vi_.width, firstHeight);
            e[0].fieldChange = busiestChange(f0, f0, m.blocksX, vi_.width, firstHeight);
            e[1].fieldChange = busiestChange(f1, f1, m.blocksX, vi_.width, firstHeight);
        }
        if (!m.crossSums.empty()) {
            e[0].overNext = blockExcess(m.ownSums, m.crossSums, r);
            e[1].overPrev = blockExcess(m.crossSums, m.ownSums, r);
        }
        measures_.push_back(e[0]);
        measures_.push_back(e[1]);
        std::swap(lastCounts_, m.crossSums);
        std::swap(lastRowSums_, m.rowSums);
        std::swap(lastFirstSad_, m.nextFirstSad);
    }
}

void Scanner::rethrow() {
    std::exception_ptr e;
    {
        std::lock_guard lock(mu_);
        e = failure_;
    }
    if (e) std::rethrow_exception(e);
}

void Scanner::push(int64_t n, PVideoFrame frame, double fraction,
                   std::shared_ptr<qexhost::PendingHash> hash) {
    if (n != pushed_ || drained_) throw std::runtime_error("frames out of order");
    const int64_t W = int64_t(window_.size());
    int64_t fin;
    std::vector<std::shared_ptr<const Held>> dropped;  // let go of here, on leaving
    {
        // Frame n takes the slot of frame n - W, which units up to n - W + 1 read.
        std::unique_lock lock(mu_);
        waitFinished(lock, n - W + 2);
        dropped.swap(dropped_);
        if (failure_) {
            lock.unlock();
            rethrow();
        }
        fin = finished_;
    }
    collect(fin);
    for (; released_ <= fin - 2 && released_ < n; ++released_) slot(released_).held.reset();
    auto held = std::make_shared<Held>();
    Held& h = *held;
    h.frame = std::move(frame);
    h.hash = std::move(hash);
    if (!h.frame) throw std::runtime_error("a filter gave no frame");
    if (h.frame->GetRowSize() < (vi_.IsPlanar() ? 1 : packedStep(vi_)) * vi_.width ||
        h.frame->GetHeight() < vi_.height)
        throw std::runtime_error("a filter gave a frame smaller than the clip");
    planesOf(vi_, h);
    {
        std::lock_guard lock(mu_);
        slot(n).held = std::move(held);
        pushed_ = n + 1;
    }
    if (n >= 1) submit(Unit{n - 1, true});
    report(false, fraction);
}

void Scanner::drain() {
    if (pushed_ <= 0 || drained_) return;
    drained_ = true;
    submit(Unit{pushed_ - 1, false}, true);
    {
        std::unique_lock lock(mu_);
        waitFinished(lock, pushed_);
    }
    rethrow();
}

ScanResult Scanner::finish() {
    ScanResult r;
    if (pushed_ <= 0) {
        r.error = "the clip has no frames";
        return r;
    }
    drain();
    collect(pushed_);
    stopWorkers();
    total_ = pushed_;
    report(true, 1.0);
    r.log = formatLog(decideMarks(measures_, opt_.thresholds), pushed_, opt_.mode);
    r.tff = tff_;
    if (measureOther_) vote_ = voteFieldOrder(measures_);
    r.frames = pushed_;
    r.ok = true;
    return r;
}

void Scanner::stopWorkers() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
        queue_.clear();
    }
    work_cv_.notify_all();
    for (auto& t : pool_) t.join();
    pool_.clear();
    dropped_.clear();
    for (auto& s : window_) s.held.reset();
}

// Frames of a clip, requested in order on this thread, into a scanner.
ScanResult pullFrames(Scanner& scanner, PClip clip, IScriptEnvironment* env) {
    const VideoInfo& vi = clip->GetVideoInfo();
    for (int64_t n = 0; n < vi.num_frames; ++n) {
        PVideoFrame f = qexcli::pull_frame(clip, int(n), env);
        try {
            scanner.push(n, std::move(f));
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("frame " + std::to_string(n) + ": " + e.what());
        }
    }
    return scanner.finish();
}

// Runs `body` and turns its failures into the result's error.
template <typename Body>
ScanResult guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        ScanResult r;
        r.error = "not enough memory";
        return r;
    } catch (const std::exception& e) {
        ScanResult r;
        r.error = e.what();
        return r;
    }
}

std::string orderName(bool tff) {
    return tff ? "top field first" : "bottom field first";
}

// A VideoSource clip whose stream states one field order while every picture coded interlaced
// shows the other.
bool orderDisputed(const PClip& clip) {
    const auto info = qexhost::video_source_info(clip);
    return info && info->order_disputed;
}

// How a measured order was taken, from the vote in that order.
std::string measuredOrder(bool tff, const OrderVote& v, bool disputed) {
    const std::string counts = std::to_string(v.kept) + " frames whole woven " +
                               (tff ? "top" : "bottom") + " first that the other order combs, " +
                               std::to_string(v.other) + " the other way";
    const std::string unsaid =
        disputed ? "the stream and its pictures give different orders" : "the source does not say";
    if (otherOrderWins(OrderVote{v.other, v.kept}))
        return orderName(tff) + " (measured, as " + unsaid + ": " + counts + ")";
    return orderName(tff) + " (" + unsaid + " and the pictures do not tell: " + counts +
           "; the clip's own parity is kept)";
}

// A clip says its field order when it is marked top or bottom field first; VideoSource's
// clips when their stream's pictures say it and the stream does not state the other.
bool sourceSaysOrder(const PClip& clip) {
    if (const auto info = qexhost::video_source_info(clip))
        return info->field_order_known && !info->order_disputed;
    const VideoInfo& vi = clip->GetVideoInfo();
    return vi.IsTFF() || vi.IsBFF();
}

}  // namespace

ScanResult scanClip(PClip clip, IScriptEnvironment* env, const ScanOptions& opt,
                    const ProgressFn& progress) {
    ScanResult r;
    if (!clip) {
        r.error = "no clip";
        return r;
    }
    const VideoInfo& vi = clip->GetVideoInfo();
    if (vi.num_frames <= 0) {
        r.error = "the clip has no frames";
        return r;
    }
    // The order given, the one the clip says, or (measured) the clip's own parity unless the
    // pictures are whole far more often woven the other way.
    const bool given = opt.order != FieldOrder::kAuto;
    const bool says = sourceSaysOrder(clip);
    const bool tff = given ? opt.order == FieldOrder::kTop : clip->GetParity(0);
    Scanner scanner(opt, progress);
    if (std::string why = scanner.begin(vi, tff, vi.num_frames, !given && !says); !why.empty()) {
        r.error = why;
        return r;
    }
    r = guarded([&] { return pullFrames(scanner, clip, env); });
    if (!r.ok) return r;
    if (given || says) {
        r.fieldOrder = orderName(tff) + (given ? " (as given)" : " (as the source says)");
        return r;
    }
    const OrderVote v = scanner.vote();
    const bool disputed = orderDisputed(clip);
    if (!otherOrderWins(v)) {
        r.fieldOrder = measuredOrder(tff, v, disputed);
        return r;
    }
    ScanOptions other = opt;
    other.order = tff ? FieldOrder::kBottom : FieldOrder::kTop;
    r = scanClip(clip, env, other, progress);
    if (r.ok) r.fieldOrder = measuredOrder(!tff, OrderVote{v.other, v.kept}, disputed);
    return r;
}

ScanResult scanVideo(const std::string& path, IScriptEnvironment* env, const ScanOptions& opt,
                     const ProgressFn& progress, PClip* clip) {
    ScanResult r;
    Scanner scanner(opt, progress);
    std::string refused;  // why the clip cannot be analysed, found when the indexing began
    qexhost::IndexingFeed feed;
    feed.begin = [&](const VideoInfo& vi) {
        // A stream whose first pictures are not marked top field first may not say its order:
        // the other order is measured on the way, in case.
        const bool tff =
            opt.order == FieldOrder::kAuto ? vi.IsTFF() : opt.order == FieldOrder::kTop;
        refused = scanner.begin(vi, tff, 0, opt.order == FieldOrder::kAuto && !vi.IsTFF());
        if (!refused.empty()) throw std::runtime_error(refused);
    };
    feed.frame = [&](int n, const PVideoFrame& f, double fraction,
                     const std::shared_ptr<qexhost::PendingHash>& hash) {
        scanner.push(n, f, fraction, hash);
    };
    feed.drain = [&] { scanner.drain(); };
    PClip source;
    try {
        source = qexhost::make_video_source(path, qexhost::VideoSourceOptions{}, env, &feed);
    } catch (const AvisynthError& e) {
        r.error = e.msg ? e.msg : "error without a message";
        return r;
    } catch (const std::bad_alloc&) {
        r.error = "not enough memory";
        return r;
    } catch (const std::exception& e) {
        r.error = path + ": " +
                  (refused.empty() ? "frame " + std::to_string(scanner.pushed()) + ": " + e.what()
                                   : refused);
        return r;
    }
    if (clip) *clip = source;
    const VideoInfo& vi = source->GetVideoInfo();
    // The indexing decode gave every frame, in the field order the clip has (or was given):
    // its measures are the clip's. Otherwise (an index read from its file, a field order that
    // the whole stream decided otherwise than its first pictures, or one its pictures dispute
    // when the other order was not measured on the way) the clip is read again.
    const bool given = opt.order != FieldOrder::kAuto;
    const bool says = sourceSaysOrder(source);
    const bool disputed = orderDisputed(source);
    const bool tff = given ? opt.order == FieldOrder::kTop : source->GetParity(0);
    if (scanner.begun() && scanner.pushed() == vi.num_frames && scanner.tff() == tff &&
        (given || says || scanner.measuredOther())) {
        r = guarded([&] { return scanner.finish(); });
        if (r.ok && (given || says)) {
            r.fieldOrder = orderName(tff) + (given ? " (as given)" : " (as the source says)");
        } else if (r.ok && !otherOrderWins(scanner.vote())) {
            r.fieldOrder = measuredOrder(tff, scanner.vote(), disputed);
        } else if (r.ok) {
            ScanOptions other = opt;
            other.order = tff ? FieldOrder::kBottom : FieldOrder::kTop;
            const OrderVote v = scanner.vote();
            r = scanClip(source, env, other, progress);
            if (r.ok) r.fieldOrder = measuredOrder(!tff, OrderVote{v.other, v.kept}, disputed);
        }
    } else {
        r = scanClip(source, env, opt, progress);
    }
    if (!r.ok) r.error = path + ": " + r.error;
    return r;
}

}  // namespace qexscan
