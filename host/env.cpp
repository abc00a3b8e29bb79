#include "host/env.h"

#include "common/text.h"
#include "host/filters.h"
#include "host/frame.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace qexhost {

std::optional<std::vector<ParamSpec>> parse_params(std::string_view params) {
    std::vector<ParamSpec> out;
    size_t i = 0;
    while (i < params.size()) {
        ParamSpec p;
        if (params[i] == '[') {
            size_t close = params.find(']', i);
            if (close == std::string_view::npos) return std::nullopt;
            p.optional = true;
            p.name = std::string(params.substr(i + 1, close - i - 1));
            i = close + 1;
            if (i >= params.size()) return std::nullopt;
        }
        char t = params[i++];
        if (!std::strchr("cifsb.", t)) return std::nullopt;
        p.type = t;
        if (i < params.size() && (params[i] == '*' || params[i] == '+')) p.repeat = params[i++];
        out.push_back(std::move(p));
    }
    return out;
}

bool type_fits(char want, const AVSValue& v) {
    switch (want) {
        case 'c':
            return v.IsClip();
        case 'i':
            return v.IsInt();
        case 'f':
            return v.IsFloat();
        case 's':
            return v.IsString();
        case 'b':
            return v.IsBool();
        case '.':
            return v.Defined() && !v.IsArray();
        default:
            return false;
    }
}

std::optional<BoundArgs> bind_args(const std::vector<ParamSpec>& params,
                                   const std::vector<AVSValue>& positional,
                                   const std::vector<std::pair<std::string, AVSValue>>& named) {
    BoundArgs b;
    b.slots.resize(params.size());
    std::vector<bool> filled(params.size(), false);
    size_t v = 0;
    for (size_t p = 0; p < params.size() && v < positional.size(); ++p) {
        const ParamSpec& spec = params[p];
        if (spec.repeat) {
            std::vector<AVSValue> items;
            while (v < positional.size() && type_fits(spec.type, positional[v]))
                items.push_back(positional[v++]);
            if (spec.repeat == '+' && items.empty()) {
                if (!spec.optional) return std::nullopt;
                continue;
            }
            b.storage.push_back(std::move(items));
            b.slots[p] = AVSValue(b.storage.back().data(), int(b.storage.back().size()));
            filled[p] = true;
            continue;
        }
        const AVSValue& val = positional[v++];
        if (type_fits(spec.type, val)) {
            b.slots[p] = val;
        } else if (!spec.optional) {
            return std::nullopt;
        }  // else: a value of the wrong type for an optional parameter counts as absent
        filled[p] = true;
    }
    if (v < positional.size()) return std::nullopt;

    for (const auto& [name, val] : named) {
        size_t p = 0;
        for (; p < params.size(); ++p)
            if (params[p].optional && !params[p].name.empty() &&
                qextext::iequals(params[p].name, name))
                break;
        if (p == params.size() || filled[p]) return std::nullopt;
        filled[p] = true;
        if (params[p].repeat) {
            if (!type_fits(params[p].type, val)) continue;
            b.storage.push_back({val});
            b.slots[p] = AVSValue(b.storage.back().data(), 1);
        } else if (type_fits(params[p].type, val)) {
            b.slots[p] = val;
        }
    }

    for (size_t p = 0; p < params.size(); ++p) {
        if (filled[p]) continue;
        if (params[p].repeat == '*' && !params[p].optional) {
            b.storage.emplace_back();
            b.slots[p] = AVSValue(b.storage.back().data(), 0);
        } else if (!params[p].optional) {
            return std::nullopt;
        }
    }
    return b;
}

struct Environment::Registry {
    // Registrations per lower-case name, oldest first.
    std::map<std::string, std::deque<FunctionDef>> functions;
};

namespace {

AVSValue apply_load_plugin(AVSValue args, void*, IScriptEnvironment* env) {
    auto* e = static_cast<Environment*>(env);
    const char* result = "";
    for (int i = 0; i < args[0].ArraySize(); ++i) result = e->LoadPlugin(args[0][i].AsString(""));
    return AVSValue(result);
}

}  // namespace

Environment::Environment() : reg_(std::make_unique<Registry>()) {
    scopes_.emplace_back();
    register_core_filters(*this);
    AddFunction("LoadPlugin", "s+", apply_load_plugin, nullptr);
}

Environment::~Environment() {
    // Values may hold clips whose code lives in plug-ins: release them while the code is there.
    // The plug-in libraries stay loaded until the process ends, since clips handed out by this
    // environment may outlive it.
    scopes_.clear();
    globals_.clear();
}

char* Environment::SaveString(const char* s, int length) {
    if (!s) s = "";
    size_t n = length < 0 ? std::strlen(s) : size_t(length);
    strings_.emplace_back(s, n);
    return strings_.back().data();
}

const char* Environment::VSprintf(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt ? fmt : "", copy);
    va_end(copy);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), size_t(n) + 1, fmt, ap);
    return SaveString(text.c_str(), int(text.size()));
}

void Environment::AddFunction(const char* name, const char* params, ApplyFunc apply,
                              void* user_data) {
    if (!name || !*name || !apply) ThrowError("AddFunction: a function needs a name and code");
    auto specs = parse_params(params ? params : "");
    if (!specs) ThrowError("AddFunction: bad parameter string \"%s\" for \"%s\"", params, name);
    FunctionDef def;
    def.name = name;
    def.params = params ? params : "";
    def.specs = std::move(*specs);
    def.apply = apply;
    def.user_data = user_data;
    reg_->functions[qextext::lower_copy(name)].push_back(std::move(def));
}

std::vector<const FunctionDef*> Environment::Lookup(std::string_view name) {
    std::vector<const FunctionDef*> out;
    auto it = reg_->functions.find(qextext::lower_copy(name));
    if (it == reg_->functions.end() && !autoloaded_ && !autoload_dir_.empty()) {
        AutoloadPlugins();
        it = reg_->functions.find(qextext::lower_copy(name));
    }
    if (it == reg_->functions.end()) return out;
    for (auto d = it->second.rbegin(); d != it->second.rend(); ++d) out.push_back(&*d);
    return out;
}

bool Environment::FunctionExists(const char* name) {
    return name && !Lookup(name).empty();
}

const FunctionDef* Environment::Resolve(std::string_view name,
                                        const std::vector<AVSValue>& positional,
                                        const std::vector<std::pair<std::string, AVSValue>>& named,
                                        BoundArgs* bound) {
    for (const FunctionDef* def : Lookup(name)) {
        auto b = bind_args(def->specs, positional, named);
        if (b) {
            *bound = std::move(*b);
            return def;
        }
    }
    return nullptr;
}

std::optional<AVSValue> Environment::TryCall(
    std::string_view name, const std::vector<AVSValue>& positional,
    const std::vector<std::pair<std::string, AVSValue>>& named) {
    BoundArgs bound;
    const FunctionDef* def = Resolve(name, positional, named, &bound);
    if (!def) return std::nullopt;
    if (call_depth_ >= kMaxCallDepth)
        ThrowError("%s: function calls nested more than %d deep", def->name.c_str(), kMaxCallDepth);
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(call_depth_);
    return def->apply(AVSValue(bound.slots.data(), int(bound.slots.size())), def->user_data, this);
}

AVSValue Environment::Invoke(const char* name, const AVSValue args, const char* const* arg_names) {
    std::vector<AVSValue> positional;
    std::vector<std::pair<std::string, AVSValue>> named;
    int count = args.IsArray() ? args.ArraySize() : (args.Defined() ? 1 : 0);
    for (int i = 0; i < count; ++i) {
        const AVSValue& v = args.IsArray() ? args[i] : args;
        if (arg_names && arg_names[i] && *arg_names[i])
            named.emplace_back(arg_names[i], v);
        else
            positional.push_back(v);
    }
    auto r = TryCall(name ? name : "", positional, named);
    if (!r) throw NotFound();
    return *r;
}

std::optional<AVSValue> Environment::FindVar(std::string_view name) const {
    std::string key = qextext::lower_copy(name);
    if (!scopes_.empty()) {
        auto it = scopes_.back().find(key);
        if (it != scopes_.back().end()) return it->second;
    }
    auto g = globals_.find(key);
    if (g != globals_.end()) return g->second;
    return std::nullopt;
}

AVSValue Environment::GetVar(const char* name) {
    auto v = FindVar(name ? name : "");
    if (!v) throw NotFound();
    return *v;
}

bool Environment::SetVar(const char* name, const AVSValue& val) {
    if (!name || !*name || scopes_.empty()) return false;
    scopes_.back()[qextext::lower_copy(name)] = val;
    return true;
}

bool Environment::SetGlobalVar(const char* name, const AVSValue& val) {
    if (!name || !*name) return false;
    globals_[qextext::lower_copy(name)] = val;
    return true;
}

void Environment::PushScope() {
    scopes_.emplace_back();
}

void Environment::PopScope() {
    if (scopes_.size() > 1) scopes_.pop_back();
}

PVideoFrame Environment::NewVideoFrame(const VideoInfo& vi, int) {
    if (vi.BitsPerPixel() == 0)
        ThrowError("NewVideoFrame: unsupported pixel type %d", vi.pixel_type);
    if (const char* why = check_frame_size(vi.pixel_type, vi.width, vi.height))
        ThrowError("NewVideoFrame: %s (got %dx%d)", why, vi.width, vi.height);
    return new_frame(vi);
}

bool Environment::MakeWritable(PVideoFrame* pvf) {
    if (!pvf || !*pvf || (*pvf)->IsWritable()) return false;
    const VideoFrame& src = **pvf;
    // Rebuild the picture with the same plane sizes as the source frame.
    int planes = src.GetRowSize(PLANAR_U) > 0 ? 3 : 1;
    PlaneLayout layout[3];
    const int sel[3] = {planes == 3 ? PLANAR_Y : 0, PLANAR_U, PLANAR_V};
    size_t total = 0;
    for (int i = 0; i < planes; ++i) {
        layout[i].row_size = src.GetRowSize(sel[i]);
        layout[i].height = src.GetHeight(sel[i]);
        layout[i].pitch = (std::max(layout[i].row_size, 1) + 31) / 32 * 32;
        layout[i].offset = ptrdiff_t(total);
        total += size_t(layout[i].pitch) * size_t(layout[i].height);
    }
    auto buf = std::make_shared<FrameBuffer>(total);
    for (int i = 0; i < planes; ++i)
        BitBlt(buf->data() + layout[i].offset, layout[i].pitch, src.GetReadPtr(sel[i]),
               src.GetPitch(sel[i]), layout[i].row_size, layout[i].height);
    *pvf = PVideoFrame(new HostFrame(std::move(buf), planes, layout));
    return true;
}

void Environment::BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                         int height) {
    if (!dstp || !srcp || row_size <= 0 || height <= 0) return;
    if (dst_pitch == src_pitch && src_pitch == row_size) {
        std::memcpy(dstp, srcp, size_t(row_size) * size_t(height));
        return;
    }
    for (int r = 0; r < height; ++r)
        std::memcpy(dstp + ptrdiff_t(r) * dst_pitch, srcp + ptrdiff_t(r) * src_pitch,
                    size_t(row_size));
}

const char* Environment::LoadPlugin(const std::string& path) {
    // A bare file name means a file in the current folder (the script's), as scripts expect;
    // dlopen alone would search only the system's library folders for it.
    std::string where = path;
    if (path.find('/') == std::string::npos && ::access(path.c_str(), F_OK) == 0)
        where = "./" + path;
    void* handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        ThrowError("LoadPlugin: unable to load \"%s\": %s", path.c_str(),
                   why ? why : "unknown reason");
    }
    for (size_t i = 0; i < plugins_.size(); ++i)
        if (plugins_[i] == handle) {
            dlclose(handle);  // drops the reference this call added
            return plugin_texts_[i];
        }
    using InitFunc = const char* (*)(IScriptEnvironment*);
    dlerror();
    auto init = reinterpret_cast<InitFunc>(dlsym(handle, "AvisynthPluginInit2"));
    if (!init) {
        dlclose(handle);
        ThrowError("LoadPlugin: \"%s\" is not a plug-in (no AvisynthPluginInit2)", path.c_str());
    }
    plugins_.push_back(handle);
    plugin_texts_.push_back("");
    const char* text = init(this);
    plugin_texts_.back() = SaveString(text ? text : "");
    return plugin_texts_.back();
}

void Environment::SetAutoloadDirectory(std::string dir) {
    autoload_dir_ = std::move(dir);
    autoloaded_ = false;
}

void Environment::AutoloadPlugins() {
    if (autoload_dir_.empty() || autoloaded_) return;
    autoloaded_ = true;
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> files;
    for (fs::directory_iterator it(autoload_dir_, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".so") files.push_back(it->path().string());
    }
    if (ec)
        ThrowError("LoadPlugin: cannot read the plug-in folder \"%s\": %s", autoload_dir_.c_str(),
                   ec.message().c_str());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) LoadPlugin(f);
}

}  // namespace qexhost
