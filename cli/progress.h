// One progress line on standard error, for a terminal and for a pipe or file alike: on a
// terminal the line is rewritten in place (and closed by a line end before anything else is
// printed); elsewhere each report is a line of its own, printed less often.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace qexcli {

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;

    struct Style {
        Clock::duration terminal_every = std::chrono::milliseconds(250);
        Clock::duration pipe_every = std::chrono::seconds(1);
        bool erase = false;          // on a terminal, clear the rest of the old line too
        bool first_at_once = false;  // on a terminal, the first report shows at once
    };

    // `terminal`: whether `out` is a terminal (the real stream's isatty by default).
    ProgressLine(Style style, std::FILE* out = stderr);
    ProgressLine(Style style, std::FILE* out, bool terminal);

    bool terminal() const { return tty_; }
    Clock::time_point started() const { return start_; }
    double seconds(Clock::time_point now) const;

    // Whether a report is due at `now` (and, when it is, counts it as shown).
    bool due(Clock::time_point now);

    // Prints a report: "\r" (and the erase) before it on a terminal, a line end after it
    // elsewhere.
    void show(const std::string& text);

    // A final report: on a terminal it rewrites the line, then every output ends its line.
    void last(const std::string& text);

    // Ends a report left open on a terminal, so that what is printed next starts a line.
    void close();

    // The same for whichever line is open in this process (the programs print their messages
    // through one stream, so one line can be open at a time).
    static void close_open_line();

  private:
    Style style_;
    std::FILE* out_;
    bool tty_;
    Clock::time_point start_;
    Clock::time_point shown_;
    static inline std::FILE* open_ = nullptr;  // the stream whose line is open
};

// "H:MM:SS" for a count of seconds (rounded; 0 for negative or absurd counts).
std::string hours_clock(double seconds);

}  // namespace qexcli
