#include "common/wholefile.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace wholefile {

namespace {

#ifdef _WIN32
constexpr std::string_view kSeparators = "/\\:";
#else
constexpr std::string_view kSeparators = "/";
#endif

// A suffix that another writer (thread or process) is very unlikely to pick at the same time.
std::string unique_suffix() {
    static const uint64_t seed = [] {
        std::random_device rd;
        return (uint64_t{rd()} << 32) ^ rd();
    }();
    static std::atomic<uint64_t> counter{0};
    // splitmix64 of the seed and a counter: distinct for every call in this process.
    uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (counter.fetch_add(1) + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s(8, '0');
    for (char& c : s) {
        c = kDigits[z % 36];
        z /= 36;
    }
    return s;
}

}  // namespace

std::string temp_prefix(std::string_view target, std::string_view tag) {
    const std::size_t sep = target.find_last_of(kSeparators);
    std::string out(target.substr(0, sep == std::string_view::npos ? 0 : sep + 1));
    out += '.';
    out += tag;
    out += '-';
    return out;
}

#ifdef _WIN32

Status write_file(const std::string& path, std::string_view bytes, const Options& options) {
    const std::string temp = temp_prefix(path, options.temp_tag) +
                             std::to_string(::GetCurrentProcessId()) + "-" + unique_suffix();
    // Text mode, so that line feeds become CR LF as files on this system expect.
    std::FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) return {Step::kCreate, errno};
    Status s;
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) s = {Step::kWrite, errno};
    if (std::fflush(f) != 0 && s.ok()) s = {Step::kWrite, errno};
    if (std::fclose(f) != 0 && s.ok()) s = {Step::kWrite, errno};
    if (s.ok()) {
        DWORD flags = MOVEFILE_REPLACE_EXISTING;
        if (options.sync) flags |= MOVEFILE_WRITE_THROUGH;
        // rename() does not replace an existing file here.
        if (!::MoveFileExA(temp.c_str(), path.c_str(), flags))
            s = {Step::kReplace, static_cast<int>(::GetLastError())};
    }
    if (!s.ok()) std::remove(temp.c_str());
    return s;
}

#else

namespace {

constexpr int kMaxLinks = 40;

// Blocks SIGPIPE while a pipe is written, so that a reader who left gives EPIPE instead of
// ending the process (which may be a host that loaded us), and swallows the signal that the
// write raised.
class SigpipeGuard {
  public:
    SigpipeGuard() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (!was_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{};
                while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {}
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

  private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool was_pending_ = false;
};

Status write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {Step::kWrite, errno};
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

std::string link_destination(std::string_view link, std::string_view contents) {
    if (!contents.empty() && contents.front() == '/') return std::string(contents);
    const std::size_t slash = link.rfind('/');
    std::string out(link.substr(0, slash == std::string_view::npos ? 0 : slash + 1));
    out += contents;
    return out;
}

Status resolve(const std::string& path, Target& target) {
    target = Target{};
    struct stat reached {};
    if (::stat(path.c_str(), &reached) == 0 && !S_ISREG(reached.st_mode)) {
        // Decided on what opening the path reaches, so that links whose contents are no path
        // (/dev/stdout on a pipe goes through /proc/self/fd/1 to "pipe:[...]") work too.
        target.path = path;
        target.exists = true;
        if (S_ISDIR(reached.st_mode)) return {Step::kFolder, EISDIR};
        target.in_place = true;
        return {};
    }
    std::string p = path;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            // Nothing there yet (or a directory that cannot be searched, which creating the
            // temporary file will report).
            target.path = std::move(p);
            return {};
        }
        if (!S_ISLNK(st.st_mode)) {
            target.path = std::move(p);
            target.exists = true;
            if (S_ISDIR(st.st_mode)) return {Step::kFolder, EISDIR};
            if (!S_ISREG(st.st_mode)) {
                target.in_place = true;
                return {};
            }
            // Renaming over a file needs only the directory's permission; a file that may
            // not be written to is not replaced either.
            if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0)
                return {Step::kOpen, errno};
            return {};
        }
        if (links == kMaxLinks) {
            target.path = std::move(p);
            return {Step::kLinks, ELOOP};
        }
        std::string contents(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(p.c_str(), contents.data(), contents.size());
        if (n < 0 || static_cast<std::size_t>(n) >= contents.size()) {
            // Unreadable, or changed while it was read.
            const int err = n < 0 ? errno : EAGAIN;
            target.path = std::move(p);
            return {Step::kLinks, err};
        }
        contents.resize(static_cast<std::size_t>(n));
        p = link_destination(p, contents);
    }
}

Output::~Output() {
    discard();
}

void Output::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

Status Output::open(const std::string& path, const Options& options) {
    discard();
    sync_ = options.sync;
    if (Status s = resolve(path, target_); !s.ok()) return s;

    if (target_.in_place) {
        // A device or a pipe has no contents to replace: it is written in place.
        const int fd = ::open(target_.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return {Step::kOpen, errno};
        struct stat st {};
        if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
            fd_ = fd;
            return {};
        }
        // It became a regular file in the meantime: that one is replaced whole, if it may be
        // written.
        ::close(fd);
        target_.in_place = false;
        if (::faccessat(AT_FDCWD, target_.path.c_str(), W_OK, AT_EACCESS) != 0)
            return {Step::kOpen, errno};
    }

    // Created with 0666 less the umask, as a plain open would create the target.
    const std::string prefix = temp_prefix(target_.path, options.temp_tag);
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && fd_ < 0 && err == EEXIST; ++attempt) {
        std::string name = prefix + unique_suffix();
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd_ >= 0)
            temp_ = std::move(name);
        else
            err = errno;
    }
    if (fd_ < 0) return {Step::kCreate, err};

    // A file being replaced keeps its owner (where we may give it away) and its mode.
    struct stat old {};
    if (::stat(target_.path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        struct stat mine {};
        if (::fstat(fd_, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
            // Where we may not give the file away, it stays ours like any file we create.
            [[maybe_unused]] const int given = ::fchown(fd_, old.st_uid, old.st_gid);
        }
        if (::fchmod(fd_, old.st_mode & 07777) != 0) {
            const int e = errno;
            discard();
            return {Step::kCreate, e};
        }
    }
    return {};
}

Status Output::write(std::string_view bytes) {
    if (fd_ < 0) return {Step::kWrite, EBADF};
    if (!target_.in_place) return write_all(fd_, bytes);
    SigpipeGuard guard;
    return write_all(fd_, bytes);
}

Status Output::commit() {
    if (fd_ < 0) return {Step::kWrite, EBADF};
    Status s;
    if (sync_ && !target_.in_place && ::fsync(fd_) != 0) s = {Step::kWrite, errno};
    if (::close(fd_) != 0 && s.ok()) s = {Step::kWrite, errno};
    fd_ = -1;
    if (s.ok() && !temp_.empty()) {
        if (std::rename(temp_.c_str(), target_.path.c_str()) == 0)
            temp_.clear();
        else
            s = {Step::kReplace, errno};
    }
    if (!s.ok()) discard();
    return s;
}

Status write_file(const std::string& path, std::string_view bytes, const Options& options) {
    Output out;
    if (Status s = out.open(path, options); !s.ok()) return s;
    if (Status s = out.write(bytes); !s.ok()) return s;
    return out.commit();
}

#endif

}  // namespace wholefile
