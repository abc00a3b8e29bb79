#include "cli/errors.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qexcli {

std::string one_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    for (char& c : s) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return s;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf))
        throw Failure{std::string("cannot find the working folder: ") + std::strerror(errno)};
    return std::string(buf) + "/" + path;
}

}  // namespace qexcli
