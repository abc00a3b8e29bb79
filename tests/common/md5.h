// The md5 sums the media tests compare with ffmpeg's framemd5 output.
#pragma once

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <cstdint>
#include <cstdio>
#include <string>

namespace qextest {

// Finishes `ctx`, frees it and returns its sum as 32 lower-case hex digits, as framemd5 writes
// them.
inline std::string md5_hex(AVMD5* ctx) {
    uint8_t sum[16];
    av_md5_final(ctx, sum);
    av_free(ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", sum[i]);
    return hex;
}

}  // namespace qextest
