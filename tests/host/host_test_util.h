// Helpers of the host core tests.
#pragma once

#include "avisynth.h"
#include "host/env.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace hosttest {

using qexhost::Environment;

// Calls a script function with positional arguments and optional named ones.
inline AVSValue call(Environment& env, const char* name, std::vector<AVSValue> args,
                     std::vector<std::pair<std::string, AVSValue>> named = {}) {
    std::vector<const char*> names(args.size(), nullptr);
    for (auto& [n, v] : named) {
        args.push_back(v);
        names.push_back(n.c_str());
    }
    return env.Invoke(name, AVSValue(args.data(), int(args.size())), names.data());
}

inline PClip clip(Environment& env, const char* name, std::vector<AVSValue> args,
                  std::vector<std::pair<std::string, AVSValue>> named = {}) {
    return call(env, name, std::move(args), std::move(named)).AsClip();
}

// A top-field-first StampSource clip.
inline PClip stamp(Environment& env, int length, const char* pixel_type = "YV12", int width = 16,
                   int height = 8) {
    return clip(env, "StampSource", {length, width, height, pixel_type, 30000, 1001});
}

// The field index written at the start of picture row r (RGB pictures are stored bottom-up).
inline uint32_t stamp_at(const PVideoFrame& f, const VideoInfo& vi, int r) {
    const int plane = vi.IsPlanar() ? PLANAR_Y : 0;
    const int h = f->GetHeight(plane);
    const int row = vi.IsRGB() ? h - 1 - r : r;
    const BYTE* p = f->GetReadPtr(plane) + ptrdiff_t(row) * f->GetPitch(plane);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Rows 0 and 1 of every frame: which source fields each frame shows.
inline std::vector<std::pair<uint32_t, uint32_t>> provenance(Environment& env, const PClip& c) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    const VideoInfo& vi = c->GetVideoInfo();
    for (int n = 0; n < vi.num_frames; ++n) {
        PVideoFrame f = c->GetFrame(n, &env);
        out.emplace_back(stamp_at(f, vi, 0), stamp_at(f, vi, 1));
    }
    return out;
}

inline std::vector<bool> parities(const PClip& c) {
    std::vector<bool> out;
    for (int n = 0; n < c->GetVideoInfo().num_frames; ++n) out.push_back(c->GetParity(n));
    return out;
}

// Runs f and returns the AvisynthError text it throws ("" when it throws none).
template <class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const AvisynthError& e) {
        return e.msg;
    }
    return "";
}

}  // namespace hosttest
