// Frames of the host: reference-counted pixel buffers with up to three planes, and the views
// and line operations the core filters build from them.
#pragma once

#include "avisynth.h"

#include <cstddef>
#include <memory>

namespace qexhost {

// A block of pixel memory, aligned to 64 bytes. Released blocks are kept in a small pool so that
// a stream of equal frames does not map and clear fresh pages for every frame.
class FrameBuffer {
  public:
    explicit FrameBuffer(size_t size);
    // A read-only view of a file mapping (mmap'ed at map_base for map_len bytes) that is unmapped
    // with the buffer; data points into the mapping.
    FrameBuffer(const BYTE* data, size_t size, void* map_base, size_t map_len);
    // A read-only view of memory that `owner` keeps alive (a decoder's picture, say); the
    // reference is dropped with the buffer. Plane offsets may reach outside [data, data + size)
    // when the owner keeps its planes apart.
    FrameBuffer(const BYTE* data, size_t size, std::shared_ptr<const void> owner);
    ~FrameBuffer();
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;
    BYTE* data() const { return data_; }
    size_t size() const { return size_; }
    // False for mapped files and borrowed memory: such pictures are copied before anyone
    // writes to them.
    bool writable() const { return map_base_ == nullptr && owner_ == nullptr; }

  private:
    BYTE* data_;
    size_t size_;
    void* map_base_ = nullptr;
    size_t map_len_ = 0;
    std::shared_ptr<const void> owner_;
};

struct PlaneLayout {
    ptrdiff_t offset = 0;  // from the start of the buffer to row 0 of the plane
    int pitch = 0;         // bytes from one row to the next (may be a multiple of the row size)
    int row_size = 0;      // bytes of picture per row
    int height = 0;        // rows
};

class HostFrame final : public VideoFrame {
  public:
    HostFrame(std::shared_ptr<FrameBuffer> buffer, int planes, const PlaneLayout* layout);

    int GetPitch(int plane = 0) const override;
    int GetRowSize(int plane = 0) const override;
    int GetHeight(int plane = 0) const override;
    const BYTE* GetReadPtr(int plane = 0) const override;
    BYTE* GetWritePtr(int plane = 0) const override;
    bool IsWritable() const override;

    int plane_count() const { return planes_; }
    const PlaneLayout& layout(int index) const { return layout_[index]; }
    const std::shared_ptr<FrameBuffer>& buffer() const { return buffer_; }

  private:
    const PlaneLayout* find(int plane) const;

    std::shared_ptr<FrameBuffer> buffer_;
    int planes_;
    PlaneLayout layout_[3];
};

// Plane selectors in storage order for a clip: {0} for packed pictures, Y U V for planar ones.
int plane_selectors(const VideoInfo& vi, int out[3]);

// A new writable frame for vi; rows are padded to a multiple of 32 bytes and the planes are
// stored one after another (Y, U, V). Throws AvisynthError when the frame would need more than
// the frame size limit.
PVideoFrame new_frame(const VideoInfo& vi);

// Largest frame, in bytes, that new_frame makes in this process (0, the default: no limit
// beyond the picture sizes the sources accept). For hosts that must bound the memory a script
// can ask for, such as the fuzz targets.
void set_frame_size_limit(size_t bytes);

// A copy of the picture of `src` in a new frame.
PVideoFrame copy_frame(const VideoFrame& src, const VideoInfo& vi);

// Storage row of picture row r: RGB pictures are stored bottom-up.
inline int storage_row(const VideoInfo& vi, int plane_height, int r) {
    return vi.IsRGB() ? plane_height - 1 - r : r;
}

// A view of one field of `src` (every second picture row, starting at picture row 0 for the top
// field, 1 for the bottom one) that shares its pixels. `vi` describes src.
PVideoFrame field_view(const PVideoFrame& src, const VideoInfo& vi, bool top);

// A new frame of the full-height clip `vi` whose top-field rows come from the frame `top_src`
// and whose bottom-field rows come from `bottom_src`. When `from_fields` is set the sources are
// single fields (half height), otherwise whole frames of vi's size.
PVideoFrame weave(const VideoInfo& vi, const VideoFrame& top_src, const VideoFrame& bottom_src,
                  bool from_fields);

}  // namespace qexhost
