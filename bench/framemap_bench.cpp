// Builds the field map and the output frame list of a three-hour 30000/1001 clip from a
// generated definition with 2,000 statements of mixed kinds, and prints the time taken,
// the heap allocations made while building, and the peak resident set size.
//
//   framemap_bench [frames] [statements]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "plugin/definition.h"
#include "plugin/framemap.h"

namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Contiguous ranges covering the clip, cycling through the statement kinds a definition
// usually holds, with a keyframes block of chapters and a few mode changes.
std::string make_definition(int frames, int statements) {
    std::string d;
    d += "set [24] f24='SelectEvery(5,0,1,2,3)'\n";
    for (int k = 0; k < 5; ++k)
        d +=
            "set [24] f6to2_" + std::to_string(k) + "='Fix6to2(phase=" + std::to_string(k) + ")'\n";
    d += "set [30] f30='SelectEven()'\nset [60] f60='Bob()'\nset [30] pp='Sharpen(0.3)'\n\n";
    d += "default 24=f24\ndefault 30=f30\ndefault 60=f60\n\n";
    d += "keyframes {\n";
    for (int c = 0; c < 50; ++c)
        d += std::to_string(c * (frames / 50)) + " Chapter " + std::to_string(c) + "\n";
    d += "}\n";
    const char* kinds[] = {"[24] (5,0,2)", "[24] (10,0,2,5,8)",   "[30] <10>",     "[60] f60",
                           "[24]",         "[30] on_a,off_b",     "[24] f6to2_2",  "[24] (5,1,4)",
                           "[30]",         "[48] 'FortyEight()'", "[12] (10,2,7)", "[6] (10,2)"};
    const int body = statements - 60;  // the lines above count as statements too
    const int span = frames / body;
    int first = 0;
    for (int i = 0; i < body; ++i) {
        const int last = i + 1 == body ? frames - 1 : first + span - 1;
        if (i % 97 == 0) d += i % 2 ? "mode fps_adjust = on\n" : "mode fps_adjust = off\n";
        d += std::to_string(first) + "-" + std::to_string(last) + " " + kinds[i % 12] + "\n";
        if (i % 50 == 7) d += std::to_string(first) + "-" + std::to_string(last) + " post = pp\n";
        first = last + 1;
    }
    d += "end\n";
    return d;
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 323676;
    const int statements = argc > 2 ? std::atoi(argv[2]) : 2000;
    const std::string def = make_definition(frames, statements);
    int lines = 0;
    for (char c : def) lines += c == '\n';

    const long rss_before = peak_rss_kib();
    const long allocs_before = g_allocations.load();
    const auto t0 = std::chrono::steady_clock::now();
    qex::QexModel m(frames, 30, 30000, 1001);
    const auto t1 = std::chrono::steady_clock::now();
    const int r = qex::read_definition_text(m, def);
    const auto t2 = std::chrono::steady_clock::now();
    const int n = r < 0 ? r : qex::output_pass(m);
    const auto t3 = std::chrono::steady_clock::now();
    const long allocs = g_allocations.load() - allocs_before;

    auto secs = [](auto a, auto b) { return std::chrono::duration<double>(b - a).count(); };
    std::printf("frames %d, definition lines %d (%zu bytes)\n", frames, lines, def.size());
    std::printf("read result %d, output frames %d, chapters %d\n", r, n, m.chapters->count);
    std::printf("allocate   %.4f s\n", secs(t0, t1));
    std::printf("read       %.4f s\n", secs(t1, t2));
    std::printf("pass       %.4f s\n", secs(t2, t3));
    std::printf("total      %.4f s (target < 0.2 s)\n", secs(t0, t3));
    std::printf("heap allocations while building: %ld (field entries: %zu)\n", allocs,
                m.field_map.size());
    std::printf("field map %.1f MiB, output list %.1f MiB\n",
                m.field_map.capacity() * sizeof(qex::FieldEntry) / 1048576.0,
                m.output.capacity() * sizeof(qex::OutputFrame) / 1048576.0);
    std::printf("peak RSS %ld KiB (before building %ld KiB)\n", peak_rss_kib(), rss_before);
    return r < 0 || n < 0 ? 1 : 0;
}
