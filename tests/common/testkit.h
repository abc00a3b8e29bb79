// What the end-to-end tests share: a scratch folder, reading a file back, and running a program
// (or a piece of this test) in a child process with its output captured.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qextest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Writes `bytes` to file(name) and returns that path; throws when it cannot.
    std::string write(const std::string& name, const std::string& bytes) const;

  private:
    std::string path_;
};

// The bytes of a file, or "<missing PATH>" when it cannot be read (never equal to real content).
std::string read_file(const std::string& path);
// The bytes of a file, or "" when it cannot be read (a file not written and an empty one alike).
std::string contents(const std::string& path);
// Writes `bytes` to `path`, replacing what was there; throws std::runtime_error when it cannot.
void write_file(const std::string& path, const std::string& bytes);
// `text` with every `from` replaced by `to`.
std::string replace_all(std::string text, std::string_view from, std::string_view to);
bool file_exists(const std::string& path);
// The names in a folder (not the paths), sorted; throws when it cannot be read.
std::vector<std::string> listing(const std::string& folder);
// Everything below a folder, a line an entry in sorted order: its path from the folder, with a
// file's bytes, a link's destination or a "/" for a folder; for checking that nothing changed.
std::string tree(const std::string& folder);
// Targets named `name` that a file cannot be written to, each made in a folder by `make`, which
// gives the target's path: a missing folder, a folder holding a file, a loop of links, and (not
// for the superuser, who may write any file) a read-only file.
struct UnopenableTarget {
    std::string what;
    std::function<std::string(const std::string& folder)> make;
};
std::vector<UnopenableTarget> unopenable_targets(const std::string& name);

// The non-empty lines of a text (a program's output, say), without their line ends.
std::vector<std::string> lines(const std::string& text);
// The words of a text, split at blanks: a command line's arguments written as one string.
std::vector<std::string> words(const std::string& text);

// The full name of a program on PATH, or "" when there is none.
std::string find_program(const std::string& name);
// The first of `programs` that is not on PATH, or "" when every one is there.
std::string first_missing(std::initializer_list<const char*> programs);

// The status of a finished child as one number: its exit code, or 128 + the number of the
// signal that ended it.
int exit_status(int wait_status);

struct Limits {
    long long address_space = 0;  // RLIMIT_AS in bytes, 0: unchanged
    long long file_size = 0;      // RLIMIT_FSIZE in bytes, 0: unchanged (SIGXFSZ ignored)
};

// A started child: its process id and the read ends of its standard output and error.
struct Child {
    int pid = -1;
    int out = -1;
    int err = -1;
};

// How a child starts, beyond its arguments.
struct Launch {
    std::string cwd;               // its folder, "" keeps this one
    Limits limits;                 // the limits it runs under
    std::string executable;        // the file to run, when argv[0] is only the name it is given
    std::vector<std::string> env;  // "NAME=value" settings added to its environment
};

// Starts argv[0] (looked up on PATH when it holds no slash) in a process group of its own, so
// that a signal it sends to its group reaches nothing else, in folder `cwd` ("" keeps this
// one), with SIGINT at its default action and standard output and error on pipes.
Child start_program(const std::vector<std::string>& argv, const std::string& cwd = {},
                    const Limits& limits = {});
Child start_program_with(const std::vector<std::string>& argv, const Launch& launch);

// Starts a program as start_program_with does, but on a new pseudo-terminal: Child::out is the
// terminal's master side (standard output and error both go there), Child::err is -1.
Child start_on_terminal(const std::vector<std::string>& argv, const Launch& launch = {});
// What a child started by start_on_terminal wrote, read until it has gone; closes `fd`.
std::string read_terminal(int fd);

// Reads both pipes to their ends without letting either fill up, then closes them.
void drain(int out_fd, int err_fd, std::string* out, std::string* err);

// Waits for a child and returns its exit_status().
int wait_for(int pid);

struct RunResult {
    int status = -1;  // exit_status()
    int pid = 0;      // process id the child ran with
    std::string out;  // standard output
    std::string err;  // standard error
};

// start_program, drain and wait_for in one.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = {},
                      const Limits& limits = {});
RunResult run_program_with(const std::vector<std::string>& argv, const Launch& launch);

// Runs a command line through /bin/sh in folder `cwd`: for pipelines between outside tools
// (ffmpeg into an encoder, say). Our own programs are started with run_program.
RunResult run_shell(const std::string& command, const std::string& cwd = {});

// Runs `body` in a forked child (same program, no exec) that leads its own process group, with
// its standard output and error captured; the child ends with _exit(body()), so the exit
// handlers of this process do not run in it.
RunResult run_in_child(const std::function<int()>& body);

}  // namespace qextest

// In a GoogleTest body or SetUp: skips the test, naming the program, when `missing` (what
// first_missing returned) is not empty; QEX_SKIP_WITHOUT("x264", ...) looks the programs up first.
#define QEX_SKIP_IF_MISSING(missing)                                        \
    if (const std::string& qex_missing_ = (missing); !qex_missing_.empty()) \
    GTEST_SKIP() << qex_missing_ << " is not installed"
#define QEX_SKIP_WITHOUT(...) QEX_SKIP_IF_MISSING(::qextest::first_missing({__VA_ARGS__}))
