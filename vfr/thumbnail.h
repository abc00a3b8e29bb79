// Small JPEG pictures of frames, for the report: scaled with libswscale, encoded with
// libavcodec's MJPEG encoder.
#pragma once

#include "avisynth.h"
#include "vfr/report.h"

namespace qexvfr {

// A picture `width` pixels wide (the height keeps the frame's shape, rounded to even) of a
// frame of a clip described by `vi` (YV12, I420, YUY2, RGB24 or RGB32). An empty thumbnail when
// the frame cannot be converted or encoded.
Thumbnail make_thumbnail(const VideoInfo& vi, const PVideoFrame& frame, int width);

}  // namespace qexvfr
