// Win32 side of the platform layer: paging-file-backed file mappings, named mutexes,
// Ctrl+C to the console, MessageBoxA and OutputDebugStringA.
//
// Named objects get the default security of the creating process (its owner, SYSTEM and
// administrators) and disappear when the last handle closes, at the latest when the process
// ends.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "plugin/platform.h"

namespace qex::platform {
namespace {

bool valid_name(const char* name) {
    const std::size_t n = std::strlen(name);
    return n > 0 && n <= 100;
}

HANDLE as_handle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

int process_id() {
    return int(GetCurrentProcessId());
}

void trace(const char* format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    OutputDebugStringA(line);
}

void error_box(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONERROR);
}

void signal_end_of_stream() {
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
}

// ---------------------------------------------------------------------------

SharedMemory::~SharedMemory() {
    close();
}

bool SharedMemory::create(const char* name, std::size_t size) {
    close();
    if (size == 0 || !valid_name(name)) return false;
    const auto size64 = static_cast<unsigned long long>(size);
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  DWORD(size64 >> 32), DWORD(size64 & 0xFFFFFFFFu), name);
    if (h == nullptr) return false;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    std::strncpy(name_, name, sizeof name_ - 1);
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (view == nullptr) return true;  // created, but without a view
    view_ = static_cast<std::uint8_t*>(view);
    size_ = size;
    std::memset(view_, 0, size_);
    return true;
}

bool SharedMemory::open(const char* name) {
    close();
    if (!valid_name(name)) return false;
    HANDLE h = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (h == nullptr) return false;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    void* view = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) return true;  // opened, nothing mapped
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(view, &info, sizeof info) == 0) {
        UnmapViewOfFile(view);
        return true;
    }
    view_ = static_cast<std::uint8_t*>(view);
    size_ = info.RegionSize;
    return true;
}

void SharedMemory::close() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    view_ = nullptr;
    size_ = 0;
    if (handle_ != kNoHandle) CloseHandle(as_handle(handle_));
    handle_ = kNoHandle;
    name_[0] = '\0';
}

// ---------------------------------------------------------------------------

NamedMutex::~NamedMutex() {
    close();
}

bool NamedMutex::create(const char* name) {
    close();
    if (!valid_name(name)) return false;
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) return false;
    handle_ = h;
    std::strncpy(name_, name, sizeof name_ - 1);
    return true;
}

void NamedMutex::close() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    name_[0] = '\0';
}

void NamedMutex::lock() {
    if (handle_ != nullptr) WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
}

void NamedMutex::unlock() {
    if (handle_ != nullptr) ReleaseMutex(static_cast<HANDLE>(handle_));
}

}  // namespace qex::platform
