#include "cli/progress.h"

#include <unistd.h>

namespace qexcli {

ProgressLine::ProgressLine(Style style, std::FILE* out)
    : ProgressLine(style, out, ::isatty(::fileno(out)) != 0) {}

ProgressLine::ProgressLine(Style style, std::FILE* out, bool terminal)
    : style_(style), out_(out), tty_(terminal), start_(Clock::now()), shown_(start_) {
    if (tty_ && style_.first_at_once) shown_ = start_ - style_.terminal_every;
}

double ProgressLine::seconds(Clock::time_point now) const {
    return std::chrono::duration<double>(now - start_).count();
}

bool ProgressLine::due(Clock::time_point now) {
    if (now - shown_ < (tty_ ? style_.terminal_every : style_.pipe_every)) return false;
    shown_ = now;
    return true;
}

void ProgressLine::show(const std::string& text) {
    if (tty_) {
        std::fprintf(out_, "%s%s", style_.erase ? "\r\033[K" : "\r", text.c_str());
        open_ = out_;
    } else {
        std::fprintf(out_, "%s\n", text.c_str());
    }
    std::fflush(out_);
}

void ProgressLine::last(const std::string& text) {
    show(text);
    close();
}

void ProgressLine::close() {
    if (open_ == out_) close_open_line();
}

void ProgressLine::close_open_line() {
    if (!open_) return;
    std::fputc('\n', open_);
    std::fflush(open_);
    open_ = nullptr;
}

std::string hours_clock(double secs) {
    const long long s = secs > 0 && secs < 1e9 ? (long long)(secs + 0.5) : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

}  // namespace qexcli
