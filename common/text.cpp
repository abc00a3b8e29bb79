#include "common/text.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <new>

namespace qextext {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && istarts_with(a, b);
}

bool istarts_with(std::string_view text, std::string_view prefix) {
    if (prefix.size() > text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    return true;
}

std::string lower_copy(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = ascii_lower(c);
    return r;
}

int icompare(std::string_view a, std::string_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const int x = static_cast<unsigned char>(ascii_lower(a[i]));
        const int y = static_cast<unsigned char>(ascii_lower(b[i]));
        if (x != y) return x - y;
    }
    return (a.size() > n) - (b.size() > n);
}

FileBytes read_whole_file(const std::string& path) {
    FileBytes r;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) {
        r.status = ReadStatus::kOpenError;
        return r;
    }
    struct stat st {};
    if (::fstat(::fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        r.status = ReadStatus::kReadError;
        return r;
    }
    try {
        if (S_ISREG(st.st_mode) && st.st_size > 0) r.bytes.reserve(std::size_t(st.st_size));
        char chunk[1 << 16];
        for (;;) {
            const std::size_t got = std::fread(chunk, 1, sizeof chunk, f.get());
            r.bytes.append(chunk, got);
            if (got < sizeof chunk) break;
        }
    } catch (const std::bad_alloc&) {
        r.bytes = std::string();
        r.status = ReadStatus::kNoMemory;
        return r;
    } catch (const std::length_error&) {
        r.bytes = std::string();
        r.status = ReadStatus::kNoMemory;
        return r;
    }
    if (std::ferror(f.get())) {
        r.bytes = std::string();
        r.status = ReadStatus::kReadError;
    }
    return r;
}

}  // namespace qextext
