// A reader of a named pipe for tests: reads on its own thread until every writer has closed
// the pipe (or, with read == false, leaves at once after opening it).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace qex_test {

// Reads a named pipe on its own thread until every writer has closed it.
class FifoReader {
  public:
    explicit FifoReader(std::filesystem::path fifo, bool read = true)
        : fifo_(std::move(fifo)), handle_(::open(fifo_.c_str(), O_PATH | O_CLOEXEC)) {
        thread_ = std::thread([this, read] {
            const int fd = ::open(fifo_.c_str(), O_RDONLY);
            opened_ = true;
            if (fd < 0) return;
            char buf[4096];
            ssize_t n;
            while (read && (n = ::read(fd, buf, sizeof buf)) != 0) {
                if (n > 0)
                    data_.append(buf, static_cast<std::size_t>(n));
                else if (errno != EINTR)
                    break;
            }
            ::close(fd);
        });
    }
    // Waits for the reader. If the writer never opened the pipe, a short-lived writer
    // releases the reader's open.
    std::string finish() {
        // Through the handle, so that this reaches the pipe even if it was renamed away.
        const std::string pipe = "/proc/self/fd/" + std::to_string(handle_);
        while (!opened_) {
            const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_.join();
        if (handle_ >= 0) ::close(handle_);
        handle_ = -1;
        return data_;
    }
    ~FifoReader() {
        if (thread_.joinable()) finish();
    }

  private:
    std::filesystem::path fifo_;
    int handle_;  // names the pipe without opening it for reading or writing
    std::atomic<bool> opened_{false};
    std::string data_;
    std::thread thread_;
};

}  // namespace qex_test
