#include "cli/options.h"

#include <algorithm>

namespace qexcli {

namespace {

const Option* find(const std::vector<Option>& table, const std::string& name) {
    for (const Option& o : table)
        if (std::find(o.names.begin(), o.names.end(), name) != o.names.end()) return &o;
    return nullptr;
}

}  // namespace

void read_command_line(const std::vector<std::string>& args, const std::vector<Option>& table,
                       const Grammar& grammar,
                       const std::function<void(const std::string&)>& positional) {
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (options_done || word.size() < 2 || word[0] != '-') {
            positional(word);
            continue;
        }
        if (grammar.double_dash && word == "--") {
            options_done = true;
            continue;
        }
        std::string name = word;
        std::optional<std::string> value;
        const Option* option = find(table, word);
        const size_t eq = word.find('=');
        if (!option && word.rfind("--", 0) == 0 && eq != std::string::npos) {
            const Option* split = find(table, word.substr(0, eq));
            if (grammar.split_equals || (split && split->inline_value)) {
                name = word.substr(0, eq);
                value = word.substr(eq + 1);
                option = split;
            }
        }
        if (!option) throw UsageError("unknown option " + name);
        switch (option->takes) {
            case Takes::kNothing:
                if (value) throw UsageError(name + " takes no value");
                break;
            case Takes::kValue:
                if (!value) {
                    if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
                    value = args[++i];
                }
                break;
            case Takes::kMaybeNext:
                if (!value && i + 1 < args.size() && option->next_is_value &&
                    option->next_is_value(args[i + 1]))
                    value = args[++i];
                break;
        }
        option->set(name, value);
    }
}

}  // namespace qexcli
