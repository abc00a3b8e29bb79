#include "plugin/vfrinfo.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace qex {
namespace {

constexpr std::size_t kNameSize = 100;

void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

std::uint32_t get_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Entries are shared with other filters that do not take the mutexes: each byte is read and
// written on its own, as a single access.
std::uint8_t load_byte(const std::uint8_t* p) {
    return std::atomic_ref<std::uint8_t>(*const_cast<std::uint8_t*>(p))
        .load(std::memory_order_relaxed);
}

void store_byte(std::uint8_t* p, std::uint8_t v) {
    std::atomic_ref<std::uint8_t>(*p).store(v, std::memory_order_relaxed);
}

}  // namespace

int verdict_rate(std::uint8_t verdict) {
    if (verdict == kVerdict24) return 24;
    if (verdict == kVerdictDrop) return 0;
    return 30;
}

std::uint8_t verdict_duration(const VfrOut* table, std::int32_t source_frame) {
    const int rate = table != nullptr ? table->rate(source_frame) : 30;
    return rate == 24 ? 10 : rate == 0 ? 0 : 8;
}

void vfrinfo_name(int pid, char* out) {
    std::snprintf(out, kNameSize, "melvo_vfrinfo_%d", pid);
}
void vfrinfo_header_mutex_name(int pid, char* out) {
    std::snprintf(out, kNameSize, "melvo_vfr_vfrinfo_header___%d", pid);
}
void vfrinfo_frame_mutex_name(int pid, char* out) {
    std::snprintf(out, kNameSize, "melvo_vfr_vfrinfo_frame___%d", pid);
}
void vfrout_name(int pid, char* out) {
    std::snprintf(out, kNameSize, "vfrout_%d", pid);
}

// ---------------------------------------------------------------------------
// VfrInfoMap

VfrInfoMap::VfrInfoMap(std::int32_t frames) {
    build(frames, platform::process_id());
}
VfrInfoMap::VfrInfoMap(std::int32_t frames, int pid) {
    build(frames, pid);
}

VfrInfoMap::~VfrInfoMap() = default;  // members unmap, close and remove their names

void VfrInfoMap::build(std::int32_t frames, int pid) {
    if (frames < 0) return;
    // The size field is 32 bits wide; a clip that would not fit gets no block.
    const std::uint64_t size = kVfrInfoHeaderSize + 4 * std::uint64_t(frames);
    if (size > 0xFFFFFFFFu) return;
    char name[kNameSize];
    vfrinfo_name(pid, name);
    if (!memory_.create(name, std::size_t(size)) || memory_.data() == nullptr) return;
    std::uint8_t* v = memory_.data();
    std::memset(v, 0, std::size_t(size));
    put_le32(v + 0, 1);
    put_le32(v + 8, std::uint32_t(size));
    put_le32(v + 12, std::uint32_t(frames));
    v[kVfrInfoStateByte] = 1;
    table_ = v + kVfrInfoHeaderSize;
    count_ = frames;
    vfrinfo_header_mutex_name(pid, name);
    header_mutex_.create(name);
    vfrinfo_frame_mutex_name(pid, name);
    frame_mutex_.create(name);
}

bool VfrInfoMap::ok() const {
    return memory_.is_open() && table_ != nullptr && header_mutex_.is_open() &&
           frame_mutex_.is_open();
}

void VfrInfoMap::mark_built() {
    if (table_ == nullptr) return;
    platform::NamedLock hold(header_mutex_);
    std::uint8_t* v = memory_.data();
    put_le32(v + 4, 1);
    v[kVfrInfoStateByte] = 2;
}

std::uint8_t* VfrInfoMap::entry(std::int32_t frame) const {
    if (table_ == nullptr || frame < 0 || frame >= count_) return nullptr;
    return table_ + 4 * std::size_t(frame);
}

void VfrInfoMap::set_duration(std::int32_t frame, std::uint8_t ticks) {
    if (std::uint8_t* e = entry(frame)) store_byte(e, ticks);
}

void VfrInfoMap::set_flags(std::int32_t frame, std::uint8_t flags) {
    if (std::uint8_t* e = entry(frame)) store_byte(e + 1, flags & kVfrPublishedFlags);
}

std::uint8_t VfrInfoMap::duration(std::int32_t frame) const {
    const std::uint8_t* e = entry(frame);
    return e != nullptr ? load_byte(e) : 0;
}

std::uint8_t VfrInfoMap::flags(std::int32_t frame) const {
    const std::uint8_t* e = entry(frame);
    return e != nullptr ? load_byte(e + 1) : 0;
}

void VfrInfoMap::publish(std::int32_t frame, std::uint8_t ticks, std::uint8_t flags) {
    platform::NamedLock hold(frame_mutex_);
    set_duration(frame, ticks);
    set_flags(frame, flags);
}

std::uint8_t VfrInfoMap::publish(const ServedFrame& served, const VfrOut* verdicts) {
    platform::NamedLock hold(frame_mutex_);
    std::uint8_t ticks = 0;
    std::uint8_t flags = 0;
    if (!served.past_end) {
        ticks =
            served.follows_verdict ? verdict_duration(verdicts, served.fetched) : served.duration;
        flags = served.flags;
    }
    set_duration(served.frame, ticks);
    set_flags(served.frame, flags);
    return ticks;
}

std::uint8_t VfrInfoMap::published_duration(std::int32_t frame) {
    platform::NamedLock hold(frame_mutex_);
    return duration(frame);
}

// ---------------------------------------------------------------------------
// VfrInfoOut

VfrInfoOut::VfrInfoOut() {
    open(platform::process_id());
}
VfrInfoOut::VfrInfoOut(int pid) {
    open(pid);
}

void VfrInfoOut::open(int pid) {
    char name[kNameSize];
    vfrinfo_name(pid, name);
    if (!memory_.open(name) || memory_.data() == nullptr) return;
    if (memory_.size() < kVfrInfoHeaderSize) return;
    // Trust the declared entry count only as far as the mapping reaches.
    const auto declared = std::int32_t(get_le32(memory_.data() + 12));
    const std::size_t room = (memory_.size() - kVfrInfoHeaderSize) / 4;
    count_ = declared < 0 ? 0 : std::size_t(declared) > room ? std::int32_t(room) : declared;
    table_ = memory_.data() + kVfrInfoHeaderSize;
}

std::uint8_t VfrInfoOut::duration(std::int32_t frame) const {
    if (table_ == nullptr || frame < 0 || frame >= count_) return 0;
    return load_byte(table_ + 4 * std::size_t(frame));
}

std::uint8_t VfrInfoOut::flags(std::int32_t frame) const {
    if (table_ == nullptr || frame < 0 || frame >= count_) return 0;
    return load_byte(table_ + 4 * std::size_t(frame) + 1);
}

void VfrInfoOut::clear_duration(std::int32_t frame) {
    if (table_ == nullptr || frame < 0 || frame >= count_) return;
    store_byte(table_ + 4 * std::size_t(frame), 0);
}

// ---------------------------------------------------------------------------
// VfrOut

VfrOut::VfrOut() : VfrOut(platform::process_id()) {}

VfrOut::VfrOut(int pid) {
    char name[kNameSize];
    vfrout_name(pid, name);
    memory_.open(name);
}

std::uint8_t VfrOut::verdict(std::int32_t frame) const {
    if (memory_.data() == nullptr || frame < 0 || std::size_t(frame) >= memory_.size()) return 0;
    return load_byte(memory_.data() + frame);
}

bool VfrOut::exists() {
    return VfrOut().ok();
}

}  // namespace qex
