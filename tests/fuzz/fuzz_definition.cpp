// Definition files through the reader, the frame map and the output pass, then the serving
// decisions (constant, variable and opt strategies) and the timecodes and chapter writers, all
// in memory. "tpr" statements get a project made from the path's bytes; the outside verdicts of
// the opt strategy come from the input's bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/definition.h"
#include "plugin/framemap.h"
#include "plugin/model.h"
#include "plugin/outputs.h"
#include "plugin/project.h"
#include "plugin/serving.h"

namespace {

constexpr std::int32_t kFrames = 2000;  // source frames of the clip the definition is for

class Hooks : public qex::OptHooks {
  public:
    Hooks(const qex::QexModel& m, std::string_view input) : m_(m), input_(input) {}
    void probe(int, int, std::int32_t) override {}
    std::uint8_t verdict(std::int32_t frame) override {
        if (input_.empty() || frame < 0) return 0;
        static constexpr char kVerdicts[] = {'3', '2', 'D', 'D'};
        return std::uint8_t(
            kVerdicts[std::uint8_t(input_[std::size_t(frame) % input_.size()]) & 3]);
    }
    std::uint8_t published_duration(std::int32_t frame) override {
        return frame >= 0 && std::size_t(frame) < m_.output.size()
                   ? m_.output[std::size_t(frame)].duration
                   : 0;
    }
    void write_outputs(std::int32_t limit) override {
        written += qex::timecodes_text(m_.output, limit).size();
        written += qex::chapters_text(m_.output, limit, *m_.chapters).size();
    }
    std::size_t written = 0;

  private:
    const qex::QexModel& m_;
    std::string_view input_;
};

int load_project(const std::string& path, std::int32_t capacity, qex::ProjectData& out) {
    if (path.empty()) return qex::kProjectOpenError;
    out.rate_code = std::uint8_t(path[0]) % 70;
    out.pairs.assign(2 * std::size_t(capacity > 0 ? capacity : 0), 0);
    for (std::size_t i = 0; i < out.pairs.size(); ++i)
        out.pairs[i] = std::uint8_t(path[i % path.size()] * (i + 1));
    return 1;
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    qex::QexModel m(kFrames, 30, 30000, 1001);
    qex::ErrorContext ctx;
    ctx.file_name = "fuzz";
    ctx.extension = ".def";
    const int r = qex::read_definition_text(m, text, load_project);
    ctx.line_no = m.st.line_no;
    if (r < 0) {
        check(qex::error_message(r, ctx).has_value());
        return 0;
    }
    const std::int32_t count = qex::output_pass(m);
    if (count < 0) {
        ctx.error_frame = m.st.error_frame;
        check(qex::error_message(count, ctx).has_value());
        return 0;
    }
    check(std::size_t(count) == m.output.size());
    for (std::int32_t n = 0; n < count; ++n) {
        const qex::OutputFrame& o = m.output[std::size_t(n)];
        check(o.source >= 0 && std::size_t(o.source) < m.field_map.size());
        (void)qex::choose_fetch(m, n, qex::ServeMode::kConstant);
        (void)qex::choose_fetch(m, n, qex::ServeMode::kVariable);
    }
    std::size_t bytes = qex::timecodes_text(m.output, count).size();
    bytes += qex::chapters_text(m.output, count, *m.chapters).size();

    // The opt strategy over the whole list, in order, then a few requests out of order.
    Hooks hooks(m, text);
    qex::OptState s;
    s.end_frame = count;
    for (std::int32_t n = 0; n < count; ++n) check(qex::opt_advance(m, s, n, hooks));
    for (std::int32_t n : {-1, 0, count, count + 1}) check(!qex::opt_advance(m, s, n, hooks));
    check(s.end_frame >= 0 && s.end_frame <= count);
    check(m.chapters->count >= 0 && m.chapters->count <= qex::kMaxChapters);
    check(bytes > 0);
    return 0;
}
