// Index files of VideoSource, as read back from disk: the input as it is, and the input with a
// correct checksum put at its end (so that the fuzzer reaches the fields behind the checksum).
// Whatever the parser accepts must write back to the same bytes, and the frames laid out from
// it must name pictures of the index only.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "media/videoindex.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void read_back(std::string_view bytes) {
    std::string why;
    std::optional<qexhost::VideoIndex> x = qexhost::parse_index(bytes, &why);
    if (!x) {
        check(!why.empty());
        return;
    }
    check(qexhost::serialize_index(*x) == bytes);
    const int pictures = int(x->frames.size());
    qexhost::FrameLocator locator(*x);
    for (int n : {0, pictures / 2, pictures - 1}) {
        const int k = locator.key_at_or_before(n);
        check(k >= -1 && k <= n);
        const auto& f = x->frames[std::size_t(n)];
        if (auto id = locator.identify(f.pts, f.hash)) check(*id >= 0 && *id < pictures);
    }
    for (bool fields : {true, false}) {
        const auto rate = fields && x->field_pair_num
                              ? std::pair{x->field_pair_num, x->field_pair_den}
                              : std::pair{x->rate_num, x->rate_den};
        // A short limit on filling, so that absurd timestamps cannot ask for hours of frames.
        const qexhost::Timeline t = qexhost::make_timeline(*x, fields, rate.first, rate.second, 1);
        for (const qexhost::FrameSource& s : t.frames)
            check(s.top >= 0 && s.top < pictures && s.bottom >= 0 && s.bottom < pictures);
        for (const auto& s : t.filled)
            check(s.first >= 0 && s.count > 0 && s.first + s.count <= int(t.frames.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    read_back(bytes);
    std::string sealed(bytes);
    const std::uint64_t sum = qexhost::index_checksum(sealed);
    for (int i = 0; i < 8; ++i) sealed.push_back(char(sum >> (8 * i)));
    read_back(sealed);
    return 0;
}
