#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qextest {

TempDir::TempDir() {
  std::string tmpl = std::filesystem::temp_directory_path().string() + "/qexfilter.XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream f(file(name), std::ios::binary);
  f << text;
  if (!f) throw std::runtime_error("cannot write " + file(name));
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "<missing " + path + ">";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::string golden(const std::string& name) {
  return read_file(std::string(QEX_TEST_DATA) + "/plugin/filter/golden/" + name);
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                const Limits& limits) {
  const std::string out_path = cwd + "/.stdout";
  const std::string err_path = cwd + "/.stderr";
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) ::_exit(126);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::signal(SIGINT, SIG_DFL);
    if (limits.address_space > 0) {
      struct rlimit r {rlim_t(limits.address_space), rlim_t(limits.address_space)};
      ::setrlimit(RLIMIT_AS, &r);
    }
    if (limits.file_size > 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit r {rlim_t(limits.file_size), rlim_t(limits.file_size)};
      ::setrlimit(RLIMIT_FSIZE, &r);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  RunResult r;
  r.pid = int(pid);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

RunResult qexpipe(const TempDir& dir, const std::vector<std::string>& args, const Limits& limits) {
  std::vector<std::string> argv{std::string(QEX_BUILD_DIR) + "/qexpipe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, dir.path(), limits);
}

std::string load_plugins() {
  const std::string build = QEX_BUILD_DIR;
  return "LoadPlugin(\"" + build + "/libqex.so\")\nLoadPlugin(\"" + build +
         "/libqexfiltertest.so\")\n";
}

Y4m read_y4m(const std::string& path) {
  const std::string data = read_file(path);
  Y4m y;
  const size_t eol = data.find('\n');
  if (data.rfind("YUV4MPEG2 ", 0) != 0 || eol == std::string::npos) return y;
  std::istringstream head(data.substr(10, eol - 10));
  std::string tok;
  while (head >> tok) {
    if (tok[0] == 'W') y.width = std::atoi(tok.c_str() + 1);
    if (tok[0] == 'H') y.height = std::atoi(tok.c_str() + 1);
    if (tok[0] == 'F') y.rate = tok.substr(1);
  }
  const size_t frame_size = size_t(y.width) * y.height * 3 / 2;
  size_t pos = eol + 1;
  while (pos < data.size()) {
    const size_t line_end = data.find('\n', pos);
    if (line_end == std::string::npos || data.compare(pos, 5, "FRAME") != 0) break;
    pos = line_end + 1;
    if (pos + frame_size > data.size()) break;
    y.frames.push_back(data.substr(pos, frame_size));
    pos += frame_size;
  }
  return y;
}

std::vector<Stamp> stamps(const Y4m& y) {
  auto le32 = [](const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 |
           uint32_t(uint8_t(s[at + 2])) << 16 | uint32_t(uint8_t(s[at + 3])) << 24;
  };
  std::vector<Stamp> out;
  for (const std::string& f : y.frames) out.emplace_back(le32(f, 0), le32(f, size_t(y.width)));
  return out;
}

}  // namespace qextest
