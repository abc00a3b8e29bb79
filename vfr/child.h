// Child processes of qexvfr (x264, mkvmerge) and the signals that end a run.
//
// Children run in their own process group, so a Ctrl+C on the terminal reaches only qexvfr,
// which then stops them itself, reaps them and cleans up. Their standard output and error go
// to a file, so that their last lines can be shown when they fail.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qexvfr {

// SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process; SIGPIPE is ignored.
void install_signal_handlers();
// The signal that asked the run to stop, or 0.
int stop_signal();

// The full path of `name` found in PATH, or empty.
std::string find_program(const std::string& name);

class Child {
  public:
    Child() = default;
    ~Child();  // a child still running is killed and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv (argv[0] a full path). With `feed`, its standard input is a pipe whose write
    // end is input_fd(); otherwise /dev/null. Output and errors go to `log_path`.
    // Throws std::runtime_error when it cannot be started.
    void start(const std::vector<std::string>& argv, bool feed, const std::string& log_path);

    int input_fd() const { return input_fd_; }
    void close_input();

    // Waits for the end: the exit status, 128 + signal when killed. A stop signal received while
    // waiting kills the child and returns -1.
    int wait();
    // Stops it (SIGTERM, then SIGKILL after a second) and reaps it.
    void kill();

  private:
    pid_t pid_ = -1;
    int input_fd_ = -1;
};

// Runs argv to its end with its output collected in `log_path`; returns its status (-1 when a
// stop signal came).
int run_to_end(const std::vector<std::string>& argv, const std::string& log_path);

}  // namespace qexvfr
