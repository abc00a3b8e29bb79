// The truth of a mixed recording made from progressive originals: every field of the recording
// is traced back, by its hash, to the original frame (the moment) it shows. From that follow a
// perfect analysis log and the share of the originals that an output shows bit for bit.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qextruth {

// Hashes of the frames and fields of a y4m file (4:2:0), read through the host's Y4MSource.
struct Hashes {
    int width = 0, height = 0, frames = 0;
    std::vector<uint64_t> frame;     // all three planes of each frame
    std::vector<uint64_t> field[2];  // luma rows of parity 0 (even) and 1 of each frame
};
// `rows`: the field hashes cover the luma rows above this one (0: all rows). Throws
// std::runtime_error when the file cannot be read.
Hashes hashY4m(const std::string& path, int rows = 0);

class Moments {
  public:
    // Every frame of an original is one moment (a picture held in several frames, or shown in
    // more than one original, is one moment).
    void addOriginal(const Hashes& h);
    // The moment of every field of a recording in its field order; -1 for a field of no
    // original.
    std::vector<int> trace(const Hashes& h, bool tff) const;

  private:
    std::map<std::pair<uint64_t, int>, int> ids_;
    int next_ = 0;
};

// The log of a recording whose fields show `moments`: an entry is combed (and wide) when its
// two fields show different moments; every entry is marked new.
std::string perfectLog(const std::vector<int>& moments);

// The rate of every frame in the text of a definition written by zorvane (0 where no range
// covers a frame).
std::vector<int> definitionRates(const std::string& def);

// Share of the frames of the originals that `served` holds (frame hashes).
double recovered(const std::vector<const Hashes*>& originals, const std::set<uint64_t>& served);

// one moment in more entries than woven bottom first.
}  // namespace qextruth
