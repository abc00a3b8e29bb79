// TMPGEnc project files, both forms (binary and text), through the in-memory reader. The
// record's capacity comes from the input's length, so short and long lists meet both small
// and large clips.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plugin/project.h"

namespace {

void count_lines(const char*, void* context) {
    ++*static_cast<int*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::int32_t capacity = std::int32_t(size % 257);  // field positions of the clip
    std::vector<std::uint8_t> entries(2 * std::size_t(capacity), 0);
    qex::ProjectRecord record;
    record.capacity = capacity;
    record.entries = entries.data();
    int lines = 0;
    const int r =
        qex::parse_project(record, std::span<const std::uint8_t>(data, size), count_lines, &lines);
    // A reader that claims success has filled only its own record.
    if (r >= 0 && (record.capacity != capacity || record.entries != entries.data()))
        __builtin_trap();
    return 0;
}
