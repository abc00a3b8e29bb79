// y4m streams: the stream and frame header parsers over the input, then the whole input as a
// file read by Y4MSource (through a memory file), with its first, middle and last frames.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "avisynth.h"
#include "host/env.h"
#include "host/y4m.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Walks the frames the header promises, as far as the data goes.
void walk(std::string_view data) {
    qexhost::Y4mHeader h;
    if (!qexhost::parse_y4m_header(data, &h).empty()) return;
    check(h.header_bytes > 0 && h.header_bytes <= data.size());
    check(h.width > 0 && h.height > 0 && h.frame_bytes > 0);
    std::size_t at = h.header_bytes;
    while (at < data.size()) {
        const std::size_t head = qexhost::y4m_frame_header_length(data.substr(at));
        if (head == 0) break;
        check(head <= data.size() - at);
        if (h.frame_bytes > data.size() - at - head) break;
        at += head + std::size_t(h.frame_bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    walk(text);

    const int fd = memfd_create("fuzz_y4m", MFD_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) break;
        done += std::size_t(w);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    {
        qexhost::Environment env;
        try {
            const AVSValue args[1] = {AVSValue(path.c_str())};
            PClip clip = env.Invoke("Y4MSource", AVSValue(args, 1)).AsClip();
            const VideoInfo vi = clip->GetVideoInfo();
            for (int n : {0, vi.num_frames / 2, vi.num_frames - 1}) {
                PVideoFrame f = clip->GetFrame(n, &env);
                check(f && f->GetRowSize() > 0);
            }
        } catch (const AvisynthError&) {}
    }
    close(fd);
    return 0;
}
