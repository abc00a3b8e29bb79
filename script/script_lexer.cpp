#include "script/script_lexer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace qexhost {

std::string describe(Tok kind) {
    switch (kind) {
        case Tok::Ident:
            return "a name";
        case Tok::Int:
            return "a number";
        case Tok::Float:
            return "a number";
        case Tok::String:
            return "a string";
        case Tok::LParen:
            return "'('";
        case Tok::RParen:
            return "')'";
        case Tok::Comma:
            return "','";
        case Tok::Dot:
            return "'.'";
        case Tok::Assign:
            return "'='";
        case Tok::Eq:
            return "'=='";
        case Tok::Ne:
            return "'!='";
        case Tok::Lt:
            return "'<'";
        case Tok::Le:
            return "'<='";
        case Tok::Gt:
            return "'>'";
        case Tok::Ge:
            return "'>='";
        case Tok::Plus:
            return "'+'";
        case Tok::PlusPlus:
            return "'++'";
        case Tok::Minus:
            return "'-'";
        case Tok::Star:
            return "'*'";
        case Tok::Slash:
            return "'/'";
        case Tok::Percent:
            return "'%'";
        case Tok::Not:
            return "'!'";
        case Tok::AndAnd:
            return "'&&'";
        case Tok::OrOr:
            return "'||'";
        case Tok::Question:
            return "'?'";
        case Tok::Colon:
            return "':'";
        case Tok::Newline:
            return "end of line";
        case Tok::End:
            return "end of script";
    }
    return "?";
}

std::string describe(const Token& tok) {
    switch (tok.kind) {
        case Tok::Ident:
            return "\"" + tok.text + "\"";
        case Tok::String:
            return "a string";
        default:
            return describe(tok.kind);
    }
}

namespace {

bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_ident_char(char c) {
    return is_ident_start(c) || is_digit(c);
}
bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

class Lexer {
  public:
    explicit Lexer(std::string_view text) : s_(text) {}

    std::vector<Token> run() {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (is_blank(c)) {
                advance();
                continue;
            }
            if (c == '#') {
                skip_comment();
                continue;
            }
            if (c == '\n') {
                newline_token();
                advance();
                at_line_start_ = true;
                continue;
            }
            if (c == '\\') {
                continuation();
                continue;
            }
            at_line_start_ = false;
            if (is_ident_start(c)) {
                ident();
            } else if (is_digit(c) || (c == '.' && i_ + 1 < s_.size() && is_digit(s_[i_ + 1]) &&
                                       !follows_operand())) {
                number();
            } else if (c == '$') {
                hex();
            } else if (c == '"') {
                string();
            } else {
                op();
            }
        }
        newline_token();
        Token end;
        end.kind = Tok::End;
        end.pos = pos();
        out_.push_back(end);
        return std::move(out_);
    }

  private:
    SourcePos pos() const { return SourcePos{line_, col_}; }

    void advance() {
        if (s_[i_] == '\n') {
            ++line_;
            col_ = 1;
        } else {
            ++col_;
        }
        ++i_;
    }

    char peek(size_t k = 1) const { return i_ + k < s_.size() ? s_[i_ + k] : '\0'; }

    // Only one Newline between statements, none before the first.
    void newline_token() {
        if (out_.empty() || out_.back().kind == Tok::Newline) return;
        Token t;
        t.kind = Tok::Newline;
        t.pos = pos();
        out_.push_back(t);
    }

    // A '.' right after a name, a number, a string or ')' is a method call, not a number.
    bool follows_operand() const {
        if (out_.empty()) return false;
        Tok k = out_.back().kind;
        return k == Tok::Ident || k == Tok::Int || k == Tok::Float || k == Tok::String ||
               k == Tok::RParen;
    }

    void skip_comment() {
        while (i_ < s_.size() && s_[i_] != '\n') advance();
    }

    // `\` as the last thing on a line joins the next line to this one; `\` as the first thing on
    // a line joins it to the previous one. Anything else after it is an error.
    void continuation() {
        SourcePos at = pos();
        bool first_on_line = at_line_start_;
        advance();
        if (first_on_line) {
            if (!out_.empty() && out_.back().kind == Tok::Newline) out_.pop_back();
            at_line_start_ = false;
            return;
        }
        size_t j = i_;
        while (j < s_.size() && is_blank(s_[j])) ++j;
        if (j < s_.size() && s_[j] == '#') {
            while (j < s_.size() && s_[j] != '\n') ++j;
        }
        if (j < s_.size() && s_[j] != '\n') {
            throw SyntaxError(at, "'\\' must end a line or begin one");
        }
        while (i_ < j) advance();
        if (i_ < s_.size()) advance();  // the line break itself
        // The next line continues this statement; a `\` opening it is allowed too.
        at_line_start_ = true;
    }

    void push(Tok kind, SourcePos p, std::string text = {}) {
        Token t;
        t.kind = kind;
        t.pos = p;
        t.text = std::move(text);
        out_.push_back(std::move(t));
    }

    void ident() {
        SourcePos p = pos();
        size_t start = i_;
        while (i_ < s_.size() && is_ident_char(s_[i_])) advance();
        push(Tok::Ident, p, std::string(s_.substr(start, i_ - start)));
    }

    void number() {
        SourcePos p = pos();
        size_t start = i_;
        bool is_float = false;
        while (i_ < s_.size() && is_digit(s_[i_])) advance();
        if (i_ < s_.size() && s_[i_] == '.' && is_digit(peek())) {
            is_float = true;
            advance();
            while (i_ < s_.size() && is_digit(s_[i_])) advance();
        } else if (i_ < s_.size() && s_[i_] == '.' && !is_ident_start(peek())) {
            // "2." is a float; "2.f" would be a method call on 2.
            is_float = true;
            advance();
        }
        if (i_ < s_.size() && is_ident_char(s_[i_])) {
            throw SyntaxError(p, "malformed number");
        }
        std::string lit(s_.substr(start, i_ - start));
        Token t;
        t.pos = p;
        t.text = lit;
        if (is_float) {
            t.kind = Tok::Float;
            t.fval = std::strtod(lit.c_str(), nullptr);
        } else {
            t.kind = Tok::Int;
            errno = 0;
            long long v = std::strtoll(lit.c_str(), nullptr, 10);
            if (errno == ERANGE || v > INT_MAX) {
                throw SyntaxError(p, "number " + lit + " is too large");
            }
            t.ival = v;
        }
        out_.push_back(std::move(t));
    }

    // $RRGGBB style hexadecimal integers, up to 32 bits (colours use all of them).
    void hex() {
        SourcePos p = pos();
        advance();
        size_t start = i_;
        while (i_ < s_.size() && is_hex(s_[i_])) advance();
        size_t n = i_ - start;
        if (n == 0 || n > 8 || (i_ < s_.size() && is_ident_char(s_[i_]))) {
            throw SyntaxError(p, "malformed hexadecimal number");
        }
        uint32_t v = static_cast<uint32_t>(
            std::strtoul(std::string(s_.substr(start, n)).c_str(), nullptr, 16));
        Token t;
        t.kind = Tok::Int;
        t.pos = p;
        t.ival = static_cast<int32_t>(v);
        t.text = "$" + std::string(s_.substr(start, n));
        out_.push_back(std::move(t));
    }

    void string() {
        SourcePos p = pos();
        if (peek(1) == '"' && peek(2) == '"') {
            // """...""": may hold quotes and line breaks.
            for (int k = 0; k < 3; ++k) advance();
            size_t start = i_;
            while (i_ < s_.size()) {
                if (s_[i_] == '"' && peek(1) == '"' && peek(2) == '"') {
                    std::string body(s_.substr(start, i_ - start));
                    for (int k = 0; k < 3; ++k) advance();
                    push(Tok::String, p, std::move(body));
                    return;
                }
                advance();
            }
            throw SyntaxError(p, "unterminated string (\"\"\" without a closing \"\"\")");
        }
        advance();
        size_t start = i_;
        while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\n') advance();
        if (i_ >= s_.size() || s_[i_] != '"') {
            throw SyntaxError(p, "unterminated string");
        }
        std::string body(s_.substr(start, i_ - start));
        advance();
        push(Tok::String, p, std::move(body));
    }

    void op() {
        SourcePos p = pos();
        char c = s_[i_];
        char n = peek();
        auto two = [&](Tok k) {
            advance();
            advance();
            push(k, p);
        };
        auto one = [&](Tok k) {
            advance();
            push(k, p);
        };
        switch (c) {
            case '(':
                return one(Tok::LParen);
            case ')':
                return one(Tok::RParen);
            case ',':
                return one(Tok::Comma);
            case '.':
                return one(Tok::Dot);
            case '?':
                return one(Tok::Question);
            case ':':
                return one(Tok::Colon);
            case '*':
                return one(Tok::Star);
            case '/':
                return one(Tok::Slash);
            case '%':
                return one(Tok::Percent);
            case '-':
                return one(Tok::Minus);
            case '+':
                return n == '+' ? two(Tok::PlusPlus) : one(Tok::Plus);
            case '=':
                return n == '=' ? two(Tok::Eq) : one(Tok::Assign);
            case '!':
                return n == '=' ? two(Tok::Ne) : one(Tok::Not);
            case '<':
                if (n == '=') return two(Tok::Le);
                if (n == '>') return two(Tok::Ne);
                return one(Tok::Lt);
            case '>':
                return n == '=' ? two(Tok::Ge) : one(Tok::Gt);
            case '&':
                if (n == '&') return two(Tok::AndAnd);
                break;
            case '|':
                if (n == '|') return two(Tok::OrOr);
                break;
            default:
                break;
        }
        std::string shown;
        unsigned char uc = static_cast<unsigned char>(c);
        if (uc >= 0x21 && uc < 0x7f) {
            shown = std::string("'") + c + "'";
        } else {
            static const char* hexd = "0123456789ABCDEF";
            shown = std::string("byte 0x") + hexd[uc >> 4] + hexd[uc & 15];
        }
        throw SyntaxError(p, "unexpected character " + shown);
    }

    std::string_view s_;
    size_t i_ = 0;
    int line_ = 1;
    int col_ = 1;
    bool at_line_start_ = true;
    std::vector<Token> out_;
};

}  // namespace

std::vector<Token> tokenize(std::string_view text) {
    return Lexer(text).run();
}

}  // namespace qexhost
