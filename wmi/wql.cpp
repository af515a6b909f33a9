#include "wql.h"

#include "error.h"

#include <QLatin1String>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// How a WHERE compares a property with a literal
// ------------------------------------------------
// Every comparison is true, false or unknown; AND, OR and NOT follow three-valued logic, and only
// an instance whose whole condition is true is kept.
//
//  - A Null property, a property the instance lacks or cannot read, and an array property compare
//    as unknown with everything. So does the literal NULL ("x = NULL" is never true); use IS NULL.
//  - Text with a string literal: case-insensitive, for equality and for ordering.
//  - A number (Int, UInt, Double) with a number literal: numerically. Two integers are compared
//    exactly as 64-bit values, signed against unsigned included; an integer against a double is
//    compared exactly too, without rounding the integer to a double.
//  - Text with a number literal: when the whole text reads as a number (C notation: optional sign,
//    digits, optional fraction and exponent, no blanks), numerically; otherwise unknown. 64-bit
//    integers are handed out as decimal text, e.g. Size "500107862016".
//  - A number with a string literal: numerically when the literal reads as a number, else unknown.
//  - A boolean with TRUE/FALSE: equal when the same; ordered false < true. A boolean with a number
//    counts as 1 (true) or 0 (false). A boolean with a string literal "true"/"false" (any case)
//    compares as with TRUE/FALSE, with a literal that reads as a number as with that number, and
//    is unknown otherwise.
//  - Text with TRUE/FALSE: case-insensitively against the text "true" or "false".
//  - NaN on either side is unknown.
//  - A number literal too large or too small for a double (1e999) makes the query invalid; such
//    a text property simply does not read as a number.

namespace qelto::wmi::wql {

namespace {

enum class Op : std::uint8_t { Eq, Ne, Lt, Gt, Le, Ge };

enum class Tri : std::uint8_t { False, Unknown, True };

Tri negate(Tri t) {
    switch (t) {
        case Tri::False:
            return Tri::True;
        case Tri::True:
            return Tri::False;
        case Tri::Unknown:
            break;
    }
    return Tri::Unknown;
}

// The operator as seen from the other side: "5 < x" is "x > 5".
Op mirrored(Op op) {
    switch (op) {
        case Op::Lt:
            return Op::Gt;
        case Op::Gt:
            return Op::Lt;
        case Op::Le:
            return Op::Ge;
        case Op::Ge:
            return Op::Le;
        case Op::Eq:
        case Op::Ne:
            break;
    }
    return op;
}

// A number as a comparison sees it.
struct Number {
    enum class Kind : std::uint8_t { Int, UInt, Double };
    Kind kind = Kind::Int;
    qint64 i = 0;
    quint64 u = 0;
    double d = 0.0;

    static Number ofInt(qint64 v) { return {Kind::Int, v, 0, 0.0}; }
    static Number ofUInt(quint64 v) { return {Kind::UInt, 0, v, 0.0}; }
    static Number ofDouble(double v) { return {Kind::Double, 0, 0, v}; }
};

}  // namespace

// The precompiled WHERE: a tree of nodes in one vector, children before their parent. AND and OR
// chains are flattened into one node with all operands, and a run of NOTs is reduced to at most
// one.
struct Condition {
    struct Literal {
        enum class Kind : std::uint8_t { Null, Text, Number, Bool };
        Kind kind = Kind::Null;
        QString text;                  // Text
        std::optional<Number> number;  // Number, or a Text that reads as a number
        std::optional<bool> flag;      // Bool, or a Text that is "true" or "false"
    };

    struct Node {
        enum class Kind : std::uint8_t { And, Or, Not, Compare, IsNull, IsNotNull };
        Kind kind = Kind::And;
        Op op = Op::Eq;             // Compare
        int slot = -1;              // Compare, IsNull, IsNotNull: index into `properties`
        Literal literal;            // Compare
        std::vector<int> children;  // And, Or: the operands; Not: the one operand
    };

    std::vector<Node> nodes;
    std::vector<QString> properties;  // each property named in the WHERE once, as first written
    int root = 0;
};

namespace {

[[noreturn]] void invalid(const QString& what) {
    throw Error(code::InvalidQuery, QStringLiteral("无效的查询：") + what);
}

bool isBlank(QChar c) {
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u'\n' || u == u'\r' || u == u'\v' || u == u'\f';
}
bool isDigit(QChar c) {
    return c.unicode() >= u'0' && c.unicode() <= u'9';
}
bool isIdentStart(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || u == u'_';
}
bool isIdentChar(QChar c) {
    return isIdentStart(c) || isDigit(c);
}

// The length of the number at the start of `s` (optional sign, digits, optional fraction of at
// least one digit, optional exponent of at least one digit), or 0 when there is none.
qsizetype numberLength(QStringView s) {
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (i < n && (s[i] == u'+' || s[i] == u'-')) ++i;
    const qsizetype digitsStart = i;
    while (i < n && isDigit(s[i])) ++i;
    if (i == digitsStart) return 0;
    if (i + 1 < n && s[i] == u'.' && isDigit(s[i + 1])) {
        i += 2;
        while (i < n && isDigit(s[i])) ++i;
    }
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < n && (s[j] == u'+' || s[j] == u'-')) ++j;
        if (j < n && isDigit(s[j])) {
            while (j < n && isDigit(s[j])) ++j;
            i = j;
        }
    }
    return i;
}

// The number that the whole of `s` spells, or nullopt when it is not one or is out of the range
// of a double. Integers that fit are kept as Int (or UInt above the signed range).
std::optional<Number> toNumber(QStringView s) {
    if (s.isEmpty() || numberLength(s) != s.size()) return std::nullopt;
    const bool negative = s[0] == u'-';
    const qsizetype start = (s[0] == u'-' || s[0] == u'+') ? 1 : 0;

    bool integral = true;
    for (qsizetype i = start; i < s.size(); ++i) {
        if (!isDigit(s[i])) {
            integral = false;
            break;
        }
    }
    if (integral) {
        constexpr quint64 max = std::numeric_limits<quint64>::max();
        quint64 magnitude = 0;
        bool overflow = false;
        for (qsizetype i = start; i < s.size() && !overflow; ++i) {
            const unsigned digit = s[i].unicode() - u'0';
            if (magnitude > (max - digit) / 10)
                overflow = true;
            else
                magnitude = magnitude * 10 + digit;
        }
        if (!overflow) {
            constexpr quint64 intMax = std::numeric_limits<qint64>::max();
            if (!negative)
                return magnitude <= intMax ? Number::ofInt(static_cast<qint64>(magnitude))
                                           : Number::ofUInt(magnitude);
            if (magnitude <= intMax) return Number::ofInt(-static_cast<qint64>(magnitude));
            if (magnitude == intMax + 1) return Number::ofInt(std::numeric_limits<qint64>::min());
        }
    }

    // Only ASCII is left; std::from_chars reads it without regard to the locale but takes no '+'.
    std::array<char, 128> small;
    std::string large;
    const QStringView digits = s.mid(s[0] == u'+' ? 1 : 0);
    char* buffer = small.data();
    if (digits.size() > qsizetype(small.size())) {
        large.resize(std::size_t(digits.size()));
        buffer = large.data();
    }
    for (qsizetype i = 0; i < digits.size(); ++i) buffer[i] = char(digits[i].unicode());
    double value = 0.0;
    const auto [end, ec] = std::from_chars(buffer, buffer + digits.size(), value);
    if (ec != std::errc() || end != buffer + digits.size()) return std::nullopt;
    return Number::ofDouble(value);
}

// -1, 0 or 1 as an integer is below, equal to or above a double; nullopt for NaN.
template <typename Int>
std::optional<int> compareIntDouble(Int a, double b) {
    if (std::isnan(b)) return std::nullopt;
    // The range of Int as doubles: [low, high), both powers of two and so exact.
    const double low = std::numeric_limits<Int>::is_signed
                           ? -std::ldexp(1.0, std::numeric_limits<Int>::digits)
                           : 0.0;
    const double high = std::ldexp(1.0, std::numeric_limits<Int>::digits);
    if (b < low) return 1;
    if (b >= high) return -1;
    // b is inside the range: its integral part converts exactly, and the fraction decides a tie.
    const double whole = std::trunc(b);
    const Int w = static_cast<Int>(whole);
    if (a < w) return -1;
    if (a > w) return 1;
    if (b > whole) return -1;
    if (b < whole) return 1;
    return 0;
}

template <typename T>
int threeWay(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

std::optional<int> compareNumbers(const Number& a, const Number& b) {
    using K = Number::Kind;
    switch (a.kind) {
        case K::Int:
            switch (b.kind) {
                case K::Int:
                    return threeWay(a.i, b.i);
                case K::UInt:
                    return a.i < 0 ? -1 : threeWay(static_cast<quint64>(a.i), b.u);
                case K::Double:
                    return compareIntDouble(a.i, b.d);
            }
            break;
        case K::UInt:
            switch (b.kind) {
                case K::Int:
                    return b.i < 0 ? 1 : threeWay(a.u, static_cast<quint64>(b.i));
                case K::UInt:
                    return threeWay(a.u, b.u);
                case K::Double:
                    return compareIntDouble(a.u, b.d);
            }
            break;
        case K::Double:
            switch (b.kind) {
                case K::Int:
                case K::UInt: {
                    const std::optional<int> r = compareNumbers(b, a);
                    if (!r) return std::nullopt;
                    return -*r;
                }
                case K::Double:
                    if (std::isnan(a.d) || std::isnan(b.d)) return std::nullopt;
                    return threeWay(a.d, b.d);
            }
            break;
    }
    return std::nullopt;
}

std::optional<Number> numberOf(const Variant& v) {
    switch (v.type()) {
        case Variant::Type::Int:
            return Number::ofInt(v.intValue());
        case Variant::Type::UInt:
            return Number::ofUInt(v.uintValue());
        case Variant::Type::Double:
            return Number::ofDouble(v.doubleValue());
        case Variant::Type::Bool:
            return Number::ofInt(v.boolValue() ? 1 : 0);
        default:
            return std::nullopt;
    }
}

int compareText(QStringView a, QStringView b) {
    const int r = a.compare(b, Qt::CaseInsensitive);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

QLatin1String boolText(bool b) {
    return b ? QLatin1String("true") : QLatin1String("false");
}

// -1, 0 or 1 as the property value is below, equal to or above the literal; nullopt for unknown.
std::optional<int> compareValue(const Variant& v, const Condition::Literal& lit) {
    using L = Condition::Literal::Kind;
    if (lit.kind == L::Null) return std::nullopt;
    switch (v.type()) {
        case Variant::Type::Null:
        case Variant::Type::Array:
            return std::nullopt;
        case Variant::Type::Text:
            switch (lit.kind) {
                case L::Text:
                    return compareText(v.textValue(), lit.text);
                case L::Number: {
                    const std::optional<Number> n = toNumber(v.textValue());
                    if (!n) return std::nullopt;
                    return compareNumbers(*n, *lit.number);
                }
                case L::Bool: {
                    const int r = v.textValue().compare(boolText(*lit.flag), Qt::CaseInsensitive);
                    return r < 0 ? -1 : (r > 0 ? 1 : 0);
                }
                case L::Null:
                    break;
            }
            return std::nullopt;
        case Variant::Type::Int:
        case Variant::Type::UInt:
        case Variant::Type::Double:
            if (!lit.number) return std::nullopt;  // a Text that is no number
            return compareNumbers(*numberOf(v), *lit.number);
        case Variant::Type::Bool:
            if (lit.flag) return threeWay(int(v.boolValue()), int(*lit.flag));
            if (lit.number) return compareNumbers(*numberOf(v), *lit.number);
            return std::nullopt;
    }
    return std::nullopt;
}

Tri apply(Op op, std::optional<int> order) {
    if (!order) return Tri::Unknown;
    bool r = false;
    switch (op) {
        case Op::Eq:
            r = *order == 0;
            break;
        case Op::Ne:
            r = *order != 0;
            break;
        case Op::Lt:
            r = *order < 0;
            break;
        case Op::Gt:
            r = *order > 0;
            break;
        case Op::Le:
            r = *order <= 0;
            break;
        case Op::Ge:
            r = *order >= 0;
            break;
    }
    return r ? Tri::True : Tri::False;
}

// ---- Reading the text
// ----------------------------------------------------------------------------

struct Token {
    enum class Kind : std::uint8_t { Word, Text, Number, Star, Open, Close, Compare, End };
    Kind kind = Kind::End;
    qsizetype pos = 0;  // in the query text
    qsizetype length = 0;
    QString text;  // Text: the unescaped contents
    std::optional<Number> number;
    Op op = Op::Eq;
};

// A quoted text at s[i] (its quote), with backslash escapes taken as the character escaped.
void readText(QStringView s, qsizetype i, Token& t) {
    const QChar quote = s[i];
    qsizetype j = i + 1;
    const qsizetype n = s.size();
    bool closed = false;
    while (j < n) {
        const QChar d = s[j];
        if (d == quote) {
            closed = true;
            ++j;
            break;
        }
        if (d == u'\\') {
            if (j + 1 >= n) break;
            t.text.append(s[j + 1]);
            j += 2;
            continue;
        }
        t.text.append(d);
        ++j;
    }
    if (!closed) invalid(QStringLiteral("第 %1 个字符开始的字符串缺少结束的引号").arg(i + 1));
    t.kind = Token::Kind::Text;
    t.length = j - i;
}

// A number of `len` characters at s[i], which must not run on into a word.
void readNumber(QStringView s, qsizetype i, qsizetype len, Token& t) {
    const qsizetype n = s.size();
    if (i + len < n && (isIdentChar(s[i + len]) || s[i + len] == u'.')) {
        qsizetype end = i + len;
        while (end < n && end - i < 32 && (isIdentChar(s[end]) || s[end] == u'.')) ++end;
        invalid(QStringLiteral("第 %1 个字符开始的数字「%2」写法不对")
                    .arg(i + 1)
                    .arg(s.mid(i, end - i).toString()));
    }
    t.kind = Token::Kind::Number;
    t.length = len;
    t.number = toNumber(s.mid(i, len));
    if (!t.number)
        invalid(QStringLiteral("第 %1 个字符开始的数字「%2」超出范围")
                    .arg(i + 1)
                    .arg(s.mid(i, len).toString()));
}

// The signs: * ( ) and the comparisons, the longest first.
struct Sign {
    std::u16string_view text;
    Token::Kind kind;
    Op op;
};
constexpr Sign kSigns[] = {
    {u"<>", Token::Kind::Compare, Op::Ne}, {u"!=", Token::Kind::Compare, Op::Ne},
    {u"<=", Token::Kind::Compare, Op::Le}, {u">=", Token::Kind::Compare, Op::Ge},
    {u"<", Token::Kind::Compare, Op::Lt},  {u">", Token::Kind::Compare, Op::Gt},
    {u"=", Token::Kind::Compare, Op::Eq},  {u"*", Token::Kind::Star, Op::Eq},
    {u"(", Token::Kind::Open, Op::Eq},     {u")", Token::Kind::Close, Op::Eq},
};

void readSign(QStringView s, qsizetype i, Token& t) {
    for (const Sign& sign : kSigns) {
        const QStringView text(sign.text.data(), qsizetype(sign.text.size()));
        if (s.mid(i).startsWith(text)) {
            t.kind = sign.kind;
            t.op = sign.op;
            t.length = text.size();
            return;
        }
    }
    invalid(QStringLiteral("第 %1 个字符「%2」无法识别").arg(i + 1).arg(s[i]));
}

// Cuts a query text into tokens.
std::vector<Token> tokenize(QStringView s) {
    std::vector<Token> tokens;
    qsizetype i = 0;
    const qsizetype n = s.size();
    while (true) {
        while (i < n && isBlank(s[i])) ++i;
        Token t;
        t.pos = i;
        if (i == n) {
            tokens.push_back(std::move(t));
            return tokens;
        }
        const QChar c = s[i];
        if (isIdentStart(c)) {
            qsizetype j = i + 1;
            while (j < n && isIdentChar(s[j])) ++j;
            t.kind = Token::Kind::Word;
            t.length = j - i;
        } else if (c == u'\'' || c == u'"') {
            readText(s, i, t);
        } else if (const qsizetype len = numberLength(s.mid(i)); len > 0) {
            readNumber(s, i, len, t);
        } else {
            readSign(s, i, t);
        }
        i += t.length;
        tokens.push_back(std::move(t));
    }
}

// The deepest nesting of parentheses a WHERE may have.
constexpr int maxDepth = 64;

class Parser {
  public:
    explicit Parser(QStringView text) : text_(text), tokens_(tokenize(text)) {}

    Query parseQuery() {
        if (peek().kind == Token::Kind::End) invalid(QStringLiteral("查询文本为空"));
        expectKeyword("SELECT");
        if (peek().kind != Token::Kind::Star) fail(QStringLiteral("“*”（只支持 SELECT *）"));
        ++pos_;
        expectKeyword("FROM");
        const Token& cls = peek();
        if (cls.kind != Token::Kind::Word || isReserved(cls)) fail(QStringLiteral("类名"));
        QString className = source(cls).toString();
        ++pos_;

        std::shared_ptr<Condition> where;
        if (isKeyword(peek(), "WHERE")) {
            ++pos_;
            condition_ = std::make_shared<Condition>();
            condition_->root = parseOr();
            where = std::move(condition_);
        }
        if (peek().kind != Token::Kind::End) {
            if (peek().kind == Token::Kind::Close)
                invalid(
                    QStringLiteral("第 %1 个字符处的右括号没有对应的左括号").arg(peek().pos + 1));
            fail(where ? QStringLiteral("查询结束、AND 或 OR")
                       : QStringLiteral("查询结束或 WHERE"));
        }
        return Query(std::move(className), std::move(where));
    }

  private:
    using Node = Condition::Node;

    const Token& peek() const { return tokens_[pos_]; }

    QStringView source(const Token& t) const { return text_.mid(t.pos, t.length); }

    static bool isKeyword(QStringView word, const char* keyword) {
        return word.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0;
    }
    bool isKeyword(const Token& t, const char* keyword) const {
        return t.kind == Token::Kind::Word && isKeyword(source(t), keyword);
    }
    bool isReserved(const Token& t) const {
        static constexpr const char* reserved[] = {"SELECT", "FROM", "WHERE", "AND",  "OR",
                                                   "NOT",    "IS",   "NULL",  "TRUE", "FALSE"};
        if (t.kind != Token::Kind::Word) return false;
        const QStringView word = source(t);
        for (const char* k : reserved)
            if (isKeyword(word, k)) return true;
        return false;
    }

    // Throws for the current token, saying what was expected there.
    [[noreturn]] void fail(const QString& expected) const {
        const Token& t = peek();
        if (t.kind == Token::Kind::End)
            invalid(QStringLiteral("查询在第 %1 个字符处意外结束，此处应为%2")
                        .arg(t.pos + 1)
                        .arg(expected));
        QString found = source(t).toString();
        if (found.size() > 32) found = found.left(32) + QStringLiteral("…");
        invalid(QStringLiteral("第 %1 个字符处应为%2，而不是「%3」")
                    .arg(t.pos + 1)
                    .arg(expected, found));
    }

    void expectKeyword(const char* keyword) {
        if (!isKeyword(peek(), keyword)) fail(QStringLiteral("关键字 ") + QLatin1String(keyword));
        ++pos_;
    }

    int add(Node node) {
        condition_->nodes.push_back(std::move(node));
        return int(condition_->nodes.size() - 1);
    }

    // A chain "a OR b OR …" (or AND) as one node; an operand of the same kind is merged in.
    int chain(Node::Kind kind, std::vector<int> operands) {
        if (operands.size() == 1) return operands.front();
        Node node;
        node.kind = kind;
        for (int o : operands) {
            Node& operand = condition_->nodes[std::size_t(o)];
            if (operand.kind == kind) {
                node.children.insert(node.children.end(), operand.children.begin(),
                                     operand.children.end());
                operand.children.clear();
            } else {
                node.children.push_back(o);
            }
        }
        return add(std::move(node));
    }

    int parseOr() {
        std::vector<int> operands{parseAnd()};
        while (isKeyword(peek(), "OR")) {
            ++pos_;
            operands.push_back(parseAnd());
        }
        return chain(Node::Kind::Or, std::move(operands));
    }

    int parseAnd() {
        std::vector<int> operands{parseNot()};
        while (isKeyword(peek(), "AND")) {
            ++pos_;
            operands.push_back(parseNot());
        }
        return chain(Node::Kind::And, std::move(operands));
    }

    int parseNot() {
        bool inverted = false;
        while (isKeyword(peek(), "NOT")) {  // a loop, so that a long run of NOTs cannot recurse
            ++pos_;
            inverted = !inverted;
        }
        const int operand = parsePrimary();
        if (!inverted) return operand;
        Node& inner = condition_->nodes[std::size_t(operand)];
        if (inner.kind == Node::Kind::IsNull || inner.kind == Node::Kind::IsNotNull) {
            inner.kind =
                inner.kind == Node::Kind::IsNull ? Node::Kind::IsNotNull : Node::Kind::IsNull;
            return operand;
        }
        Node node;
        node.kind = Node::Kind::Not;
        node.children.push_back(operand);
        return add(std::move(node));
    }

    int parsePrimary() {
        const Token& t = peek();
        if (t.kind == Token::Kind::Open) {
            if (depth_ >= maxDepth) invalid(QStringLiteral("括号嵌套超过 %1 层").arg(maxDepth));
            const qsizetype openPos = t.pos;
            ++pos_;
            ++depth_;
            const int inner = parseOr();
            --depth_;
            if (peek().kind != Token::Kind::Close) {
                if (peek().kind == Token::Kind::End)
                    invalid(
                        QStringLiteral("第 %1 个字符处的左括号没有对应的右括号").arg(openPos + 1));
                fail(QStringLiteral("“)”、AND 或 OR"));
            }
            ++pos_;
            return inner;
        }
        if (isProperty(t)) {
            const int slot = propertySlot(source(t));
            ++pos_;
            if (isKeyword(peek(), "IS")) {
                ++pos_;
                Node node;
                node.kind = Node::Kind::IsNull;
                node.slot = slot;
                if (isKeyword(peek(), "NOT")) {
                    ++pos_;
                    node.kind = Node::Kind::IsNotNull;
                }
                if (!isKeyword(peek(), "NULL")) fail(QStringLiteral("关键字 NULL"));
                ++pos_;
                return add(std::move(node));
            }
            const Op op = parseOperator();
            Node node;
            node.kind = Node::Kind::Compare;
            node.slot = slot;
            node.op = op;
            node.literal = parseLiteral();
            return add(std::move(node));
        }
        if (isLiteral(t)) {
            Condition::Literal literal = parseLiteral();
            const Op op = parseOperator();
            if (!isProperty(peek())) fail(QStringLiteral("属性名"));
            Node node;
            node.kind = Node::Kind::Compare;
            node.slot = propertySlot(source(peek()));
            ++pos_;
            node.op = mirrored(op);
            node.literal = std::move(literal);
            return add(std::move(node));
        }
        fail(QStringLiteral("条件（属性比较、IS NULL 或括号）"));
    }

    bool isProperty(const Token& t) const { return t.kind == Token::Kind::Word && !isReserved(t); }
    bool isLiteral(const Token& t) const {
        return t.kind == Token::Kind::Text || t.kind == Token::Kind::Number ||
               isKeyword(t, "TRUE") || isKeyword(t, "FALSE") || isKeyword(t, "NULL");
    }

    Op parseOperator() {
        if (peek().kind != Token::Kind::Compare)
            fail(QStringLiteral("比较运算符（=、<>、!=、<、>、<=、>=）"));
        return tokens_[pos_++].op;
    }

    Condition::Literal parseLiteral() {
        using L = Condition::Literal::Kind;
        const Token& t = peek();
        Condition::Literal lit;
        if (t.kind == Token::Kind::Text) {
            lit.kind = L::Text;
            lit.text = t.text;
            lit.number = toNumber(lit.text);
            if (isKeyword(lit.text, "true"))
                lit.flag = true;
            else if (isKeyword(lit.text, "false"))
                lit.flag = false;
        } else if (t.kind == Token::Kind::Number) {
            lit.kind = L::Number;
            lit.number = t.number;
        } else if (isKeyword(t, "TRUE") || isKeyword(t, "FALSE")) {
            lit.kind = L::Bool;
            lit.flag = isKeyword(t, "TRUE");
            lit.number = Number::ofInt(*lit.flag ? 1 : 0);
        } else if (isKeyword(t, "NULL")) {
            lit.kind = L::Null;
        } else {
            fail(QStringLiteral("比较的值（字符串、数字、TRUE、FALSE 或 NULL）"));
        }
        ++pos_;
        return lit;
    }

    // The index of a property among those the WHERE names (case-insensitive).
    int propertySlot(QStringView name) {
        std::vector<QString>& names = condition_->properties;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (name.compare(names[k], Qt::CaseInsensitive) == 0) return int(k);
        names.push_back(name.toString());
        return int(names.size() - 1);
    }

    QStringView text_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::shared_ptr<Condition> condition_;
};

// ---- Evaluating --------------------------------------------------------------------------------

// Evaluates a condition against one instance, looking each property up at most once.
class Evaluator {
  public:
    using Cached = std::optional<std::optional<Variant>>;  // not looked up yet / missing / value

    Evaluator(const Condition& condition, const Lookup& lookup, Cached* cache)
        : condition_(condition), lookup_(lookup), cache_(cache) {}

    Tri eval(int index) {
        const Condition::Node& node = condition_.nodes[std::size_t(index)];
        using K = Condition::Node::Kind;
        switch (node.kind) {
            case K::And: {
                Tri result = Tri::True;
                for (int child : node.children) {
                    const Tri t = eval(child);
                    if (t == Tri::False) return Tri::False;
                    if (t == Tri::Unknown) result = Tri::Unknown;
                }
                return result;
            }
            case K::Or: {
                Tri result = Tri::False;
                for (int child : node.children) {
                    const Tri t = eval(child);
                    if (t == Tri::True) return Tri::True;
                    if (t == Tri::Unknown) result = Tri::Unknown;
                }
                return result;
            }
            case K::Not:
                return negate(eval(node.children.front()));
            case K::IsNull:
            case K::IsNotNull: {
                const std::optional<Variant>& v = value(node.slot);
                const bool isNull = !v || v->isNull();
                return isNull == (node.kind == K::IsNull) ? Tri::True : Tri::False;
            }
            case K::Compare: {
                const std::optional<Variant>& v = value(node.slot);
                if (!v) return Tri::Unknown;
                return apply(node.op, compareValue(*v, node.literal));
            }
        }
        return Tri::Unknown;
    }

  private:
    const std::optional<Variant>& value(int slot) {
        Cached& c = cache_[slot];
        if (!c) c.emplace(lookup_(condition_.properties[std::size_t(slot)]));
        return *c;
    }

    const Condition& condition_;
    const Lookup& lookup_;
    Cached* cache_;
};

}  // namespace

Query::Query(QString className, std::shared_ptr<const Condition> where)
    : className_(std::move(className)), where_(std::move(where)) {}

bool Query::matches(const Lookup& lookup) const {
    if (!where_) return true;
    constexpr std::size_t onStack = 8;
    const std::size_t slots = where_->properties.size();
    if (slots <= onStack) {
        std::array<Evaluator::Cached, onStack> cache;
        return Evaluator(*where_, lookup, cache.data()).eval(where_->root) == Tri::True;
    }
    std::vector<Evaluator::Cached> cache(slots);
    return Evaluator(*where_, lookup, cache.data()).eval(where_->root) == Tri::True;
}

Query parse(QStringView text) {
    return Parser(text).parseQuery();
}

}  // namespace qelto::wmi::wql
