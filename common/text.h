// Small text and file helpers shared by zorvane, the plug-in and the host: ASCII letter case
// (keywords, options, settings keys and script names ignore it) and reading a whole file.
#pragma once

#include <string>
#include <string_view>

namespace qextext {

constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Equal ignoring ASCII letter case.
bool iequals(std::string_view a, std::string_view b);

// `text` begins with `prefix`, ignoring ASCII letter case.
bool istarts_with(std::string_view text, std::string_view prefix);

// Lower-case ASCII copy.
std::string lower_copy(std::string_view s);

// Order ignoring ASCII letter case, bytes compared as unsigned values, a prefix before the
// longer text: negative, 0 or positive.
int icompare(std::string_view a, std::string_view b);

enum class ReadStatus {
    kOk,
    kOpenError,  // the file does not exist or may not be opened
    kReadError,  // it opened but could not be read (a directory, an I/O error)
    kNoMemory,   // its bytes do not fit in memory
};

struct FileBytes {
    ReadStatus status = ReadStatus::kOk;
    std::string bytes;

    bool ok() const { return status == ReadStatus::kOk; }
};

// Reads a whole file in binary mode. On kOpenError, errno is that of the failed open.
FileBytes read_whole_file(const std::string& path);

}  // namespace qextext
