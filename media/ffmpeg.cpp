#include "media/ffmpeg.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace qexmedia {

namespace {

// The capture of the calling thread, innermost first; null when the thread has none.
thread_local LogCapture* t_capture = nullptr;

// FFmpeg's log callback for the whole process, set once: a thread with a capture keeps its
// messages, every other thread's go to FFmpeg's own printer as they would without it.
void dispatch_log(void* avcl, int level, const char* fmt, va_list args) {
    LogCapture* capture = t_capture;
    if (!capture) {
        av_log_default_callback(avcl, level, fmt, args);
        return;
    }
    if (level > AV_LOG_ERROR) return;
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    capture->add(level, buf);
}

void trim_end(std::string& s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
}

}  // namespace

std::string error_text(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

void quiet_library_log() {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_FATAL);
}

LogCapture::LogCapture() : outer_(t_capture) {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(dispatch_log); });
    t_capture = this;
}

LogCapture::~LogCapture() {
    t_capture = outer_;
}

void LogCapture::add(int, const char* message) {
    piece_ += message;
    if (!piece_.empty() && piece_.back() == '\n') end_line();
}

void LogCapture::end_line() {
    trim_end(piece_);
    if (piece_.empty()) return;
    if (!lines_.empty()) lines_ += "; ";
    lines_ += piece_;
    piece_.clear();
}

std::string LogCapture::text() {
    end_line();
    return lines_;
}

}  // namespace qexmedia
