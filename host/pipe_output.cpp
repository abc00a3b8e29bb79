#include "pipe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qexhost {

namespace {

std::string errtext(int err) { return std::strerror(err); }

}  // namespace

BufferedWriter::BufferedWriter(int fd, std::string name, size_t capacity)
    : fd_(fd), name_(std::move(name)), buf_(capacity ? capacity : 1) {}

void BufferedWriter::write_all(const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            throw OutputError("cannot write " + name_ + ": " + errtext(err), err);
        }
        p += w;
        n -= static_cast<size_t>(w);
        total_ += static_cast<uint64_t>(w);
    }
}

void BufferedWriter::flush() {
    if (used_ == 0) return;
    size_t n = used_;
    used_ = 0;
    write_all(buf_.data(), n);
}

void BufferedWriter::write(const void* data, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size <= buf_.size() - used_) {
        std::memcpy(buf_.data() + used_, p, size);
        used_ += size;
        return;
    }
    flush();
    if (size >= buf_.size() / 2) {
        write_all(p, size);  // large span: no staging copy
        return;
    }
    std::memcpy(buf_.data(), p, size);
    used_ = size;
}

void BufferedWriter::write_plane(const uint8_t* first_row, std::ptrdiff_t pitch, size_t row_size,
                                 int height) {
    if (height <= 0 || row_size == 0) return;
    if (pitch == static_cast<std::ptrdiff_t>(row_size)) {
        write(first_row, row_size * static_cast<size_t>(height));
        return;
    }
    const uint8_t* row = first_row;
    for (int y = 0; y < height; ++y, row += pitch) write(row, row_size);
}

OutputTarget::OutputTarget(const std::string& path) : path_(path) {
    if (path == "-") {
        path_ = "standard output";
        fd_ = STDOUT_FILENO;
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
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
    std::string tmpl = path + ".part-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) {
        int err = errno;
        throw OutputError("cannot create " + path + ": " + errtext(err), err);
    }
    owns_fd_ = true;
    temp_ = name.data();
    // mkstemp makes the file private; give it the mode a plain create would have.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
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
        if (::rename(temp_.c_str(), path_.c_str()) != 0) {
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
