#include "tests/common/testkit.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qextest {

TempDir::TempDir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/qextest.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A test may have taken its own rights on the folder away.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    const std::string path = file(name);
    write_file(path, bytes);
    return path;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return "<missing " + path + ">";
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
    f.close();
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        if (!l.empty()) v.push_back(l);
    return v;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string w; s >> w;) v.push_back(w);
    return v;
}

bool file_exists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string tree(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        std::string line = e.path().lexically_relative(folder).string();
        if (e.is_symlink())
            line += " -> " + fs::read_symlink(e.path()).string();
        else if (e.is_directory())
            line += "/";
        else
            line += ": " + read_file(e.path().string());
        entries.push_back(line);
    }
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const std::string& l : entries) out += l + "\n";
    return out;
}

std::vector<UnopenableTarget> unopenable_targets(const std::string& name) {
    namespace fs = std::filesystem;
    std::vector<UnopenableTarget> out = {
        {"missing folder", [name](const std::string& d) { return d + "/missing/" + name; }},
        {"folder",
         [name](const std::string& d) {
             fs::create_directories(d + "/" + name);
             write_file(d + "/" + name + "/keep", "kept\n");
             return d + "/" + name;
         }},
        {"loop of links",
         [name](const std::string& d) {
             fs::create_symlink("loop", d + "/" + name);
             fs::create_symlink(name, d + "/loop");
             return d + "/" + name;
         }},
    };
    if (::geteuid() != 0)
        out.push_back({"read-only file", [name](const std::string& d) {
                           write_file(d + "/" + name, "kept\n");
                           fs::permissions(d + "/" + name, fs::perms::owner_read);
                           return d + "/" + name;
                       }});
    return out;
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string first_missing(std::initializer_list<const char*> programs) {
    for (const char* p : programs)
        if (find_program(p).empty()) return p;
    return {};
}

int exit_status(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

namespace {

struct Pipes {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
};

Pipes open_pipes() {
    Pipes p;
    if (::pipe(p.out) != 0 || ::pipe(p.err) != 0) throw std::runtime_error("pipe failed");
    return p;
}

// In the child: its own group, the write ends as standard output and error.
void become_child(const Pipes& p) {
    ::setpgid(0, 0);
    ::dup2(p.out[1], 1);
    ::dup2(p.err[1], 2);
    for (int fd : {p.out[0], p.out[1], p.err[0], p.err[1]}) ::close(fd);
    ::signal(SIGINT, SIG_DFL);
}

Child in_parent(const Pipes& p, pid_t pid) {
    ::close(p.out[1]);
    ::close(p.err[1]);
    return Child{int(pid), p.out[0], p.err[0]};
}

RunResult finish(const Child& c) {
    RunResult r;
    r.pid = c.pid;
    drain(c.out, c.err, &r.out, &r.err);
    r.status = wait_for(c.pid);
    return r;
}

// In the child: its folder, limits and environment, then the program; never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv, const Launch& launch) {
    if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) ::_exit(126);
    const Limits& limits = launch.limits;
    if (limits.address_space > 0) {
        const rlimit r{rlim_t(limits.address_space), rlim_t(limits.address_space)};
        ::setrlimit(RLIMIT_AS, &r);
    }
    if (limits.file_size > 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{rlim_t(limits.file_size), rlim_t(limits.file_size)};
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    for (const std::string& e : launch.env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (launch.executable.empty())
        ::execvp(args[0], args.data());
    else
        ::execv(launch.executable.c_str(), args.data());
    ::_exit(127);
}

}  // namespace

Child start_program_with(const std::vector<std::string>& argv, const Launch& launch) {
    const Pipes p = open_pipes();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        become_child(p);
        exec_child(argv, launch);
    }
    return in_parent(p, pid);
}

Child start_program(const std::vector<std::string>& argv, const std::string& cwd,
                    const Limits& limits) {
    return start_program_with(argv, Launch{cwd, limits, {}, {}});
}

Child start_on_terminal(const std::vector<std::string>& argv, const Launch& launch) {
    int fd = -1;
    const pid_t pid = ::forkpty(&fd, nullptr, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        ::signal(SIGINT, SIG_DFL);
        exec_child(argv, launch);
    }
    return Child{int(pid), fd, -1};
}

std::string read_terminal(int fd) {
    std::string screen;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            screen.append(buf, size_t(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO once the child has gone
    }
    ::close(fd);
    return screen;
}

void drain(int out_fd, int err_fd, std::string* out, std::string* err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {out, err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

int wait_for(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exit_status(status);
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                      const Limits& limits) {
    return finish(start_program(argv, cwd, limits));
}

RunResult run_program_with(const std::vector<std::string>& argv, const Launch& launch) {
    return finish(start_program_with(argv, launch));
}

RunResult run_shell(const std::string& command, const std::string& cwd) {
    return run_program({"/bin/sh", "-c", command}, cwd);
}

RunResult run_in_child(const std::function<int()>& body) {
    const Pipes p = open_pipes();
    std::fflush(nullptr);  // nothing buffered here is written twice
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        become_child(p);
        const int code = body();
        std::fflush(nullptr);
        ::_exit(code);
    }
    return finish(in_parent(p, pid));
}

}  // namespace qextest
