// Writes a synthetic analysis log for zorvane to standard output.
//
//   zorvane_loggen TOTAL [--seed N] [--fast | --fastv2] [--plan PLAN]
//
// Without a plan the log is a pseudo-random mixture of 24 fps cadences (all
// ten pick patterns), 30 fps, 60 fps and clean stretches, with occasional
// single combed picks. A plan fixes the cycles instead: comma-separated
// items KIND:CYCLES where KIND is 0-9 (a 24 fps cadence), "30" (combed every
// other field), "60" (all combed), "c" (clean) or "pP" (all combed, second
// column showing 6to2 phase P); "KIND/P" gives any kind that second column.
// Cycles past the plan are clean.
// Normal logs have three marks per line; fast logs one mark per block.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kCadence[10] = {
    // Positions that a 24 fps kind keeps clean are "0", the rest combed.
    "0101101011", "0110101101", "1010110101", "1011010110", "1101011010",
    "0101011011", "0101101101", "0110110101", "1011010101", "1101010110",
};
const char* const kPhase[5] = {"0010100101", "0100101001", "0101001010", "1001010010",
                               "1010010100"};

struct Rng {
    std::uint64_t s;
    std::uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(s >> 33);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<std::uint32_t>(n)); }
};

struct Stretch {
    std::string marks;  // first column, ten characters
    std::string ref;    // second column, ten characters
    long long cycles;
};

Stretch stretchOf(const std::string& item, long long cycles) {
    // "KIND/P": the second column shows 6to2 phase P.
    const std::size_t slash = item.find('/');
    if (slash != std::string::npos) {
        Stretch st = stretchOf(item.substr(0, slash), cycles);
        const int p = std::atoi(item.c_str() + slash + 1);
        if (p < 0 || p > 4) {
            std::fprintf(stderr, "zorvane_loggen: phase must be 0-4 in '%s'\n", item.c_str());
            std::exit(2);
        }
        st.ref = kPhase[p];
        return st;
    }
    const std::string& kind = item;
    if (kind == "30") return {"0101010101", "0000000000", cycles};
    if (kind == "60") return {"1111111111", "1111111111", cycles};
    if (kind == "c") return {"0000000000", "0000000000", cycles};
    if (kind.size() == 2 && kind[0] == 'p' && kind[1] >= '0' && kind[1] <= '4')
        return {"1111111111", kPhase[kind[1] - '0'], cycles};
    const int k = std::atoi(kind.c_str());
    if (kind.size() == 1 && k >= 0 && k <= 9) return {kCadence[k], "0000000000", cycles};
    std::fprintf(stderr, "zorvane_loggen: unknown kind '%s'\n", kind.c_str());
    std::exit(2);
}

std::vector<Stretch> parsePlan(const char* plan) {
    std::vector<Stretch> out;
    std::string text(plan);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "zorvane_loggen: plan item '%s' needs KIND:CYCLES\n",
                         item.c_str());
            std::exit(2);
        }
        out.push_back(stretchOf(item.substr(0, colon), std::atoll(item.c_str() + colon + 1)));
        pos = comma + 1;
    }
    return out;
}

std::vector<Stretch> randomPlan(Rng& rng, long long cycles) {
    std::vector<Stretch> out;
    long long done = 0;
    while (done < cycles) {
        const long long len = 5 + rng.below(400);
        const int pick = rng.below(10);
        std::string kind;
        if (pick < 7)
            kind = std::to_string(rng.below(10));
        else if (pick == 7)
            kind = "30";
        else if (pick == 8)
            kind = rng.below(2) ? "60" : "p" + std::to_string(rng.below(5));
        else
            kind = "c";
        out.push_back(stretchOf(kind, len));
        done += len;
    }
    return out;
}

class Out {
  public:
    Out() : buf_(1 << 20) {}
    ~Out() { flush(); }
    void put(const char* s, std::size_t n) {
        if (used_ + n > buf_.size()) flush();
        std::memcpy(buf_.data() + used_, s, n);
        used_ += n;
    }
    void flush() {
        std::fwrite(buf_.data(), 1, used_, stdout);
        used_ = 0;
    }

  private:
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: zorvane_loggen TOTAL [--seed N] [--fast|--fastv2] [--plan PLAN]\n");
        return 2;
    }
    const long long total = std::atoll(argv[1]);
    Rng rng{12345};
    int block = 0;  // 0: normal log; 3 or 7: fast log
    const char* plan = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            rng.s = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--fast"))
            block = 3;
        else if (!std::strcmp(argv[i], "--fastv2"))
            block = 7;
        else if (!std::strcmp(argv[i], "--plan") && i + 1 < argc)
            plan = argv[++i];
        else {
            std::fprintf(stderr, "zorvane_loggen: unknown argument '%s'\n", argv[i]);
            return 2;
        }
    }

    Out out;
    char line[64];
    int n = std::snprintf(line, sizeof line, "total %lld\n", total);
    out.put(line, static_cast<std::size_t>(n));

    const long long cycles = (total + 4) / 5;
    const std::vector<Stretch> stretches = plan ? parsePlan(plan) : randomPlan(rng, cycles);

    if (block) {
        const long long entries = (total + block - 1) / block;
        n = std::snprintf(line, sizeof line, "%s: %lld\n", block == 7 ? "fastv2" : "fast", entries);
        out.put(line, static_cast<std::size_t>(n));
        // An entry is combed when the cycle holding its first frame is not clean at 24 fps.
        std::size_t si = 0;
        long long left = stretches.empty() ? 0 : stretches[0].cycles;
        long long cycle = 0;
        for (long long e = 0; e < entries; ++e) {
            const long long c = e * block / 5;
            while (cycle < c) {
                ++cycle;
                if (si < stretches.size() && --left <= 0 && ++si < stretches.size())
                    left = stretches[si].cycles;
            }
            const bool combed = si < stretches.size() && stretches[si].marks == "1111111111";
            n = std::snprintf(line, sizeof line, "%lld-%c\n", e, combed ? '1' : '0');
            out.put(line, static_cast<std::size_t>(n));
        }
        return 0;
    }

    long long entry = 0;
    const long long entries = total * 2;
    for (const Stretch& st : stretches) {
        for (long long c = 0; c < st.cycles && entry < entries; ++c) {
            // Now and then one kept field of a random (unplanned) cycle shows tiny combing.
            int flip = -1;
            if (!plan && rng.below(100) == 0) flip = rng.below(10);
            for (int p = 0; p < 10 && entry < entries; ++p, ++entry) {
                char m = st.marks[static_cast<std::size_t>(p)];
                if (p == flip) m = '1';
                n = std::snprintf(line, sizeof line, "%lld-%c-%c-0\n", entry, m,
                                  st.ref[static_cast<std::size_t>(p)]);
                out.put(line, static_cast<std::size_t>(n));
            }
        }
    }
    for (; entry < entries; ++entry) {
        n = std::snprintf(line, sizeof line, "%lld-0-0-0\n", entry);
        out.put(line, static_cast<std::size_t>(n));
    }
    return 0;
}
