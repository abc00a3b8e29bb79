#include "tests/scan/truth.h"

#include <regex>
#include <sstream>
#include <stdexcept>

#include "host/env.h"

namespace qextruth {

namespace {

uint64_t fnv(uint64_t h, const BYTE* p, int n) {
    for (int i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

constexpr uint64_t kBasis = 1469598103934665603ull;

}  // namespace

Hashes hashY4m(const std::string& path, int rows) {
    qexhost::Environment env;
    PClip clip;
    try {
        clip = env.Invoke("Y4MSource", AVSValue(path.c_str())).AsClip();
    } catch (const AvisynthError& e) {
        throw std::runtime_error(e.msg ? e.msg : path);
    }
    const VideoInfo& vi = clip->GetVideoInfo();
    Hashes h;
    h.width = vi.width;
    h.height = vi.height;
    h.frames = vi.num_frames;
    const int limit = rows > 0 ? std::min(rows, vi.height) : vi.height;
    for (int n = 0; n < vi.num_frames; ++n) {
        PVideoFrame f = clip->GetFrame(n, &env);
        uint64_t all = kBasis;
        for (int p : {PLANAR_Y, PLANAR_U, PLANAR_V})
            for (int y = 0; y < f->GetHeight(p); ++y)
                all = fnv(all, f->GetReadPtr(p) + y * f->GetPitch(p), f->GetRowSize(p));
        h.frame.push_back(all);
        for (int parity : {0, 1}) {
            uint64_t k = kBasis;
            for (int y = parity; y < limit; y += 2)
                k = fnv(k, f->GetReadPtr(PLANAR_Y) + y * f->GetPitch(PLANAR_Y), vi.width);
            h.field[parity].push_back(k);
        }
    }
    return h;
}

void Moments::addOriginal(const Hashes& h) {
    for (int n = 0; n < h.frames; ++n) {
        // A picture seen before keeps its moment.
        const auto found = ids_.find({h.field[0][size_t(n)], 0});
        const int id =
            found != ids_.end() && ids_.count({h.field[1][size_t(n)], 1}) ? found->second : next_++;
        for (int p : {0, 1}) ids_.emplace(std::make_pair(h.field[p][size_t(n)], p), id);
    }
}

std::vector<int> Moments::trace(const Hashes& h, bool tff) const {
    std::vector<int> m;
    for (int n = 0; n < h.frames; ++n)
        for (int p : {tff ? 0 : 1, tff ? 1 : 0}) {
            auto it = ids_.find({h.field[p][size_t(n)], p});
            m.push_back(it == ids_.end() ? -1 : it->second);
        }
    return m;
}

std::string perfectLog(const std::vector<int>& moments) {
    std::string log = "total " + std::to_string(moments.size() / 2) + "\n";
    for (size_t i = 0; i < moments.size(); ++i) {
        const bool combed = i + 1 < moments.size() && moments[i] != moments[i + 1];
        log += std::to_string(i) + (combed ? "-1-1-1\n" : "-0-0-1\n");
    }
    return log;
}

double recovered(const std::vector<const Hashes*>& originals, const std::set<uint64_t>& served) {
    int found = 0, total = 0;
    for (const Hashes* h : originals)
        for (uint64_t k : h->frame) {
            found += served.count(k) ? 1 : 0;
            ++total;
        }
    return total ? double(found) / total : 0.0;
}

std::vector<int> definitionRates(const std::string& def) {
    std::vector<int> rates;
    std::istringstream in(def);
    const std::regex range(R"(^(\d+)-(\d+) \[(\d+)\])");
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, range)) {
            const int a = std::stoi(m[1]), b = std::stoi(m[2]);
            if (int(rates.size()) < b + 1) rates.resize(size_t(b + 1), 0);
            for (int i = a; i <= b; ++i) rates[size_t(i)] = std::stoi(m[3]);
        }
    return rates;
}

}  // namespace qextruth
