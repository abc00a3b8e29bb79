#include "programs/qexscan_args.h"

#include "cli/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qexscan {

const char kUsage[] =
    "usage: qexscan INPUT -o LOG [--fast|--fastv2] [--progress] [--threads N] [--chroma]\n"
    "               [--tff|--bff]\n"
    "               [--comb N] [--block N] [--wide SHARE] [--noise LEVEL] [--relative FACTOR]\n"
    "               [--excess N] [--absolute N]\n"
    "INPUT is a .y4m, a script (.avs) or a video file. Writes zorvane's analysis log.\n"
    "The field order is the source's own, or measured when the source does not say it\n"
    "(--tff / --bff give it).\n";

namespace {

long long toInt(const std::string& opt, const std::string& v) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0)
        throw UsageError(opt + " needs a whole number, not \"" + v + "\"");
    return n;
}

double toReal(const std::string& opt, const std::string& v) {
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || errno != 0 || !std::isfinite(d))
        throw UsageError(opt + " needs a number, not \"" + v + "\"");
    return d;
}

}  // namespace

Args parseArgs(const std::vector<std::string>& argv) {
    using qexcli::Option;
    using qexcli::Takes;
    using Value = std::optional<std::string>;
    Args a;
    bool modeGiven = false;
    Thresholds& t = a.scan.thresholds;
    auto on = [](bool& flag) { return [&flag](const std::string&, const Value&) { flag = true; }; };
    auto mode = [&](LogMode m) {
        return [&a, &modeGiven, m](const std::string&, const Value&) {
            if (modeGiven) throw UsageError("--fast and --fastv2 exclude each other");
            modeGiven = true;
            a.scan.mode = m;
        };
    };
    auto order = [&](FieldOrder o) {
        return [&a, o](const std::string&, const Value&) {
            if (a.scan.order != FieldOrder::kAuto)
                throw UsageError("--tff and --bff exclude each other");
            a.scan.order = o;
        };
    };
    // A whole number, clamped to [-1, top] (checkThresholds then refuses what is out of range).
    auto whole = [](int& to, long long top) {
        return [&to, top](const std::string& name, const Value& v) {
            to = int(std::clamp(toInt(name, *v), -1LL, top));
        };
    };
    auto real = [](double& to) {
        return [&to](const std::string& name, const Value& v) { to = toReal(name, *v); };
    };
    const std::vector<Option> table = {
        {{"-h", "--help"}, Takes::kNothing, on(a.help)},
        {{"-o"}, Takes::kValue, [&](const std::string&, const Value& v) { a.output = *v; }},
        {{"--fast"}, Takes::kNothing, mode(LogMode::kFast)},
        {{"--fastv2"}, Takes::kNothing, mode(LogMode::kFastV2)},
        {{"--progress"}, Takes::kNothing, on(a.progress)},
        {{"--chroma"}, Takes::kNothing, on(a.scan.chroma)},
        {{"--tff"}, Takes::kNothing, order(FieldOrder::kTop)},
        {{"--bff"}, Takes::kNothing, order(FieldOrder::kBottom)},
        {{"--threads"},
         Takes::kValue,
         [&](const std::string& name, const Value& v) {
             const long long n = toInt(name, *v);
             if (n < 0 || n > 64) throw UsageError("--threads must be from 0 (all cores) to 64");
             a.scan.threads = int(n);
         }},
        {{"--comb"}, Takes::kValue, whole(t.comb, 1000)},
        {{"--block"}, Takes::kValue, whole(t.block, 1000)},
        {{"--wide"}, Takes::kValue, real(t.wide)},
        {{"--noise"}, Takes::kValue, real(t.noise)},
        {{"--relative"}, Takes::kValue, real(t.relative)},
        {{"--excess"}, Takes::kValue, whole(t.excess, 100000)},
        {{"--absolute"}, Takes::kValue, whole(t.absolute, 1000)},
    };
    qexcli::read_command_line(argv, table, {}, [&](const std::string& word) {
        if (!a.input.empty()) throw UsageError("more than one input: " + a.input + ", " + word);
        a.input = word;
    });
    if (a.help) return a;
    if (a.input.empty()) throw UsageError("no input");
    if (a.output.empty()) throw UsageError("no log to write (-o LOG)");
    if (std::string why = checkThresholds(a.scan.thresholds); !why.empty()) throw UsageError(why);
    return a;
}

}  // namespace qexscan
