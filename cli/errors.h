// How the programs end: one failure type carrying the line to print and the exit status, the
// one usage error of every command line, and the small path and text helpers their messages
// need.
#pragma once

#include <stdexcept>
#include <string>

namespace qexcli {

// Exit statuses shared by the programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the run failed
inline constexpr int kExitUsage = 2;    // the command line is wrong

// Ends a run; the text is printed after "PROGRAM: " on one line.
struct Failure {
    std::string msg;
    int status = kExitFailure;
};

// A wrong command line, with a one-line reason.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text on one line: trailing line ends dropped, inner ones made blanks (the messages of
// filters may hold line breaks).
std::string one_line(std::string s);

// `path` taken from the working folder (empty and absolute paths as they are). Throws Failure
// when the working folder cannot be found.
std::string absolute(const std::string& path);

}  // namespace qexcli
