// Tokens of the script language: the lexer turns script text into a flat list of tokens with
// their line and column, folding `\` line continuations and dropping `#` comments.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qexhost {

// A place in a script text; lines and columns count from 1, columns in bytes.
struct SourcePos {
    int line = 1;
    int column = 1;
};

// A syntax error with the place it was found. The message does not carry the place; whoever
// knows the script's name formats both (see ScriptError in script.h).
class SyntaxError : public std::runtime_error {
  public:
    SyntaxError(SourcePos p, const std::string& msg) : std::runtime_error(msg), pos(p) {}
    SourcePos pos;
};

enum class Tok {
    Ident,
    Int,
    Float,
    String,
    LParen,
    RParen,
    Comma,
    Dot,
    Assign,  // =
    Eq,      // ==
    Ne,      // != or <>
    Lt,
    Le,
    Gt,
    Ge,
    Plus,      // +
    PlusPlus,  // ++
    Minus,
    Star,
    Slash,
    Percent,
    Not,  // !
    AndAnd,
    OrOr,
    Question,
    Colon,
    Newline,  // end of a statement
    End,
};

struct Token {
    Tok kind = Tok::End;
    SourcePos pos;
    std::string text;   // identifier name or string contents
    int64_t ival = 0;   // Int
    double fval = 0.0;  // Float
};

// Readable name of a token kind for error messages ("')'", "end of line", ...).
std::string describe(Tok kind);
std::string describe(const Token& tok);

// Splits a script into tokens. The list always ends with a Newline and an End token; blank
// lines and comment lines give no tokens. Throws SyntaxError on a stray character, an
// unterminated string or a number that does not fit.
std::vector<Token> tokenize(std::string_view text);

}  // namespace qexhost
