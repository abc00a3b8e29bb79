#include "pipe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qexhost {

namespace {

std::string errtext(int err) { return std::strerror(err); }

}  // namespace

bool writes_y4m(const VideoInfo& vi) { return vi.IsYV12(); }

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
        fd_ = STDOUT_FILENO;
        return;
    }
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            throw OutputError("cannot write " + path + ": it is a folder", EISDIR);
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) {
            int err = errno;
            throw OutputError("cannot open " + path + ": " + errtext(err), err);
        }
        owns_fd_ = true;
        return;
    }
    dest_ = path;
    mode_t mode;
    if (exists) {
        // Replace what a plain open would have written to: the file behind a symbolic link,
        // only when it may be written, keeping its permissions.
        if (::access(path.c_str(), W_OK) != 0) {
            int err = errno;
            throw OutputError("cannot open " + path + ": " + errtext(err), err);
        }
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            dest_ = real;
            std::free(real);
        }
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    std::string tmpl = dest_ + ".part-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) {
        int err = errno;
        throw OutputError("cannot create " + path + ": " + errtext(err), err);
    }
    owns_fd_ = true;
    temp_ = name.data();
    ::fchmod(fd_, mode);  // mkstemp makes the file private
}

void OutputTarget::commit() {
    if (committed_) return;
    if (owns_fd_) {
        int fd = fd_;
        fd_ = -1;
        owns_fd_ = false;
        if (::close(fd) != 0) {
            int err = errno;
            throw OutputError("cannot write " + path_ + ": " + errtext(err), err);
        }
    }
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), dest_.c_str()) != 0) {
            int err = errno;
            throw OutputError("cannot rename " + temp_ + " to " + path_ + ": " + errtext(err), err);
        }
        temp_.clear();
    }
    committed_ = true;
}

OutputTarget::~OutputTarget() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

}  // namespace qexhost
