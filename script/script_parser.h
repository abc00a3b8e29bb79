// Syntax tree and parser of the script language.
//
// A script is a list of statements, one per line: `name = expr`, `global name = expr`,
// `return expr` or a bare expression. Operators, from loosest to tightest binding:
//   ?:  (right-associative)   ||   &&   == != <> < > <= >=   + ++ -   * / %   unary - + !
//   and the postfix method call `x.f(args)` / `x.f`.
#pragma once

#include "script/script_lexer.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qexhost {

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Arg {
    std::string name;  // empty for a positional argument
    SourcePos pos;     // where the argument (or its name) starts
    ExprPtr value;
};

enum class ExprKind {
    Int,
    Float,
    String,
    Bool,
    Name,    // a bare name: a variable if one is set, otherwise a call without arguments
    Call,    // f(args), x.f(args) and x.f; for a method call args[0] is the receiver
    Unary,   // op is Minus, Plus or Not
    Binary,  // op is an arithmetic, comparison or logical token
    Cond,    // a ? b : c
};

struct Expr {
    ExprKind kind = ExprKind::Int;
    SourcePos pos;          // the token that gives the expression its meaning (name, operator)
    int64_t ival = 0;       // Int, Bool (0/1)
    double fval = 0.0;      // Float
    std::string text;       // String contents, Name / Call function name
    Tok op = Tok::End;      // Unary, Binary
    bool method = false;    // Call written as x.f
    std::vector<Arg> args;  // Call
    ExprPtr a, b, c;        // operands of Unary (a), Binary (a, b), Cond (a, b, c)
    int depth = 1;          // height of this subtree
};

// Deepest expression tree the parser accepts; evaluation and destruction recurse over the tree.
constexpr int kMaxExprDepth = 400;

enum class StmtKind { Expr, Assign, GlobalAssign, Return };

struct Stmt {
    StmtKind kind = StmtKind::Expr;
    SourcePos pos;
    std::string name;  // Assign, GlobalAssign
    ExprPtr value;
};

struct Program {
    std::vector<Stmt> statements;
};

// Parses a whole script. Throws SyntaxError with the position of the offending token.
Program parse_script(std::string_view text);

}  // namespace qexhost
