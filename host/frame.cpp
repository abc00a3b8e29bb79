#include "host/frame.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace qexhost {

namespace {

// Released buffers kept for reuse, matched by exact size.
struct BufferPool {
    std::mutex lock;
    std::vector<std::pair<size_t, BYTE*>> free;
    static constexpr size_t kMaxBuffers = 12;

    BYTE* take(size_t size) {
        std::lock_guard<std::mutex> g(lock);
        for (size_t i = free.size(); i-- > 0;) {
            if (free[i].first == size) {
                BYTE* p = free[i].second;
                free.erase(free.begin() + ptrdiff_t(i));
                return p;
            }
        }
        return nullptr;
    }
    void give(size_t size, BYTE* p) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (free.size() < kMaxBuffers) {
                free.emplace_back(size, p);
                return;
            }
        }
        std::free(p);
    }
    ~BufferPool() {
        for (auto& e : free) std::free(e.second);
    }
};

BufferPool& pool() {
    static BufferPool p;
    return p;
}

int plane_index(int plane) {
    switch (plane) {
        case 0:
        case PLANAR_Y:
            return 0;
        case PLANAR_U:
            return 1;
        case PLANAR_V:
            return 2;
        default:
            return -1;
    }
}

int align_up(int v, int a) {
    return (v + a - 1) / a * a;
}

}  // namespace

FrameBuffer::FrameBuffer(size_t size) : data_(nullptr), size_(size) {
    size_t alloc = std::max<size_t>(64, (size + 63) / 64 * 64);
    data_ = pool().take(alloc);
    if (!data_) data_ = static_cast<BYTE*>(std::aligned_alloc(64, alloc));
    if (!data_) throw std::bad_alloc();
    size_ = alloc;
}

FrameBuffer::FrameBuffer(const BYTE* data, size_t size, void* map_base, size_t map_len)
    : data_(const_cast<BYTE*>(data)), size_(size), map_base_(map_base), map_len_(map_len) {}

FrameBuffer::FrameBuffer(const BYTE* data, size_t size, std::shared_ptr<const void> owner)
    : data_(const_cast<BYTE*>(data)), size_(size), owner_(std::move(owner)) {}

FrameBuffer::~FrameBuffer() {
    if (map_base_)
        ::munmap(map_base_, map_len_);
    else if (!owner_)
        pool().give(size_, data_);
}

HostFrame::HostFrame(std::shared_ptr<FrameBuffer> buffer, int planes, const PlaneLayout* layout)
    : buffer_(std::move(buffer)), planes_(planes) {
    for (int i = 0; i < planes && i < 3; ++i) layout_[i] = layout[i];
}

const PlaneLayout* HostFrame::find(int plane) const {
    int i = plane_index(plane);
    if (i < 0 || i >= planes_) return nullptr;
    return &layout_[i];
}

int HostFrame::GetPitch(int plane) const {
    const PlaneLayout* l = find(plane);
    return l ? l->pitch : 0;
}
int HostFrame::GetRowSize(int plane) const {
    const PlaneLayout* l = find(plane);
    return l ? l->row_size : 0;
}
int HostFrame::GetHeight(int plane) const {
    const PlaneLayout* l = find(plane);
    return l ? l->height : 0;
}
const BYTE* HostFrame::GetReadPtr(int plane) const {
    const PlaneLayout* l = find(plane);
    return l ? buffer_->data() + l->offset : nullptr;
}
BYTE* HostFrame::GetWritePtr(int plane) const {
    const PlaneLayout* l = find(plane);
    return (l && IsWritable()) ? buffer_->data() + l->offset : nullptr;
}
bool HostFrame::IsWritable() const {
    return RefCount() == 1 && buffer_.use_count() == 1 && buffer_->writable();
}

int plane_selectors(const VideoInfo& vi, int out[3]) {
    if (vi.IsPlanar()) {
        out[0] = PLANAR_Y;
        out[1] = PLANAR_U;
        out[2] = PLANAR_V;
        return 3;
    }
    out[0] = 0;
    return 1;
}

namespace {
std::atomic<size_t> g_frame_size_limit{0};
}  // namespace

void set_frame_size_limit(size_t bytes) {
    g_frame_size_limit = bytes;
}

PVideoFrame new_frame(const VideoInfo& vi) {
    int sel[3];
    int n = plane_selectors(vi, sel);
    PlaneLayout layout[3];
    size_t total = 0;
    for (int i = 0; i < n; ++i) {
        layout[i].row_size = vi.RowSize(sel[i]);
        layout[i].height = vi.PlaneHeight(sel[i]);
        layout[i].pitch = align_up(std::max(layout[i].row_size, 1), 32);
        layout[i].offset = ptrdiff_t(total);
        total += size_t(layout[i].pitch) * size_t(layout[i].height);
    }
    const size_t limit = g_frame_size_limit;
    if (limit != 0 && total > limit)
        throw AvisynthError("the frame is larger than the frame size limit");
    auto buf = std::make_shared<FrameBuffer>(total);
    return PVideoFrame(new HostFrame(std::move(buf), n, layout));
}

PVideoFrame copy_frame(const VideoFrame& src, const VideoInfo& vi) {
    PVideoFrame dst = new_frame(vi);
    int sel[3];
    int n = plane_selectors(vi, sel);
    for (int i = 0; i < n; ++i) {
        int rows = std::min(dst->GetHeight(sel[i]), src.GetHeight(sel[i]));
        int bytes = std::min(dst->GetRowSize(sel[i]), src.GetRowSize(sel[i]));
        BYTE* d = dst->GetWritePtr(sel[i]);
        const BYTE* s = src.GetReadPtr(sel[i]);
        for (int r = 0; r < rows; ++r)
            std::memcpy(d + ptrdiff_t(r) * dst->GetPitch(sel[i]),
                        s + ptrdiff_t(r) * src.GetPitch(sel[i]), size_t(bytes));
    }
    return dst;
}

namespace {

// Storage row at which the rows of field `bottom` (0: top, 1: bottom) begin in a plane.
int first_field_row(const VideoInfo& vi, int plane_height, int bottom) {
    return vi.IsRGB() ? ((plane_height - 1 - bottom) & 1) : bottom;
}

}  // namespace

PVideoFrame field_view(const PVideoFrame& src, const VideoInfo& vi, bool top) {
    const auto* hf = dynamic_cast<const HostFrame*>(src.get());
    PVideoFrame base = hf ? src : copy_frame(*src, vi);
    hf = static_cast<const HostFrame*>(base.get());
    PlaneLayout layout[3];
    int n = hf->plane_count();
    for (int i = 0; i < n; ++i) {
        const PlaneLayout& l = hf->layout(i);
        int first = first_field_row(vi, l.height, top ? 0 : 1);
        layout[i].offset = l.offset + ptrdiff_t(first) * l.pitch;
        layout[i].pitch = l.pitch * 2;
        layout[i].row_size = l.row_size;
        layout[i].height = (l.height - first + 1) / 2;
    }
    return PVideoFrame(new HostFrame(hf->buffer(), n, layout));
}

PVideoFrame weave(const VideoInfo& vi, const VideoFrame& top_src, const VideoFrame& bottom_src,
                  bool from_fields) {
    PVideoFrame dst = new_frame(vi);
    int sel[3];
    int n = plane_selectors(vi, sel);
    for (int p = 0; p < n; ++p) {
        const int h = dst->GetHeight(sel[p]);
        const int pitch = dst->GetPitch(sel[p]);
        const size_t bytes = size_t(dst->GetRowSize(sel[p]));
        BYTE* d = dst->GetWritePtr(sel[p]);
        const int top_first = first_field_row(vi, h, 0);
        for (int field = 0; field < 2; ++field) {
            const VideoFrame& s = field == 0 ? top_src : bottom_src;
            const BYTE* sp = s.GetReadPtr(sel[p]);
            const int spitch = s.GetPitch(sel[p]);
            const int shs = s.GetHeight(sel[p]);
            const size_t sbytes = std::min(bytes, size_t(s.GetRowSize(sel[p])));
            const int first = field == 0 ? top_first : 1 - top_first;
            for (int i = first, j = 0; i < h; i += 2, ++j) {
                int srow = from_fields ? j : i;
                if (srow >= shs) break;
                std::memcpy(d + ptrdiff_t(i) * pitch, sp + ptrdiff_t(srow) * spitch, sbytes);
            }
        }
    }
    return dst;
}

}  // namespace qexhost
