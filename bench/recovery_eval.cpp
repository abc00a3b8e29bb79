// The truth side of bench/recovery.sh, over the clips of tests/scan/make_corpus.sh:
//   recovery_eval perfect [--bff] CLIP.y4m PART.y4m...
//                                                the perfect log of CLIP (top field first, or
//                                                 bottom first), whose fields come from the PARTs
//   recovery_eval share OUT.y4m PART.y4m...      the share of the PARTs' frames OUT holds
//                                                 bit for bit (0 to 1)
//   recovery_eval agree A.def B.def              the share of frames two definitions give the
//                                                 same rate
// Prints the result on standard output; errors are one line and status 1.
#include "tests/scan/truth.h"

#include "common/text.h"

#include <cstdio>
#include <exception>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<int> ratesOf(const std::string& def) {
    return qextruth::definitionRates(qextext::read_whole_file(def).bytes);
}

int usage() {
    std::fputs(
        "usage: recovery_eval perfect [--bff] CLIP PART... | share OUT PART... | agree A B\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    std::string what = argv[1];
    bool tff = true;
    if (what == "perfect" && std::string(argv[2]) == "--bff") {
        tff = false;
        ++argv;
        --argc;
    }
    if (argc < 4) return usage();
    try {
        if (what == "perfect" || what == "share") {
            std::vector<qextruth::Hashes> parts;
            for (int i = 3; i < argc; ++i) parts.push_back(qextruth::hashY4m(argv[i]));
            const qextruth::Hashes clip = qextruth::hashY4m(argv[2]);
            if (what == "share") {
                std::vector<const qextruth::Hashes*> of;
                for (const auto& p : parts) of.push_back(&p);
                std::printf("%.4f\n",
                            qextruth::recovered(of, {clip.frame.begin(), clip.frame.end()}));
                return 0;
            }
            qextruth::Moments moments;
            for (const auto& p : parts) moments.addOriginal(p);
            const std::vector<int> truth = moments.trace(clip, tff);
            for (int m : truth)
                if (m < 0) throw std::runtime_error(std::string(argv[2]) + ": a field of no part");
            std::fputs(qextruth::perfectLog(truth).c_str(), stdout);
            return 0;
        }
        if (what == "agree" && argc == 4) {
            const std::vector<int> a = ratesOf(argv[2]), b = ratesOf(argv[3]);
            size_t same = 0;
            for (size_t i = 0; i < a.size() && i < b.size(); ++i) same += a[i] == b[i];
            const size_t n = std::max(a.size(), b.size());
            std::printf("%.4f\n", n ? double(same) / double(n) : 0.0);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "recovery_eval: %s\n", e.what());
        return 1;
    }
    return usage();
}
