#include "script/script.h"

#include "common/text.h"
#include "script/script_parser.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

namespace qexhost {

const char* type_name(const AVSValue& v) {
    switch (v.GetType()) {
        case 'c':
            return "clip";
        case 'b':
            return "bool";
        case 'i':
            return "int";
        case 'f':
            return "float";
        case 's':
            return "string";
        case 'a':
            return "array";
        default:
            return "nothing";
    }
}

namespace {

// An error inside one script text, with the place in that text. It never leaves the evaluator:
// evaluate() turns it into an AvisynthError that names the text.
struct LocalError {
    LocalError(SourcePos p, std::string m, std::vector<std::string> in = {})
        : pos(p), msg(std::move(m)), inner(std::move(in)) {}
    SourcePos pos;
    std::string msg;
    std::vector<std::string> inner;  // places of a nested text the error came from
};

// Chains longer than this show their first and last places only.
constexpr size_t kMaxPlacesShown = 6;

std::string format_chain(const std::vector<std::string>& places, const std::string& base) {
    std::string out;
    const size_t n = places.size();
    for (size_t i = 0; i < n; ++i) {
        if (n > kMaxPlacesShown && i == kMaxPlacesShown / 2) {
            out += "(" + std::to_string(n - kMaxPlacesShown) + " more places): ";
            i = n - kMaxPlacesShown / 2;
        }
        out += places[i] + ": ";
    }
    return out + base;
}

std::string quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

std::string place(const std::string& name, SourcePos pos) {
    return name + ", line " + std::to_string(pos.line) + ", column " + std::to_string(pos.column);
}

const char* param_type_name(char t) {
    switch (t) {
        case 'c':
            return "clip";
        case 'i':
            return "int";
        case 'f':
            return "float";
        case 's':
            return "string";
        case 'b':
            return "bool";
        default:
            return "any";
    }
}

// "(clip, int, fps=int, string...)" for a registration.
std::string signature(const FunctionDef& f) {
    std::string out = "(";
    bool first = true;
    for (const ParamSpec& p : f.specs) {
        if (!first) out += ", ";
        first = false;
        if (p.optional && !p.name.empty()) out += p.name + "=";
        out += param_type_name(p.type);
        if (p.repeat) out += "...";
    }
    return out + ")";
}

std::string arguments_text(const std::vector<AVSValue>& positional,
                           const std::vector<std::pair<std::string, AVSValue>>& named) {
    std::string out = "(";
    bool first = true;
    for (const AVSValue& v : positional) {
        if (!first) out += ", ";
        first = false;
        out += type_name(v);
    }
    for (const auto& [n, v] : named) {
        if (!first) out += ", ";
        first = false;
        out += n + "=" + type_name(v);
    }
    return out + ")";
}

bool is_number(const AVSValue& v) {
    return v.IsInt() || v.GetType() == 'f';
}

class Evaluator {
  public:
    Evaluator(Environment& env, int& depth, const ScriptEngine::ErrorChain& last_error)
        : env_(env), depth_(depth), last_error_(last_error) {}

    AVSValue run(const Program& prog) {
        const size_t n = prog.statements.size();
        for (size_t i = 0; i < n; ++i) {
            const Stmt& s = prog.statements[i];
            switch (s.kind) {
                case StmtKind::Assign:
                case StmtKind::GlobalAssign: {
                    AVSValue v = eval(*s.value);
                    bool ok = s.kind == StmtKind::Assign ? env_.SetVar(s.name.c_str(), v)
                                                         : env_.SetGlobalVar(s.name.c_str(), v);
                    if (!ok) throw LocalError{s.pos, "cannot set the variable " + quoted(s.name)};
                    break;
                }
                case StmtKind::Return:
                    return eval(*s.value);
                case StmtKind::Expr: {
                    AVSValue v = eval(*s.value);
                    if (i + 1 == n) return v;
                    if (v.IsClip()) env_.SetVar("last", v);
                    break;
                }
            }
        }
        return env_.FindVar("last").value_or(AVSValue());
    }

  private:
    // Bounds the evaluator's recursion over all nested texts together.
    struct Depth {
        explicit Depth(Evaluator& ev, SourcePos pos) : d_(ev.depth_) {
            if (++d_ > kMaxDepth) {
                --d_;
                throw LocalError{pos, "evaluation is nested too deeply"};
            }
        }
        ~Depth() { --d_; }
        int& d_;
    };
    static constexpr int kMaxDepth = 2000;

    AVSValue eval(const Expr& e) {
        Depth guard(*this, e.pos);
        switch (e.kind) {
            case ExprKind::Int:
                return AVSValue(static_cast<int>(e.ival));
            case ExprKind::Float:
                return AVSValue(e.fval);
            case ExprKind::Bool:
                return AVSValue(e.ival != 0);
            case ExprKind::String:
                return AVSValue(env_.SaveString(e.text.c_str(), static_cast<int>(e.text.size())));
            case ExprKind::Name:
                return name(e);
            case ExprKind::Call:
                return call(e);
            case ExprKind::Unary:
                return unary(e);
            case ExprKind::Binary:
                return binary(e);
            case ExprKind::Cond: {
                AVSValue c = eval(*e.a);
                if (!c.IsBool()) {
                    throw LocalError{
                        e.pos,
                        std::string("the condition of '?:' must be a bool, found ") + type_name(c)};
                }
                return c.AsBool() ? eval(*e.b) : eval(*e.c);
            }
        }
        return AVSValue();
    }

    AVSValue name(const Expr& e) {
        if (std::optional<AVSValue> v = env_.FindVar(e.text)) {
            if (v->Defined() || !qextext::iequals(e.text, "last")) return *v;
        }
        std::vector<AVSValue> none;
        std::vector<std::pair<std::string, AVSValue>> no_names;
        return invoke(e, none, no_names, false);
    }

    AVSValue call(const Expr& e) {
        std::vector<AVSValue> positional;
        std::vector<std::pair<std::string, AVSValue>> named;
        for (const Arg& a : e.args) {
            AVSValue v = eval(*a.value);
            if (a.name.empty()) {
                if (!named.empty()) {
                    throw LocalError{a.pos, "a positional argument may not follow a named one"};
                }
                positional.push_back(v);
            } else {
                for (const auto& [n, _] : named) {
                    if (qextext::iequals(n, a.name)) {
                        throw LocalError{a.pos,
                                         "the argument " + quoted(a.name) + " is given twice"};
                    }
                }
                named.emplace_back(a.name, v);
            }
        }
        return invoke(e, positional, named, e.method);
    }

    AVSValue invoke(const Expr& e, std::vector<AVSValue>& positional,
                    std::vector<std::pair<std::string, AVSValue>>& named, bool method) {
        const std::string& fn = e.text;
        try {
            std::optional<AVSValue> r = env_.TryCall(fn, positional, named);
            if (r) return *r;
            std::optional<AVSValue> last = env_.FindVar("last");
            bool last_is_clip = last && last->IsClip();
            bool clip_given = !positional.empty() && positional[0].IsClip();
            if (!method && !clip_given && last_is_clip) {
                positional.insert(positional.begin(), *last);
                r = env_.TryCall(fn, positional, named);
                if (r) return *r;
                positional.erase(positional.begin());
            }
            throw LocalError{e.pos, mismatch(fn, positional, named, e.kind == ExprKind::Name,
                                             !method && !clip_given && !last_is_clip)};
        } catch (const LocalError&) {
            throw;
        } catch (const AvisynthError& err) {
            throw foreign(e.pos, err);
        } catch (const IScriptEnvironment::NotFound&) {
            throw LocalError{e.pos,
                             quoted(fn) + " failed: it called a function that does not exist"};
        } catch (const std::bad_alloc&) {
            throw LocalError{e.pos, quoted(fn) + " failed: out of memory"};
        } catch (const std::exception& ex) {
            throw LocalError{e.pos, quoted(fn) + " failed: " + ex.what()};
        }
    }

    std::string mismatch(const std::string& fn, const std::vector<AVSValue>& positional,
                         const std::vector<std::pair<std::string, AVSValue>>& named, bool bare,
                         bool no_last) {
        std::vector<const FunctionDef*> defs = env_.Lookup(fn);
        if (defs.empty()) {
            if (bare) {
                if (qextext::iequals(fn, "last")) {
                    return "\"last\" is not set: no statement has made a clip yet";
                }
                return "there is no variable or function named " + quoted(fn);
            }
            return "there is no function named " + quoted(fn);
        }
        std::string msg =
            quoted(fn) + " does not accept " + arguments_text(positional, named) + "; it takes ";
        for (size_t i = 0; i < defs.size(); ++i) {
            if (i) msg += " or ";
            msg += signature(*defs[i]);
        }
        if (no_last && !defs.empty() && !defs[0]->specs.empty() && defs[0]->specs[0].type == 'c') {
            msg += " (there is no clip in \"last\" to use)";
        }
        return msg;
    }

    AVSValue unary(const Expr& e) {
        AVSValue a = eval(*e.a);
        if (e.op == Tok::Not) {
            if (!a.IsBool()) {
                throw LocalError{e.pos, std::string("'!' needs a bool, found ") + type_name(a)};
            }
            return AVSValue(!a.AsBool());
        }
        if (!is_number(a)) {
            throw LocalError{e.pos, std::string("'") + (e.op == Tok::Minus ? "-" : "+") +
                                        "' needs a number, found " + type_name(a)};
        }
        if (e.op == Tok::Plus) return a;
        if (a.IsInt()) {
            if (a.AsInt() == INT_MIN) throw LocalError{e.pos, "integer overflow"};
            return AVSValue(-a.AsInt());
        }
        return AVSValue(-a.AsFloat());
    }

    AVSValue logical(const Expr& e) {
        bool is_and = e.op == Tok::AndAnd;
        const char* op = is_and ? "'&&'" : "'||'";
        AVSValue a = eval(*e.a);
        if (!a.IsBool()) {
            throw LocalError{e.pos, std::string(op) + " needs bools, found " + type_name(a)};
        }
        if (is_and ? !a.AsBool() : a.AsBool()) return a;
        AVSValue b = eval(*e.b);
        if (!b.IsBool()) {
            throw LocalError{e.pos, std::string(op) + " needs bools, found " + type_name(b)};
        }
        return b;
    }

    AVSValue binary(const Expr& e) {
        if (e.op == Tok::AndAnd || e.op == Tok::OrOr) return logical(e);
        AVSValue a = eval(*e.a);
        AVSValue b = eval(*e.b);
        switch (e.op) {
            case Tok::Plus:
            case Tok::PlusPlus:
                if (a.IsClip() && b.IsClip()) {
                    return splice(e, e.op == Tok::PlusPlus ? "AlignedSplice" : "UnalignedSplice", a,
                                  b);
                }
                if (e.op == Tok::PlusPlus) {
                    throw LocalError{e.pos, std::string("'++' joins two clips, found ") +
                                                type_name(a) + " and " + type_name(b)};
                }
                if (a.IsString() && b.IsString()) {
                    std::string s = std::string(a.AsString()) + b.AsString();
                    return AVSValue(env_.SaveString(s.c_str(), static_cast<int>(s.size())));
                }
                return arithmetic(e, a, b);
            case Tok::Minus:
            case Tok::Star:
            case Tok::Slash:
            case Tok::Percent:
                return arithmetic(e, a, b);
            default:
                return compare(e, a, b);
        }
    }

    AVSValue splice(const Expr& e, const char* fn, const AVSValue& a, const AVSValue& b) {
        std::vector<AVSValue> args{a, b};
        try {
            std::optional<AVSValue> r = env_.TryCall(fn, args, {});
            if (!r)
                throw LocalError{e.pos,
                                 std::string("cannot join the clips: ") + fn + " is missing"};
            return *r;
        } catch (const LocalError&) {
            throw;
        } catch (const AvisynthError& err) {
            throw foreign(e.pos, err);
        } catch (const std::exception& ex) {
            throw LocalError{e.pos, std::string("cannot join the clips: ") + ex.what()};
        }
    }

    AVSValue arithmetic(const Expr& e, const AVSValue& a, const AVSValue& b) {
        if (!is_number(a) || !is_number(b)) {
            throw LocalError{e.pos, "cannot use " + describe(e.op) + " on " + type_name(a) +
                                        " and " + type_name(b)};
        }
        if (a.IsInt() && b.IsInt()) {
            int x = a.AsInt(), y = b.AsInt(), r = 0;
            bool overflow = false;
            switch (e.op) {
                case Tok::Plus:
                    overflow = __builtin_add_overflow(x, y, &r);
                    break;
                case Tok::Minus:
                    overflow = __builtin_sub_overflow(x, y, &r);
                    break;
                case Tok::Star:
                    overflow = __builtin_mul_overflow(x, y, &r);
                    break;
                case Tok::Slash:
                case Tok::Percent:
                    if (y == 0) throw LocalError{e.pos, "division by zero"};
                    if (x == INT_MIN && y == -1) {
                        overflow = e.op == Tok::Slash;
                        r = 0;
                    } else {
                        r = e.op == Tok::Slash ? x / y : x % y;
                    }
                    break;
                default:
                    break;
            }
            if (overflow) throw LocalError{e.pos, "integer overflow"};
            return AVSValue(r);
        }
        double x = a.AsFloat(), y = b.AsFloat();
        switch (e.op) {
            case Tok::Plus:
                return AVSValue(x + y);
            case Tok::Minus:
                return AVSValue(x - y);
            case Tok::Star:
                return AVSValue(x * y);
            case Tok::Slash:
                return AVSValue(x / y);
            case Tok::Percent:
                return AVSValue(std::fmod(x, y));
            default:
                return AVSValue();
        }
    }

    AVSValue compare(const Expr& e, const AVSValue& a, const AVSValue& b) {
        int c = 0;  // <0, 0, >0
        bool ordered = true;
        if (is_number(a) && is_number(b)) {
            if (a.IsInt() && b.IsInt()) {
                c = (a.AsInt() > b.AsInt()) - (a.AsInt() < b.AsInt());
            } else {
                double x = a.AsFloat(), y = b.AsFloat();
                if (std::isnan(x) || std::isnan(y)) {
                    // NaN is unequal to everything and unordered.
                    return AVSValue(e.op == Tok::Ne);
                }
                c = (x > y) - (x < y);
            }
        } else if (a.IsString() && b.IsString()) {
            c = qextext::icompare(a.AsString(), b.AsString());  // script strings ignore case
        } else if (a.IsBool() && b.IsBool()) {
            c = a.AsBool() != b.AsBool();
            ordered = false;
        } else if (a.IsClip() && b.IsClip()) {
            c = a.AsClip().get() != b.AsClip().get();
            ordered = false;
        } else {
            throw LocalError{
                e.pos, std::string("cannot compare ") + type_name(a) + " and " + type_name(b)};
        }
        switch (e.op) {
            case Tok::Eq:
                return AVSValue(c == 0);
            case Tok::Ne:
                return AVSValue(c != 0);
            default:
                break;
        }
        if (!ordered) {
            throw LocalError{e.pos,
                             "cannot use " + describe(e.op) + " on " + type_name(a) + " values"};
        }
        switch (e.op) {
            case Tok::Lt:
                return AVSValue(c < 0);
            case Tok::Le:
                return AVSValue(c <= 0);
            case Tok::Gt:
                return AVSValue(c > 0);
            case Tok::Ge:
                return AVSValue(c >= 0);
            default:
                return AVSValue();
        }
    }

    // An AvisynthError caught at a call: when it is the one a nested text of this engine has
    // just raised, its places are kept apart so that the chain can be shortened.
    LocalError foreign(SourcePos pos, const AvisynthError& err) const {
        if (!err.msg) return LocalError{pos, "error without a message"};
        if (err.msg == last_error_.msg)
            return LocalError{pos, last_error_.base, last_error_.places};
        return LocalError{pos, err.msg};
    }

    Environment& env_;
    int& depth_;
    const ScriptEngine::ErrorChain& last_error_;
};

std::string folder_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Restores `last` when Eval(clip, text) ends, also by an error.
class LastGuard {
  public:
    LastGuard(Environment& env, const AVSValue& clip) : env_(env) {
        old_ = env_.FindVar("last").value_or(AVSValue());
        env_.SetVar("last", clip);
    }
    ~LastGuard() {
        try {
            env_.SetVar("last", old_);
        } catch (...) {}
    }
    LastGuard(const LastGuard&) = delete;
    LastGuard& operator=(const LastGuard&) = delete;

  private:
    Environment& env_;
    AVSValue old_;
};

}  // namespace

ScriptEngine::ScriptEngine(Environment& env) : env_(env) {
    env_.AddFunction("Eval", "s[name]s", &ScriptEngine::apply_eval, this);
    env_.AddFunction("Eval", "cs[name]s", &ScriptEngine::apply_eval_clip, this);
    env_.AddFunction("Import", "s+", &ScriptEngine::apply_import, this);

    env_.AddFunction(
        "FrameCount", "c",
        [](AVSValue args, void*, IScriptEnvironment*) {
            return AVSValue(args[0].AsClip()->GetVideoInfo().num_frames);
        },
        nullptr);
    env_.AddFunction(
        "FrameRate", "c",
        [](AVSValue args, void*, IScriptEnvironment*) {
            const VideoInfo& vi = args[0].AsClip()->GetVideoInfo();
            double d = vi.fps_denominator ? double(vi.fps_numerator) / vi.fps_denominator : 0.0;
            return AVSValue(d);
        },
        nullptr);
    // The rate's parts as ints; the user data is the function's name ("FrameRate" then
    // "Numerator" or "Denominator").
    for (const char* name : {"FrameRateNumerator", "FrameRateDenominator"})
        env_.AddFunction(
            name, "c",
            [](AVSValue args, void* which, IScriptEnvironment* env) {
                const char* fn = static_cast<const char*>(which);
                const VideoInfo& vi = args[0].AsClip()->GetVideoInfo();
                const unsigned n = fn[9] == 'N' ? vi.fps_numerator : vi.fps_denominator;
                if (n > unsigned(INT_MAX)) env->ThrowError("%s: %u does not fit an int", fn, n);
                return AVSValue(int(n));
            },
            const_cast<char*>(name));
    env_.AddFunction(
        "Width", "c",
        [](AVSValue args, void*, IScriptEnvironment*) {
            return AVSValue(args[0].AsClip()->GetVideoInfo().width);
        },
        nullptr);
    env_.AddFunction(
        "Height", "c",
        [](AVSValue args, void*, IScriptEnvironment*) {
            return AVSValue(args[0].AsClip()->GetVideoInfo().height);
        },
        nullptr);
}

AVSValue ScriptEngine::evaluate(std::string_view text, const std::string& name,
                                const std::string& base_dir) {
    if (nesting_ >= kMaxNesting) {
        std::string msg = name + ": Eval and Import are nested more than " +
                          std::to_string(kMaxNesting) + " deep";
        throw AvisynthError(env_.SaveString(msg.c_str()));
    }
    struct Nest {
        ScriptEngine& e;
        Nest(ScriptEngine& engine, const std::string& dir) : e(engine) {
            ++e.nesting_;
            e.dirs_.push_back(dir);
        }
        ~Nest() {
            --e.nesting_;
            e.dirs_.pop_back();
        }
    } nest(*this, base_dir.empty() && !dirs_.empty() ? dirs_.back() : base_dir);

    ErrorChain chain;
    try {
        Program prog = parse_script(text);
        Evaluator ev(env_, depth_, last_error_);
        return ev.run(prog);
    } catch (const SyntaxError& e) {
        chain.places.push_back(place(name, e.pos));
        chain.base = e.what();
    } catch (const LocalError& e) {
        chain.places.push_back(place(name, e.pos));
        chain.places.insert(chain.places.end(), e.inner.begin(), e.inner.end());
        chain.base = e.msg;
    }
    std::string msg = format_chain(chain.places, chain.base);
    chain.msg = env_.SaveString(msg.c_str(), static_cast<int>(msg.size()));
    last_error_ = std::move(chain);
    throw AvisynthError(last_error_.msg);
}

AVSValue ScriptEngine::run_file(const std::string& path, const std::string& name) {
    const std::string& shown = name.empty() ? path : name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::string msg = "cannot read the script " + shown + ": it is a folder";
        throw AvisynthError(env_.SaveString(msg.c_str()));
    }
    qextext::FileBytes file = qextext::read_whole_file(path);
    const int open_error = errno;
    if (file.status == qextext::ReadStatus::kOpenError) {
        std::string msg = "cannot open the script " + shown + ": " + std::strerror(open_error);
        throw AvisynthError(env_.SaveString(msg.c_str()));
    }
    if (file.status == qextext::ReadStatus::kNoMemory) throw std::bad_alloc();
    if (file.status == qextext::ReadStatus::kReadError) {
        std::string msg = "cannot read the script " + shown;
        throw AvisynthError(env_.SaveString(msg.c_str()));
    }
    const std::string text = std::move(file.bytes);
    std::string_view body(text);
    if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);  // UTF-8 byte order mark
    std::string dir = folder_of(path);
    if (dir.empty()) dir = ".";
    return evaluate(body, shown, dir);
}

std::string ScriptEngine::resolve_import(const std::string& path) const {
    if (path.empty() || path[0] == '/' || dirs_.empty() || dirs_.back().empty() ||
        dirs_.back() == ".") {
        return path;
    }
    return dirs_.back() + "/" + path;
}

AVSValue ScriptEngine::apply_eval(AVSValue args, void* self, IScriptEnvironment*) {
    auto* engine = static_cast<ScriptEngine*>(self);
    const char* name = args[1].AsString("Eval");
    return engine->evaluate(args[0].AsString(""), name);
}

AVSValue ScriptEngine::apply_eval_clip(AVSValue args, void* self, IScriptEnvironment*) {
    auto* engine = static_cast<ScriptEngine*>(self);
    const char* name = args[2].AsString("Eval");
    LastGuard guard(engine->env_, args[0]);
    return engine->evaluate(args[1].AsString(""), name);
}

AVSValue ScriptEngine::apply_import(AVSValue args, void* self, IScriptEnvironment*) {
    auto* engine = static_cast<ScriptEngine*>(self);
    const AVSValue& paths = args[0];
    AVSValue result;
    for (int i = 0; i < paths.ArraySize(); ++i) {
        const char* p = paths[i].AsString("");
        result = engine->run_file(engine->resolve_import(p));
    }
    return result;
}

}  // namespace qexhost
