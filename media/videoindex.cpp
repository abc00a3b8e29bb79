#include "media/videoindex.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace qexhost {

namespace {

constexpr uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMul2 = 0xFF51AFD7ED558CCDull;

inline uint64_t rotl(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian hosts only: the index is not meant to travel between machines
}

inline uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= kMul2;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

constexpr char kMagic[8] = {'Q', 'E', 'X', 'I', 'N', 'D', 'E', 'X'};
// 2: the picture hash of 64-byte stripes; 3: the time base of the timestamps; 4: the fields
// each picture shows, the rate of field pairs, damage and where threads stop; 5: pictures
// that are single fields.
constexpr uint32_t kVersion = 5;
constexpr size_t kFrameBytes = 8 + 8 + 8 + 8 + 1 + 1;

class Writer {
  public:
    void u8(uint8_t v) { out_.push_back(char(v)); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(char(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(char(v >> (8 * i)));
    }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void str(const std::string& s) {
        u32(uint32_t(s.size()));
        out_ += s;
    }
    void raw(const char* p, size_t n) { out_.append(p, n); }
    std::string& out() { return out_; }

  private:
    std::string out_;
};

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    size_t left() const { return in_.size() - at_; }
    uint8_t u8() { return uint8_t(take(1)[0]); }
    uint32_t u32() {
        const char* p = take(4);
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(p[i])) << (8 * i);
        return v;
    }
    uint64_t u64() {
        const char* p = take(8);
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(uint8_t(p[i])) << (8 * i);
        return v;
    }
    int64_t i64() { return int64_t(u64()); }
    std::string str() {
        uint32_t n = u32();
        if (n > 256 || n > left()) {
            ok_ = false;
            return {};
        }
        return std::string(take(n), n);
    }
    const char* take(size_t n) {
        static const char zeros[8] = {};
        if (!ok_ || n > left()) {
            ok_ = false;
            return zeros;
        }
        const char* p = in_.data() + at_;
        at_ += n;
        return p;
    }

  private:
    std::string_view in_;
    size_t at_ = 0;
    bool ok_ = true;
};

// A plain hash of bytes: the checksum of the index file and the name of an index file in the
// cache folder. It is not the picture hash, so that those stay as they are when pictures come
// to be hashed differently.
uint64_t bytes_hash(std::string_view bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    uint64_t a = 0x9E3779B97F4A7C15ull, b = 0xC2B2AE3D27D4EB4Full;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        a = rotl(a ^ load64(p + i), 29) * kMul1;
        b = rotl(b ^ load64(p + i + 8), 31) * kMul2;
    }
    if (i + 8 <= n) {
        a = rotl(a ^ load64(p + i), 29) * kMul1;
        i += 8;
    }
    if (i < n) {
        uint64_t tail = 0;
        std::memcpy(&tail, p + i, n - i);
        b = rotl(b ^ tail ^ (uint64_t(n - i) << 59), 31) * kMul2;
    }
    return mix(a ^ rotl(b, 17) ^ mix(n));
}

uint64_t checksum(std::string_view bytes) {
    return bytes_hash(bytes);
}

constexpr size_t kStripe = 64;            // bytes, eight lanes of 8
constexpr unsigned kStripesPerStir = 16;  // the lanes are stirred after this many stripes

// The keys of the picture hash: the s-th stripe since the last stir takes kKeys[s + i] in
// lane i; the stir takes the last eight. A splitmix64 sequence.
constexpr std::array<uint64_t, kStripesPerStir + 8> kKeys = [] {
    std::array<uint64_t, kStripesPerStir + 8> keys{};
    uint64_t x = 0x5851F42D4C957F2Dull;
    for (uint64_t& k : keys) {
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        k = z ^ (z >> 31);
    }
    return keys;
}();

// Spreads every lane's high bits down and multiplies (each step invertible): stripes taken
// before and after a stir do not simply add up, so their order counts.
void stir(uint64_t* acc) {
    for (int i = 0; i < 8; ++i) {
        const uint64_t a = acc[i];
        acc[i] = (a ^ (a >> 47) ^ kKeys[kStripesPerStir + size_t(i)]) * kMul1;
    }
}

// Takes `count` stripes at p into the lanes, the s-th stripe with the keys from keys[s]: lane i
// adds the product of the two halves of its keyed word and the plain word of its neighbour
// lane (i ^ 1), so that a word whose keyed half is zero still counts. The vector forms below
// give the same sums.
void accumulatePortable(uint64_t* acc, const uint8_t* p, size_t count, const uint64_t* keys) {
    for (size_t s = 0; s < count; ++s, p += kStripe, ++keys) {
        for (int i = 0; i < 8; ++i) {
            const uint64_t k = load64(p + 8 * i) ^ keys[i];
            acc[i] += (k & 0xFFFFFFFFu) * (k >> 32) + load64(p + 8 * (i ^ 1));
        }
    }
}

#if defined(__SSE2__)
#define QEX_HASH_SSE2 1
void accumulateSse2(uint64_t* acc, const uint8_t* p, size_t count, const uint64_t* keys) {
    auto load = [](const void* at, int j) {
        return _mm_loadu_si128(static_cast<const __m128i*>(at) + j);
    };
    auto take = [&](__m128i& a, int j) {
        const __m128i d = load(p, j);
        const __m128i k = _mm_xor_si128(d, load(keys, j));
        const __m128i product = _mm_mul_epu32(k, _mm_srli_epi64(k, 32));
        const __m128i neighbour = _mm_shuffle_epi32(d, _MM_SHUFFLE(1, 0, 3, 2));
        a = _mm_add_epi64(a, _mm_add_epi64(product, neighbour));
    };
    __m128i a0 = load(acc, 0), a1 = load(acc, 1), a2 = load(acc, 2), a3 = load(acc, 3);
    for (size_t s = 0; s < count; ++s, p += kStripe, ++keys) {
        take(a0, 0);
        take(a1, 1);
        take(a2, 2);
        take(a3, 3);
    }
    auto* out = reinterpret_cast<__m128i*>(acc);
    _mm_storeu_si128(out, a0);
    _mm_storeu_si128(out + 1, a1);
    _mm_storeu_si128(out + 2, a2);
    _mm_storeu_si128(out + 3, a3);
}
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QEX_HASH_AVX2 1
// Four lanes to a register.
__attribute__((target("avx2"))) void accumulateAvx2(uint64_t* acc, const uint8_t* p, size_t count,
                                                    const uint64_t* keys) {
    __m256i a[2] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc)),
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc) + 1)};
    for (size_t s = 0; s < count; ++s, p += kStripe, ++keys) {
        for (int j = 0; j < 2; ++j) {
            const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p) + j);
            const __m256i k =
                _mm256_xor_si256(d, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys) + j));
            const __m256i product = _mm256_mul_epu32(k, _mm256_srli_epi64(k, 32));
            const __m256i neighbour = _mm256_shuffle_epi32(d, _MM_SHUFFLE(1, 0, 3, 2));
            a[j] = _mm256_add_epi64(a[j], _mm256_add_epi64(product, neighbour));
        }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc), a[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc) + 1, a[1]);
}
#endif

// Whole stripes of a row: `count` stripes at p into the lanes, stirred after every
// kStripesPerStir since the last stir (*at counts the stripes since then).
using TakeStripes = void (*)(uint64_t* acc, unsigned* at, const uint8_t* p, size_t count);

template <void (*kAccumulate)(uint64_t*, const uint8_t*, size_t, const uint64_t*)>
void takeStripes(uint64_t* acc, unsigned* at, const uint8_t* p, size_t count) {
    while (count > 0) {
        const size_t take = std::min<size_t>(count, kStripesPerStir - *at);
        kAccumulate(acc, p, take, kKeys.data() + *at);
        p += take * kStripe;
        count -= take;
        if ((*at += unsigned(take)) == kStripesPerStir) {
            stir(acc);
            *at = 0;
        }
    }
}

#if defined(QEX_HASH_AVX2)
__attribute__((target("avx2"))) inline __m256i loadYmm(const void* at, int j) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(at) + j);
}

// The lanes stay in registers across stirs; the stir's 64-bit product is made of 32-bit ones
// (the same value modulo 2^64).
__attribute__((target("avx2"))) void takeStripesAvx2(uint64_t* acc, unsigned* at, const uint8_t* p,
                                                     size_t count) {
    const __m256i stirKeys[2] = {loadYmm(kKeys.data() + kStripesPerStir, 0),
                                 loadYmm(kKeys.data() + kStripesPerStir, 1)};
    const __m256i mulLow = _mm256_set1_epi64x(int64_t(kMul1 & 0xFFFFFFFFu));
    const __m256i mulHigh = _mm256_set1_epi64x(int64_t(kMul1 >> 32));
    __m256i a[2] = {loadYmm(acc, 0), loadYmm(acc, 1)};
    unsigned s = *at;
    for (; count > 0; --count, p += kStripe) {
        for (int j = 0; j < 2; ++j) {
            const __m256i d = loadYmm(p, j);
            const __m256i k = _mm256_xor_si256(d, loadYmm(kKeys.data() + s, j));
            const __m256i product = _mm256_mul_epu32(k, _mm256_srli_epi64(k, 32));
            const __m256i neighbour = _mm256_shuffle_epi32(d, _MM_SHUFFLE(1, 0, 3, 2));
            a[j] = _mm256_add_epi64(a[j], _mm256_add_epi64(product, neighbour));
        }
        if (++s == kStripesPerStir) {
            s = 0;
            for (int j = 0; j < 2; ++j) {
                const __m256i x = _mm256_xor_si256(
                    _mm256_xor_si256(a[j], _mm256_srli_epi64(a[j], 47)), stirKeys[j]);
                const __m256i cross =
                    _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(x, 32), mulLow),
                                     _mm256_mul_epu32(x, mulHigh));
                a[j] = _mm256_add_epi64(_mm256_mul_epu32(x, mulLow), _mm256_slli_epi64(cross, 32));
            }
        }
    }
    *at = s;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc), a[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc) + 1, a[1]);
}
#endif

using Accumulate = void (*)(uint64_t*, const uint8_t*, size_t, const uint64_t*);

// One way of computing the hash: whole stripes, and the one padded stripe at a row's end.
struct HashKernels {
    TakeStripes take;
    Accumulate accumulate;
};

constexpr HashKernels kPortableKernels{takeStripes<accumulatePortable>, accumulatePortable};
#if defined(QEX_HASH_SSE2)
constexpr HashKernels kSse2Kernels{takeStripes<accumulateSse2>, accumulateSse2};
#endif
#if defined(QEX_HASH_AVX2)
constexpr HashKernels kAvx2Kernels{takeStripesAvx2, accumulateAvx2};
#endif

HashKernels best_kernels() {
#if defined(QEX_HASH_AVX2)
    if (__builtin_cpu_supports("avx2")) return kAvx2Kernels;
#endif
#if defined(QEX_HASH_SSE2)
    return kSse2Kernels;
#else
    return kPortableKernels;
#endif
}

HashKernels g_kernels = best_kernels();

}  // namespace

void PictureHash::add(const uint8_t* p, size_t n) {
    len_ += n;
    g_kernels.take(acc_, &at_, p, n / kStripe);
    if (const size_t tail = n % kStripe) {
        // The end of the row, padded with zeros, under keys that depend on its length.
        uint8_t last[kStripe] = {};
        std::memcpy(last, p + (n - tail), tail);
        uint64_t keys[8];
        for (size_t i = 0; i < 8; ++i) keys[i] = kKeys[at_ + i] ^ (tail * kMul2);
        g_kernels.accumulate(acc_, last, 1, keys);
        if (++at_ == kStripesPerStir) {
            stir(acc_);
            at_ = 0;
        }
    }
}

uint64_t PictureHash::value() const {
    uint64_t h = len_ * kMul1;
    for (size_t i = 0; i < 8; i += 2) {
        const unsigned __int128 m =
            (unsigned __int128)(acc_[i] ^ kKeys[i]) * (acc_[i + 1] ^ kKeys[i + 1]);
        h += uint64_t(m) ^ uint64_t(m >> 64);
    }
    return mix(h);
}

bool use_picture_hash_path(HashPath path) {
    switch (path) {
        case HashPath::kBest:
            g_kernels = best_kernels();
            return true;
        case HashPath::kPortable:
            g_kernels = kPortableKernels;
            return true;
        case HashPath::kSse2:
#if defined(QEX_HASH_SSE2)
            g_kernels = kSse2Kernels;
            return true;
#else
            return false;
#endif
        case HashPath::kAvx2:
#if defined(QEX_HASH_AVX2)
            if (!__builtin_cpu_supports("avx2")) return false;
            g_kernels = kAvx2Kernels;
            return true;
#else
            return false;
#endif
    }
    return false;
}

uint64_t index_checksum(std::string_view body) {
    return checksum(body);
}

std::pair<uint32_t, uint32_t> reduce_rate(int64_t num, int64_t den) {
    if (num <= 0 || den <= 0) return {0, 0};
    const int64_t g = std::gcd(num, den);
    num /= g;
    den /= g;
    while (num > 0xFFFFFFFFll || den > 0xFFFFFFFFll) {
        num = (num + 1) / 2;
        den = (den + 1) / 2;
        const int64_t g2 = std::gcd(num, den);
        num /= g2;
        den /= g2;
    }
    return {uint32_t(num), uint32_t(den)};
}

std::string serialize_index(const VideoIndex& x) {
    Writer w;
    w.raw(kMagic, sizeof kMagic);
    w.u32(kVersion);
    w.u64(x.file_size);
    w.i64(x.mtime_sec);
    w.i64(x.mtime_nsec);
    w.u32(uint32_t(x.track));
    w.u32(uint32_t(x.stream));
    w.str(x.codec);
    w.str(x.pixel_format);
    w.u32(uint32_t(x.width));
    w.u32(uint32_t(x.height));
    w.u32(x.rate_num);
    w.u32(x.rate_den);
    w.u32(x.time_base_num);
    w.u32(x.time_base_den);
    w.u8(x.timestamp_bits);
    w.u32(x.field_pair_num);
    w.u32(x.field_pair_den);
    w.u32(uint32_t(x.single_thread_from));
    w.u8(uint8_t(x.field_order));
    w.u8(x.field_pictures ? 1 : 0);
    w.u32(x.decode_errors);
    w.u64(x.frames.size());
    for (const IndexedFrame& f : x.frames) {
        w.i64(f.pts);
        w.i64(f.pos);
        w.i64(f.dts);
        w.u64(f.hash);
        w.u8(uint8_t((f.key ? 1 : 0) | (f.top_first ? 2 : 0) | (f.interlaced ? 4 : 0) |
                     (f.damaged ? 8 : 0)));
        w.u8(f.repeat);
    }
    w.u64(checksum(w.out()));
    return std::move(w.out());
}

std::optional<VideoIndex> parse_index(std::string_view bytes, std::string* why) {
    auto fail = [&](const char* text) -> std::optional<VideoIndex> {
        if (why) *why = text;
        return std::nullopt;
    };
    if (bytes.size() < sizeof kMagic + 4 + 8 || std::memcmp(bytes.data(), kMagic, 8) != 0)
        return fail("not an index file");
    const std::string_view body = bytes.substr(0, bytes.size() - 8);
    Reader tail(bytes.substr(bytes.size() - 8));
    if (tail.u64() != checksum(body)) return fail("the index file is damaged (checksum)");
    Reader r(body.substr(8));
    if (r.u32() != kVersion) return fail("the index file is of another version");
    VideoIndex x;
    x.file_size = r.u64();
    x.mtime_sec = r.i64();
    x.mtime_nsec = r.i64();
    x.track = int(r.u32());
    x.stream = int(r.u32());
    x.codec = r.str();
    x.pixel_format = r.str();
    x.width = int(r.u32());
    x.height = int(r.u32());
    x.rate_num = r.u32();
    x.rate_den = r.u32();
    x.time_base_num = r.u32();
    x.time_base_den = r.u32();
    x.timestamp_bits = r.u8();
    x.field_pair_num = r.u32();
    x.field_pair_den = r.u32();
    x.single_thread_from = int32_t(r.u32());
    const uint8_t order = r.u8();
    const uint8_t field_pictures = r.u8();
    x.decode_errors = r.u32();
    const uint64_t count = r.u64();
    if (!r.ok()) return fail("the index file is cut off");
    if (order > 2 || field_pictures > 1 || (field_pictures && order == 0) || x.stream < 0 ||
        x.width <= 0 || x.height <= 0 || x.rate_num == 0 || x.rate_den == 0 ||
        x.time_base_num == 0 || x.time_base_den == 0 || count == 0 || count > 0x3FFFFFFF)
        return fail("the index file holds impossible values");
    x.field_order = FieldOrder(order);
    x.field_pictures = field_pictures == 1;
    if (r.left() != count * kFrameBytes) return fail("the index file has the wrong length");
    x.frames.resize(size_t(count));
    for (IndexedFrame& f : x.frames) {
        f.pts = r.i64();
        f.pos = r.i64();
        f.dts = r.i64();
        f.hash = r.u64();
        const uint8_t k = r.u8();
        f.repeat = r.u8();
        if (k > 15 || f.repeat > 4) return fail("the index file holds impossible values");
        f.key = k & 1;
        f.top_first = k & 2;
        f.interlaced = k & 4;
        f.damaged = k & 8;
    }
    return x;
}

bool pictures_are_fields(std::string_view codec, const std::vector<IndexedFrame>& first) {
    if (codec != "hevc") return false;
    const size_t n = std::min(first.size(), size_t(kFieldPicturesSeen));
    if (n < 2) return false;
    size_t breaks = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!first[i].interlaced) return false;
        breaks += i > 0 && first[i].top_first == first[i - 1].top_first;
    }
    // One field lost among the first pictures is a break; a few pictures must all alternate.
    return breaks <= (n >= 8 ? 1u : 0u);
}

FieldOrder field_pair_order(int top_keys, int bottom_keys) {
    return bottom_keys > top_keys ? FieldOrder::kBottomFirst : FieldOrder::kTopFirst;
}

namespace {

// Whole fields in a span of timestamps, rounded to the nearest.
int64_t span_fields(int64_t ticks, const VideoIndex& x, uint32_t rate_num, uint32_t rate_den) {
    // Spans beyond 2^60 ticks are jumps whatever the rates; clamped, the product stays in range.
    const int64_t limit = int64_t(1) << 60;
    const __int128 num =
        __int128(std::clamp(ticks, -limit, limit)) * x.time_base_num * rate_num * 2;
    const __int128 den = __int128(x.time_base_den) * rate_den;
    const __int128 q = (num >= 0 ? num + den / 2 : num - den / 2) / den;
    return int64_t(std::clamp<__int128>(q, INT64_MIN / 4, INT64_MAX / 4));
}

}  // namespace

TimelineBuilder::TimelineBuilder(const VideoIndex& index, bool fields, uint32_t rate_num,
                                 uint32_t rate_den, int max_fill_seconds)
    : x_(index),
      fields_(fields || index.field_pictures),
      field_pictures_(index.field_pictures),
      rate_num_(std::max<uint32_t>(rate_num, 1)),
      rate_den_(std::max<uint32_t>(rate_den, 1)),
      // (at most 1000 frames a second, whatever rate an index file claims)
      max_fill_(std::min<int64_t>(int64_t(max_fill_seconds) * 2 * rate_num_ / rate_den_,
                                  int64_t(max_fill_seconds) * 2000)) {
    bits_ = std::clamp<int>(index.timestamp_bits, 8, 64);
    first_bottom_ = index.field_order == FieldOrder::kBottomFirst;
}

namespace {

// How far timestamp `to` lies after `from` on a clock that wraps at 2^bits (negative: before).
int64_t wrapped_step(int bits, int64_t from, int64_t to) {
    const uint64_t d = uint64_t(to) - uint64_t(from);
    if (bits == 64) return int64_t(d);
    const uint64_t mask = (uint64_t(1) << bits) - 1, half = uint64_t(1) << (bits - 1);
    const uint64_t m = d & mask;
    return m >= half ? int64_t(m) - int64_t(mask) - 1 : int64_t(m);
}

}  // namespace

int64_t TimelineBuilder::step(int64_t from, int64_t to) const {
    return wrapped_step(bits_, from, to);
}

void TimelineBuilder::field(int picture, bool bottom) {
    last_bottom_ = bottom;
    last_field_[bottom] = picture;
    ++fields_out_;
    if (!pending_) {
        pending_ = true;
        pending_picture_ = picture;
        pending_bottom_ = bottom;
        return;
    }
    pending_ = false;
    FrameSource f{pending_picture_, pending_picture_};
    if (pending_bottom_ != bottom) {
        f.top = pending_bottom_ ? picture : pending_picture_;
        f.bottom = pending_bottom_ ? pending_picture_ : picture;
    }
    ++(pending_bottom_ ? bottom_starts_ : top_starts_);
    t_.frames.push_back(f);
}

void TimelineBuilder::fill(int64_t count) {
    const int64_t start = int64_t(t_.frames.size());
    int first, end;  // the frames that hold at least one repeated field
    if (fields_) {
        first = int((fields_out_) / 2);
        bool bottom = last_bottom_;
        for (int64_t i = 0; i < count; ++i) {
            bottom = !bottom;
            // Field pictures repeat the last field of each parity: the last frame whole.
            const int from =
                field_pictures_ && last_field_[bottom] >= 0 ? last_field_[bottom] : last_;
            field(from, bottom);
        }
        end = int((fields_out_ + 1) / 2);
    } else {
        for (int64_t i = 0; i < count / 2; ++i) t_.frames.push_back({last_, last_});
        frames_out_ += count / 2 * 2;
        first = int(start);
        end = int(t_.frames.size());
    }
    if (end <= first) return;
    if (!t_.filled.empty() && t_.filled.back().first + t_.filled.back().count >= first)
        t_.filled.back().count = end - t_.filled.back().first;
    else
        t_.filled.push_back({first, end - first});
}

void TimelineBuilder::add(int i) {
    const IndexedFrame& f = x_.frames[size_t(i)];
    // Field pictures that begin with a second field (a recording cut between the fields of a
    // pair): that field is left out, so that the frames begin, and are timed, at a pair's first
    // field. As a frame of its own it would put every later frame a field late.
    if (field_pictures_ && added_ == 0 && !f.top_first != first_bottom_) {
        ++t_.leading_dropped;
        return;
    }
    if (added_++ == 0) t_.first_pts = f.pts;
    t_.repeat_flagged += f.repeat > 0;
    t_.field_order_known = t_.field_order_known || f.interlaced || f.repeat > 0;
    const int64_t d = f.pts == kNoTimestamp || prev_ == kNoTimestamp ? 0 : step(prev_, f.pts);
    if (f.pts == kNoTimestamp) {
        ++bad_;
    } else if (prev_ != kNoTimestamp && d <= 0 && ++behind_ < kBehindForAJump) {
        // A timestamp that does not go forward: a damaged picture's, or the first of a restart.
        // It follows on in decode order until enough pictures in a row say it is a restart.
        ++bad_;
    } else {
        // A restart counts once, not with every picture that showed it.
        if (prev_ != kNoTimestamp && d <= 0) bad_ -= kBehindForAJump - 2;
        // Absurd timestamps may run past the range of the counts: they wrap (and then count as
        // jumps) rather than overflow.
        unwrapped_ = int64_t(uint64_t(unwrapped_) + uint64_t(d));
        if (anchored_ && d > 0) {
            const int64_t span = int64_t(uint64_t(unwrapped_) - uint64_t(anchor_ts_));
            const int64_t gap =
                anchor_field_ + span_fields(span, x_, rate_num_, rate_den_) - position();
            // Where most timestamps so far are missing or go backwards, none is trusted with
            // a fill.
            const int doubtful = bad_ + t_.jumps;
            const bool trusted = doubtful <= 2 || int64_t(doubtful) * 20 <= added_;
            if (gap >= 2 && gap <= max_fill_ && last_ >= 0 && trusted) {
                fill(gap);
            } else if (gap > max_fill_) {
                ++t_.jumps;
                anchored_ = false;
            } else if (gap < -8) {
                // Pictures closer together than the rate's frames follow on from a new anchor.
                // A part at up to five times the rate (as a variable-rate recording has) keeps
                // its timestamps' meaning; pictures closer still are a jump.
                const bool plausible = __int128(d) * x_.time_base_num * rate_num_ * 5 >=
                                       __int128(x_.time_base_den) * rate_den_;
                t_.jumps += !plausible;
                anchored_ = false;
            }
        } else if (anchored_) {
            ++t_.jumps;
            anchored_ = false;
        }
        behind_ = 0;
        prev_ = f.pts;
        if (!anchored_) {
            anchored_ = true;
            anchor_ts_ = unwrapped_;
            anchor_field_ = position();
        }
    }
    const int shown = 2 + f.repeat;
    if (field_pictures_) {
        const bool bottom = !f.top_first;
        if (pending_ && pending_bottom_ == bottom) {
            // The field pending lost its pair: a frame of its own.
            field(pending_picture_, !bottom);
            t_.lone.push_back(int(t_.frames.size()) - 1);
        } else if (!pending_ && bottom != first_bottom_) {
            // A second field whose first was lost: a frame of its own.
            t_.lone.push_back(int(t_.frames.size()));
            field(i, !bottom);
        }
        field(i, bottom);
    } else if (fields_) {
        bool bottom = !f.top_first;
        for (int k = 0; k < shown; ++k, bottom = !bottom) field(i, bottom);
    } else {
        t_.frames.push_back({i, i});
        frames_out_ += shown;
    }
    last_ = i;
}

Timeline TimelineBuilder::finish() {
    // A last field without its pair (the stream cut between them) is a frame of its own.
    if (field_pictures_ && pending_) {
        field(pending_picture_, !pending_bottom_);
        t_.lone.push_back(int(t_.frames.size()) - 1);
    }
    const int64_t n = added_;
    // Jumps, too, are few in a recording whose timestamps mean something.
    const int doubtful = bad_ + t_.jumps;
    t_.timestamps_usable = doubtful <= 2 || int64_t(doubtful) * 20 <= n;
    t_.top_first = top_starts_ >= bottom_starts_;
    return std::move(t_);
}

Timeline make_timeline(const VideoIndex& index, bool fields, uint32_t rate_num, uint32_t rate_den,
                       int max_fill_seconds) {
    TimelineBuilder b(index, fields, rate_num, rate_den, max_fill_seconds);
    for (int i = 0; i < int(index.frames.size()); ++i) b.add(i);
    return b.finish();
}

std::vector<int64_t> own_frame_times(const VideoIndex& index, const Timeline& timeline,
                                     uint32_t rate_num, uint32_t rate_den, int max_step_seconds) {
    if (!timeline.timestamps_usable || timeline.frames.empty() || rate_num == 0 || rate_den == 0 ||
        index.time_base_num == 0 || index.time_base_den == 0)
        return {};
    // A frame's duration in ticks is per_num / per_den.
    const __int128 per_num = __int128(index.time_base_den) * rate_den;
    const __int128 per_den = __int128(index.time_base_num) * rate_num;
    const int64_t per = int64_t((per_num + per_den / 2) / per_den);
    const __int128 max_step =
        __int128(index.time_base_den) * max_step_seconds / index.time_base_num;
    const int bits = std::clamp<int>(index.timestamp_bits, 8, 64);
    auto step = [bits](int64_t from, int64_t to) { return wrapped_step(bits, from, to); };
    // The pictures' times first; the frames that repeat a picture share the time to the next
    // picture evenly (a picture missing, or a part at a lower rate than the clip's).
    std::vector<int64_t> out(timeline.frames.size(), 0);
    std::vector<bool> repeat(timeline.frames.size(), false);
    int64_t prev_pts = kNoTimestamp, picture_at = 0;
    for (size_t n = 0; n < timeline.frames.size(); ++n) {
        const FrameSource src = timeline.frames[n];
        if (src.top != src.bottom || src.top < 0 || size_t(src.top) >= index.frames.size())
            return {};
        if (n > 0 && src.top == timeline.frames[n - 1].top) {
            repeat[n] = true;
            continue;
        }
        const int64_t pts = index.frames[size_t(src.top)].pts;
        if (pts == kNoTimestamp) return {};
        if (n > 0) {
            const int64_t d = step(prev_pts, pts);
            if (d <= 0 || d > max_step) return {};
            picture_at += d;
        }
        prev_pts = pts;
        out[n] = picture_at;
    }
    bool off = false;
    for (size_t n = 0, shown = 0; n < out.size(); ++n) {
        if (!repeat[n]) {
            shown = n;
        } else {
            size_t next = n;
            while (next < out.size() && repeat[next]) ++next;
            const int64_t span =
                next < out.size() ? out[next] - out[shown] : per * int64_t(next - shown);
            out[n] = out[shown] + span * int64_t(n - shown) / int64_t(next - shown);
        }
        if (n > 0 && out[n] <= out[n - 1]) return {};
        const __int128 from_place = __int128(out[n]) * per_den - __int128(n) * per_num;
        off = off || 2 * (from_place < 0 ? -from_place : from_place) >= per_num;
    }
    if (!off) return {};
    return out;
}

std::string default_index_path(const std::string& absolute_input, bool folder_writable,
                               const std::string& cache_home) {
    if (folder_writable) return absolute_input + ".qexindex";
    const size_t slash = absolute_input.find_last_of('/');
    const std::string base =
        slash == std::string::npos ? absolute_input : absolute_input.substr(slash + 1);
    char hex[17];
    static const char digits[] = "0123456789abcdef";
    uint64_t v = bytes_hash(absolute_input);
    for (int i = 15; i >= 0; --i, v >>= 4) hex[i] = digits[v & 15];
    hex[16] = '\0';
    // A long file name is shortened so that the cache name stays within NAME_MAX.
    return cache_home + "/qex/" + base.substr(0, 200) + "." + hex + ".qexindex";
}

FrameLocator::FrameLocator(const VideoIndex& index) : index_(&index) {
    const auto& fr = index.frames;
    by_pts_.reserve(fr.size());
    by_hash_.reserve(fr.size());
    for (int i = 0; i < int(fr.size()); ++i) {
        if (fr[size_t(i)].pts != kNoTimestamp) {
            auto [it, fresh] = by_pts_.emplace(fr[size_t(i)].pts, i);
            if (!fresh) it->second = -1;
        }
        auto [it, fresh] = by_hash_.emplace(fr[size_t(i)].hash, i);
        if (!fresh) it->second = -1;
        if (fr[size_t(i)].key && fr[size_t(i)].pos >= 0) keys_.push_back(i);
    }
}

std::optional<int> FrameLocator::identify(int64_t pts, uint64_t hash, int after) const {
    const auto& fr = index_->frames;
    if (pts != kNoTimestamp) {
        auto it = by_pts_.find(pts);
        if (it != by_pts_.end() && it->second > after && fr[size_t(it->second)].hash == hash)
            return it->second;
    }
    auto it = by_hash_.find(hash);
    if (it != by_hash_.end() && it->second > after) return it->second;
    return std::nullopt;
}

int FrameLocator::key_at_or_before(int n) const {
    auto it = std::upper_bound(keys_.begin(), keys_.end(), n);
    return it == keys_.begin() ? -1 : *(it - 1);
}

}  // namespace qexhost
