#include "scan/args.h"

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
    Args a;
    bool modeGiven = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& s = argv[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= argv.size()) throw UsageError(s + " needs a value");
            return argv[++i];
        };
        auto mode = [&](LogMode m) {
            if (modeGiven) throw UsageError("--fast and --fastv2 exclude each other");
            modeGiven = true;
            a.scan.mode = m;
        };
        Thresholds& t = a.scan.thresholds;
        if (s == "-h" || s == "--help")
            a.help = true;
        else if (s == "-o")
            a.output = value();
        else if (s == "--fast")
            mode(LogMode::kFast);
        else if (s == "--fastv2")
            mode(LogMode::kFastV2);
        else if (s == "--progress")
            a.progress = true;
        else if (s == "--chroma")
            a.scan.chroma = true;
        else if (s == "--tff" || s == "--bff") {
            if (a.scan.order != FieldOrder::kAuto)
                throw UsageError("--tff and --bff exclude each other");
            a.scan.order = s == "--tff" ? FieldOrder::kTop : FieldOrder::kBottom;
        } else if (s == "--threads") {
            long long n = toInt(s, value());
            if (n < 0 || n > 64) throw UsageError("--threads must be from 0 (all cores) to 64");
            a.scan.threads = int(n);
        } else if (s == "--comb")
            t.comb = int(std::clamp(toInt(s, value()), -1LL, 1000LL));
        else if (s == "--block")
            t.block = int(std::clamp(toInt(s, value()), -1LL, 1000LL));
        else if (s == "--wide")
            t.wide = toReal(s, value());
        else if (s == "--noise")
            t.noise = toReal(s, value());
        else if (s == "--relative")
            t.relative = toReal(s, value());
        else if (s == "--excess")
            t.excess = int(std::clamp(toInt(s, value()), -1LL, 100000LL));
        else if (s == "--absolute")
            t.absolute = int(std::clamp(toInt(s, value()), -1LL, 1000LL));
        else if (s.size() > 1 && s[0] == '-')
            throw UsageError("unknown option " + s);
        else if (a.input.empty())
            a.input = s;
        else
            throw UsageError("more than one input: " + a.input + ", " + s);
    }
    if (a.help) return a;
    if (a.input.empty()) throw UsageError("no input");
    if (a.output.empty()) throw UsageError("no log to write (-o LOG)");
    if (std::string why = checkThresholds(a.scan.thresholds); !why.empty()) throw UsageError(why);
    return a;
}

}  // namespace qexscan
