// POSIX side of the platform layer: shm_open/mmap, named semaphores, SIGINT, standard error.
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/platform.h"

namespace qex::platform {
namespace {

// Names this process created and must remove when it ends. Each name is owned by the object
// that created it last; an older creator of the same name no longer removes it. Entries carry
// the creating process id, so a forked child never removes its parent's objects.
struct Created {
    std::string name;  // with the leading "/"
    bool semaphore;
    const void* owner;
    pid_t pid;
};

struct Registry {
    std::mutex lock;
    std::vector<Created> names;
};

void remove_all_at_exit();

Registry& registry() {
    // Never destroyed, so that it is still there when the exit handler runs.
    static Registry* r = [] {
        auto* reg = new Registry;
        std::atexit(remove_all_at_exit);
        return reg;
    }();
    return *r;
}

void unlink_name(const Created& c) {
    if (c.semaphore)
        sem_unlink(c.name.c_str());
    else
        shm_unlink(c.name.c_str());
}

void remove_all_at_exit() {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    for (const Created& c : r.names)
        if (c.pid == getpid()) unlink_name(c);
    r.names.clear();
}

void register_name(const char* name, bool semaphore, const void* owner) {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    std::erase_if(r.names,
                  [&](const Created& c) { return c.name == name && c.semaphore == semaphore; });
    r.names.push_back({name, semaphore, owner, getpid()});
}

// Removes the name when `owner` is still its creator in this process.
void release_name(const char* name, bool semaphore, const void* owner) {
    Registry& r = registry();
    std::lock_guard g(r.lock);
    for (auto it = r.names.begin(); it != r.names.end(); ++it) {
        if (it->name == name && it->semaphore == semaphore && it->owner == owner) {
            if (it->pid == getpid()) unlink_name(*it);
            r.names.erase(it);
            return;
        }
    }
}

// "/" + name into `out` (capacity 104); false when the name does not fit or is empty.
bool posix_name(const char* name, char (&out)[104]) {
    const std::size_t n = std::strlen(name);
    if (n == 0 || n > 100 || std::strchr(name, '/') != nullptr) return false;
    out[0] = '/';
    std::memcpy(out + 1, name, n + 1);
    return true;
}

}  // namespace

int process_id() {
    return int(getpid());
}

void trace(const char* format, ...) {
    if (std::getenv("QEX_TRACE") == nullptr) return;
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    std::fprintf(stderr, "%s\n", line);
}

void error_box(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}

// This process only: a frame server hosting the plug-in finishes its stream, while an encoder
// reading from its pipe (same process group) is left alone to drain its lookahead and see a
// normal end of file.
void signal_end_of_stream() {
    raise(SIGINT);
}

// ---------------------------------------------------------------------------

SharedMemory::~SharedMemory() {
    close();
}

bool SharedMemory::create(const char* name, std::size_t size) {
    close();
    char pname[104];
    if (size == 0 || !posix_name(name, pname)) return false;
    // A stale object of this name (left by a process that died with our id) is replaced.
    shm_unlink(pname);
    const int fd = shm_open(pname, O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) return false;
    fchmod(fd, 0600);  // owner-only whatever the umask
    if (ftruncate(fd, off_t(size)) != 0) {
        ::close(fd);
        shm_unlink(pname);
        return false;
    }
    std::memcpy(name_, pname, sizeof pname);
    register_name(name_, false, this);
    handle_ = fd;
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return true;  // created, but without a view
    view_ = static_cast<std::uint8_t*>(view);
    size_ = size;
    std::memset(view_, 0, size_);
    return true;
}

bool SharedMemory::open(const char* name) {
    close();
    char pname[104];
    if (!posix_name(name, pname)) return false;
    const int fd = shm_open(pname, O_RDWR, 0);
    if (fd < 0) return false;
    handle_ = fd;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) return true;  // opened, nothing to map
    void* view = mmap(nullptr, std::size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return true;
    view_ = static_cast<std::uint8_t*>(view);
    size_ = std::size_t(st.st_size);
    return true;
}

void SharedMemory::close() {
    if (view_ != nullptr) munmap(view_, size_);
    view_ = nullptr;
    size_ = 0;
    if (handle_ != kNoHandle) ::close(int(handle_));
    handle_ = kNoHandle;
    if (name_[0] != '\0') release_name(name_, false, this);
    name_[0] = '\0';
}

// ---------------------------------------------------------------------------

NamedMutex::~NamedMutex() {
    close();
}

bool NamedMutex::create(const char* name) {
    close();
    char pname[104];
    if (!posix_name(name, pname)) return false;
    // A stale semaphore could have been left taken by a process that died; start afresh.
    sem_unlink(pname);
    sem_t* s = sem_open(pname, O_CREAT | O_EXCL, 0600, 1u);
    if (s == SEM_FAILED) return false;
    handle_ = s;
    std::memcpy(name_, pname, sizeof pname);
    register_name(name_, true, this);
    return true;
}

void NamedMutex::close() {
    if (handle_ != nullptr) sem_close(static_cast<sem_t*>(handle_));
    handle_ = nullptr;
    if (name_[0] != '\0') release_name(name_, true, this);
    name_[0] = '\0';
}

void NamedMutex::lock() {
    if (handle_ == nullptr) return;
    while (sem_wait(static_cast<sem_t*>(handle_)) != 0 && errno == EINTR) {}
}

void NamedMutex::unlock() {
    if (handle_ != nullptr) sem_post(static_cast<sem_t*>(handle_));
}

}  // namespace qex::platform
