#include "vfr/tracks.h"

#include <cctype>
#include <cstdlib>
#include <utility>

namespace qexvfr {
namespace {

// Just enough JSON for mkvmerge's identification: values are read whole, numbers are kept as
// their text (track UIDs do not fit a double).
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    std::string text;  // string value, number text, "true"/"false"
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* get(std::string_view key) const {
        for (const auto& [k, v] : members)
            if (k == key) return &v;
        return nullptr;
    }
    std::string str(std::string_view key) const {
        const Json* v = get(key);
        return v && v->kind == kString ? v->text : std::string();
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view s) : s_(s) {}

    Json document() {
        Json v = value(0);
        blanks();
        if (at_ < s_.size()) fail("text after the end");
        return v;
    }

  private:
    [[noreturn]] void fail(const char* what) const {
        throw IdentifyError(std::string("mkvmerge's identification: ") + what + " at byte " +
                            std::to_string(at_));
    }
    void blanks() {
        while (at_ < s_.size() &&
               (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t'))
            ++at_;
    }
    bool take(char c) {
        blanks();
        if (at_ < s_.size() && s_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail("unexpected character");
    }

    static void put_utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    std::string string() {
        expect('"');
        std::string out;
        while (at_ < s_.size() && s_[at_] != '"') {
            char c = s_[at_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) break;
            c = s_[at_++];
            switch (c) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (at_ + 4 > s_.size()) fail("short \\u escape");
                    const std::string hex(s_.substr(at_, 4));
                    char* end = nullptr;
                    const unsigned long cp = std::strtoul(hex.c_str(), &end, 16);
                    if (*end) fail("bad \\u escape");
                    at_ += 4;
                    // Surrogate halves (characters beyond the first plane) are kept as they
                    // are; mkvmerge writes UTF-8 for them.
                    put_utf8(out, unsigned(cp));
                    break;
                }
                default:
                    out += c;
            }
        }
        if (at_ >= s_.size()) fail("unclosed string");
        ++at_;
        return out;
    }

    Json value(int depth) {
        if (depth > 64) fail("nesting too deep");
        blanks();
        if (at_ >= s_.size()) fail("unexpected end");
        Json v;
        const char c = s_[at_];
        if (c == '{') {
            v.kind = Json::kObject;
            ++at_;
            if (take('}')) return v;
            do {
                blanks();
                std::string key = string();
                expect(':');
                v.members.emplace_back(std::move(key), value(depth + 1));
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            v.kind = Json::kArray;
            ++at_;
            if (take(']')) return v;
            do v.items.push_back(value(depth + 1));
            while (take(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Json::kString;
            v.text = string();
        } else {
            const size_t from = at_;
            while (at_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[at_])) ||
                                       s_[at_] == '-' || s_[at_] == '+' || s_[at_] == '.'))
                ++at_;
            v.text = std::string(s_.substr(from, at_ - from));
            if (v.text == "true" || v.text == "false")
                v.kind = Json::kBool;
            else if (v.text == "null")
                v.kind = Json::kNull;
            else if (!v.text.empty() &&
                     (v.text[0] == '-' || std::isdigit(static_cast<unsigned char>(v.text[0]))))
                v.kind = Json::kNumber;
            else
                fail("unexpected value");
        }
        return v;
    }

    std::string_view s_;
    size_t at_ = 0;
};

int64_t rounded_div(int64_t a, int64_t b) {
    // b > 0
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

}  // namespace

Identification parse_identification(std::string_view json) {
    const Json doc = JsonReader(json).document();
    if (doc.kind != Json::kObject) throw IdentifyError("mkvmerge's identification: not an object");
    Identification out;
    if (const Json* tracks = doc.get("tracks"); tracks && tracks->kind == Json::kArray) {
        for (const Json& t : tracks->items) {
            Track track;
            if (const Json* id = t.get("id"); id && id->kind == Json::kNumber)
                track.id = std::strtoll(id->text.c_str(), nullptr, 10);
            track.type = t.str("type");
            track.codec = t.str("codec");
            if (const Json* p = t.get("properties")) {
                track.language = p->str("language");
                track.name = p->str("track_name");
            }
            out.tracks.push_back(std::move(track));
        }
    }
    if (const Json* chapters = doc.get("chapters"); chapters && chapters->kind == Json::kArray)
        for (const Json& c : chapters->items)
            if (const Json* n = c.get("num_entries"); n && n->kind == Json::kNumber)
                out.chapters += std::atoi(n->text.c_str());
    return out;
}

std::vector<Track> tracks_of(const Identification& id, std::string_view type) {
    std::vector<Track> out;
    for (const Track& t : id.tracks)
        if (t.type == type) out.push_back(t);
    return out;
}

int64_t to_ns(const Instant& t) {
    // value * num * 1e9 / den, exact in 128 bits before the one rounding.
    if (t.den <= 0 || t.num <= 0) return 0;
    const __int128 ns = __int128(t.value) * t.num * 1000000000;
    const __int128 q = ns >= 0 ? (ns + t.den / 2) / t.den : -((-ns + t.den / 2) / t.den);
    return int64_t(q);
}

int64_t sync_ms(int64_t first_picture_ns, int64_t input_first_ns, int64_t copied_first_ns) {
    // mkvmerge put input time t at t - zero, zero = input_first - copied_first; the output
    // wants it at t - first_picture.
    const int64_t zero = input_first_ns - copied_first_ns;
    return rounded_div(zero - first_picture_ns, 1000000);
}

std::string without_default_editions(std::string_view xml) {
    std::string out(xml);
    constexpr std::string_view kOpen = "<EditionFlagDefault>", kClose = "</EditionFlagDefault>";
    for (size_t at = out.find(kOpen); at != std::string::npos; at = out.find(kOpen, at + 1)) {
        const size_t from = at + kOpen.size(), to = out.find(kClose, from);
        if (to == std::string::npos) break;
        out.replace(from, to - from, "0");
    }
    return out;
}

std::string track_label(const Track& t) {
    std::string out = t.language.empty() ? "und" : t.language;
    if (!t.name.empty()) out += " \"" + t.name + "\"";
    return out;
}

std::string kept_text(const std::vector<Track>& audio, const std::vector<Track>& subtitles,
                      int definition_chapters, int input_chapters) {
    std::string out;
    auto part = [&](const char* what, const std::vector<Track>& tracks) {
        if (tracks.empty()) return;
        if (!out.empty()) out += "; ";
        out += what;
        for (size_t i = 0; i < tracks.size(); ++i) out += (i ? ", " : " ") + track_label(tracks[i]);
    };
    part("sound:", audio);
    part("subtitles:", subtitles);
    if (definition_chapters > 0 || input_chapters > 0) {
        if (!out.empty()) out += "; ";
        out += "chapters:";
        if (definition_chapters > 0)
            out += " " + std::to_string(definition_chapters) + " from the definition";
        if (input_chapters > 0)
            out += std::string(definition_chapters > 0 ? "," : "") + " " +
                   std::to_string(input_chapters) + " from the input";
    }
    return out;
}

}  // namespace qexvfr
