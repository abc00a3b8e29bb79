// Writes a YV12 y4m test clip with a pattern that moves between fields, so that woven frames
// differ from their sources: y4mgen OUT WIDTH HEIGHT FRAMES
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: y4mgen OUT.y4m WIDTH HEIGHT FRAMES\n");
        return 2;
    }
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    if (w < 2 || h < 2 || (w | h) & 1 || w > 16384 || h > 16384 || frames < 1) {
        std::fprintf(stderr, "y4mgen: WIDTH and HEIGHT must be even (2..16384), FRAMES positive\n");
        return 2;
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "YUV4MPEG2 W%d H%d F30000:1001 It A1:1 C420jpeg\n", w, h);
    // A diagonal ramp twice as wide as the picture; each row is a window into it.
    const int span = 2 * w + 2 * h + 8 * frames + 16;
    std::vector<unsigned char> ramp(size_t(span) + size_t(w));
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = (unsigned char)(16 + (i * 7) % 220);
    std::vector<unsigned char> frame(size_t(w) * h * 3 / 2);
    for (int n = 0; n < frames; ++n) {
        for (int y = 0; y < h; ++y) {
            // The bottom field is half a frame later than the top field.
            const int t = 8 * n + ((y & 1) ? 4 : 0);
            const unsigned char* src = &ramp[size_t((y + t) % span)];
            std::copy(src, src + w, frame.begin() + std::ptrdiff_t(y) * w);
        }
        for (int c = 0; c < 2; ++c) {
            unsigned char* p = frame.data() + size_t(w) * h + size_t(c) * (w / 2) * (h / 2);
            for (int y = 0; y < h / 2; ++y)
                for (int x = 0; x < w / 2; ++x)
                    p[size_t(y) * (w / 2) + x] = (unsigned char)(96 + ((x + y + n + 64 * c) & 63));
        }
        if (std::fputs("FRAME\n", out) < 0 ||
            std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) {
            std::perror(argv[1]);
            std::fclose(out);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
