// libFuzzer target: whole zorvane runs in memory over hostile settings,
// options and log texts, for both output forms.
//
// Input layout: settings text, a NUL byte, the options (separated by blanks
// or line ends), a NUL byte, the log text. Missing parts are empty.
#include "tool/driver.h"
#include "tool/run.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view take(std::string_view& rest) {
    const std::size_t nul = rest.find('\0');
    const std::string_view part = rest.substr(0, nul);
    rest = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);
    return part;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() &&
               (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\n' && text[i] != '\r' &&
               text[i] != '\t')
            ++i;
        if (i > start) out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view settings = take(rest);
    const std::vector<std::string> options = words(take(rest));
    const std::string_view log = rest;

    for (const bool definition : {true, false}) {
        const zorvane::MemoryRun run = zorvane::runInMemory(options, settings, log, definition);
        // A finished run has written its file, a failed one (or -Help) nothing.
        const bool help = run.console.ends_with(zorvane::usageText());
        if (run.status != zorvane::kExitOk && run.status != zorvane::kExitFailure) __builtin_trap();
        if ((run.status == zorvane::kExitOk && !help) != !run.output.empty()) __builtin_trap();
    }
    return 0;
}
