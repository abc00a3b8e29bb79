#include "host/pipe_output.h"

#include <cstring>

namespace qexhost {

namespace {

std::string errtext(int err) {
    return std::strerror(err);
}

}  // namespace

bool writes_y4m(const VideoInfo& vi) {
    return vi.IsYV12();
}

void check_frame_size(const VideoInfo& vi, const VideoFrame& frame) {
    auto check = [&](int plane) {
        int rs = vi.RowSize(plane), h = vi.PlaneHeight(plane);
        if (frame.GetRowSize(plane) != rs || frame.GetHeight(plane) != h) {
            throw std::runtime_error("a filter gave a frame of another size than its clip (" +
                                     std::to_string(frame.GetRowSize(plane)) + " bytes x " +
                                     std::to_string(frame.GetHeight(plane)) + " lines instead of " +
                                     std::to_string(rs) + " x " + std::to_string(h) + ")");
        }
    };
    if (vi.IsPlanar()) {
        check(PLANAR_Y);
        check(PLANAR_U);
        check(PLANAR_V);
    } else {
        check(0);
    }
}

OutputTarget::OutputTarget(const std::string& path) : path_(path) {
    if (path == "-") {
        path_ = "standard output";
        to_stdout_ = true;
        return;
    }
    const wholefile::Status s = out_.open(path, {.temp_tag = "qexpipe", .sync = false});
    switch (s.step) {
        case wholefile::Step::kNone:
            return;
        case wholefile::Step::kFolder:
            throw OutputError("cannot write " + path + ": it is a folder", s.error);
        case wholefile::Step::kCreate:
            throw OutputError("cannot create " + path + ": " + errtext(s.error), s.error);
        default:
            throw OutputError("cannot open " + path + ": " + errtext(s.error), s.error);
    }
}

void OutputTarget::commit() {
    if (committed_) return;
    if (!to_stdout_) {
        const std::string temp = out_.temp_path();
        const wholefile::Status s = out_.commit();
        if (s.step == wholefile::Step::kReplace) {
            throw OutputError("cannot rename " + temp + " to " + path_ + ": " + errtext(s.error),
                              s.error);
        }
        if (!s.ok()) throw OutputError("cannot write " + path_ + ": " + errtext(s.error), s.error);
    }
    committed_ = true;
}

}  // namespace qexhost
