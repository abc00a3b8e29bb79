#include "script/script_parser.h"

#include "common/text.h"

namespace qexhost {

namespace {

using qextext::iequals;

// Sets e.depth from its children and refuses trees deeper than kMaxExprDepth.
ExprPtr finish(ExprPtr e) {
    int d = 0;
    for (const Expr* k : {e->a.get(), e->b.get(), e->c.get()}) {
        if (k && k->depth > d) d = k->depth;
    }
    for (const Arg& a : e->args) {
        if (a.value && a.value->depth > d) d = a.value->depth;
    }
    e->depth = d + 1;
    if (e->depth > kMaxExprDepth) throw SyntaxError(e->pos, "expression is nested too deeply");
    return e;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> toks) : t_(std::move(toks)) {}

    Program program() {
        Program prog;
        while (peek().kind != Tok::End) {
            if (peek().kind == Tok::Newline) {
                ++i_;
                continue;
            }
            prog.statements.push_back(statement());
            if (peek().kind != Tok::Newline && peek().kind != Tok::End) {
                throw unexpected(peek(), "expected end of line");
            }
        }
        return prog;
    }

  private:
    const Token& peek(size_t k = 0) const {
        size_t j = i_ + k;
        return j < t_.size() ? t_[j] : t_.back();
    }
    const Token& next() {
        const Token& t = t_[i_];
        if (i_ + 1 < t_.size()) ++i_;
        return t;
    }
    bool accept(Tok k) {
        if (peek().kind != k) return false;
        next();
        return true;
    }
    const Token& expect(Tok k, const char* what) {
        if (peek().kind != k) throw unexpected(peek(), what);
        return next();
    }
    static SyntaxError unexpected(const Token& tok, const std::string& what) {
        return SyntaxError(tok.pos, what + ", found " + describe(tok));
    }

    Stmt statement() {
        Stmt s;
        s.pos = peek().pos;
        const Token& first = peek();
        if (first.kind == Tok::Ident && iequals(first.text, "global") &&
            peek(1).kind == Tok::Ident && peek(2).kind == Tok::Assign) {
            next();
            s.kind = StmtKind::GlobalAssign;
            s.name = next().text;
            next();
            s.value = expression();
            return s;
        }
        if (first.kind == Tok::Ident && peek(1).kind == Tok::Assign) {
            s.kind = StmtKind::Assign;
            s.name = next().text;
            next();
            s.value = expression();
            return s;
        }
        if (first.kind == Tok::Ident && iequals(first.text, "return") &&
            peek(1).kind != Tok::Newline && peek(1).kind != Tok::End && peek(1).kind != Tok::Dot) {
            next();
            s.kind = StmtKind::Return;
            s.value = expression();
            return s;
        }
        s.kind = StmtKind::Expr;
        s.value = expression();
        return s;
    }

    // Bounds the parser's own recursion (parentheses, arguments, unary operators, ?:).
    struct Nest {
        Nest(Parser& p, SourcePos pos) : p_(p) {
            if (++p_.nesting_ > kMaxExprDepth) {
                throw SyntaxError(pos, "expression is nested too deeply");
            }
        }
        ~Nest() { --p_.nesting_; }
        Parser& p_;
    };

    ExprPtr expression() {
        Nest guard(*this, peek().pos);
        return conditional();
    }

    ExprPtr conditional() {
        ExprPtr cond = logical_or();
        if (peek().kind != Tok::Question) return cond;
        auto e = std::make_unique<Expr>();
        e->kind = ExprKind::Cond;
        e->pos = next().pos;
        e->a = std::move(cond);
        e->b = expression();
        expect(Tok::Colon, "expected ':' of '?:'");
        e->c = expression();
        return finish(std::move(e));
    }

    static ExprPtr binary(Tok op, SourcePos pos, ExprPtr a, ExprPtr b) {
        auto e = std::make_unique<Expr>();
        e->kind = ExprKind::Binary;
        e->op = op;
        e->pos = pos;
        e->a = std::move(a);
        e->b = std::move(b);
        return finish(std::move(e));
    }

    template <typename Sub, typename... Ops>
    ExprPtr left_assoc(Sub sub, Ops... ops) {
        ExprPtr lhs = (this->*sub)();
        for (;;) {
            Tok k = peek().kind;
            const bool is_op = ((k == ops) || ...);
            if (is_op) {
                SourcePos p = next().pos;
                ExprPtr rhs = (this->*sub)();
                lhs = binary(k, p, std::move(lhs), std::move(rhs));
            } else {
                return lhs;
            }
        }
    }

    ExprPtr logical_or() { return left_assoc(&Parser::logical_and, Tok::OrOr); }
    ExprPtr logical_and() { return left_assoc(&Parser::comparison, Tok::AndAnd); }
    ExprPtr comparison() {
        return left_assoc(&Parser::additive, Tok::Eq, Tok::Ne, Tok::Lt, Tok::Le, Tok::Gt, Tok::Ge);
    }
    ExprPtr additive() {
        return left_assoc(&Parser::multiplicative, Tok::Plus, Tok::PlusPlus, Tok::Minus);
    }
    ExprPtr multiplicative() {
        return left_assoc(&Parser::unary, Tok::Star, Tok::Slash, Tok::Percent);
    }

    ExprPtr unary() {
        Tok k = peek().kind;
        if (k == Tok::Minus || k == Tok::Plus || k == Tok::Not) {
            auto e = std::make_unique<Expr>();
            e->kind = ExprKind::Unary;
            e->op = k;
            e->pos = next().pos;
            Nest guard(*this, e->pos);
            e->a = unary();
            return finish(std::move(e));
        }
        return postfix();
    }

    ExprPtr postfix() {
        ExprPtr e = primary();
        while (peek().kind == Tok::Dot) {
            next();
            const Token& name = expect(Tok::Ident, "expected a function name after '.'");
            auto call = std::make_unique<Expr>();
            call->kind = ExprKind::Call;
            call->pos = name.pos;
            call->text = name.text;
            call->method = true;
            Arg self;
            self.pos = e->pos;
            self.value = std::move(e);
            call->args.push_back(std::move(self));
            if (peek().kind == Tok::LParen) arguments(*call);
            e = finish(std::move(call));
        }
        return e;
    }

    // '(' [arg {',' arg}] ')', appended to call.args.
    void arguments(Expr& call) {
        next();  // (
        if (accept(Tok::RParen)) return;
        for (;;) {
            Arg a;
            a.pos = peek().pos;
            if (peek().kind == Tok::Ident && peek(1).kind == Tok::Assign) {
                a.name = next().text;
                next();
            }
            a.value = expression();
            call.args.push_back(std::move(a));
            if (accept(Tok::Comma)) continue;
            expect(Tok::RParen, "expected ',' or ')' in the argument list");
            return;
        }
    }

    ExprPtr primary() {
        const Token& tok = peek();
        auto e = std::make_unique<Expr>();
        e->pos = tok.pos;
        switch (tok.kind) {
            case Tok::Int:
                e->kind = ExprKind::Int;
                e->ival = tok.ival;
                next();
                return e;
            case Tok::Float:
                e->kind = ExprKind::Float;
                e->fval = tok.fval;
                next();
                return e;
            case Tok::String:
                e->kind = ExprKind::String;
                e->text = tok.text;
                next();
                return e;
            case Tok::LParen: {
                next();
                ExprPtr inner = expression();
                expect(Tok::RParen, "expected ')'");
                return inner;
            }
            case Tok::Ident: {
                if (iequals(tok.text, "true") || iequals(tok.text, "false")) {
                    e->kind = ExprKind::Bool;
                    e->ival = iequals(tok.text, "true") ? 1 : 0;
                    next();
                    return e;
                }
                e->text = tok.text;
                next();
                if (peek().kind == Tok::LParen) {
                    e->kind = ExprKind::Call;
                    arguments(*e);
                    return finish(std::move(e));
                } else {
                    e->kind = ExprKind::Name;
                }
                return e;
            }
            default:
                throw unexpected(tok, "expected an expression");
        }
    }

    std::vector<Token> t_;
    size_t i_ = 0;
    int nesting_ = 0;  // open parentheses and unary operators, bounds the parser's recursion
};

}  // namespace

Program parse_script(std::string_view text) {
    return Parser(tokenize(text)).program();
}

}  // namespace qexhost
