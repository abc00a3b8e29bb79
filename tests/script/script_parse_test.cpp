// Lexer and parser of the script language: tree shapes for valid scripts, positions and
// messages for invalid ones.
#include "script/script_parser.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace qexhost;

namespace {

std::string op_text(Tok k) {
    switch (k) {
        case Tok::Plus:
            return "+";
        case Tok::PlusPlus:
            return "++";
        case Tok::Minus:
            return "-";
        case Tok::Star:
            return "*";
        case Tok::Slash:
            return "/";
        case Tok::Percent:
            return "%";
        case Tok::Eq:
            return "==";
        case Tok::Ne:
            return "!=";
        case Tok::Lt:
            return "<";
        case Tok::Le:
            return "<=";
        case Tok::Gt:
            return ">";
        case Tok::Ge:
            return ">=";
        case Tok::AndAnd:
            return "&&";
        case Tok::OrOr:
            return "||";
        case Tok::Not:
            return "!";
        default:
            return "?";
    }
}

// Prints a tree as an S-expression, so that a whole parse is compared in one string.
void dump(const Expr& e, std::ostream& os) {
    switch (e.kind) {
        case ExprKind::Int:
            os << e.ival;
            break;
        case ExprKind::Float:
            os << "f" << e.fval;
            break;
        case ExprKind::String:
            os << '"' << e.text << '"';
            break;
        case ExprKind::Bool:
            os << (e.ival ? "true" : "false");
            break;
        case ExprKind::Name:
            os << e.text;
            break;
        case ExprKind::Call:
            os << (e.method ? "(." : "(") << e.text;
            for (const Arg& a : e.args) {
                os << ' ';
                if (!a.name.empty()) os << a.name << '=';
                dump(*a.value, os);
            }
            os << ')';
            break;
        case ExprKind::Unary:
            os << '(' << op_text(e.op) << ' ';
            dump(*e.a, os);
            os << ')';
            break;
        case ExprKind::Binary:
            os << '(' << op_text(e.op) << ' ';
            dump(*e.a, os);
            os << ' ';
            dump(*e.b, os);
            os << ')';
            break;
        case ExprKind::Cond:
            os << "(? ";
            dump(*e.a, os);
            os << ' ';
            dump(*e.b, os);
            os << ' ';
            dump(*e.c, os);
            os << ')';
            break;
    }
}

std::string dump(const Program& p) {
    std::ostringstream os;
    bool first = true;
    for (const Stmt& s : p.statements) {
        if (!first) os << " | ";
        first = false;
        switch (s.kind) {
            case StmtKind::Assign:
                os << s.name << " = ";
                break;
            case StmtKind::GlobalAssign:
                os << "global " << s.name << " = ";
                break;
            case StmtKind::Return:
                os << "return ";
                break;
            case StmtKind::Expr:
                break;
        }
        dump(*s.value, os);
    }
    return os.str();
}

struct ParseCase {
    const char* script;
    const char* tree;
};

class ParseOk : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseOk, Tree) {
    const ParseCase& c = GetParam();
    EXPECT_EQ(dump(parse_script(c.script)), c.tree) << "script: " << c.script;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ParseOk,
    ::testing::Values(ParseCase{"a = 1 + 2 * 3", "a = (+ 1 (* 2 3))"},
                      ParseCase{"(1 + 2) * 3 - 4 / 5 % 6", "(- (* (+ 1 2) 3) (% (/ 4 5) 6))"},
                      ParseCase{"1 - 2 - 3", "(- (- 1 2) 3)"},
                      ParseCase{"x == 1 || y < 2 && !z", "(|| (== x 1) (&& (< y 2) (! z)))"},
                      ParseCase{"a ? b : c ? d : e", "(? a b (? c d e))"},
                      ParseCase{"a <> b != c <= d >= e", "(>= (<= (!= (!= a b) c) d) e)"},
                      ParseCase{"-x * -2", "(* (- x) (- 2))"},
                      ParseCase{"Y4MSource(\"in.y4m\").DoubleWeave().PullDown(0,2)",
                                "(.PullDown (.DoubleWeave (Y4MSource \"in.y4m\")) 0 2)"},
                      ParseCase{"last.Trim(10, 0).SelectEven", "(.SelectEven (.Trim last 10 0))"},
                      ParseCase{"DoubleWeave", "DoubleWeave"}, ParseCase{"f()", "(f)"},
                      ParseCase{"BlankClip(length=10, fps=24, width = 64)",
                                "(BlankClip length=10 fps=24 width=64)"},
                      ParseCase{"Trim(a == b, c)", "(Trim (== a b) c)"},
                      ParseCase{"a + b ++ c", "(++ (+ a b) c)"},
                      ParseCase{"s = \"a\" + \"b\"", "s = (+ \"a\" \"b\")"},
                      ParseCase{"\"\"\"say \"hi\"\n  there\"\"\"", "\"say \"hi\"\n  there\""},
                      ParseCase{"x = 1.5 + .25 + 2.", "x = (+ (+ f1.5 f0.25) f2)"},
                      ParseCase{"c = $FF00ff + $FFFFFFFF", "c = (+ 16711935 -1)"},
                      ParseCase{"ok = true && FALSE", "ok = (&& true false)"},
                      ParseCase{"global g = 3\nreturn g", "global g = 3 | return g"},
                      ParseCase{"return", "return"},
                      ParseCase{"a = 1 # one\n\n  # nothing\nb = 2\r\n", "a = 1 | b = 2"},
                      ParseCase{"f(1, \\\n  2)", "(f 1 2)"},
                      ParseCase{"f(1,   \\  # why not\n  2)", "(f 1 2)"},
                      ParseCase{"BlankClip()\n\\ .Trim(1, 2)\n\\ .SelectEven()",
                                "(.SelectEven (.Trim (BlankClip) 1 2))"},
                      ParseCase{"f(1, \\\n# a comment line\n\\ 2)", "(f 1 2)"},
                      ParseCase{"a = \"x#y\"  # the hash inside is text", "a = \"x#y\""},
                      ParseCase{"v = 3.f", "v = (.f 3)"}, ParseCase{"", ""}));

struct ErrorCase {
    const char* script;
    int line;
    int column;
    const char* message;
};

class ParseError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseError, PositionAndMessage) {
    const ErrorCase& c = GetParam();
    try {
        parse_script(c.script);
        FAIL() << "no error for: " << c.script;
    } catch (const SyntaxError& e) {
        EXPECT_EQ(e.pos.line, c.line) << c.script;
        EXPECT_EQ(e.pos.column, c.column) << c.script;
        EXPECT_EQ(std::string(e.what()), c.message) << c.script;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ParseError,
    ::testing::Values(
        ErrorCase{"a = (1 + 2", 1, 11, "expected ')', found end of line"},
        ErrorCase{"a = 1\nb = f(1,,2)", 2, 9, "expected an expression, found ','"},
        ErrorCase{"a = 1 2", 1, 7, "expected end of line, found a number"},
        ErrorCase{"x = \"abc\ny = 1", 1, 5, "unterminated string"},
        ErrorCase{"\n\nx = \"\"\"abc\" ", 3, 5,
                  "unterminated string (\"\"\" without a closing \"\"\")"},
        ErrorCase{"  a = b @ c", 1, 9, "unexpected character '@'"},
        ErrorCase{"a = 99999999999", 1, 5, "number 99999999999 is too large"},
        ErrorCase{"a = f(1) \\ g", 1, 10, "'\\' must end a line or begin one"},
        ErrorCase{"a = x.\nb", 1, 7, "expected a function name after '.', found end of line"},
        ErrorCase{"a = c ? 1 2", 1, 11, "expected ':' of '?:', found a number"},
        ErrorCase{"f(1 2)", 1, 5, "expected ',' or ')' in the argument list, found a number"},
        ErrorCase{"a = 12abc", 1, 5, "malformed number"},
        ErrorCase{"a = $", 1, 5, "malformed hexadecimal number"},
        ErrorCase{"a = b & c", 1, 7, "unexpected character '&'"},
        ErrorCase{"a =\n1", 1, 4, "expected an expression, found end of line"},
        ErrorCase{"f(x=)", 1, 5, "expected an expression, found ')'"},
        ErrorCase{"a = \x80", 1, 5, "unexpected character byte 0x80"}));

TEST(ParseLimits, DeepNestingIsRefusedNotOverflowed) {
    std::string deep(100000, '(');
    EXPECT_THROW(parse_script("a = " + deep), SyntaxError);
    std::string minus(100000, '-');
    EXPECT_THROW(parse_script("a = " + minus + "1"), SyntaxError);
    std::string chain = "a = 1";
    for (int i = 0; i < 5000; ++i) chain += "+1";
    EXPECT_THROW(parse_script(chain), SyntaxError);
    std::string calls = "a = x";
    for (int i = 0; i < 5000; ++i) calls += ".f(x";
    EXPECT_THROW(parse_script(calls), SyntaxError);
}

TEST(ParseLimits, ModerateNestingIsFine) {
    std::string s = "a = " + std::string(100, '(') + "1" + std::string(100, ')');
    EXPECT_EQ(dump(parse_script(s)), "a = 1");
}

TEST(Positions, CallsAndStatementsCarryTheirPlace) {
    Program p = parse_script("a = 1\n  x = Foo(1,\\\n    Bar(2))\n");
    ASSERT_EQ(p.statements.size(), 2u);
    const Stmt& s = p.statements[1];
    EXPECT_EQ(s.pos.line, 2);
    EXPECT_EQ(s.pos.column, 3);
    const Expr& foo = *s.value;
    EXPECT_EQ(foo.pos.line, 2);
    EXPECT_EQ(foo.pos.column, 7);
    ASSERT_EQ(foo.args.size(), 2u);
    EXPECT_EQ(foo.args[1].value->pos.line, 3);
    EXPECT_EQ(foo.args[1].value->pos.column, 5);
}

}  // namespace
