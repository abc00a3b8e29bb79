#include "vfr/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qexvfr {
namespace {

volatile sig_atomic_t g_stop = 0;

extern "C" void on_stop(int sig) {
    g_stop = sig;
}

extern "C" void on_child(int) {}  // only wakes a wait for a child

constexpr int kWaitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};

}  // namespace

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    // Calls in the frame server and the decoder just go on; the run looks at the flag between
    // frames, and waits for children through sigsuspend.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    struct sigaction sc {};
    sc.sa_handler = on_child;
    sigemptyset(&sc.sa_mask);
    sc.sa_flags = SA_NOCLDSTOP | SA_RESTART;
    sigaction(SIGCHLD, &sc, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

int stop_signal() {
    return g_stop;
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        start = end + 1;
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

Child::~Child() {
    if (pid_ > 0) kill();
    close_input();
}

void Child::start(const std::vector<std::string>& argv, bool feed, const std::string& log_path) {
    int pipe_fds[2] = {-1, -1};
    if (feed && ::pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) {
        if (feed) ::close(pipe_fds[0]), ::close(pipe_fds[1]);
        throw std::runtime_error("cannot create " + log_path + ": " + std::strerror(errno));
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // qexvfr killed outright takes its children along
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int in = feed ? pipe_fds[0] : ::open("/dev/null", O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) ::_exit(127);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const int fork_error = errno;
    ::close(log);
    if (feed) ::close(pipe_fds[0]);
    if (pid < 0) {
        if (feed) ::close(pipe_fds[1]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(fork_error));
    }
    ::setpgid(pid, pid);  // also from here, so that it holds before the child runs
    pid_ = pid;
    input_fd_ = feed ? pipe_fds[1] : -1;
}

void Child::close_input() {
    if (input_fd_ >= 0) ::close(input_fd_);
    input_fd_ = -1;
}

int Child::wait() {
    close_input();
    if (pid_ <= 0) return -1;
    // The signals stay blocked between the checks and are let in only inside sigsuspend, so a
    // stop signal or the child's end cannot slip in unnoticed.
    sigset_t listen, old;
    sigemptyset(&listen);
    for (int sig : kWaitSignals) sigaddset(&listen, sig);
    sigprocmask(SIG_BLOCK, &listen, &old);
    sigset_t during = old;
    for (int sig : kWaitSignals) sigdelset(&during, sig);
    int status = 0;
    bool stopped = false, lost = false;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno != EINTR) {
            lost = true;
            break;
        }
        if (stop_signal()) {
            stopped = true;
            break;
        }
        sigsuspend(&during);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (stopped) {
        kill();
        return -1;
    }
    pid_ = -1;
    if (lost) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void Child::kill() {
    close_input();
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
    pid_ = -1;
}

int run_to_end(const std::vector<std::string>& argv, const std::string& log_path) {
    Child c;
    c.start(argv, false, log_path);
    return c.wait();
}

}  // namespace qexvfr
