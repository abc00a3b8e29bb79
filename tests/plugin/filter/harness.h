// Running scripts through the real qexpipe binary, and reading what it wrote.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
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
  void write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
std::string golden(const std::string& name);  // tests/plugin/filter/golden/<name>

struct Limits {
  long long address_space = 0;  // RLIMIT_AS in bytes, 0: unchanged
  long long file_size = 0;      // RLIMIT_FSIZE in bytes, 0: unchanged (SIGXFSZ ignored)
};

struct RunResult {
  int status = -1;         // exit status, or 128 + signal number
  int pid = 0;             // process id the program ran with
  std::string out;         // standard output
  std::string err;         // standard error
};

// Runs a program in its own process group (so an end-of-stream signal reaches only it), in
// folder `cwd`, and waits for it.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                const Limits& limits = {});

// qexpipe with `args`, run in `dir`.
RunResult qexpipe(const TempDir& dir, const std::vector<std::string>& args, const Limits& limits = {});

// The script head that loads the plug-in (and the test helpers).
std::string load_plugins();

// A y4m file of planar 4:2:0 frames.
struct Y4m {
  int width = 0;
  int height = 0;
  std::string rate;  // the F parameter, e.g. "30000:1001"
  std::vector<std::string> frames;
};
Y4m read_y4m(const std::string& path);

// The source fields that a StampSource-derived frame shows on rows 0 and 1.
using Stamp = std::pair<uint32_t, uint32_t>;
std::vector<Stamp> stamps(const Y4m& y);

}  // namespace qextest
