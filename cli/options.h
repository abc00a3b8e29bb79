// Command lines read from a table of options. Each program states its options once (names,
// whether they take a value, what they set); the reader walks the words, hands every other word
// to the program's positional reader in order, and throws UsageError with one line:
// "NAME needs a value", "NAME takes no value", "unknown option NAME".
#pragma once

#include "cli/errors.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qexcli {

enum class Takes {
    kNothing,   // a switch
    kValue,     // the next word (or, where allowed, --name=value)
    kMaybeNext  // a value only from --name=value, or the next word when `next_is_value` says so
};

struct Option {
    // Called with the name as written and the value (none for a switch, or a kMaybeNext option
    // given without one). May throw UsageError.
    using Setter =
        std::function<void(const std::string& name, const std::optional<std::string>& value)>;
    using NextTest = std::function<bool(const std::string& next)>;

    Option(std::vector<std::string> names, Takes takes, Setter set, bool inline_value = false,
           NextTest next_is_value = {})
        : names(std::move(names)),
          takes(takes),
          set(std::move(set)),
          inline_value(inline_value),
          next_is_value(std::move(next_is_value)) {}

    std::vector<std::string> names;  // "-o", "--output"
    Takes takes;
    Setter set;
    bool inline_value;       // also read as --name=value
    NextTest next_is_value;  // kMaybeNext
};

struct Grammar {
    // Every word "--name=value" is split at its '=' (a switch so written takes no value, an
    // unknown one is named without its value); otherwise only options marked inline_value are.
    bool split_equals = false;
    // "--" ends the options: every word after it is positional.
    bool double_dash = false;
};

// Reads `args` (without the program's name). Words that are not options ("-" included) go to
// `positional`, in order, which may throw UsageError.
void read_command_line(const std::vector<std::string>& args, const std::vector<Option>& table,
                       const Grammar& grammar,
                       const std::function<void(const std::string&)>& positional);

}  // namespace qexcli
