#include "tests/common/media.h"

#include "tests/common/testkit.h"

#include <cstdio>
#include <stdexcept>

namespace qextest {

RunResult try_ffmpeg(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

void ffmpeg(const std::vector<std::string>& args, const std::string& cwd) {
    const RunResult r = try_ffmpeg(args, cwd);
    if (r.status != 0) {
        std::string line = "ffmpeg";
        for (const std::string& a : args) line += " " + a;
        throw std::runtime_error(line + " failed with status " + std::to_string(r.status) + ": " +
                                 r.err);
    }
}

void lavfi_clip(const std::string& path, const std::string& graph, int frames,
                const std::vector<std::string>& output) {
    std::vector<std::string> args{
        "-f", "lavfi", "-i", graph, "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p"};
    if (output.empty()) {
        args.insert(args.end(), {"-f", "yuv4mpegpipe"});
    } else {
        args.insert(args.end(), output.begin(), output.end());
    }
    args.push_back(path);
    ffmpeg(args);
}

namespace {

std::vector<std::string> recording_args(const std::string& path, const std::string& video,
                                        const std::vector<std::string>& output,
                                        const std::string& audio) {
    std::vector<std::string> args{"-f", "lavfi", "-i", video};
    if (!audio.empty()) args.insert(args.end(), {"-f", "lavfi", "-i", audio});
    args.insert(args.end(), output.begin(), output.end());
    args.push_back(path);
    return args;
}

}  // namespace

void lavfi_recording(const std::string& path, const std::string& video,
                     const std::vector<std::string>& output, const std::string& audio,
                     const std::string& cwd) {
    ffmpeg(recording_args(path, video, output, audio), cwd);
}

RunResult try_lavfi_recording(const std::string& path, const std::string& video,
                              const std::vector<std::string>& output, const std::string& audio,
                              const std::string& cwd) {
    return try_ffmpeg(recording_args(path, video, output, audio), cwd);
}

std::vector<std::string> framemd5(const std::string& file, const std::vector<std::string>& options,
                                  const std::string& cwd) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-i", file};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"-f", "framemd5", "-"});
    const RunResult r = run_program(argv, cwd);
    if (r.status != 0)
        throw std::runtime_error("ffmpeg's framemd5 of " + file + " failed: " + r.err);
    std::vector<std::string> md5s;
    for (const std::string& line : lines(r.out)) {
        if (line[0] == '#') continue;
        std::string md5 = line.substr(line.rfind(',') + 1);
        md5.erase(0, md5.find_first_not_of(' '));
        md5s.push_back(md5);
    }
    return md5s;
}

RunResult try_ffprobe(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{"ffprobe", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, cwd);
}

std::vector<std::string> probe(const std::string& file, const std::vector<std::string>& what,
                               const std::string& cwd) {
    std::vector<std::string> args = what;
    args.insert(args.end(), {"-of", "csv=p=0", file});
    const RunResult r = try_ffprobe(args, cwd);
    if (r.status != 0) throw std::runtime_error("ffprobe of " + file + " failed: " + r.err);
    return lines(r.out);
}

std::string filter_report(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-f", "null", "-"});
    const RunResult r = run_program(argv, cwd);
    if (r.status != 0) throw std::runtime_error("ffmpeg's filter run failed: " + r.err);
    return r.err;
}

void sample_recording(const std::string& path, const std::vector<std::string>& args,
                      const std::string& cwd) {
    std::vector<std::string> argv{"/bin/sh", QEX_SOURCE_DIR "/examples/make-sample.sh", path};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = run_program(argv, cwd);
    if (r.status != 0) throw std::runtime_error("make-sample.sh " + path + " failed: " + r.err);
}

void flash_recording(const std::string& path, const std::vector<int>& film,
                     const std::vector<int>& fields, double lead, const std::string& cwd) {
    auto range = [](std::string& expr, const std::string& t, const std::string& from,
                    const std::string& to) {
        expr +=
            (expr.empty() ? "" : "+") + std::string("between(") + t + "," + from + "," + to + ")";
    };
    std::string film_on, fields_on, beep;
    const std::string film_start = "4004/1000";  // the 60i part starts after 120 frames
    const std::string shifted = "t-" + std::to_string(lead);
    for (int k : film) {
        const std::string at = std::to_string(k) + "*1001/24000";
        range(film_on, "t", at, std::to_string(k) + ".5*1001/24000");
        range(beep, shifted, at, at + "+0.08");
    }
    for (int j : fields) {
        const std::string at = std::to_string(j) + "*1001/60000";
        range(fields_on, "t", at, std::to_string(j) + ".5*1001/60000+4*1001/60000");
        range(beep, shifted, film_start + "+" + at, film_start + "+" + at + "+0.08");
    }
    // A dim test picture panned across: combing shows wherever fields of two moments meet,
    // and the white box stands far above it.
    auto panned = [](const char* rate, int step, const std::string& on) {
        return "testsrc=size=960x240:rate=" + std::string(rate) +
               ",loop=loop=-1:size=1:start=0,lutyuv=y=val*0.4,crop=320:240:'mod(n*" +
               std::to_string(step) +
               ",640)':0,drawbox=x=40:y=30:w=240:h=180:color=white:t=fill:enable='" + on + "'";
    };
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", 6.006 + lead);
    const std::string restamp = "setpts=N/(30000/1001*TB)";
    char shift[64];
    std::snprintf(shift, sizeof shift, "setpts=PTS+%.3f/TB", lead);
    const std::string graph =
        "[0]trim=end_frame=96,format=yuv420p,telecine=first_field=top:pattern=23," + restamp +
        ",setsar=1[film];[1]trim=end_frame=120,format=yuv420p,interlace=scan=tff:lowpass=0," +
        restamp + ",setsar=1[i60];[film][i60]concat=n=2:v=1:a=0,setfield=tff," + shift + "[v]";
    const std::string tone =
        "aevalsrc='0.5*sin(2*PI*1000*t)*gt(" + beep + ",0)':s=48000:d=" + duration;
    const std::string film_video = panned("24000/1001", 7, film_on);
    const std::string fields_video = panned("60000/1001", 4, fields_on);
    std::vector<std::string> args{
        "-f",         "lavfi", "-i",    film_video, "-f", "lavfi",           "-i",
        fields_video, "-f",    "lavfi", "-i",       tone, "-filter_complex", graph};
    args.insert(args.end(), {"-map", "[v]", "-map", "2:a", "-c:v", "mpeg2video", "-q:v", "2",
                             "-flags", "+ilme+ildct", "-top", "1", "-g", "15"});
    args.insert(args.end(),
                {"-r", "30000/1001", "-c:a", "mp2", "-b:a", "192k", "-f", "mpegts", path});
    ffmpeg(args, cwd);
}

void telecined_shots(const std::string& y4m, const std::string& pictures,
                     const std::vector<int>& trims, const std::string& cwd) {
    std::string graph;
    std::string joined;
    for (std::size_t k = 0; k < trims.size(); ++k) {
        const std::string in = std::to_string(k);
        graph +=
            "testsrc=size=3200x240:rate=24000/1001,loop=loop=-1:size=1:start=0,"
            "trim=end_frame=40,crop=320:240:'n*" +
            std::to_string(5 + k) + "+" + std::to_string(600 * k) + "':0,format=yuv420p,split[p" +
            in + "][t" + in + "];[t" + in +
            "]telecine=pattern=23,trim=end_frame=" + std::to_string(50 - trims[k]) +
            ",setpts=N/(30000/1001*TB)[s" + in + "];";
        joined += "[s" + in + "]";
    }
    graph += joined + "concat=n=" + std::to_string(trims.size()) +
             ":v=1:a=0,setfield=tff,format=yuv420p[out]";
    std::string shots;
    for (std::size_t k = 0; k < trims.size(); ++k) shots += "[p" + std::to_string(k) + "]";
    graph +=
        ";" + shots + "concat=n=" + std::to_string(trims.size()) + ":v=1:a=0,format=yuv420p[pics]";
    ffmpeg({"-filter_complex", graph, "-map", "[out]", "-f", "yuv4mpegpipe", y4m, "-map", "[pics]",
            "-fps_mode", "passthrough", "-f", "rawvideo", pictures},
           cwd);
}

}  // namespace qextest
