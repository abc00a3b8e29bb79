// Evaluator of the script language over the host environment.
//
// A ScriptEngine registers the script-level functions Eval, Import, FrameCount, FrameRate,
// FrameRateNumerator, FrameRateDenominator, Width and Height into an Environment and evaluates
// script texts in the environment's current variable scope.
//
// Statements run in order. An assignment sets a variable; an expression statement whose value is
// a clip sets `last`, except the final statement of a script (or Eval text), whose value is the
// result of the whole text. When the final statement is not an expression, the result is `last`.
// `return expr` ends the text with that value.
//
// A call f(args) goes to the newest registration of f that accepts the arguments; when none
// does and `last` holds a clip, the call is tried again with `last` put first (implicit last).
// A bare name is a variable when one is set, otherwise a call without arguments. x.f(args) is
// f(x, args). Clips joined with + and ++ go to UnalignedSplice and AlignedSplice. Integer
// arithmetic stays in 32 bits and refuses to overflow or divide by zero; strings compare ignoring
// case, as names do.
//
// Errors are thrown as AvisynthError with one line: "<name>, line L, column C: <message>", where
// <name> is the script's path, "Eval" (or the name given to Eval) or the imported file. An error
// raised inside a nested Eval or Import keeps its own place and gains the place of the call:
// "main.avs, line 3, column 1: Eval, line 1, column 7: there is no function named \"Foo\"".
#pragma once

#include "avisynth.h"
#include "host/env.h"

#include <string>
#include <string_view>
#include <vector>

namespace qexhost {

class ScriptEngine {
  public:
    // Registers the script functions in env with this engine as their user data; the engine
    // must outlive every use of env that may reach them.
    explicit ScriptEngine(Environment& env);
    ScriptEngine(const ScriptEngine&) = delete;
    ScriptEngine& operator=(const ScriptEngine&) = delete;

    // Evaluates a script text in the current scope. `name` labels error messages; relative
    // Import paths are taken from `base_dir` (empty: the working folder).
    AVSValue evaluate(std::string_view text, const std::string& name,
                      const std::string& base_dir = {});

    // Reads and evaluates a script file in the current scope; errors carry `name` (default: the
    // path) as the script's name.
    AVSValue run_file(const std::string& path, const std::string& name = {});

    // Deepest nesting of Eval and Import (a script that evaluates itself is stopped there).
    static constexpr int kMaxNesting = 64;

  private:
    static AVSValue apply_eval(AVSValue args, void* self, IScriptEnvironment* env);
    static AVSValue apply_eval_clip(AVSValue args, void* self, IScriptEnvironment* env);
    static AVSValue apply_import(AVSValue args, void* self, IScriptEnvironment* env);

    std::string resolve_import(const std::string& path) const;

  public:
    // The place chain of the last error this engine raised, so that an enclosing text can add
    // its own place and shorten a very long chain (a text that evaluates itself).
    struct ErrorChain {
        const char* msg = nullptr;        // the text thrown in the AvisynthError
        std::vector<std::string> places;  // "name, line L, column C", outermost first
        std::string base;                 // the message without places
    };

  private:
    Environment& env_;
    ErrorChain last_error_;
    int nesting_ = 0;
    int depth_ = 0;                  // evaluator recursion over all nested texts
    std::vector<std::string> dirs_;  // folder of each script being evaluated, innermost last
};

// Name of a value's type for messages: "clip", "int", "float", "string", "bool", "array" or
// "nothing".
const char* type_name(const AVSValue& v);

}  // namespace qexhost
