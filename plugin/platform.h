// What the plug-in needs of the operating system: named shared memory, named mutexes, the
// end-of-stream signal, an error box, trace lines and the process id. One interface, with a
// POSIX implementation (platform_posix.cpp) and a Win32 one (platform_win32.cpp).
//
// Object names are given without any platform prefix ("melvo_vfrinfo_1234"); the POSIX side
// adds the leading "/" that shm_open and sem_open require.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qex::platform {

// Id of the current process (the suffix of every named object of the plug-in).
int process_id();

// Formats a trace line (at most 1023 characters) and sends it to the debug output: standard
// error when the environment variable QEX_TRACE is set (POSIX), OutputDebugStringA (Win32).
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tells the user about a problem without stopping: one line "caption: text" on standard
// error (POSIX), a modal error box without owner window (Win32).
void error_box(const char* text, const char* caption);

// Tells the process that drives the encoding that the stream has ended: SIGINT to this process
// only (POSIX; a frame server ends its output and a piped encoder then sees a normal end of
// file), Ctrl+C to the console's processes (Win32, where the encoder hosts the frame server).
void signal_end_of_stream();

// A named block of shared memory, mapped read-write as a whole.
//
// The creator makes the object owner-only, zero-filled, and removes its name when it is
// destroyed or when the process ends, whichever comes first. An opener only maps it.
class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates `name` with `size` bytes (replacing a stale object of that name) and maps it.
  bool create(const char* name, std::size_t size);
  // Opens the existing object `name` with full access and maps the whole of it.
  bool open(const char* name);
  void close();

  bool is_open() const { return handle_ != kNoHandle; }
  std::uint8_t* data() const { return view_; }
  // Bytes that may be accessed through data(); 0 when nothing is mapped.
  std::size_t size() const { return size_; }

 private:
  static constexpr std::intptr_t kNoHandle = -1;
  std::intptr_t handle_ = kNoHandle;  // file descriptor or HANDLE
  std::uint8_t* view_ = nullptr;
  std::size_t size_ = 0;
  char name_[104] = {};  // set for the creator only
};

// A named mutex of the process, used as a binary lock (a named semaphore on POSIX).
// Created unowned and owner-only; its name is removed when the creator is destroyed or the
// process ends.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool create(const char* name);
  void close();
  bool is_open() const { return handle_ != nullptr; }

  // Waits without time limit; does nothing when the mutex is not open.
  void lock();
  void unlock();

 private:
  void* handle_ = nullptr;  // sem_t* or HANDLE
  char name_[104] = {};
};

// Holds a NamedMutex for one scope.
class NamedLock {
 public:
  explicit NamedLock(NamedMutex& m) : m_(m) { m_.lock(); }
  ~NamedLock() { m_.unlock(); }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

 private:
  NamedMutex& m_;
};

}  // namespace qex::platform
